// The real qvsmtp95 against a careless or hostile client: header values that try to become
// program arguments, programs that outlive the service, over-size messages, one recipient named
// many times.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/testing/line_client.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "common/testing/test_env.h"
#include "platform/spawn.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using qv::testing::LineClient;
using qv::testing::ReadFileText;
using qv::testing::WriteFileText;
using testing::SmtpEnv;

constexpr int kMaxSize = 5000;

// Waits up to five seconds for `done`.
template <typename Done>
bool WaitFor(Done done) {
  return qv::testing::WaitUntil(done, std::chrono::seconds(5));
}

// What a running program holds once it sleeps: "<fd> -> <target>" for each open descriptor.
std::vector<std::string> DescriptorsOf(pid_t pid) {
  std::string proc = "/proc/" + std::to_string(pid);
  WaitFor([&] {
    std::string stat = ReadFileText(proc + "/stat");
    size_t state = stat.rfind(") ");
    return state != std::string::npos && stat.compare(state + 2, 1, "S") == 0;
  });
  std::vector<std::string> seen;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", ec)) {
    seen.push_back(entry.path().filename().string() + " -> " +
                   std::filesystem::read_symlink(entry.path(), ec).string());
  }
  std::sort(seen.begin(), seen.end());
  return seen;
}

class HostileE2E : public testing::SmtpServiceTest {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob");
    env_.AddUser("carol", "example.test", "Carol");
    WriteKeys(kSmtpEsmtp | kSmtpEnforceSize);
    qv::testing::SmtpKey().Set("ESMTPMaxMsgSize", kMaxSize);
  }
  void TearDown() override {
    SmtpServiceTest::TearDown();
    for (pid_t pid : programs_) kill(pid, SIGKILL);
  }

  // Sends one message by plain SMTP and returns the reply to its end line.
  std::string Send(const std::string& recipient, const std::string& text) {
    return SendMessage("alice@other.test", recipient, text);
  }

  // Runs a Python script against the service and returns what it printed.
  std::string Python(const std::string& script) {
    auto result = RunPython(
        "import smtplib, sys\ns = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), "
        "timeout=20)\ns.helo('client.test')\n" +
        script + "s.quit()\n");
    EXPECT_EQ(result.code, 0) << result.err;
    return result.out;
  }

  std::vector<pid_t> programs_;  // started by the service, ended by the test
};

TEST_F(HostileE2E, HeaderValueIsOneArgumentOfTheProgram) {
  // A small program that writes its arguments, one a line.
  std::string out = env_.root() + "/args";
  std::string program = env_.root() + "/args.sh";
  WriteFileText(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + out + "\n");
  chmod(program.c_str(), 0755);
  env_.AddCommand("probe", "example.test", "Probe", program, "\"%%Subject:%%\" fixed");
  ASSERT_TRUE(Start());
  EXPECT_EQ(Send("probe@example.test",
                 "Subject: hello\" --injected \"/etc/passwd\r\nFrom: <alice@other.test>\r\n\r\nhi")
                .substr(0, 4),
            "250 ");
  ASSERT_TRUE(WaitFor([&] { return ReadFileText(out).ends_with("fixed\n"); }));
  EXPECT_EQ(ReadFileText(out), "hello\" --injected \"/etc/passwd\nfixed\n");
}

TEST_F(HostileE2E, StartedProgramHoldsNothingOfTheService) {
  std::string pid_file = env_.root() + "/pid";
  env_.AddCommand("hold", "example.test", "Hold", "/bin/sh",
                  "-c \"echo $$ > " + pid_file + "; exec sleep 30\"");
  ASSERT_TRUE(Start());
  // Clients connected while the program starts: their sockets must not reach it either.
  LineClient idle;
  ASSERT_TRUE(idle.Connect(port_));
  EXPECT_EQ(Send("hold@example.test", "Subject: s\r\n\r\nhi").substr(0, 4), "250 ");
  ASSERT_TRUE(WaitFor([&] { return ReadFileText(pid_file).ends_with("\n"); }));
  pid_t program = std::stoi(ReadFileText(pid_file));
  programs_.push_back(program);
  EXPECT_EQ(DescriptorsOf(program),
            (std::vector<std::string>{"0 -> /dev/null", "1 -> /dev/null", "2 -> /dev/null"}));

  // Stopped and started again while the program runs: the new service listens on its port and
  // greets, and the client of the old one is not left hanging.
  Stop();
  EXPECT_TRUE(idle.WaitClosed());
  ASSERT_TRUE(Start());
  EXPECT_EQ(waitpid(service_.pid(), nullptr, WNOHANG), 0);
  LineClient client;
  ASSERT_TRUE(client.Connect(port_));
  EXPECT_EQ(client.ReadLine().substr(0, 4), "220 ");
  EXPECT_EQ(kill(program, 0), 0);  // still running
}

TEST_F(HostileE2E, OverSizeMessageIsRefusedAndNothingDelivered) {
  ASSERT_TRUE(Start());
  std::string out = Python(
      "big = 'Subject: big\\r\\n\\r\\n' + ('x' * 78 + '\\r\\n') * 100\n"
      "try:\n"
      "    s.sendmail('alice@other.test', ['bob@example.test'], big)\n"
      "    print('accepted')\n"
      "except smtplib.SMTPDataError as e:\n"
      "    print('refused', e.smtp_code, e.smtp_error.decode())\n"
      "print('next', s.sendmail('alice@other.test', ['carol@example.test'], "
      "'Subject: small\\r\\n\\r\\nhi\\r\\n'))\n");
  EXPECT_EQ(out, "refused 552 Message size exceeds fixed maximium message size\nnext {}\n");
  EXPECT_TRUE(env_.Mailbox("bob").empty());
  EXPECT_EQ(env_.Mailbox("carol").size(), 1u);
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(HostileE2E, MessageThatWentRoundTooOftenIsRefused) {
  ASSERT_TRUE(Start());
  std::string received;
  for (int i = 0; i < 50; ++i) received += "Received: by relay" + std::to_string(i) + ".test\r\n";
  // Fifty hops are still mail; the fifty-first is a loop (a folded line is no new field).
  EXPECT_EQ(Send("bob@example.test", received + " \tReceived: folded\r\nSubject: s\r\n\r\nhi")
                .substr(0, 4),
            "250 ");
  EXPECT_EQ(Send("bob@example.test", "received:  by x\r\n" + received + "Subject: s\r\n\r\nhi"),
            "554 Too many hops; mail loop?\r\n");
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(HostileE2E, OneRecipientNamedFiftyTimesGetsOneCopy) {
  // A list of ten members, named twenty times, gives each member one copy.
  std::string members = env_.config() + "/ten.mbr";
  {
    std::ofstream file(members, std::ios::binary);
    for (int i = 0; i < 10; ++i) {
      env_.AddUser("m" + std::to_string(i), "example.test");
      char record[256] = {};
      std::string address = "m" + std::to_string(i) + "@example.test";
      address.copy(record, 127);
      file.write(record, sizeof record);
    }
  }
  env_.AddList("ten", "example.test", "Ten", members);
  ASSERT_TRUE(Start());
  std::string out = Python(
      "print(s.sendmail('alice@other.test', ['bob@example.test'] * 25 + "
      "['BOB@Example.test'] * 25, 'Subject: once\\r\\n\\r\\nhi\\r\\n'))\n"
      "print(s.sendmail('alice@other.test', ['ten@example.test'] * 20, "
      "'Subject: list\\r\\n\\r\\nhi\\r\\n'))\n");
  EXPECT_EQ(out, "{}\n{}\n");
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(env_.Mailbox("m" + std::to_string(i)).size(), 1u) << i;
  EXPECT_TRUE(env_.Queue().empty());
}

}  // namespace
}  // namespace qv::smtp
