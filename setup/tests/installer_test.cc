// The installer: its arguments, the files it writes, and qvsetup itself installing into a
// temporary folder and system root, checked with Python's smtplib and poplib.
#include "setup/installer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/config.h"
#include "common/records.h"
#include "common/strings.h"
#include "common/testing/test_env.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "platform/winprofile.h"
#include "setup/install_tls.h"
#include "setup/services.h"

namespace qv::setup {
namespace {

using qv::testing::ReadFileText;
using qv::testing::RunProgram;
using qv::testing::RunResult;
using qv::testing::WriteFileText;

TEST(UnitText, RunsTheProgramWithTheSystemRootAndRestartsOnFailure) {
  const ServiceInfo& smtp = *ServiceByNumber(1);
  EXPECT_EQ(UnitText(smtp, "/opt/quorvane/qvsmtp", "/etc/quorvane"),
            "[Unit]\n"
            "Description=Quorvane SMTP - Service\n"
            "After=network.target\n"
            "\n"
            "[Service]\n"
            "Type=simple\n"
            "ExecStart=/opt/quorvane/qvsmtp\n"
            "Environment=QUORVANE_SYSTEM=/etc/quorvane\n"
            "Restart=on-failure\n"
            "RestartSec=5\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  EXPECT_EQ(UnitPath(*ServiceByNumber(3)), "/etc/systemd/system/QuorvaneControl.service");
  // Blanks, quotes and the signs systemd expands are escaped, so the paths reach the program
  // as written.
  std::string odd = UnitText(*ServiceByNumber(2), "/srv/mail 100%/$HOME/qvpop3", "/etc/q \"x\"");
  EXPECT_NE(odd.find("ExecStart=\"/srv/mail 100%%/$$HOME/qvpop3\"\n"), std::string::npos) << odd;
  EXPECT_NE(odd.find("Environment=\"QUORVANE_SYSTEM=/etc/q \\\"x\\\"\"\n"), std::string::npos)
      << odd;
  EXPECT_NE(odd.find("Description=Quorvane POP3 - Service\n"), std::string::npos);
}

TEST(ServiceByProgramPath, NamesMatchExactlyPerMode) {
  struct Case {
    const char* path;
    ServiceMode mode;
    int service;  // 0: none
  } cases[] = {
      {"/opt/q/qvsmtp95", ServiceMode::kPresence, 1},
      {"/opt/q/QVPOP395.EXE", ServiceMode::kPresence, 2},
      {"qvctrl95", ServiceMode::kPresence, 3},
      {"/opt/q/qvsmtp", ServiceMode::kPresence, 0},
      {"/opt/q/qvsmtp", ServiceMode::kSystemd, 1},
      {"/opt/q/qvpop3.exe", ServiceMode::kSystemd, 2},
      {"/opt/q/qvsmtp95", ServiceMode::kSystemd, 0},
      {"/opt/q/qvsmtp95x", ServiceMode::kPresence, 0},
      {"/opt/q/aqvsmtp95", ServiceMode::kPresence, 0},
      {"/opt/qvsmtp95/", ServiceMode::kPresence, 0},
      {"", ServiceMode::kPresence, 0},
  };
  for (const Case& c : cases) {
    const ServiceInfo* info = ServiceByProgramPath(c.path, c.mode);
    EXPECT_EQ(info ? info->service : 0, c.service) << c.path;
  }
}

TEST(SetupArguments, AcceptsTheCommandsAndRefusesWhatCannotWork) {
  auto ok = ParseSetupArguments({"install", "--prefix", "/p", "--domain", "example.test", "--admin",
                                 "boss", "--admin-password", "pw", "--smtp-port", "2525",
                                 "--pop3-port", "1100"});
  ASSERT_TRUE(ok) << ok.error();
  EXPECT_EQ(ok->prefix, "/p");
  EXPECT_EQ(ok->smtp_port, 2525);
  EXPECT_TRUE(ok->smtp_port_given);
  EXPECT_FALSE(ok->control_port_given);
  EXPECT_EQ(ok->control_port, 32000);
  auto listen = ParseSetupArguments(
      {"install", "--prefix", "/p", "--domain", "x.test", "--listen-address", "::1"});
  ASSERT_TRUE(listen) << listen.error();
  EXPECT_EQ(listen->listen_address, "::1");
  auto show = ParseSetupArguments({"show", "ann", "--system", "/s"});
  ASSERT_TRUE(show);
  EXPECT_EQ(show->mailbox, "ann");
  EXPECT_TRUE(ParseSetupArguments({"uninstall", "--purge"}));

  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"install", "--domain", "example.test"},  // no prefix
      {"install", "--prefix", "/p"},            // no domain
      {"install", "--prefix", "/p", "--domain", "bad domain"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--admin", "boss"},  // no password
      {"install", "--prefix", "/p", "--domain", "x.test", "--admin", "a@b", "--admin-password",
       "pw"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--admin", "..", "--admin-password",
       "pw"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--admin", "boss", "--admin-password",
       "p\nw"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--smtp-port", "0"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--smtp-port", "65536"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--smtp-port", "25x"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--pop3-port", "25"},  // SMTP's port
      {"install", "--prefix", "/p", "--domain", "x.test", "--services", "init"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--listen-address", "localhost"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--listen-address", "127.0.0.1:25"},
      {"status", "--listen-address", "::1"},
      {"install", "--prefix"},
      {"status", "--prefix", "/p"},
      {"status", "--purge"},
      {"install", "--prefix", "/p", "--domain", "x.test", "--frobnicate", "1"},
      {"uninstall", "stray"},
      {"show"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_FALSE(ParseSetupArguments(args)) << joined;
  }
}

TEST(SetupFiles, ListHelpAndPamService) {
  std::string help = ListHelpText("listserver@example.test");
  EXPECT_NE(help.find("listserver@example.test"), std::string::npos);
  for (const char* word : {"SUBSCRIBE", "UNSUBSCRIBE", "REVIEW", "LISTS", "WHICH", "HELP"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  EXPECT_EQ(help.find("\n", 0), help.find("\r\n") + 1);  // lines end in CR LF

  qv::testing::TempDir pam;
  EXPECT_NE(PamServiceText(pam.path()).find("pam_unix.so"), std::string::npos);
  WriteFileText(pam.Sub("common-auth"), "");
  EXPECT_NE(PamServiceText(pam.path()).find("auth     include  common-auth\n"), std::string::npos);
  EXPECT_EQ(InstallSmtpFlags(),
            kSmtpUseDns | kSmtpEsmtp | kSmtpEnforceSize | kSmtpClientEhlo | kSmtpDomainAsHost);
}

// ---- qvsetup, the program --------------------------------------------------------------

bool PortAnswers(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// The control service and its client are built in this tree.
bool HaveControl() {
  return access((qv::testing::BinDir() + "/qvctrl95").c_str(), X_OK) == 0 &&
         access((qv::testing::BinDir() + "/qvctl").c_str(), X_OK) == 0;
}

class QvsetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUORVANE_SERVICES", "presence", 1);
    smtp_ = qv::testing::FreeLoopbackPort();
    do pop3_ = qv::testing::FreeLoopbackPort();
    while (pop3_ == smtp_);
    do control_ = qv::testing::FreeLoopbackPort();
    while (control_ == smtp_ || control_ == pop3_);
    do password_ = qv::testing::FreeLoopbackPort();
    while (password_ == smtp_ || password_ == pop3_ || password_ == control_);
    std::filesystem::create_directory(pam_dir());
  }
  void TearDown() override {
    // Whatever a failed test left running goes.
    for (const char* cls : {"QuorvaneSmtp", "QuorvanePop3", "QuorvaneControl"})
      platform::SendDestroy(cls);
    unsetenv("QUORVANE_SERVICES");
  }
  std::string prefix() const { return dir_.Sub("inst"); }
  std::string pam_dir() const { return dir_.Sub("pam.d"); }

  RunResult Setup(std::vector<std::string> args) {
    args.insert(args.end(), {"--system", root_.path(), "--pam-dir", pam_dir()});
    return RunProgram(qv::testing::BinDir() + "/qvsetup", args);
  }
  RunResult Install(const std::string& from = qv::testing::BinDir(),
                    std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"install",
                               "--prefix",
                               prefix(),
                               "--domain",
                               "example.test",
                               "--hostname",
                               "mail.example.test",
                               "--admin",
                               "boss",
                               "--admin-password",
                               "Chief7",
                               "--smtp-port",
                               std::to_string(smtp_),
                               "--pop3-port",
                               std::to_string(pop3_),
                               "--control-port",
                               std::to_string(control_),
                               "--password-port",
                               std::to_string(password_),
                               "--from",
                               from,
                               "--services",
                               "presence"});
    return Setup(more);
  }
  pid_t Holder(const char* cls) {
    pid_t pid = 0;
    return platform::FindServiceWindow(cls, &pid) ? pid : 0;
  }

  qv::testing::ScopedSystemRoot root_;
  qv::testing::TempDir dir_;
  int smtp_ = 0, pop3_ = 0, control_ = 0, password_ = 0;
};

TEST_F(QvsetupTest, InstallsServesMailToTheAdministratorAndUninstalls) {
  RunResult first = Install();
  ASSERT_EQ(first.code, 0) << first.out << first.err;
  EXPECT_NE(first.out.find("started    QuorvaneSmtp"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("started    QuorvanePop3"), std::string::npos) << first.out;

  // The settings, records and files of a new installation.
  std::string text;
  uint32_t number = 0;
  ASSERT_TRUE(reg::ReadString(kControlKey, "InstallPath", &text));
  EXPECT_EQ(text, prefix());
  ASSERT_TRUE(reg::ReadString(kControlKey, "MailPath", &text));
  EXPECT_EQ(text, prefix() + "/mail");
  ASSERT_TRUE(reg::ReadString(kControlKey, "AdministratorMailBox", &text));
  EXPECT_EQ(text, "boss");
  ASSERT_TRUE(reg::ReadDword(kSmtpKey, "Flags", &number));
  EXPECT_EQ(number, 0x8381u);
  ASSERT_TRUE(reg::ReadDword(kSmtpKey, "ESMTPMaxMsgSize", &number));
  EXPECT_EQ(number, 10485760u);
  ASSERT_TRUE(reg::ReadDword(kPop3Key, "Port", &number));
  EXPECT_EQ(number, static_cast<uint32_t>(pop3_));
  EXPECT_TRUE(std::filesystem::exists(prefix() + "/config/LISTHELP.TXT"));
  EXPECT_TRUE(std::filesystem::exists(prefix() + "/config/COMMANDS.DAT"));
  EXPECT_TRUE(std::filesystem::exists(pam_dir() + "/quorvane"));
  EXPECT_TRUE(std::filesystem::exists(prefix() + "/libqvinst.so"));
  char entry[512] = {};
  platform::GetProfileString("windows", "run", "", entry, sizeof entry);
  // The start entry is kept in lower case.
  std::string programs = prefix() + "/qvsmtp95 " + prefix() + "/qvpop395";
  if (HaveControl()) programs += " " + prefix() + "/qvctrl95";
  EXPECT_TRUE(EqualsNoCase(entry, programs)) << entry;

  // Real clients: smtplib hands a message to the administrator, poplib fetches it.
  std::string script = dir_.Sub("client.py");
  WriteFileText(
      script,
      "import poplib, smtplib, sys\n"
      "smtp, pop = int(sys.argv[1]), int(sys.argv[2])\n"
      "with smtplib.SMTP('127.0.0.1', smtp) as s:\n"
      "    s.ehlo()\n"
      "    print('size', s.esmtp_features.get('size', 'none'))\n"
      "    s.sendmail('ann@other.test', ['boss@example.test'],\n"
      "               'Subject: Welcome\\r\\nFrom: ann@other.test\\r\\n\\r\\nFirst mail\\r\\n')\n"
      "p = poplib.POP3('127.0.0.1', pop)\n"
      "p.user('boss'); p.pass_('chief7')\n"
      "print('count', p.stat()[0])\n"
      "for line in p.retr(1)[1]: print(line.decode())\n"
      "p.quit()\n"
      // The list manager's record has no password: it receives mail but never logs on.
      "p = poplib.POP3('127.0.0.1', pop)\n"
      "p.user('listserver')\n"
      "try:\n"
      "    p.pass_('')\n"
      "    print('listserver logged on')\n"
      "except poplib.error_proto as e:\n"
      "    print('listserver', e.args[0].decode())\n"
      "p.quit()\n");
  RunResult py =
      RunProgram("/usr/bin/python3", {script, std::to_string(smtp_), std::to_string(pop3_)});
  ASSERT_EQ(py.code, 0) << py.out << py.err;
  EXPECT_NE(py.out.find("size 10485760\n"), std::string::npos) << py.out;
  EXPECT_NE(py.out.find("count 1\n"), std::string::npos) << py.out;
  EXPECT_NE(py.out.find("Subject: Welcome\n"), std::string::npos) << py.out;
  EXPECT_NE(py.out.find("\nFirst mail\n"), std::string::npos) << py.out;
  EXPECT_NE(py.out.find("\nlistserver -ERR invalid Password\n"), std::string::npos) << py.out;

  // The control service, where it is built: the administrator logs in with qvctl.
  if (HaveControl()) {
    EXPECT_NE(first.out.find("started    QuorvaneControl"), std::string::npos) << first.out;
    RunResult login =
        RunProgram(qv::testing::BinDir() + "/qvctl",
                   {"-p", std::to_string(control_), "-u", "boss@example.test", "NOOP"}, "chief7\n");
    EXPECT_EQ(login.code, 0) << login.out << login.err;
    RunResult refused =
        RunProgram(qv::testing::BinDir() + "/qvctl",
                   {"-p", std::to_string(control_), "-u", "listserver", "NOOP"}, "x\n");
    EXPECT_NE(refused.code, 0) << refused.out;  // not an administrator
  }

  // Installing again keeps what is there: same services, same records, no second admin.
  pid_t smtp_pid = Holder("QuorvaneSmtp");
  std::string users = ReadFileText(prefix() + "/config/USER.DAT");
  WriteFileText(pam_dir() + "/quorvane", "# the administrator's own\n");
  RunResult again = Install();
  ASSERT_EQ(again.code, 0) << again.out << again.err;
  EXPECT_EQ(again.out.find("set "), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("running    QuorvaneSmtp"), std::string::npos) << again.out;
  EXPECT_EQ(Holder("QuorvaneSmtp"), smtp_pid);
  EXPECT_EQ(ReadFileText(prefix() + "/config/USER.DAT"), users);
  EXPECT_EQ(ReadFileText(pam_dir() + "/quorvane"), "# the administrator's own\n");

  RunResult status = Setup({"status"});
  EXPECT_EQ(status.code, 0) << status.out << status.err;
  EXPECT_NE(status.out.find("QuorvanePop3"), std::string::npos);
  RunResult show = Setup({"show", "boss"});
  EXPECT_EQ(show.code, 0) << show.err;
  EXPECT_NE(show.out.find("\nFirst mail\n"), std::string::npos) << show.out;  // kept: no DELE
  EXPECT_EQ(Setup({"show", "../config"}).code, 1);

  // Stop and start keep the installation.
  EXPECT_EQ(Setup({"stop"}).code, 0);
  EXPECT_EQ(Holder("QuorvaneSmtp"), 0);
  EXPECT_EQ(Setup({"status"}).code, 3);
  RunResult start = Setup({"start"});
  EXPECT_EQ(start.code, 0) << start.out << start.err;
  EXPECT_NE(Holder("QuorvanePop3"), 0);

  // Uninstall: nothing runs, the keys and programs are gone, the mail and records stay, and so
  // do keys that only look alike.
  reg::Key sibling;
  ASSERT_EQ(reg::CreateKey("System\\CurrentControlSet\\Services\\QuorvaneSmtpOld", "", &sibling),
            reg::kSuccess);
  reg::SetDword(&sibling, "Port", 26);
  RunResult gone = Setup({"uninstall"});
  ASSERT_EQ(gone.code, 0) << gone.out << gone.err;
  EXPECT_EQ(Holder("QuorvaneSmtp"), 0);
  EXPECT_EQ(Holder("QuorvanePop3"), 0);
  EXPECT_EQ(Holder("QuorvaneControl"), 0);
  EXPECT_FALSE(PortAnswers(smtp_));
  EXPECT_FALSE(PortAnswers(control_));
  EXPECT_FALSE(PortAnswers(pop3_));
  reg::Key key;
  EXPECT_NE(reg::OpenKey(kControlKey, &key), reg::kSuccess);
  EXPECT_NE(reg::OpenKey(kSmtpKey, &key), reg::kSuccess);
  EXPECT_NE(reg::OpenKey("System\\CurrentControlSet\\Services\\QuorvaneSmtp", &key), reg::kSuccess);
  uint32_t kept_port = 0;
  EXPECT_TRUE(
      reg::ReadDword("System\\CurrentControlSet\\Services\\QuorvaneSmtpOld", "Port", &kept_port));
  EXPECT_FALSE(std::filesystem::exists(prefix() + "/qvsmtp95"));
  EXPECT_TRUE(std::filesystem::exists(prefix() + "/config/USER.DAT"));
  EXPECT_TRUE(std::filesystem::exists(pam_dir() + "/quorvane"));  // not ours: kept
  platform::GetProfileString("windows", "run", "", entry, sizeof entry);
  EXPECT_EQ(std::string(entry), "");
  EXPECT_EQ(Setup({"status"}).code, 1);

  // A purge takes the rest.
  ASSERT_EQ(Install().code, 0);
  RunResult purge = Setup({"uninstall", "--purge"});
  ASSERT_EQ(purge.code, 0) << purge.out << purge.err;
  EXPECT_FALSE(std::filesystem::exists(prefix()));
}

TEST_F(QvsetupTest, FailuresAreReportedAndExitNonZero) {
  // The programs are missing where they are taken from.
  qv::testing::TempDir empty;
  RunResult missing = Install(empty.path());
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("qvsmtp95 is missing"), std::string::npos) << missing.err;

  // Another program holds the SMTP port.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(smtp_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  RunResult busy = Install();
  close(fd);
  EXPECT_EQ(busy.code, 1);
  EXPECT_NE(busy.err.find(std::to_string(smtp_) + ", wanted by QuorvaneSmtp, is in use"),
            std::string::npos)
      << busy.err;
  EXPECT_EQ(Holder("QuorvaneSmtp"), 0);
  reg::Key key;  // found before anything was written
  EXPECT_NE(reg::OpenKey(kControlKey, &key), reg::kSuccess);
  EXPECT_FALSE(std::filesystem::exists(prefix() + "/qvsmtp95"));

  RunResult usage = Setup({"install", "--prefix", prefix()});
  EXPECT_EQ(usage.code, 2);
  EXPECT_NE(usage.err.find("Usage: qvsetup install"), std::string::npos);
}

// Whether something takes connections at `address` (IPv4) and `port`.
bool Answers(const char* address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &addr.sin_addr);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// --listen-address: the services listen there only, and the summary says so; a second
// installation keeps the address and reports one asked for that differs. A new installation
// leaves the log viewer to the console (an empty LogViewer).
TEST_F(QvsetupTest, ListenAddressIsWrittenUsedAndNamed) {
  RunResult first = Install(qv::testing::BinDir(), {"--listen-address", "127.0.0.1"});
  ASSERT_EQ(first.code, 0) << first.out << first.err;
  std::string text = "unset";
  ASSERT_TRUE(reg::ReadString(kControlKey, "ListenAddress", &text));
  EXPECT_EQ(text, "127.0.0.1");
  ASSERT_TRUE(reg::ReadString(kControlKey, "LogViewer", &text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(reg::ReadString(kControlKey, "TlsCertificate", &text));  // no --tls: no TLS
  EXPECT_FALSE(std::filesystem::exists(root_.path() + "/tls"));
  EXPECT_NE(first.out.find("address 127.0.0.1 port " + std::to_string(smtp_) + ", mail for"),
            std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("address 127.0.0.1 port " + std::to_string(pop3_)), std::string::npos);
  EXPECT_EQ(first.out.find("every IPv4 address"), std::string::npos) << first.out;
  for (int port : {smtp_, pop3_}) {
    EXPECT_TRUE(Answers("127.0.0.1", port)) << port;
    EXPECT_FALSE(Answers("127.0.0.2", port)) << port;
  }
  if (HaveControl()) {
    EXPECT_TRUE(Answers("127.0.0.1", control_));
    EXPECT_FALSE(Answers("127.0.0.2", control_));
  }

  RunResult again = Install(qv::testing::BinDir(), {"--listen-address", "::1"});
  ASSERT_EQ(again.code, 0) << again.out << again.err;
  EXPECT_NE(again.out.find("kept       ListenAddress = 127.0.0.1 (asked for ::1"),
            std::string::npos)
      << again.out;
  EXPECT_NE(again.out.find("address 127.0.0.1 port "), std::string::npos) << again.out;
  ASSERT_EQ(Setup({"uninstall", "--purge"}).code, 0);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

TEST_F(QvsetupTest, PlantedLinksAreNotWrittenThroughAndTheFoldersBecomePrivate) {
  // Before the installation: an open configuration folder with links planted where the
  // installer's temporary files used to go, pointing at files root must not overwrite.
  qv::testing::TempDir outside;
  std::string victim = outside.Sub("victim");
  WriteFileText(victim, "precious\n");
  std::filesystem::create_directories(prefix() + "/config");
  ASSERT_EQ(chmod(prefix().c_str(), 0777), 0);
  ASSERT_EQ(chmod((prefix() + "/config").c_str(), 0777), 0);
  for (const std::string& planted :
       {prefix() + "/installed-files.txt.tmp", prefix() + "/config/LISTHELP.TXT.tmp",
        root_.path() + "/registry.reg.tmp", prefix() + "/config/USER.DAT.tmp"})
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0) << planted;

  RunResult first = Install();
  ASSERT_EQ(first.code, 0) << first.out << first.err;
  EXPECT_EQ(ReadFileText(victim), "precious\n");
  EXPECT_NE(ReadFileText(prefix() + "/installed-files.txt").find("qvsmtp95\n"), std::string::npos);
  EXPECT_NE(ReadFileText(prefix() + "/config/LISTHELP.TXT").find("listserver@example.test"),
            std::string::npos);
  EXPECT_NE(first.out.find("secured    " + prefix() + "/config (mode 0700)"), std::string::npos)
      << first.out;
  // The summary names where the services really listen.
  EXPECT_EQ(first.out.find("127.0.0.1"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("every IPv4 address (0.0.0.0) port " + std::to_string(smtp_)),
            std::string::npos)
      << first.out;

  struct Expected {
    std::string path;
    mode_t mode;
  };
  auto check = [&](const char* when) {
    SCOPED_TRACE(when);
    const Expected expected[] = {
        {prefix(), 0755},
        {root_.path(), 0700},
        {prefix() + "/config", 0700},
        {prefix() + "/mail", 0700},
        {prefix() + "/temp", 0700},
        {prefix() + "/log", 0700},
        {prefix() + "/mail/boss", 0700},
        {prefix() + "/config/USER.DAT", 0600},
        {prefix() + "/config/USER.IDX", 0600},
        {prefix() + "/config/COMMANDS.DAT", 0600},
        {prefix() + "/config/COMMANDS.IDX", 0600},
        {reg::RegistryFilePath(), 0600},
    };
    for (const Expected& e : expected) EXPECT_EQ(ModeOf(e.path), e.mode) << e.path;
  };
  check("a new installation");
  // With presence locks the services run as the installing user: no system user, and the
  // folders and records stay that user's.
  EXPECT_EQ(first.out.find("the system user"), std::string::npos) << first.out;
  for (const std::string& path : {root_.path(), prefix() + "/config", prefix() + "/config/USER.DAT",
                                  prefix() + "/mail/boss", reg::RegistryFilePath()}) {
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_uid, geteuid()) << path;
  }

  // An older installation left its folders and records open: installing again closes them and
  // keeps the records.
  std::string users = ReadFileText(prefix() + "/config/USER.DAT");
  for (const char* dir : {"", "/config", "/mail", "/mail/boss", "/log"})
    ASSERT_EQ(chmod((prefix() + dir).c_str(), 0777), 0);
  for (const char* file : {"/config/USER.DAT", "/config/USER.IDX"})
    ASSERT_EQ(chmod((prefix() + file).c_str(), 0644), 0);
  ASSERT_EQ(chmod(reg::RegistryFilePath().c_str(), 0644), 0);
  RunResult again = Install();
  ASSERT_EQ(again.code, 0) << again.out << again.err;
  check("installed again");
  EXPECT_EQ(ReadFileText(prefix() + "/config/USER.DAT"), users);
  EXPECT_EQ(ReadFileText(victim), "precious\n");

  // A folder of the installation that is a link is refused before anything is created there.
  ASSERT_EQ(Setup({"uninstall", "--purge"}).code, 0);
  std::filesystem::create_directories(prefix());
  std::filesystem::create_directory_symlink(outside.path(), prefix() + "/config");
  RunResult linked = Install();
  EXPECT_EQ(linked.code, 1) << linked.out;
  EXPECT_NE(linked.err.find(prefix() + "/config is not a folder"), std::string::npos) << linked.err;
  EXPECT_FALSE(std::filesystem::exists(outside.Sub("USER.DAT")));
  EXPECT_EQ(ModeOf(outside.path()), 0700u);  // as TempDir made it
}

// --tls: a self-signed certificate in the system root serves submission (STARTTLS and AUTH)
// and POP3S; SIGHUP makes the services take renewed files at once and go on; a second
// installation keeps the files. Without --tls none of it is written (see above).
TEST_F(QvsetupTest, TlsCertificateIsMadeServedAndReloadedOnHangup) {
  int submission = 0, pop3s = 0;
  do submission = qv::testing::FreeLoopbackPort();
  while (submission == smtp_ || submission == pop3_ || submission == control_ ||
         submission == password_);
  do pop3s = qv::testing::FreeLoopbackPort();
  while (pop3s == submission || pop3s == smtp_ || pop3s == pop3_ || pop3s == control_ ||
         pop3s == password_);
  RunResult first =
      Install(qv::testing::BinDir(), {"--tls", "--submission-port", std::to_string(submission),
                                      "--smtps-port", "0", "--pop3s-port", std::to_string(pop3s)});
  ASSERT_EQ(first.code, 0) << first.out << first.err;
  const std::string crt = root_.path() + "/tls/server.crt", key = root_.path() + "/tls/server.key";
  EXPECT_EQ(ModeOf(key), 0600u);
  std::string text;
  ASSERT_TRUE(reg::ReadString(kControlKey, "TlsCertificate", &text));
  EXPECT_EQ(text, crt);
  ASSERT_TRUE(reg::ReadString(kSmtpKey, "RelayNetworks", &text));
  EXPECT_EQ(text, "127.0.0.0/8 ::1");
  uint32_t number = 1;
  ASSERT_TRUE(reg::ReadDword(kSmtpKey, "SmtpsPort", &number));
  EXPECT_EQ(number, 0u);
  ASSERT_TRUE(reg::ReadDword(kControlKey, "TlsControlPort", &number));
  EXPECT_EQ(number, 0u);
  EXPECT_NE(first.out.find("port " + std::to_string(submission) + ", STARTTLS, AUTH before MAIL"),
            std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("POP3S      every IPv4 address (0.0.0.0) port " + std::to_string(pop3s) +
                           ", TLS\n"),
            std::string::npos);
  EXPECT_EQ(first.out.find("SMTPS"), std::string::npos);

  // The renewal waits beside the files; the script sees the old certificate, moves the new one
  // in place, sends SIGHUP and at once sees the new one (well within the time between the
  // services' own looks), over POP3S and over STARTTLS on submission, with AUTH.
  qv::testing::TempDir renewal;
  ASSERT_TRUE(MakeSelfSignedCertificate("renewed.example.test",
                                        {renewal.Sub("server.crt"), renewal.Sub("server.key")}));
  std::string script = dir_.Sub("renew.py");
  WriteFileText(
      script,
      "import os, signal, smtplib, ssl, sys, time\n"
      "sub, pop, smtp_pid, pop_pid, new, tls = sys.argv[1:7]\n"
      "def der(port):\n"
      "    return ssl.PEM_cert_to_DER_cert(ssl.get_server_certificate(('127.0.0.1', int(port))))\n"
      "def pem_der(path):\n"
      "    return ssl.PEM_cert_to_DER_cert(open(path).read())\n"
      "old = pem_der(tls + '/server.crt')\n"
      "print('old served', der(pop) == old)\n"
      "os.rename(new + '/server.key', tls + '/server.key')\n"
      "os.rename(new + '/server.crt', tls + '/server.crt')\n"
      "os.kill(int(smtp_pid), signal.SIGHUP); os.kill(int(pop_pid), signal.SIGHUP)\n"
      "time.sleep(0.3)\n"
      "print('new served', der(pop) == pem_der(tls + '/server.crt'))\n"
      "ctx = ssl._create_unverified_context()\n"
      "with smtplib.SMTP('127.0.0.1', int(sub)) as s:\n"
      "    s.starttls(context=ctx)\n"
      "    print('new on submission', s.sock.getpeercert(True) == pem_der(tls + '/server.crt'))\n"
      "    s.login('boss', 'Chief7')\n"
      "    s.sendmail('boss@example.test', ['boss@example.test'], 'Subject: "
      "t\\r\\n\\r\\nx\\r\\n')\n"
      "    print('sent')\n");
  pid_t smtp_pid = Holder("QuorvaneSmtp"), pop_pid = Holder("QuorvanePop3");
  ASSERT_GT(smtp_pid, 0);
  ASSERT_GT(pop_pid, 0);
  RunResult py =
      RunProgram("/usr/bin/python3", {script, std::to_string(submission), std::to_string(pop3s),
                                      std::to_string(smtp_pid), std::to_string(pop_pid),
                                      renewal.path(), root_.path() + "/tls"});
  ASSERT_EQ(py.code, 0) << py.out << py.err;
  EXPECT_EQ(py.out, "old served True\nnew served True\nnew on submission True\nsent\n");
  EXPECT_EQ(Holder("QuorvaneSmtp"), smtp_pid);  // SIGHUP ends no service
  EXPECT_EQ(Holder("QuorvanePop3"), pop_pid);

  std::string renewed = ReadFileText(crt);
  RunResult again = Install(qv::testing::BinDir(), {"--tls"});
  ASSERT_EQ(again.code, 0) << again.out << again.err;
  EXPECT_NE(again.out.find("kept       " + crt + " and " + key), std::string::npos) << again.out;
  EXPECT_EQ(ReadFileText(crt), renewed);
  ASSERT_EQ(Setup({"uninstall", "--purge"}).code, 0);
}

}  // namespace
}  // namespace qv::setup
