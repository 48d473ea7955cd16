// The real qvsmtp95 on a free loopback port against a temporary system root.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/line_client.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "platform/presence.h"
#include "platform/spawn.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using qv::testing::LineClient;
using testing::Normalize;
using testing::SmtpEnv;

// The system of the test written into the registry the service reads, then the service.
class ServiceE2E : public testing::SmtpServiceTest {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob Builder");
    env_.AddUser("carol", "example.test", "Carol");
    WriteKeys(kSmtpEsmtp | kSmtpEnforceSize);
    qv::testing::SmtpKey().Set("ESMTPMaxMsgSize", 10485760);
  }

  // A client past the greeting.
  std::unique_ptr<LineClient> Client() {
    auto client = std::make_unique<LineClient>();
    EXPECT_TRUE(client->Connect(port_));
    std::string greeting = client->ReadLine();
    EXPECT_EQ(greeting.substr(0, 4), "220 ") << greeting;
    return client;
  }
};

TEST_F(ServiceE2E, GreetingAndReplies) {
  ASSERT_TRUE(Start());
  LineClient client;
  ASSERT_TRUE(client.Connect(port_));
  std::string greeting = client.ReadLine();
  EXPECT_EQ(Normalize(greeting),
            "220 Quorvane SMTP Server (v1.00 Linux) for Windows 95 ready at <date>\r\n");
  EXPECT_EQ(Say(client, "EHLO client.test\r\n"),
            "250-mx.example.test Hello 127.0.0.1\r\n250-EXPN\r\n250-SIZE 10485760\r\n"
            "250 HELP\r\n");
  EXPECT_EQ(Say(client, "vrfy bob\r\n"), "250 Bob Builder <bob@example.test>\r\n");
  EXPECT_EQ(Say(client, "RCPT TO:<bob@example.test>\r\n"), "501 invalid Command in this state\r\n");
  EXPECT_EQ(Say(client, "MAIL FROM:<a@b.test> SIZE=20000000\r\n"),
            "552 Message size exceeds fixed maximium message size of 10485760 bytes\r\n");
  EXPECT_EQ(Say(client, "QUIT\r\n"), "221 127.0.0.1 closing connection\r\n");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(Stop(), 0);
  std::string log = env_.LogText();
  EXPECT_NE(log.find("--> vrfy bob"), std::string::npos);
  EXPECT_NE(log.find("<-- 250 Bob Builder <bob@example.test>"), std::string::npos);
}

TEST_F(ServiceE2E, PythonSmtplibMessageLiesInTheMailbox) {
  ASSERT_TRUE(Start());
  std::string script = env_.root() + "/send.py";
  qv::testing::WriteFileText(script,
                             "import smtplib, sys\n"
                             "msg = ('Subject: Hello\\r\\nFrom: Alice <alice@other.test>\\r\\n'\n"
                             "       '\\r\\nLine one\\r\\n.dotline\\r\\nbye\\r\\n')\n"
                             "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=20)\n"
                             "s.ehlo('client.test')\n"
                             "refused = s.sendmail('alice@other.test', ['bob@example.test'], msg)\n"
                             "s.quit()\n"
                             "print('refused', refused)\n");
  auto result = qv::testing::RunProgram("/usr/bin/python3", {script, std::to_string(port_)});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, "refused {}\n");
  auto box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_EQ(Normalize(box[0]),
            "Received: by mx.example.test with Quorvane-SMTP/POP3-Server (v1.00 Linux) for "
            "<bob@example.test> at <date>\r\n"
            "Subject: Hello\r\n"
            "From: Alice <alice@other.test>\r\n"
            "Date: <date>\r\n"
            "To: <bob@example.test>\r\n"
            "Message-Id: <<id>@mx.example.test>\r\n"
            "\r\n"
            "Line one\r\n"
            "..dotline\r\n"
            "bye");
}

TEST_F(ServiceE2E, TwentyFiveConnectionsAndNoMore) {
  ASSERT_TRUE(Start());
  std::vector<std::unique_ptr<LineClient>> clients;
  for (int i = 0; i < 25; ++i) clients.push_back(Client());
  LineClient extra;
  ASSERT_TRUE(extra.Connect(port_));
  std::string rest;
  EXPECT_TRUE(extra.WaitClosed(&rest));
  EXPECT_EQ(rest, "421 mx.example.test Too many connections; try again later\r\n");
  // Every admitted connection still works.
  for (auto& client : clients) EXPECT_EQ(Say(*client, "NOOP\r\n"), "250 OK\r\n");
  // A freed slot takes the next connection.
  EXPECT_EQ(Say(*clients[3], "QUIT\r\n"), "221 127.0.0.1 closing connection\r\n");
  clients[3]->WaitClosed();
  std::unique_ptr<LineClient> again;
  for (int i = 0; i < 200 && !again; ++i) {
    auto client = std::make_unique<LineClient>();
    ASSERT_TRUE(client->Connect(port_));
    if (client->ReadLine().substr(0, 4) == "220 ") again = std::move(client);
  }
  ASSERT_TRUE(again);
  EXPECT_EQ(Say(*again, "NOOP\r\n"), "250 OK\r\n");
}

TEST_F(ServiceE2E, BurstOfTwentyFiveConnectionsIsGreetedWhole) {
  ASSERT_TRUE(Start());
  // All at once, several times: none may be left waiting for a greeting that never comes.
  for (int round = 0; round < 3; ++round) {
    std::vector<std::unique_ptr<LineClient>> clients(25);
    std::vector<std::string> greetings(25);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 25; ++i) {
      threads.emplace_back([&, i] {
        ++ready;
        while (ready < 25) std::this_thread::yield();
        clients[i] = std::make_unique<LineClient>();
        if (clients[i]->Connect(port_)) greetings[i] = clients[i]->ReadLine();
      });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 25; ++i)
      EXPECT_EQ(greetings[i].substr(0, 4), "220 ") << "round " << round << " client " << i;
    for (auto& client : clients) client->Send("QUIT\r\n");
    for (auto& client : clients) client->WaitClosed();
  }
}

TEST_F(ServiceE2E, StopSignalLosesNoAcknowledgedMessage) {
  ASSERT_TRUE(Start());
  auto a = Client();
  Say(*a, "HELO a\r\n");
  Say(*a, "MAIL FROM:<alice@other.test>\r\n");
  Say(*a, "RCPT TO:<bob@example.test>\r\n");
  EXPECT_EQ(Say(*a, "DATA\r\n").substr(0, 4), "354 ");
  EXPECT_EQ(Say(*a, "Subject: kept\r\n\r\nacknowledged\r\n.\r\n").substr(0, 4), "250 ");
  // The next message is cut off by the stop signal; another client is between commands.
  Say(*a, "MAIL FROM:<alice@other.test>\r\n");
  Say(*a, "RCPT TO:<carol@example.test>\r\n");
  Say(*a, "DATA\r\n");
  a->Send("Subject: cut\r\n\r\nhalf of it");
  auto b = Client();
  Say(*b, "MAIL FROM:<alice@other.test>\r\n");
  // Let the half message reach the service before it stops.
  EXPECT_EQ(Say(*b, "NOOP\r\n"), "250 OK\r\n");
  EXPECT_EQ(Stop(), 0);
  EXPECT_TRUE(a->WaitClosed());
  EXPECT_TRUE(b->WaitClosed());
  auto bob = env_.Mailbox("bob");
  ASSERT_EQ(bob.size(), 1u);
  EXPECT_NE(bob[0].find("acknowledged"), std::string::npos);
  EXPECT_TRUE(env_.Mailbox("carol").empty());
  EXPECT_TRUE(env_.TempFiles().empty());
  EXPECT_FALSE(platform::FindServiceWindow("QuorvaneSmtp"));
}

TEST_F(ServiceE2E, CrashBetweenMessagesLeavesNoMail) {
  ASSERT_TRUE(Start());
  auto a = Client();
  Say(*a, "HELO a\r\n");
  Say(*a, "MAIL FROM:<alice@other.test>\r\n");
  Say(*a, "RCPT TO:<bob@example.test>\r\n");
  Say(*a, "DATA\r\n");
  EXPECT_EQ(Say(*a, "Subject: kept\r\n\r\nacknowledged\r\n.\r\n").substr(0, 4), "250 ");
  // The spool file of the first message now takes the second, which the crash cuts off.
  Say(*a, "MAIL FROM:<alice@other.test>\r\n");
  Say(*a, "RCPT TO:<carol@example.test>\r\n");
  Say(*a, "DATA\r\n");
  a->Send("Subject: cut\r\n\r\nhalf of it\r\n");
  auto b = Client();
  // Let the half message reach the service before it dies.
  EXPECT_EQ(Say(*b, "NOOP\r\n"), "250 OK\r\n");
  ASSERT_EQ(kill(service_.pid(), SIGKILL), 0);
  EXPECT_EQ(Stop(), -1);
  EXPECT_TRUE(a->WaitClosed());
  EXPECT_TRUE(env_.TempFiles().empty());
  // The restarted service finds the same mail as before the crash, and takes more.
  ASSERT_TRUE(Start());
  auto c = Client();
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<carol@example.test>\r\n");
  Say(*c, "DATA\r\n");
  EXPECT_EQ(Say(*c, "Subject: again\r\n\r\nafter the restart\r\n.\r\n").substr(0, 4), "250 ");
  EXPECT_EQ(Stop(), 0);
  auto bob = env_.Mailbox("bob");
  auto carol = env_.Mailbox("carol");
  ASSERT_EQ(bob.size(), 1u);
  ASSERT_EQ(carol.size(), 1u);
  EXPECT_NE(bob[0].find("acknowledged"), std::string::npos);
  EXPECT_NE(carol[0].find("after the restart"), std::string::npos);
  EXPECT_EQ(carol[0].find("half of it"), std::string::npos);
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(ServiceE2E, HostileClientsDoNotDisturbOthers) {
  ASSERT_TRUE(Start());
  {
    auto junk = Client();
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    junk->Send(binary + "\r\n");
    EXPECT_EQ(junk->ReadReply(), "501 Syntax Error\r\n");
    junk->Send(std::string(10240, 'A'));
    std::string rest;
    EXPECT_TRUE(junk->WaitClosed(&rest));
    EXPECT_EQ(rest, "500 Line too long\r\n");
  }
  {
    auto cut = Client();
    Say(*cut, "MAIL FROM:<alice@other.test>\r\n");
    Say(*cut, "RCPT TO:<bob@example.test>\r\n");
    Say(*cut, "DATA\r\n");
    cut->Send("Subject: gone\r\n\r\nthe client goes away");
    cut->Disconnect();
  }
  {
    auto mid = Client();
    mid->Send("MAIL FROM:<alice@oth");
    mid->Disconnect();
  }
  auto good = Client();
  Say(*good, "MAIL FROM:<alice@other.test>\r\n");
  EXPECT_EQ(Say(*good, "RCPT TO:<carol@example.test>\r\n"), "250 Carol <carol@example.test>\r\n");
  Say(*good, "DATA\r\n");
  EXPECT_EQ(Say(*good, "Subject: fine\r\n\r\nok\r\n.\r\n").substr(0, 4), "250 ");
  EXPECT_TRUE(env_.Mailbox("bob").empty());
  EXPECT_EQ(env_.Mailbox("carol").size(), 1u);
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(ServiceE2E, SecondInstanceAndTakenPortEndTheStart) {
  ASSERT_TRUE(Start());
  auto second = qv::testing::RunProgram(qv::testing::BinDir() + "/qvsmtp95", {});
  EXPECT_NE(second.code, 0);
  EXPECT_EQ(Stop(), 0);
  // Another program holds the port.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  auto blocked = qv::testing::RunProgram(qv::testing::BinDir() + "/qvsmtp95", {});
  EXPECT_NE(blocked.code, 0);
  close(fd);
}

// ListenAddress: a value that is no address ends the start with a line in the log (and never
// listens everywhere); an address is where the service listens, and only there.
TEST_F(ServiceE2E, ListensOnItsAddressOrNotAtAll) {
  qv::testing::ControlKey().Set("ListenAddress", "mx.example.test");
  auto refused = qv::testing::RunProgram(qv::testing::BinDir() + "/qvsmtp95", {});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(env_.LogText().find("Not started: ListenAddress 'mx.example.test' is not an IPv4 or "
                                "IPv6 address\r\n"),
            std::string::npos)
      << env_.LogText();
  qv::testing::ControlKey().Set("ListenAddress", "127.0.0.1");
  ASSERT_TRUE(Start());
  Client();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2, which the loopback answers
  EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
}

}  // namespace
}  // namespace qv::smtp
