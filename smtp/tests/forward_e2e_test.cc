// The real qvsmtp95 forwarding what it receives: to a real peer, and past a peer that hangs
// while the service keeps serving its clients.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/testing/line_client.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "net/tests/smtp_peer_util.h"
#include "platform/spawn.h"
#include "platform/tray.h"
#include "serve/testing/test_certificate.h"
#include "smtp/forward.h"
#include "smtp/forward_run.h"
#include "smtp/service.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using qv::testing::FakeSmtpPeer;
using qv::testing::LineClient;
using qv::testing::RealSmtpPeer;
using testing::SmtpEnv;

class ForwardE2E : public testing::SmtpServiceTest {
 protected:
  void SetUp() override { env_.AddUser("bob", "example.test", "Bob"); }

  // The service with send-immediately on and the forwarder's port `port_ex`.
  bool Start(int port_ex, uint32_t flags = kSmtpUseMx | kSmtpImmediately) {
    WriteKeys(flags);
    env_.WriteForwarder(port_ex);
    return SmtpServiceTest::Start();
  }

  // One whole transaction; returns the reply to the end of the data.
  std::string Send(const std::string& rcpt, const std::string& body) {
    return SendMessage("alice@example.test", rcpt, "Subject: t\r\n\r\n" + body);
  }
};

TEST_F(ForwardE2E, AForeignRecipientIsSentOnAtOnce) {
  RealSmtpPeer peer;
  if (!peer.ok()) GTEST_SKIP() << peer.why();
  ASSERT_TRUE(Start(peer.port()));
  EXPECT_EQ(Send("dora@remote.test", "hello dora").substr(0, 4), "250 ");
  auto got = peer.WaitForMessages(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].mail_from, "alice@example.test");
  EXPECT_EQ(got[0].rcpt_to, std::vector<std::string>{"dora@remote.test"});
  EXPECT_NE(got[0].content.find("Received: by mx.example.test"), std::string::npos);
  EXPECT_NE(got[0].content.find("hello dora"), std::string::npos);
  EXPECT_TRUE(
      qv::testing::WaitUntil([&] { return env_.Queue().empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ForwardE2E, ThroughTheProvidersSmartHostInsideTlsWithTheLogin) {
  qv::testing::TestCertificate cert = qv::testing::MakeTestCertificate(env_.root());
  ASSERT_TRUE(cert.ok);
  RealSmtpPeer provider({cert.certificate, cert.key, false, "ann:secret"});
  if (!provider.ok()) GTEST_SKIP() << provider.why();
  ::setenv(kForwardCaFileVariable, cert.certificate.c_str(), 1);
  WriteKeys(kSmtpUseMx | kSmtpImmediately);
  qv::testing::SmtpKey()
      .Set("PortEx", provider.port())
      .Set("ExchangeHost", "localhost")
      .Set("TLSOutgoing", 2)
      .Set("ExchangeUser", "ann")
      .Set("ExchangePassword", "secret");
  bool started = SmtpServiceTest::Start();
  ::unsetenv(kForwardCaFileVariable);
  ASSERT_TRUE(started);
  EXPECT_EQ(Send("dora@remote.test", "over tls").substr(0, 4), "250 ");
  auto got = provider.WaitForMessages(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].tls);
  EXPECT_EQ(got[0].login, "ann");
  EXPECT_NE(got[0].content.find("over tls"), std::string::npos);
  EXPECT_TRUE(
      qv::testing::WaitUntil([&] { return env_.Queue().empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ForwardE2E, AHangingPeerNeverHoldsUpTheService) {
  // The peer greets, then takes minutes over every reply.
  FakeSmtpPeer::Script script;
  script.reply = [](const std::string&) {
    std::this_thread::sleep_for(std::chrono::seconds(4));
    return std::string();
  };
  FakeSmtpPeer hanging(script);
  ASSERT_TRUE(Start(hanging.port()));
  EXPECT_EQ(Send("dora@remote.test", "one").substr(0, 4), "250 ");
  qv::testing::WaitUntil([&] { return !hanging.commands().empty(); }, std::chrono::seconds(4));
  ASSERT_FALSE(hanging.commands().empty()) << "the run has reached the peer";

  // While the run waits on the peer, every client is served and local mail is delivered; a
  // second foreign message starts no second run.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Send("bob@example.test", "local while forwarding").substr(0, 4), "250 ");
  EXPECT_EQ(Send("erin@remote.test", "two").substr(0, 4), "250 ");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_EQ(hanging.connections(), 1);

  // The stop signal ends the run at once; both messages stay queued.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(env_.Queue().size(), 2u);
}

// In the process: the run counts as activity from its start until its end reaches the loop, and
// a forward tick during a run starts no other.
TEST(ForwardInService, TheRunCountsAsActivityUntilItsEndReachesTheLoop) {
  SmtpEnv env;
  FakeSmtpPeer::Script slow;
  slow.reply = [](const std::string& line) {
    if (line.rfind("HELO", 0) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return FakeSmtpPeer::StandardReply(line);
  };
  FakeSmtpPeer peer(slow);
  ASSERT_EQ(WriteMessageFile(env.mail() + "/forward", kQueueExtension,
                             "To: dora@remote.test\r\nFrom: bob@example.test\r\n\r\nhi\r\n"),
            0);
  SmtpService service;
  service.settings() = env.settings();
  SMTPSTRUCT& smtp = service.settings().smtp;
  smtp.Flags = kSmtpUseMx;
  smtp.PortEx = peer.port();
  CopyField(smtp.ExchangeHost, "127.0.0.1");
  ForwardRunner runner(
      service.settings(),
      [&service](std::function<void()> fn) { service.frame().loop().Post(std::move(fn)); },
      [&service] { service.frame().UpdateTrayIcon(); });
  service.SetForwardRun([&runner] { runner.Start(); }, [&runner] { return runner.Active(); });
  platform::TrayAdd(platform::kIconIdle, "test");

  service.ForwardTick();
  EXPECT_EQ(service.frame().activity(), 1);
  EXPECT_EQ(platform::TrayCurrent().icon, platform::kIconBusy);
  service.ForwardTick();
  EXPECT_EQ(service.frame().activity(), 1);
  // The loop learns of the end of the run.
  for (int i = 0; i < 500 && service.frame().activity() != 0; ++i) {
    service.frame().loop().context().poll();
    service.frame().loop().context().restart();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(service.frame().activity(), 0);
  EXPECT_EQ(platform::TrayCurrent().icon, platform::kIconIdle);
  EXPECT_EQ(peer.connections(), 1);
  EXPECT_EQ(peer.messages().size(), 1u);
  EXPECT_TRUE(env.Queue().empty());
  runner.Stop();
  platform::TrayRemove();
}

}  // namespace
}  // namespace qv::smtp
