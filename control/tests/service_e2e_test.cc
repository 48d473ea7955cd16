// End to end: the real qvctrl95 (with qvsmtp95 and qvpop395 where the commands
// reach them) on free loopback ports against a temporary system root.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/line_client.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "control/control_texts.h"
#include "control/service.h"
#include "control/tests/service_keys_util.h"
#include "net/control_client.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "platform/spawn.h"
#include "platform/unique_fd.h"

namespace qv::control {
namespace {

using Clock = std::chrono::steady_clock;
using qv::testing::BinDir;
using qv::testing::FreeLoopbackPort;
using qv::testing::LineClient;
using qv::testing::MakeUser;
using qv::testing::RunProgram;
using qv::testing::ScopedSystemRoot;
using qv::testing::ScopedTables;
using qv::testing::ServiceProcess;

constexpr char kAdmin[] = "admin@example.test";

// Waits until `check` holds, for up to ten seconds.
template <class Check>
bool Eventually(Check check) {
  return qv::testing::WaitUntil(check, std::chrono::seconds(10));
}

// A connection from `source`, a loopback address, to `port`.
platform::UniqueFd ConnectFrom(const char* source, int port) {
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, source, &addr.sin_addr);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  return fd;
}

// The first line that arrives on `fd` (with its CR LF), or what came before the peer closed.
std::string FirstLine(int fd) {
  std::string text;
  char c = 0;
  pollfd p{fd, POLLIN, 0};
  while (text.find("\r\n") == std::string::npos && poll(&p, 1, 10000) == 1 &&
         recv(fd, &c, 1, 0) == 1)
    text += c;
  return text;
}

bool Greets(int port, const std::string& start) {
  LineClient c;
  return c.Connect(port) && c.ReadLine().rfind(start, 0) == 0;
}

class ControlServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctrl_port_ = FreeLoopbackPort();
    pw_port_ = FreeLoopbackPort();
    smtp_port_ = FreeLoopbackPort();
    pop3_port_ = FreeLoopbackPort();
    WriteRegistry();
    ::mkdir((tables_.root() + "/temp").c_str(), 0755);
    ::mkdir((tables_.root() + "/log").c_str(), 0755);
    USERSTRUCT admin = MakeUser("admin", "example.test", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    USERSTRUCT ann = MakeUser("ann", "example.test", "old", "ann");
    ASSERT_EQ(AddRecord(tables_.system(), &ann), 0);
  }

  void TearDown() override {
    // The mail services the control service started run detached: stop them by
    // their presence.
    for (const char* name : {"QuorvaneSmtp", "QuorvanePop3"}) {
      platform::SendDestroy(name);
      Eventually([name] { return !platform::FindServiceWindow(name); });
    }
    control_.Stop();
  }

  void WriteRegistry() {
    testing::WriteServiceKeys(tables_, {ctrl_port_, pw_port_, smtp_port_, pop3_port_});
  }

  bool StartControl() { return control_.Start("qvctrl95", ctrl_port_); }

  void LogIn(ControlClient& client) {
    ASSERT_EQ(client.Login("127.0.0.1", static_cast<uint16_t>(ctrl_port_), kAdmin, "secret"),
              ControlLogin::kOk);
  }

  std::string Command(ControlClient& client, const std::string& line) {
    Result<std::string> reply = client.Command(line);
    return reply ? *reply : "<" + reply.error() + ">";
  }

  ScopedSystemRoot root_;
  ScopedTables tables_{"example.test"};
  ServiceProcess control_;
  int ctrl_port_ = 0, pw_port_ = 0, smtp_port_ = 0, pop3_port_ = 0;
};

TEST_F(ControlServiceTest, LoginDialogueAndItsPause) {
  ASSERT_TRUE(StartControl());
  LineClient raw;
  ASSERT_TRUE(raw.Connect(ctrl_port_));
  std::string greeting = raw.ReadLine();
  EXPECT_TRUE(std::regex_match(
      greeting, std::regex("Quorvane Control Service \\(v1\\.00 Linux\\) for Windows 95 ready "
                           "at .*\r\n")))
      << greeting;

  struct Case {
    const char* user;
    const char* password;
    ControlLogin result;
  } cases[] = {{"nobody@example.test", "x", ControlLogin::kUnknownUser},
               {"ann@example.test", "old", ControlLogin::kNoPermission},
               {kAdmin, "wrong", ControlLogin::kBadPassword},
               {kAdmin, "SECRET", ControlLogin::kOk}};
  for (const Case& c : cases) {
    ControlClient client(-1, 10000);
    auto start = Clock::now();
    EXPECT_EQ(client.Login("127.0.0.1", static_cast<uint16_t>(ctrl_port_), c.user, c.password),
              c.result)
        << c.user;
    auto took = Clock::now() - start;
    if (c.result == ControlLogin::kOk)
      EXPECT_LT(took, std::chrono::milliseconds(900));
    else
      EXPECT_GE(took, std::chrono::milliseconds(950)) << c.user;
  }

  // While one login waits out its pause, another connection is served.
  ControlClient admin(-1, 10000);
  LogIn(admin);
  std::thread slow([this] {
    ControlClient wrong(-1, 10000);
    wrong.Login("127.0.0.1", static_cast<uint16_t>(ctrl_port_), kAdmin, "bad");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = Clock::now();
  EXPECT_EQ(Command(admin, "NOOP"), "\r\n");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  slow.join();
}

TEST_F(ControlServiceTest, RecordCommandsWorkOnTheRealTables) {
  ASSERT_TRUE(StartControl());
  ControlClient c(-1, 10000);
  LogIn(c);
  EXPECT_EQ(*c.Stream("GETSTREAM ACCOUNT #0"), "#||||0||0|");
  EXPECT_EQ(Command(c, "USER ADD bob@example.test,pw,Bob"), "User added successful\r\n");
  EXPECT_EQ(Command(c, "USER ADD bob@example.test"), "Cannot add user !\r\n");
  EXPECT_EQ(*c.Stream("GETSTREAM USER bob@example.test"), "bob|example.test|pw|Bob|bob||0|||||");
  EXPECT_EQ(Command(c, "LIST ADD team@example.test"), "List added successful\r\n");
  EXPECT_EQ(Command(c, "LIST ADDMEMBER team@example.test,x@y.org,X"),
            "Member added successful\r\n");
  EXPECT_EQ(*c.Stream("GETSTREAM MEMBER " + tables_.config() + "/team.mls|#0"), "x@y.org|X");
  EXPECT_EQ(*c.Stream("GETSTREAM MEMBER /etc/passwd|#0"), "");
  EXPECT_EQ(Command(c, "ROUTE ADD TODOMAIN *@far.test,relay.test"),
            "Static route added successful\r\n");
  EXPECT_EQ(Command(c, "AUTO ADD away,/srv/away.txt"), "Auto responder added successful\r\n");
  EXPECT_EQ(Command(c, "EXEC ADD run@example.test,/bin/true"), "Executable added successful\r\n");
  EXPECT_EQ(Command(c, "POPA ADD home,pop.test,me,pw"), "POP account added successful\r\n");
  EXPECT_NE(Command(c, "POPA SHOW home").find("2 hours"), std::string::npos);
  EXPECT_EQ(*c.Stream("PUTSTREAM USER ADD|carl|example.test|pw|Carl|carl||0||||"), ">");
  EXPECT_EQ(*c.Stream("PUTSTREAM USER DELETE|bob|example.test"), ">");
  std::vector<std::string> aliases;
  for (int n = 0; n < 10; ++n) {
    std::string line = *c.Stream("GETSTREAM USER #" + std::to_string(n));
    if (line.rfind("#|", 0) == 0) break;
    aliases.push_back(line.substr(0, line.find('|')));
  }
  std::vector<std::string> expected = {"admin", "ann", "carl"};
  EXPECT_EQ(aliases, expected);
  EXPECT_EQ(Command(c, "USER SHOW bob@example.test"), "User unknown !\r\n");
  EXPECT_EQ(Command(c, "FROB"), "Invalid Command\r\n");
}

TEST_F(ControlServiceTest, SetSaveRestartsTheSmtpServiceWithTheNewValue) {
  ASSERT_TRUE(StartControl());
  ControlClient c(-1, 30000);
  LogIn(c);
  EXPECT_EQ(Command(c, "START SMTP"), "QuorvaneSmtp service started.\r\n");
  ASSERT_TRUE(Eventually([this] { return Greets(smtp_port_, "220 "); }));
  EXPECT_EQ(Command(c, "STATE"), "  QuorvaneSmtp:  Running\r\n  QuorvanePop3:  Stopped\r\n\r\n");

  int new_port = FreeLoopbackPort();
  EXPECT_EQ(Command(c, "SET SMTPPORT=" + std::to_string(new_port) + " LOGLEVEL=2"), "\r\n");
  EXPECT_EQ(Command(c, "SAVE"), "New values saved to service.\r\n");
  EXPECT_TRUE(Eventually([new_port] { return Greets(new_port, "220 "); }));
  uint32_t stored = 0;
  EXPECT_TRUE(reg::ReadDword(kSmtpKey, "Port", &stored));
  EXPECT_EQ(stored, static_cast<uint32_t>(new_port));
  // SAVE restarts the POP3 service too, running or not.
  EXPECT_TRUE(Eventually([this] { return Greets(pop3_port_, "+OK "); }));

  EXPECT_EQ(Command(c, "STOP SMTP"), "QuorvaneSmtp service stopped.\r\n");
  EXPECT_EQ(Command(c, "STATE"), "  QuorvaneSmtp:  Stopped\r\n  QuorvanePop3:  Running\r\n\r\n");
  EXPECT_EQ(Command(c, "STOP POP3"), "QuorvanePop3 service stopped.\r\n");
  EXPECT_EQ(Command(c, "START FOO"), "Syntax Error\r\n");
}

TEST_F(ControlServiceTest, PasswordServiceChangesWhatThePop3ServiceAccepts) {
  ASSERT_TRUE(StartControl());
  ServiceProcess pop3;
  ASSERT_TRUE(pop3.Start("qvpop395", pop3_port_));
  LineClient pw;
  ASSERT_TRUE(pw.Connect(pw_port_));
  EXPECT_EQ(pw.ReadLine(), kPwGreeting);
  pw.Send("PASS early\r\n");
  EXPECT_EQ(pw.ReadLine(), kPwSyntaxError);
  pw.Send("USER ann@example.test\r\nPASS OLD\r\nNEWPASS fresh\r\n");
  EXPECT_EQ(pw.ReadLine(), kPwOk);
  EXPECT_EQ(pw.ReadLine(), kPwOk);
  EXPECT_EQ(pw.ReadLine(), kPwOk);
  EXPECT_TRUE(pw.WaitClosed());

  auto pop3_login = [this](const std::string& password) {
    LineClient p;
    if (!p.Connect(pop3_port_)) return std::string("no connection");
    p.ReadLine();
    p.Send("USER ann@example.test\r\n");
    p.ReadLine();
    p.Send("PASS " + password + "\r\n");
    std::string reply = p.ReadLine();
    p.Send("QUIT\r\n");
    return reply;
  };
  EXPECT_EQ(pop3_login("fresh").rfind("+OK", 0), 0u);
  EXPECT_EQ(pop3_login("old").rfind("-ERR", 0), 0u);

  // A wrong old password: answered after the pause, and the connection ends.
  LineClient bad;
  ASSERT_TRUE(bad.Connect(pw_port_));
  bad.ReadLine();
  bad.Send("USER ann@example.test\r\nPASS wrong\r\nNEWPASS x\r\n");
  bad.ReadLine();
  bad.ReadLine();
  auto start = Clock::now();
  EXPECT_EQ(bad.ReadLine(), kPwInvalidPassword);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_TRUE(bad.WaitClosed());
}

TEST_F(ControlServiceTest, ARecordWithoutAPasswordLogsOnNowhere) {
  USERSTRUCT open = MakeUser("open", "example.test", "");
  open.Options = kUserAdmin;
  ASSERT_EQ(AddRecord(tables_.system(), &open), 0);
  USERSTRUCT eve = MakeUser("eve", "example.test", "", "eve");
  ASSERT_EQ(AddRecord(tables_.system(), &eve), 0);
  ASSERT_TRUE(StartControl());
  ServiceProcess pop3;
  ASSERT_TRUE(pop3.Start("qvpop395", pop3_port_));

  // Each refusal is the ordinary wrong-password reply, after the pause.
  auto late = [](auto&& exchange) {
    auto start = Clock::now();
    auto result = exchange();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    return result;
  };
  ControlClient client(-1, 20000);
  EXPECT_EQ(late([&] {
              return client.Login("127.0.0.1", static_cast<uint16_t>(ctrl_port_),
                                  "open@example.test", "");
            }),
            ControlLogin::kBadPassword);

  struct Case {
    const char* lines;
    const char* user;  // whose password must not have changed
  } cases[] = {
      {"USER eve@example.test\r\nPASS\r\nNEWPASS mine\r\n", "eve"},  // no password to give
      {"USER ann@example.test\r\nPASS old\r\nNEWPASS\r\n", "ann"},   // none to take
  };
  for (const Case& c : cases) {
    LineClient pw;
    ASSERT_TRUE(pw.Connect(pw_port_));
    pw.ReadLine();
    pw.Send(c.lines);
    EXPECT_EQ(pw.ReadLine(), kPwOk);
    EXPECT_EQ(pw.ReadLine(), kPwOk);
    EXPECT_EQ(late([&] { return pw.ReadLine(); }), kPwInvalidPassword) << c.lines;
    EXPECT_TRUE(pw.WaitClosed());
  }
  USERSTRUCT stored{};
  ASSERT_EQ(FindRecord(tables_.system(), "eve", "example.test", &stored), 0);
  EXPECT_STREQ(stored.Password, "");
  ASSERT_EQ(FindRecord(tables_.system(), "ann", "example.test", &stored), 0);
  EXPECT_STREQ(stored.Password, "old");

  LineClient p;
  ASSERT_TRUE(p.Connect(pop3_port_));
  p.ReadLine();
  p.Send("USER eve@example.test\r\nPASS\r\n");
  p.ReadLine();
  EXPECT_EQ(late([&] { return p.ReadLine(); }), "-ERR invalid Password\r\n");
  p.Send("QUIT\r\n");
}

TEST_F(ControlServiceTest, BusyLongLinesAndOwnLineBuffers) {
  ASSERT_TRUE(StartControl());
  // The slots are held by administrators who logged on: one address holds only a few slots
  // with connections that have not.
  std::vector<std::unique_ptr<LineClient>> held;
  for (size_t i = 0; i < kControlSlots; ++i) {
    held.push_back(std::make_unique<LineClient>());
    ASSERT_TRUE(held.back()->Connect(ctrl_port_));
    ASSERT_EQ(held.back()->ReadLine().rfind("Quorvane Control Service", 0), 0u);
    held.back()->Send("admin@example.test\r\nsecret\r\n");
    ASSERT_EQ(held.back()->ReadLine(),
              "Username: Password: Login OK (Enter HELP for command help)\r\n");
  }
  LineClient extra;
  ASSERT_TRUE(extra.Connect(ctrl_port_));
  std::string rest;
  EXPECT_TRUE(extra.WaitClosed(&rest));
  EXPECT_EQ(rest, kTooManyConnections);
  held.clear();

  // The password slots are held from three addresses, two from each at most.
  std::vector<platform::UniqueFd> pw_held;
  for (const char* source : {"127.0.0.1", "127.0.0.1", "127.0.0.2", "127.0.0.2", "127.0.0.3"}) {
    pw_held.push_back(ConnectFrom(source, pw_port_));
    ASSERT_EQ(FirstLine(pw_held.back().get()), kPwGreeting);
  }
  platform::UniqueFd pw_extra = ConnectFrom("127.0.0.4", pw_port_);
  EXPECT_EQ(FirstLine(pw_extra.get()), kPwTooManyConnections);
  pollfd closed{pw_extra.get(), POLLIN, 0};
  char c = 0;
  EXPECT_TRUE(poll(&closed, 1, 10000) == 1 && recv(pw_extra.get(), &c, 1, 0) == 0);
  pw_held.clear();

  // Two clients sending halves of lines at once: each gets its own line.
  ASSERT_TRUE(Eventually([this] {
    LineClient probe;
    return probe.Connect(ctrl_port_) && probe.ReadLine().rfind("Quorvane", 0) == 0;
  }));
  LineClient a, b;
  ASSERT_TRUE(a.Connect(ctrl_port_) && b.Connect(ctrl_port_));
  a.ReadLine();
  b.ReadLine();
  a.Send("admin@exa");
  b.Send("nobody@exa");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  a.Send("mple.test\r\n");
  b.Send("mple.test\r\n");
  ASSERT_TRUE(a.Send("secret\r\n"));
  EXPECT_EQ(a.ReadLine(), "Username: Password: Login OK (Enter HELP for command help)\r\n");
  b.Send(std::string(2100, 'x'));
  EXPECT_TRUE(b.WaitClosed(&rest));
  EXPECT_EQ(rest, "Username: Password: Line too long\r\n");
}

// A listening socket on a port, standing for another program that holds it.
int Occupy(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(ControlServiceTest, ListenersThatCannotOpen) {
  // Without its password listener the service runs on.
  int pw_blocker = Occupy(pw_port_);
  ASSERT_GE(pw_blocker, 0);
  ASSERT_TRUE(StartControl());
  ControlClient c(-1, 10000);
  LogIn(c);
  c.Close();
  EXPECT_EQ(control_.Stop(), 0);
  close(pw_blocker);

  // Without its control listener it ends.
  int ctrl_blocker = Occupy(ctrl_port_);
  ASSERT_GE(ctrl_blocker, 0);
  pid_t pid = -1;
  ASSERT_TRUE(platform::StartProgram({BinDir() + "/qvctrl95"}, &pid));
  int status = 0;
  bool ended = Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) {
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
  close(ctrl_blocker);
}

TEST_F(ControlServiceTest, QvctlScriptedFromStandardInput) {
  ASSERT_TRUE(StartControl());
  std::vector<std::string> args = {"-h", "127.0.0.1", "-p", std::to_string(ctrl_port_),
                                   "-u", kAdmin};
  qv::testing::RunResult ok =
      RunProgram(BinDir() + "/qvctl", args,
                 "secret\nUSER ADD zoe@example.test,pw,Zoe\n\nGETSTREAM USER "
                 "zoe@example.test\nNOOP\n"
                 "GETSTREAM USER nobody@example.test\nHELP NOOP\n");
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(ok.out,
            "User added successful\nzoe|example.test|pw|Zoe|zoe||0|||||\n\n"
            "  NOOP        Do nothing !\n\n");
  qv::testing::RunResult failed =
      RunProgram(BinDir() + "/qvctl", args, "secret\nUSER SHOW nobody@example.test\nNOOP\n");
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.out, "User unknown !\n");
  std::vector<std::string> one = args;
  one.push_back("STATE");
  qv::testing::RunResult state = RunProgram(BinDir() + "/qvctl", one, "secret\n");
  EXPECT_EQ(state.code, 0) << state.err;
  EXPECT_EQ(state.out, "  QuorvaneSmtp:  Stopped\n  QuorvanePop3:  Stopped\n\n");
  qv::testing::RunResult denied = RunProgram(BinDir() + "/qvctl", args, "wrong\nNOOP\n");
  EXPECT_EQ(denied.code, 2);
  EXPECT_NE(denied.err.find("invalid password"), std::string::npos);
}

}  // namespace
}  // namespace qv::control
