// The forwarder through a provider's smart host: aiosmtpd with STARTTLS required and AUTH, peers
// without STARTTLS, a certificate that does not verify, a refused login and a stalled handshake.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/mailfile.h"
#include "mail/tests/mail_env_util.h"
#include "net/tests/dns_fake_util.h"
#include "net/tests/smtp_peer_util.h"
#include "serve/testing/test_certificate.h"
#include "smtp/forward.h"
#include "smtp/forward_run.h"

namespace qv::smtp {
namespace {

using qv::testing::FakeSmtpPeer;
using qv::testing::RealSmtpPeer;
using Clock = std::chrono::steady_clock;

const char kMessage[] = "Received: by mx.local.test\r\nSubject: hello\r\n\r\nbody\r\n";

// The replies of a peer that offers STARTTLS, and then (`stall`) never starts TLS.
std::string OffersStartTls(const std::string& line) {
  if (line.rfind("EHLO", 0) == 0) return "250-peer.test\r\n250 STARTTLS\r\n";
  if (line == "STARTTLS") return "220 go ahead\r\n";
  return FakeSmtpPeer::StandardReply(line);
}

class ForwardTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetMessageMaskDecision();
    CopyField(env_.system().HostName, "mx.local.test");
    CopyField(env_.system().AdministratorName, "postmaster");
    CopyField(env_.system().AdministratorMailBox, "admin");
    env_.system().LogLevel = 3;
    SMTPSTRUCT& smtp = env_.settings().smtp;
    smtp.Flags = kSmtpUseMx;
    smtp.ReturnTimer = 259200;
    smtp.TLSVerify = 1;
    CopyField(smtp.ExchangeHost, "localhost");
    options_.reply_timeout_ms = 5000;
    options_.connect_timeout_ms = 5000;
    options_.dns_timeout_ms = 2000;
    cert_ = qv::testing::MakeTestCertificate(env_.root());
    ASSERT_TRUE(cert_.ok);
    ::setenv(kForwardCaFileVariable, cert_.certificate.c_str(), 1);
  }
  void TearDown() override { ::unsetenv(kForwardCaFileVariable); }

  void Secure(int tls, const char* user = "", const char* password = "") {
    env_.settings().smtp.TLSOutgoing = tls;
    CopyField(env_.settings().smtp.ExchangeUser, user);
    CopyField(env_.settings().smtp.ExchangePassword, password);
  }
  void Queue(int n, const std::string& to = "bob@remote.test") {
    for (int i = 0; i < n; ++i)
      ASSERT_EQ(WriteMessageFile(env_.mail() + "/forward", kQueueExtension,
                                 "To: " + to + "\r\nFrom: ann@local.test\r\n" + kMessage),
                0);
  }
  RealSmtpPeer::Security Provider(bool login = true) const {
    return {cert_.certificate, cert_.key, false, login ? "ann:secret" : ""};
  }
  size_t Queued() const { return env_.Queue().size(); }
  size_t Count(const std::string& text) const {
    std::string log = env_.LogText("s");
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  mail::testing::MailEnv env_{"local.test"};
  qv::testing::TestCertificate cert_;
  ForwardOptions options_;
};

TEST_F(ForwardTlsTest, TheSmartHostGetsEachMessageOnceInsideTlsWithTheLogin) {
  RealSmtpPeer provider(Provider());
  if (!provider.ok()) GTEST_SKIP() << provider.why();
  env_.settings().smtp.PortEx = provider.port();
  Secure(2, "ann", "secret");
  Queue(6);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 6);
  auto got = provider.WaitForMessages(6);
  ASSERT_EQ(got.size(), 6u);
  for (const RealSmtpPeer::Message& m : got) {
    EXPECT_TRUE(m.tls);
    EXPECT_EQ(m.login, "ann");
    EXPECT_EQ(m.content, kMessage);
  }
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(ForwardTlsTest, AWrongLoginKeepsTheMessagesAndTellsTheAdministratorOncePerRun) {
  RealSmtpPeer provider(Provider());
  if (!provider.ok()) GTEST_SKIP() << provider.why();
  env_.settings().smtp.PortEx = provider.port();
  Secure(2, "ann", "wrong");
  Queue(6);
  for (int run = 1; run <= 2; ++run) {
    EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 0);
    EXPECT_EQ(Queued(), 6u);
    std::vector<std::string> notices = env_.Mailbox("admin");
    ASSERT_EQ(notices.size(), static_cast<size_t>(run));
    EXPECT_NE(notices.back().find("Subject: Smart host refused the login\r\n"), std::string::npos);
    EXPECT_NE(notices.back().find("The smart host localhost refused the login 'ann':\r\n  535"),
              std::string::npos)
        << notices.back();
  }
  EXPECT_GE(Count("localhost refused the login: 535"), 2u);
  // Conversations already under way finish theirs; the later ones do not try the host again.
  EXPECT_GE(Count("localhost refused the login earlier in this run"), 2u);
  EXPECT_EQ(Count("wrong"), 0u) << "the password is never logged";
  EXPECT_TRUE(provider.Messages().empty());
}

TEST_F(ForwardTlsTest, WithoutStartTlsOnlyRequiredTlsOrALoginKeepTheMessage) {
  struct Case {
    int tls;
    const char* user;
    bool sent;
    const char* logged;
  } cases[] = {
      {0, "", true, nullptr},
      {1, "", true, nullptr},
      {2, "", false, "offers no STARTTLS and TLS is required: nothing was sent"},
      {1, "ann", false, "offers no STARTTLS and a password is never sent in clear"},
      {0, "ann", true, "The login at the smart host is not used: TLSOutgoing is 0"},
  };
  for (const Case& c : cases) {
    FakeSmtpPeer plain;
    env_.settings().smtp.PortEx = plain.port();
    Secure(c.tls, c.user, "secret");
    Queue(1);
    EXPECT_EQ(RunForwardQueue(env_.settings(), options_), c.sent ? 1 : 0) << c.tls << c.user;
    EXPECT_EQ(plain.messages().size(), c.sent ? 1u : 0u) << c.tls << c.user;
    if (c.logged != nullptr) {
      EXPECT_EQ(Count(c.logged), 1u) << c.logged;
    }
    std::vector<std::string> commands = plain.commands();
    ASSERT_FALSE(commands.empty());
    // The plain conversation as it always was; EHLO once TLS or a login is asked for.
    EXPECT_EQ(commands[0], c.tls == 0 ? "HELO mx.local.test" : "EHLO mx.local.test");
    for (const std::string& command : commands) {
      EXPECT_NE(command.rfind("AUTH", 0), 0u);
    }
    if (!c.sent) {
      EXPECT_EQ(commands.back(), "QUIT");
    }
    std::filesystem::remove_all(env_.mail() + "/forward");
    std::filesystem::create_directory(env_.mail() + "/forward");
  }
}

TEST_F(ForwardTlsTest, ACertificateThatDoesNotVerifyIsRefusedUnlessTheCheckIsOff) {
  RealSmtpPeer provider(Provider(false));
  if (!provider.ok()) GTEST_SKIP() << provider.why();
  // The certificate names localhost, not the address.
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  env_.settings().smtp.PortEx = provider.port();
  Secure(1);
  Queue(1);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 0);
  EXPECT_EQ(Count("TLS with 127.0.0.1 refused, nothing was sent: the certificate of 127.0.0.1 "
                  "is not trusted"),
            1u);
  EXPECT_EQ(Queued(), 1u);
  env_.settings().smtp.TLSVerify = 0;
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  auto got = provider.WaitForMessages(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].tls);
}

TEST_F(ForwardTlsTest, TheLoginGoesToTheSmartHostsAloneNeverToAnExchangerFoundByDns) {
  // The exchanger bears the smart host's very name: its place in the list tells them apart.
  testing::DnsmasqServer dns({"--mx-host=remote.test,localhost,10"});
  if (!dns.ok()) GTEST_SKIP() << dns.why();
  FakeSmtpPeer plain;
  env_.settings().smtp.Flags = kSmtpUseDns | kSmtpUseMx;
  env_.settings().smtp.PortEx = plain.port();
  CopyField(env_.system().NameServer, dns.address());
  Secure(1, "ann", "secret");
  Queue(1);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  EXPECT_EQ(plain.messages().size(), 1u);
  for (const std::string& command : plain.commands()) {
    EXPECT_NE(command.rfind("AUTH", 0), 0u);
  }
}

TEST_F(ForwardTlsTest, AWorkerSendsItsMessagesOnOneConnectionAndReplacesOneThePeerClosed) {
  // The peer closes the connection instead of answering the third MAIL FROM.
  int mails = 0;
  FakeSmtpPeer::Script script;
  script.reply = [&mails](const std::string& line) {
    if (line.rfind("MAIL", 0) == 0 && ++mails == 3) return std::string();
    return FakeSmtpPeer::StandardReply(line);
  };
  FakeSmtpPeer peer(script);
  env_.settings().smtp.PortEx = peer.port();
  Secure(1);
  Queue(3);
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(env_.mail() + "/forward"))
    files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  KeptConnection kept;
  options_.run = std::make_shared<ForwardRun>(env_.settings());
  options_.kept = &kept;
  for (const std::string& file : files) {
    bool unreachable = false;
    EXPECT_EQ(ForwardQueueFile(env_.settings(), file, false, &unreachable, options_), 1);
  }
  ASSERT_TRUE(kept.client);
  CloseKeptConnection(env_.settings(), &kept, options_);
  EXPECT_FALSE(kept.client);
  EXPECT_EQ(peer.messages().size(), 3u);
  EXPECT_EQ(peer.connections(), 2);
  std::vector<std::string> verbs;
  for (const std::string& command : peer.commands()) verbs.push_back(command.substr(0, 4));
  EXPECT_EQ(verbs, (std::vector<std::string>{"EHLO", "MAIL", "RCPT", "DATA", "MAIL", "RCPT", "DATA",
                                             "MAIL", "EHLO", "MAIL", "RCPT", "DATA", "QUIT"}));
}

TEST_F(ForwardTlsTest, AStalledHandshakeEndsWithinTheReplyLimitOrAtOnceOnStop) {
  FakeSmtpPeer::Script script;
  script.reply = OffersStartTls;
  FakeSmtpPeer stalling(script);
  env_.settings().smtp.PortEx = stalling.port();
  Secure(1);
  Queue(1);
  options_.reply_timeout_ms = 700;
  auto start = Clock::now();
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(Count("TLS with localhost failed, nothing was sent"), 1u);
  EXPECT_EQ(Queued(), 1u);

  int cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  options_.reply_timeout_ms = 30000;
  options_.cancel_fd = cancel;
  std::thread stop([cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint64_t one = 1;
    EXPECT_EQ(::write(cancel, &one, sizeof one), 8);
  });
  start = Clock::now();
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  stop.join();
  ::close(cancel);
  EXPECT_EQ(Queued(), 1u);
}

}  // namespace
}  // namespace qv::smtp
