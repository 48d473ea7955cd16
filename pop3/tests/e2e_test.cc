// The real qvpop395 (and qvsmtp95) on free loopback ports against a temporary system root, with
// Python's poplib and smtplib as clients, and PAM logons through pam_wrapper and nss_wrapper.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "common/testing/test_env.h"
#include "platform/spawn.h"
#include "pop3/pop3_texts.h"
#include "pop3/session.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

using testing::Client;
using testing::FreePort;
using testing::Pop3TestSystem;

class Pop3E2E : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_.AddUser("ann", "Secret", "ann");
    pop3_port_ = FreePort();
    smtp_port_ = FreePort();
    qv::testing::WriteCommonKey({.host = "mail.example.test",
                                 .domain = "example.test",
                                 .install = qv::testing::BinDir(),
                                 .mail = sys_.system().MailPath,
                                 .temp = sys_.system().TempPath,
                                 .log = sys_.system().LogPath,
                                 .config = sys_.system().ConfigPath,
                                 .log_level = 4});
    qv::testing::Pop3Key().Set("Port", pop3_port_);
    qv::testing::SmtpKey().Set("Port", smtp_port_);
  }

  // The services on their ports, waited for until they answer.
  bool StartPop3() { return pop3_.Start("qvpop395", pop3_port_); }
  bool StartSmtp() { return smtp_.Start("qvsmtp95", smtp_port_); }

  // Runs a Python script; its standard output.
  std::string Python(const std::string& script) {
    std::string path = sys_.root() + "/client.py";
    qv::testing::WriteFileText(path, script);
    qv::testing::RunResult r = qv::testing::RunProgram(
        "/usr/bin/python3", {path, std::to_string(smtp_port_), std::to_string(pop3_port_)});
    EXPECT_EQ(r.code, 0) << r.err;
    return r.out;
  }

  Pop3TestSystem sys_;
  int pop3_port_ = 0;
  int smtp_port_ = 0;
  qv::testing::ServiceProcess pop3_;
  qv::testing::ServiceProcess smtp_;
};

// Hex digits of bytes, as the client scripts print them.
std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// The lines poplib gives for a stored text sent by the service: split at CR LF, one dot taken
// from lines that begin with two.
std::string PoplibLines(const std::string& stored) {
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t end = stored.find("\r\n", start);
    std::string line =
        stored.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (line.rfind("..", 0) == 0) line.erase(0, 1);
    out += Hex(line) + "\n";
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return out;
}

TEST_F(Pop3E2E, PoplibFetchesWhatSmtpDeliveredByteForByte) {
  ASSERT_TRUE(StartSmtp());
  ASSERT_TRUE(StartPop3());
  std::string out = Python(
      "import poplib, smtplib, sys\n"
      "smtp, pop = int(sys.argv[1]), int(sys.argv[2])\n"
      "body = ('Subject: Fetch me\\r\\nFrom: Alice <alice@other.test>\\r\\n\\r\\n'\n"
      "        'Line one\\r\\n.\\r\\n.dotline\\r\\n..two\\r\\n' + 'x' * 1500 + '\\r\\nbye\\r\\n')\n"
      "with smtplib.SMTP('127.0.0.1', smtp) as s:\n"
      "    s.sendmail('alice@other.test', ['ann@example.test'], body)\n"
      "p = poplib.POP3('127.0.0.1', pop)\n"
      "p.user('ann'); p.pass_('secret')\n"
      "count, size = p.stat()\n"
      "print('stat', count)\n"
      "resp, lines, octets = p.retr(1)\n"
      "print(resp.decode())\n"
      "for line in lines: print(line.hex())\n"
      "print('end')\n"
      "uid = p.uidl(1).decode().split()[2]\n"
      "print('uid', uid)\n"
      "top = p.top(1, 0)[1]\n"
      "print('top', len(top), top[0].decode())\n"
      "p.quit()\n");
  std::istringstream in(out);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "stat 1");
  std::getline(in, line);
  EXPECT_EQ(line.substr(0, 4), "+OK ");
  std::string fetched;
  while (std::getline(in, line) && line != "end") fetched += line + "\n";
  std::getline(in, line);
  ASSERT_EQ(line.substr(0, 4), "uid ");
  std::string uid = line.substr(4);
  std::string stored;
  ASSERT_EQ(ReadMessageFile(sys_.MailboxPath("ann") + "/" + uid, 0, &stored), 0);
  EXPECT_EQ(fetched, PoplibLines(stored));
  // What the sender wrote comes out whole, the lone dot and the dotted lines included.
  std::string tail = Hex("Line one") + "\n" + Hex(".") + "\n" + Hex(".dotline") + "\n" +
                     Hex("..two") + "\n" + Hex(std::string(1500, 'x')) + "\n" + Hex("bye") + "\n";
  EXPECT_NE(fetched.find(tail), std::string::npos) << fetched;
  EXPECT_EQ(fetched.find(tail) + tail.size(), fetched.size());
  std::getline(in, line);
  EXPECT_EQ(line.substr(0, 4), "top ");
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 1u);
  EXPECT_EQ(pop3_.Stop(), 0);
  EXPECT_EQ(smtp_.Stop(), 0);
}

TEST_F(Pop3E2E, LinesSentTogetherAreAllAnswered) {
  ASSERT_TRUE(StartSmtp());
  ASSERT_TRUE(StartPop3());
  // Raw sockets: each packet goes out in one send, and the replies are read afterwards.
  std::string out = Python(
      "import socket, sys\n"
      "def talk(port, packets):\n"
      "    s = socket.create_connection(('127.0.0.1', port), timeout=20)\n"
      "    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)\n"
      "    f = s.makefile('rb')\n"
      "    f.readline()\n"
      "    for packet, count in packets:\n"
      "        s.sendall(packet)\n"
      "        for _ in range(count): print(f.readline().decode().rstrip())\n"
      "    s.close()\n"
      "talk(int(sys.argv[1]), [\n"
      "    (b'MAIL FROM:<alice@other.test>\\r\\nRCPT TO:<ann@example.test>\\r\\nDATA\\r\\n', 3),\n"
      "    (b'Subject: piped\\r\\n\\r\\nbody\\r\\n.\\r\\nQUIT\\r\\n', 2)])\n"
      "talk(int(sys.argv[2]), [(b'USER ann\\r\\nPASS secret\\r\\nSTAT\\r\\nQUIT\\r\\n', 4)])\n");
  std::istringstream in(out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const char* starts[] = {"250 <alice@other.test>",
                          "250 ",
                          "354 ",
                          "250 ",
                          "221 ",
                          "+OK <ann>",
                          "+OK",
                          "+OK 1 ",
                          "+OK"};
  ASSERT_EQ(lines.size(), std::size(starts)) << out;
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].substr(0, std::strlen(starts[i])), starts[i]) << i << ": " << out;
  EXPECT_NE(lines[3].find("bytes received"), std::string::npos) << out;
}

// The services' start and end trace lines are written at their own levels: POP3's 50, SMTP's 70.
TEST_F(Pop3E2E, StartAndEndTraceLinesAtEachServicesLevel) {
  std::string trace = sys_.root() + "/trace.txt";
  auto run = [&](const char* program, int port, uint32_t threshold) {
    qv::testing::KeyWriter(kTraceKey, "")
        .Set("DbgLevel", threshold)
        .Set("DbgOutTo", 2)
        .Set("DbgMex", 0)
        .Set("DbgLogfile", trace);
    std::filesystem::remove(trace);
    qv::testing::ServiceProcess service;
    EXPECT_TRUE(service.Start(program, port));
    EXPECT_EQ(service.Stop(), 0);
    return std::filesystem::exists(trace) ? qv::testing::ReadFileText(trace) : std::string();
  };
  EXPECT_EQ(run("qvpop395", pop3_port_, 60), "");
  std::string pop3 = run("qvpop395", pop3_port_, 50);
  EXPECT_EQ(pop3.rfind("POP3MAIN.WinMain [hMainWindow=x", 0), 0u) << pop3;
  EXPECT_NE(pop3.find("POP3MAIN.WinMain - Exiting\r\n"), std::string::npos) << pop3;
  std::string smtp = run("qvsmtp95", smtp_port_, 60);
  EXPECT_EQ(smtp.rfind("SMTPMAIN.WinMain [hMainWindow=x", 0), 0u) << smtp;
  EXPECT_EQ(run("qvsmtp95", smtp_port_, 71), "");
}

TEST_F(Pop3E2E, TheStartRemovesWhatInterruptedWritesLeft) {
  std::string box = sys_.MailboxPath("ann");
  std::filesystem::create_directories(box);
  std::string old_file = box + "/.qvmsg-a1B2c3.tmp", young_file = box + "/.qvmsg-d4E5f6.tmp";
  qv::testing::WriteFileText(old_file, "half a message");
  qv::testing::WriteFileText(young_file, "a message being written");
  std::filesystem::last_write_time(
      old_file, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5));
  ASSERT_TRUE(StartPop3());
  EXPECT_FALSE(std::filesystem::exists(old_file));
  EXPECT_TRUE(std::filesystem::exists(young_file));
}

TEST_F(Pop3E2E, ListRetrAndADroppedConnection) {
  for (int i = 0; i < 3; ++i)
    sys_.AddMessage("ann", "Subject: " + std::to_string(i) + "\r\n\r\nbody " + std::to_string(i));
  ASSERT_TRUE(StartPop3());
  std::string out = Python(
      "import poplib, sys\n"
      "p = poplib.POP3('127.0.0.1', int(sys.argv[2]))\n"
      "p.user('ann@example.test'); p.pass_('SECRET')\n"
      "print(len(p.list()[1]))\n"
      "for i in (1, 2, 3): print(p.retr(i)[1][-1].decode())\n"
      "for i in (1, 2, 3): p.dele(i)\n"
      "p.sock.close()\n");  // no QUIT: nothing is deleted
  EXPECT_NE(out.find("3\nbody "), std::string::npos) << out;
  Client c(pop3_port_);
  EXPECT_EQ(c.Line().substr(0, 4), "+OK ");
  EXPECT_EQ(c.Ask("USER ann"), "+OK <ann>\r\n");
  EXPECT_EQ(c.Ask("PASS secret"), "+OK\r\n");
  EXPECT_EQ(c.Ask("STAT").substr(0, 6), "+OK 3 ");
  EXPECT_EQ(c.Ask("TOP 9 1"), kErrUnknownMessage);
  EXPECT_EQ(c.Ask("QUIT"), "+OK\r\n");
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 3u);
}

TEST_F(Pop3E2E, AWrongPasswordIsAnsweredAfterASecondWhileOthersAreServed) {
  ASSERT_TRUE(StartPop3());
  std::string out = Python(
      "import poplib, socket, sys, threading, time\n"
      "port = int(sys.argv[2])\n"
      // The other client comes from another address: logons from the guesser's wait with it.
      "connect = socket.create_connection\n"
      "def from_other(address, timeout=None, *rest):\n"
      "    return connect(address, timeout, ('127.0.0.2', 0))\n"
      "guesser = poplib.POP3('127.0.0.1', port, timeout=20)\n"
      "guesser.user('ann')\n"
      "times = {}\n"
      "def guess():\n"
      "    start = time.monotonic()\n"
      "    try:\n"
      "        guesser.pass_('wrong')\n"
      "    except poplib.error_proto as e:\n"
      "        times['error'] = e.args[0].decode()\n"
      "    times['guess'] = (start, time.monotonic())\n"
      "t = threading.Thread(target=guess)\n"
      "t.start()\n"
      "time.sleep(0.1)\n"
      "socket.create_connection = from_other\n"
      "other = poplib.POP3('127.0.0.1', port, timeout=20)\n"
      "socket.create_connection = connect\n"
      "other.user('ann')\n"
      "other.pass_('Secret')\n"
      "print(other.stat())\n"
      "other.quit()\n"
      "served = time.monotonic()\n"
      "t.join()\n"
      "start, answered = times['guess']\n"
      "print(times['error'], answered - start >= 1.0, served < answered)\n"
      "guesser.pass_('Secret')\n"
      "print(guesser.stat())\n"
      "guesser.quit()\n");
  EXPECT_EQ(out, "(0, 0)\n-ERR invalid Password True True\n(0, 0)\n");
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(sys_.system().LogPath))
    log += qv::testing::ReadFileText(entry.path().string());
  EXPECT_NE(log.find("*** Logon of user 'ann' from 127.0.0.1 failed"), std::string::npos) << log;
  EXPECT_EQ(log.find("wrong"), std::string::npos);
}

TEST_F(Pop3E2E, ARecordWithoutAPasswordNeverLogsOnAndNoPasswordIsTaken) {
  sys_.AddUser("nopw", "", "nopw");
  ASSERT_TRUE(pop3_.Start("qvpop395", pop3_port_));
  // Each refusal is the ordinary one, answered after the pause; the mailbox stays unopened.
  std::string out = Python(
      "import poplib, sys, time\n"
      "port = int(sys.argv[2])\n"
      "def late(call):\n"
      "    start = time.monotonic()\n"
      "    try:\n"
      "        answer = call().decode()\n"
      "    except poplib.error_proto as e:\n"
      "        answer = e.args[0].decode()\n"
      "    print(answer, time.monotonic() - start >= 0.9)\n"
      "p = poplib.POP3('127.0.0.1', port, timeout=30)\n"
      "p.user('nopw')\n"
      "for given in ('', 'anything'):\n"
      "    late(lambda: p.pass_(given))\n"
      "p.quit()\n"
      "p = poplib.POP3('127.0.0.1', port, timeout=30)\n"
      "p.user('ann')\n"
      "p.pass_('Secret')\n"
      "late(lambda: p._shortcmd('NEWPASS'))\n"
      "p.quit()\n");
  EXPECT_EQ(out,
            "-ERR invalid Password True\n-ERR invalid Password True\n"
            "-ERR invalid Password True\n");
  EXPECT_FALSE(std::filesystem::exists(sys_.MailboxPath("nopw")));
}

TEST_F(Pop3E2E, TheSecondInstanceEndsAtOnce) {
  ASSERT_TRUE(StartPop3());
  qv::testing::RunResult second = qv::testing::RunProgram(qv::testing::BinDir() + "/qvpop395", {});
  EXPECT_NE(second.code, 0);
  Client c(pop3_port_);
  EXPECT_EQ(c.Line().substr(0, 4), "+OK ");
}

// The operating-system logon through the machine's PAM library, with pam_wrapper standing in for
// the PAM configuration (its pam_matrix module checks a password file of the test) and
// nss_wrapper for the account database. No real account of the machine is ever asked.
class PamE2E : public Pop3E2E {
 protected:
  void SetUp() override {
    Pop3E2E::SetUp();
    if (!std::filesystem::exists(kPamWrapper) || !std::filesystem::exists(kMatrix) ||
        !std::filesystem::exists(kNssWrapper))
      GTEST_SKIP() << "pam_wrapper or nss_wrapper is not installed (scripts/deps installs them)";
    std::string dir = sys_.root() + "/pam";
    std::filesystem::create_directories(dir + "/services");
    qv::testing::WriteFileText(dir + "/passdb", "carol:Secret1:quorvane\ndave:pw:quorvane\n");
    WriteService(dir + "/passdb");
    qv::testing::WriteFileText(dir + "/services/other", "auth required pam_deny.so\n");
    qv::testing::WriteFileText(dir + "/passwd",
                               "carol:x:2001:2001:Carol Example,,,:/nonexistent:/bin/false\n"
                               "dave:x:2002:2002:Dave:/nonexistent:/bin/false\n");
    qv::testing::WriteFileText(dir + "/group",
                               "carol:x:2001:\ndave:x:2002:\nmailusers:x:3000:carol\n");
    qv::testing::ControlKey().Set("Flags", kSysNtUser).Set("NTUser", "MailUsers");
    // The environment of the service only: set for the start, restored at once.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asan_options = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
    Env("LD_PRELOAD", std::string(kPamWrapper) + " " + kNssWrapper);
    Env("PAM_WRAPPER", "1");
    Env("PAM_WRAPPER_SERVICE_DIR", dir + "/services");
    Env("UID_WRAPPER_DISABLE_DEEPBIND", "1");  // the name pam_wrapper reads
    Env("PAM_WRAPPER_DISABLE_DEEPBIND", "1");
    Env("NSS_WRAPPER_DISABLE_DEEPBIND", "1");
    Env("NSS_WRAPPER_PASSWD", dir + "/passwd");
    Env("NSS_WRAPPER_GROUP", dir + "/group");
    Env("ASAN_OPTIONS", asan_options);
    started_ = StartPop3();
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second.has_value())
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
    dir_ = dir;
  }

  void Env(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name.c_str(), value.c_str(), 1);
  }

  void WriteService(const std::string& passdb) {
    std::string module = std::string(kMatrix) + " passdb=" + passdb + "\n";
    qv::testing::WriteFileText(sys_.root() + "/pam/services/quorvane",
                               "auth required " + module + "account required " + module);
  }

  std::string Logon(const std::string& user, const std::string& password) {
    Client c(pop3_port_);
    c.Line();
    c.Ask("USER " + user);
    std::string reply = c.Ask("PASS " + password);
    if (reply == "+OK\r\n") last_stat_ = c.Ask("STAT");
    c.Ask("QUIT");
    return reply;
  }

  static constexpr char kPamWrapper[] = "/usr/lib/x86_64-linux-gnu/libpam_wrapper.so";
  static constexpr char kNssWrapper[] = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";
  static constexpr char kMatrix[] = "/usr/lib/x86_64-linux-gnu/pam_wrapper/pam_matrix.so";
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
  std::string dir_;
  std::string last_stat_;
  bool started_ = false;
};

TEST_F(PamE2E, AFailedSystemLogonIsAnsweredLate) {
  ASSERT_TRUE(started_);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Logon("carol", "wrong"), "-ERR Login failed (1326)\r\n");
  EXPECT_GE(std::chrono::steady_clock::now() - start, kFailedLogonDelay);
  EXPECT_EQ(Logon("carol", "Secret1"), "+OK\r\n");
}

TEST_F(PamE2E, SystemAccountsLogOnThroughPam) {
  ASSERT_TRUE(started_);
  EXPECT_EQ(Logon("carol", "Secret1"), "+OK\r\n");
  EXPECT_EQ(last_stat_, "+OK 0 0\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(sys_.MailboxPath("carol")));
  EXPECT_EQ(Logon("carol@example.test", "wrong"), "-ERR Login failed (1326)\r\n");
  EXPECT_EQ(Logon("dave", "pw"), kErrInvalidUsername);  // not in the group
  EXPECT_EQ(Logon("nobody", "pw"), kErrInvalidUsername);
  EXPECT_EQ(Logon("ann", "secret"), "+OK\r\n");  // table users never reach PAM
  // The password file of PAM's module is gone: its account database is not available.
  std::filesystem::remove(dir_ + "/passdb");
  EXPECT_EQ(Logon("carol", "Secret1"), kErrNoPrivileges);
}

}  // namespace
}  // namespace qv::pop3
