// STARTTLS, AUTH and relay control in the session: what each is without a certificate (the
// service as it always was), before TLS and inside it, and on a submission listener.
#include <gtest/gtest.h>

#include "common/config.h"
#include "serve/logon_guard.h"
#include "smtp/connection.h"
#include "smtp/relay_networks.h"
#include "smtp/session.h"
#include "smtp/tests/smtp_env_util.h"
#include "smtp/texts.h"

namespace qv::smtp {
namespace {

using testing::SmtpEnv;

constexpr char kPlainBob[] = "AGJvYgBzZWNyZXQ=";                        // "\0bob\0secret"
constexpr char kPlainBobWrong[] = "AGJvYgB3cm9uZw==";                   // "\0bob\0wrong"
constexpr char kPlainBobDomain[] = "AGJvYkBleGFtcGxlLnRlc3QAc2VjcmV0";  // with the domain
constexpr char kPlainForCarol[] = "Y2Fyb2wAYm9iAHNlY3JldA==";           // bob acting for carol
constexpr char kPlainDave[] = "AGRhdmUAc2VjcmV0";                       // a remote user

class SessionSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob Builder");
    env_.AddUser("carol", "example.test", "Carol");
    env_.AddUser("dave", "example.test", "Dave", "dave@remote.test", kUserRemote);
    env_.AddRoute("*@relay.test", kRouteToHost, "smart.host.test");
    env_.smtp().Flags |= kSmtpEsmtp;
  }

  std::unique_ptr<SmtpSession> Session(SmtpSecurity security) {
    auto s = std::make_unique<SmtpSession>(env_.settings(), "198.51.100.7");
    s->SetSecurity(security);
    return s;
  }
  std::string Say(SmtpSession& s, std::string_view line) { return s.DispatchCommand(line).text; }

  SmtpEnv env_;
};

TEST_F(SessionSecurityTest, WithoutACertificateNothingIsOfferedAndTheVerbsAreUnknown) {
  auto s = Session({});
  EXPECT_EQ(Say(*s, "EHLO client.test"), Format(kEhlo, "mx.example.test", "198.51.100.7"));
  for (const char* line : {"STARTTLS", "AUTH PLAIN AGJvYgBzZWNyZXQ=", "AUTH LOGIN", "STARX"})
    EXPECT_EQ(Say(*s, line), kSyntaxError) << line;
  EXPECT_EQ(Say(*s, "MAIL FROM:<a@other.test>"), "250 <a@other.test>, sender ok\r\n");
  // In a transaction too the verbs stay unknown, not "in the wrong state".
  EXPECT_EQ(Say(*s, "STARTTLS"), kSyntaxError);
  EXPECT_EQ(Say(*s, "AUTH LOGIN"), kSyntaxError);
}

TEST_F(SessionSecurityTest, BeforeTlsStartTlsIsOfferedAndAuthNeedsIt) {
  auto s = Session({.tls_offered = true});
  std::string ehlo = Say(*s, "EHLO client.test");
  EXPECT_NE(ehlo.find("250-STARTTLS\r\n250 HELP\r\n"), std::string::npos) << ehlo;
  EXPECT_EQ(ehlo.find("AUTH"), std::string::npos);
  EXPECT_EQ(Say(*s, "AUTH PLAIN"), kAuthNeedsTls);
  EXPECT_EQ(Say(*s, "starttls extra"), kStartTlsArguments);
  Reply reply = s->DispatchCommand("StartTLS ");
  EXPECT_EQ(reply.code, kStartTls);
  s->TlsStarted();
  EXPECT_EQ(Say(*s, "MAIL FROM:<a@other.test>"), kHeloFirst);
  ehlo = Say(*s, "EHLO client.test");
  EXPECT_EQ(ehlo.find("STARTTLS"), std::string::npos);
  EXPECT_NE(ehlo.find("250-AUTH PLAIN LOGIN\r\n250 HELP\r\n"), std::string::npos) << ehlo;
  EXPECT_EQ(Say(*s, "STARTTLS"), kTlsActive);
}

TEST_F(SessionSecurityTest, AuthPlainAndLoginCheckTheUserTable) {
  auto auth = [&](std::vector<std::string> lines) {
    auto s = Session({.secure = true});
    Reply reply;
    for (const std::string& line : lines) reply = s->DispatchCommand(line);
    EXPECT_EQ(s->authenticated(), reply.text == kAuthSucceeded);
    EXPECT_EQ(reply.failed_logon, reply.text == kAuthFailed);
    return reply.text;
  };
  EXPECT_EQ(auth({std::string("AUTH PLAIN ") + kPlainBob}), kAuthSucceeded);
  EXPECT_EQ(auth({"AUTH PLAIN", kPlainBobDomain}), kAuthSucceeded);
  EXPECT_EQ(auth({"auth login", "Ym9i", "c2VjcmV0"}), kAuthSucceeded);
  EXPECT_EQ(auth({"AUTH LOGIN Ym9i", "c2VjcmV0"}), kAuthSucceeded);
  EXPECT_EQ(auth({std::string("AUTH PLAIN ") + kPlainBobWrong}), kAuthFailed);
  EXPECT_EQ(auth({std::string("AUTH PLAIN ") + kPlainForCarol}), kAuthFailed);
  EXPECT_EQ(auth({std::string("AUTH PLAIN ") + kPlainDave}), kAuthFailed);
  EXPECT_EQ(auth({"AUTH LOGIN", "bm9ib2R5", "c2VjcmV0"}), kAuthFailed);  // "nobody"
  EXPECT_EQ(auth({"AUTH PLAIN", "*"}), kAuthCancelled);
  EXPECT_EQ(auth({"AUTH PLAIN", "not base64!"}), kAuthUndecodable);
  EXPECT_EQ(auth({"AUTH PLAIN Ym9i"}), kAuthUndecodable);  // no NULs
  EXPECT_EQ(auth({"AUTH CRAM-MD5"}), kAuthMechanism);

  auto s = Session({.secure = true});
  EXPECT_EQ(Say(*s, "MAIL FROM:<a@other.test>"), "250 <a@other.test>, sender ok\r\n");
  EXPECT_EQ(Say(*s, "AUTH LOGIN"), kAuthInTransaction);
  EXPECT_EQ(Say(*s, "RSET"), kReset);
  EXPECT_EQ(Say(*s, std::string("AUTH PLAIN ") + kPlainBob), kAuthSucceeded);
  EXPECT_EQ(Say(*s, std::string("AUTH PLAIN ") + kPlainBob), kAuthAlready);
  // The exchange ended: the next line is a command again.
  EXPECT_EQ(Say(*s, "NOOP"), kOk);
}

TEST_F(SessionSecurityTest, SubmissionNeedsAuthBeforeMail) {
  auto s = Session({.tls_offered = true, .submission = true});
  EXPECT_EQ(Say(*s, "MAIL FROM:<bob@example.test>"), kAuthRequired);
  s->TlsStarted();
  Say(*s, "EHLO client.test");
  EXPECT_EQ(Say(*s, "MAIL FROM:<bob@example.test>"), kAuthRequired);
  EXPECT_EQ(Say(*s, std::string("AUTH PLAIN ") + kPlainBob), kAuthSucceeded);
  EXPECT_EQ(Say(*s, "MAIL FROM:<bob@example.test>"), "250 <bob@example.test>, sender ok\r\n");
}

TEST_F(SessionSecurityTest, RelayingNeedsTheNetworksOrAuthOnceTheSettingIsPresent) {
  auto rcpt = [&](const char* networks, const char* peer, bool log_on, const char* to) {
    CopyField(env_.smtp().RelayNetworks, networks);
    auto s = std::make_unique<SmtpSession>(env_.settings(), peer);
    s->SetSecurity({.secure = true});
    if (log_on) Say(*s, std::string("AUTH PLAIN ") + kPlainBob);
    Say(*s, "MAIL FROM:<a@other.test>");
    return Say(*s, std::string("RCPT TO:<") + to + ">");
  };
  const std::string forward = "250 User not local; will forward to <x@far.test>\r\n";
  EXPECT_EQ(rcpt("", "198.51.100.7", false, "x@far.test"), forward);  // absent: as always
  EXPECT_EQ(rcpt("127.0.0.0/8 ::1", "198.51.100.7", false, "x@far.test"), kRelayDenied);
  EXPECT_EQ(rcpt("none", "127.0.0.1", false, "x@far.test"), kRelayDenied);
  EXPECT_EQ(rcpt("none", "127.0.0.1", false, "x@[192.0.2.9]"), kRelayDenied);
  EXPECT_EQ(rcpt("127.0.0.0/8 ::1", "127.0.0.1", false, "x@far.test"), forward);
  EXPECT_EQ(rcpt("none", "198.51.100.7", true, "x@far.test"), forward);
  // Local users and routes as always.
  EXPECT_EQ(rcpt("none", "198.51.100.7", false, "bob@example.test"),
            "250 Bob Builder <bob@example.test>\r\n");
  EXPECT_EQ(rcpt("none", "198.51.100.7", false, "x@relay.test").substr(0, 4), "250 ");
}

// The connection: STARTTLS's reply goes out, the rest of the read is dropped and the session
// starts over after the handshake; a failed AUTH is logged and answered after the guard's pause
// with the commands behind it waiting.
TEST_F(SessionSecurityTest, ConnectionSwitchesAndDelaysFailedAuth) {
  testing::FakeLink link;
  link.tls = true;
  SmtpConnection c(env_.settings(), link, "198.51.100.7", nullptr);
  LogonGuard guard;
  std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> waiting;
  c.SetLogonGuard(&guard, [&waiting](std::chrono::milliseconds delay, std::function<void()> fn) {
    waiting.emplace_back(delay, std::move(fn));
  });
  c.OnReceive("EHLO client.test\r\nSTARTTLS\r\nRSET\r\n");
  std::string sent = link.Take();
  EXPECT_NE(sent.find("250-STARTTLS\r\n"), std::string::npos);
  EXPECT_EQ(sent.substr(sent.size() - 30), kStartTlsReady);
  EXPECT_TRUE(link.tls_asked);
  link.FinishTls(c);
  c.OnReceive("MAIL FROM:<a@other.test>\r\nEHLO client.test\r\n");
  sent = link.Take();
  EXPECT_EQ(sent.substr(0, std::string(kHeloFirst).size()), kHeloFirst);
  EXPECT_NE(sent.find("250-AUTH PLAIN LOGIN\r\n"), std::string::npos) << sent;

  c.OnReceive(std::string("AUTH PLAIN ") + kPlainBobWrong + "\r\nNOOP\r\n");
  EXPECT_EQ(link.Take(), "");  // the answer and the NOOP behind it wait
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting[0].first, guard.PauseFor(1));
  waiting[0].second();
  EXPECT_EQ(link.Take(), std::string(kAuthFailed) + kOk);
  EXPECT_NE(env_.LogText().find("Authentication of 'bob' from 198.51.100.7 failed"),
            std::string::npos);
}

TEST(RelayNetworks, AddressesAndPrefixes) {
  EXPECT_TRUE(InRelayNetworks("127.0.0.1", "127.0.0.0/8 ::1"));
  EXPECT_TRUE(InRelayNetworks("::1", "127.0.0.0/8 ::1"));
  EXPECT_TRUE(InRelayNetworks("192.168.1.77", "10.0.0.0/8,192.168.1.0/24"));
  EXPECT_TRUE(InRelayNetworks("192.168.1.77", "192.168.1.77"));
  EXPECT_TRUE(InRelayNetworks("8.8.8.8", "0.0.0.0/0"));
  EXPECT_TRUE(InRelayNetworks("2001:db8::5", "2001:db8::/32"));
  EXPECT_TRUE(InRelayNetworks("10.1.2.3", "10.1.2.0/23"));
  EXPECT_FALSE(InRelayNetworks("10.1.4.3", "10.1.2.0/23"));
  EXPECT_FALSE(InRelayNetworks("192.168.2.1", "192.168.1.0/24"));
  EXPECT_FALSE(InRelayNetworks("127.0.0.1", "none"));
  EXPECT_FALSE(InRelayNetworks("127.0.0.1", ""));
  EXPECT_FALSE(InRelayNetworks("2001:db9::5", "2001:db8::/32"));
  // An IPv4 prefix does not cover IPv6 addresses beyond the mapped ones.
  EXPECT_FALSE(InRelayNetworks("::", "0.0.0.0/0"));
  for (const char* bad :
       {"127.0.0.0/33", "127.0.0.0/", "127.0.0.0/x", "localhost", "1.2.3/8", "::1/129", "/8"})
    EXPECT_FALSE(InRelayNetworks("127.0.0.1", bad)) << bad;
  EXPECT_FALSE(InRelayNetworks("not an address", "0.0.0.0/0"));
}

}  // namespace
}  // namespace qv::smtp
