// The SMTP client conversation's state table: whole replies in, commands and actions out, with
// the hostile replies a peer may give at each step.
#include "net/smtp_conversation.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qv {
namespace {

// The envelope of the forwarder's conversations: EHLO with SIZE, stray replies read over.
SmtpEnvelope Esmtp(std::vector<std::string> recipients = {"b@y.test"}) {
  SmtpEnvelope e;
  e.hello_name = "mx.x.test";
  e.reverse_path = "a@x.test";
  e.recipients = std::move(recipients);
  e.ehlo = true;
  e.announce_size = true;
  e.size = 1234;
  e.stray_hello_replies = 8;
  return e;
}

// The envelope of qvsend's: HELO only.
SmtpEnvelope Plain(std::vector<std::string> recipients = {"b@y.test"}) {
  SmtpEnvelope e;
  e.hello_name = "pc";
  e.reverse_path = "a@x.test";
  e.recipients = std::move(recipients);
  return e;
}

// Feeds the replies (the greeting first) and records what the conversation asks for: commands as
// sent, "<read>" for a reply read over, "<message>" for the message text, "<done>" and
// "<failed>" for the end.
std::vector<std::string> Converse(SmtpConversation& c, const std::vector<std::string>& replies,
                                  SmtpStep* last = nullptr) {
  std::vector<std::string> out;
  for (const std::string& reply : replies) {
    SmtpStep step = c.OnReply(reply);
    switch (step.action) {
      case SmtpStep::Action::kSend:
        out.push_back(step.command);
        break;
      case SmtpStep::Action::kRead:
        out.push_back("<read>");
        break;
      case SmtpStep::Action::kSendMessage:
        out.push_back("<message>");
        break;
      case SmtpStep::Action::kStartTls:
        // The handshake succeeds at once: EHLO follows.
        out.push_back("<starttls>");
        out.push_back(c.OnTlsStarted().command);
        break;
      case SmtpStep::Action::kDone:
      case SmtpStep::Action::kFailed:
        EXPECT_EQ(step.command, "QUIT\r\n");
        out.push_back(step.action == SmtpStep::Action::kDone ? "<done>" : "<failed>");
        break;
    }
    if (last != nullptr) *last = step;
    if (step.action == SmtpStep::Action::kDone || step.action == SmtpStep::Action::kFailed) break;
  }
  return out;
}

TEST(SmtpConversation, FollowsTheTable) {
  struct Case {
    const char* name;
    SmtpEnvelope envelope;
    std::vector<std::string> replies;
    std::vector<std::string> sent;
  };
  const std::vector<Case> cases = {
      {"HELO, two recipients",
       Plain({"b@y.test", "c@z.test"}),
       {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "251 forwarded\r\n", "354 go\r\n",
        "250 taken\r\n"},
       {"HELO pc\r\n", "MAIL FROM: <a@x.test>\r\n", "RCPT TO: <b@y.test>\r\n",
        "RCPT TO: <c@z.test>\r\n", "DATA\r\n", "<message>", "<done>"}},
      {"EHLO announces the size",
       Esmtp(),
       {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 taken\r\n"},
       {"EHLO mx.x.test\r\n", "MAIL FROM: <a@x.test> SIZE=1234\r\n", "RCPT TO: <b@y.test>\r\n",
        "DATA\r\n", "<message>", "<done>"}},
      {"EHLO unknown: HELO, and no size",
       Esmtp(),
       {"220 hi\r\n", "500 what?\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
        "250 taken\r\n"},
       {"EHLO mx.x.test\r\n", "HELO mx.x.test\r\n", "MAIL FROM: <a@x.test>\r\n",
        "RCPT TO: <b@y.test>\r\n", "DATA\r\n", "<message>", "<done>"}},
      {"the size is announced only when asked for",
       [] {
         SmtpEnvelope e = Esmtp();
         e.announce_size = false;
         return e;
       }(),
       {"220 hi\r\n", "250 ok\r\n"},
       {"EHLO mx.x.test\r\n", "MAIL FROM: <a@x.test>\r\n"}},
      {"no recipients: DATA after MAIL FROM",
       Plain({}),
       {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 taken\r\n"},
       {"HELO pc\r\n", "MAIL FROM: <a@x.test>\r\n", "DATA\r\n", "<message>", "<done>"}},
      {"multi-line replies",
       Esmtp(),
       {"220-peer\r\n220-more\r\n220 ready\r\n", "250-peer\r\n250-SIZE 100\r\n250 HELP\r\n",
        "250-sender\r\n250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250-queued\r\n250 as 1\r\n"},
       {"EHLO mx.x.test\r\n", "MAIL FROM: <a@x.test> SIZE=1234\r\n", "RCPT TO: <b@y.test>\r\n",
        "DATA\r\n", "<message>", "<done>"}},
      // A reply is judged by its first characters, whatever its other lines say.
      {"a multi-line reply whose last line refuses",
       Plain(),
       {"220 hi\r\n", "250-fine\r\n550 not fine\r\n", "250 ok\r\n"},
       {"HELO pc\r\n", "MAIL FROM: <a@x.test>\r\n", "RCPT TO: <b@y.test>\r\n"}},
      {"codes without text, and replies without line ends",
       Plain(),
       {"220", "25", "2500 odd", "250", "354", "250"},
       {"HELO pc\r\n", "MAIL FROM: <a@x.test>\r\n", "RCPT TO: <b@y.test>\r\n", "DATA\r\n",
        "<message>", "<done>"}},
      {"an over-long reply is judged by its code",
       Plain(),
       {"220 " + std::string(100000, 'x') + "\r\n", "250 " + std::string(100000, 'y')},
       {"HELO pc\r\n", "MAIL FROM: <a@x.test>\r\n"}},
  };
  for (const Case& c : cases) {
    SmtpConversation conversation(c.envelope);
    EXPECT_EQ(Converse(conversation, c.replies), c.sent) << c.name;
  }
}

TEST(SmtpConversation, StrayRepliesToTheHelloAreReadOverUpToTheLimit) {
  // The forwarder reads over eight replies beginning "22"; the ninth counts as a refusal of EHLO.
  std::vector<std::string> replies = {"220 hi\r\n"};
  for (int i = 0; i < 9; ++i) replies.push_back("221 stray\r\n");
  replies.push_back("250 ok\r\n");
  SmtpConversation esmtp(Esmtp());
  std::vector<std::string> want = {"EHLO mx.x.test\r\n"};
  for (int i = 0; i < 8; ++i) want.push_back("<read>");
  want.push_back("HELO mx.x.test\r\n");
  want.push_back("MAIL FROM: <a@x.test>\r\n");
  EXPECT_EQ(Converse(esmtp, replies), want);

  // Without reading over, a "22" reply to HELO fails the conversation.
  SmtpConversation plain(Plain());
  SmtpStep last;
  EXPECT_EQ(Converse(plain, {"220 hi\r\n", "221 bye\r\n"}, &last),
            (std::vector<std::string>{"HELO pc\r\n", "<failed>"}));
  EXPECT_EQ(last.failed_in, SmtpState::kHello);
  EXPECT_EQ(last.reply, "221 bye\r\n");
}

// Every step refused temporarily, finally, or answered by a dropped connection (the empty reply):
// the conversation fails in that step with that reply, and asks for nothing more.
TEST(SmtpConversation, RefusalsAndDroppedConnectionsAtEachStep) {
  const std::vector<std::string> good = {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n",
                                         "250 ok\r\n", "354 go\r\n", "250 taken\r\n"};
  const SmtpState states[] = {SmtpState::kGreeting, SmtpState::kHello, SmtpState::kMailFrom,
                              SmtpState::kRcptTo,   SmtpState::kData,  SmtpState::kDataEnd};
  for (const char* bad : {"421 busy\r\n", "451 later\r\n", "554 no\r\n", "", "-ERR\r\n", "x"}) {
    for (size_t at = 0; at < good.size(); ++at) {
      std::vector<std::string> replies(good.begin(), good.begin() + at);
      replies.push_back(bad);
      replies.push_back("250 after the end\r\n");  // never read
      SmtpConversation conversation(Plain());
      SmtpStep last;
      std::vector<std::string> sent = Converse(conversation, replies, &last);
      std::string what = std::string("\"") + bad + "\" at step " + std::to_string(at);
      EXPECT_EQ(sent.size(), at + 1) << what;
      EXPECT_EQ(sent.back(), "<failed>") << what;
      EXPECT_EQ(last.failed_in, states[at]) << what;
      EXPECT_EQ(last.reply, bad) << what;
      EXPECT_EQ(conversation.state(), SmtpState::kFailed) << what;
      EXPECT_FALSE(conversation.ok()) << what;
    }
  }
  // A dropped connection after EHLO is not taken for a refusal of EHLO.
  SmtpConversation esmtp(Esmtp());
  SmtpStep last;
  EXPECT_EQ(Converse(esmtp, {"220 hi\r\n", ""}, &last),
            (std::vector<std::string>{"EHLO mx.x.test\r\n", "<failed>"}));
  EXPECT_EQ(last.failed_in, SmtpState::kHello);
  // DATA wants 354, not any positive reply; nothing is taken after the end.
  SmtpConversation data(Plain({}));
  EXPECT_EQ(Converse(data, {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n"}).back(),
            "<failed>");
  SmtpConversation done(Plain({}));
  Converse(done, {"220\r\n", "250\r\n", "250\r\n", "354\r\n", "250\r\n"});
  EXPECT_TRUE(done.ok());
  EXPECT_EQ(done.OnReply("250 more\r\n").action, SmtpStep::Action::kFailed);
  EXPECT_FALSE(done.ok());
}

// STARTTLS and AUTH before MAIL FROM: TLS when offered or required, the login inside it only.
TEST(SmtpConversation, StartTlsAndAuthComeBeforeTheEnvelope) {
  auto secured = [](int tls, std::string user, bool in_tls = false) {
    SmtpEnvelope e = Plain();
    e.ehlo = true;
    e.tls = tls;
    e.in_tls = in_tls;
    e.user = std::move(user);
    e.password = "secret";
    return e;
  };
  const std::string tls_offered = "250-peer\r\n250-STARTTLS\r\n250 SIZE\r\n";
  const std::string auth_plain = "250-peer\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n";
  const std::string auth_login = "250-peer\r\n250 AUTH LOGIN\r\n";
  const std::string plain_ehlo = "250-peer\r\n250 SIZE\r\n";
  struct Case {
    const char* name;
    SmtpEnvelope envelope;
    std::vector<std::string> replies;
    std::vector<std::string> sent;
    SmtpStep::Why why = SmtpStep::Why::kReply;
  } cases[] = {
      {"STARTTLS when offered, EHLO again, AUTH PLAIN, the envelope",
       secured(1, "u@x"),
       {"220 hi", tls_offered, "220 go", auth_plain, "235 ok", "250 ok"},
       {"EHLO pc\r\n", "STARTTLS\r\n", "<starttls>", "EHLO pc\r\n",
        "AUTH PLAIN AHVAeABzZWNyZXQ=\r\n", "MAIL FROM: <a@x.test>\r\n", "RCPT TO: <b@y.test>\r\n"}},
      {"AUTH LOGIN when PLAIN is not offered; implicit TLS has no STARTTLS",
       secured(2, "u@x", /*in_tls=*/true),
       {"220 hi", auth_login, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 ok"},
       {"EHLO pc\r\n", "AUTH LOGIN\r\n", "dUB4\r\n", "c2VjcmV0\r\n", "MAIL FROM: <a@x.test>\r\n"}},
      {"TLS 1 without an offer and without a login goes on in clear",
       secured(1, ""),
       {"220 hi", plain_ehlo},
       {"EHLO pc\r\n", "MAIL FROM: <a@x.test>\r\n"}},
      {"TLS required and not offered: nothing but QUIT",
       secured(2, ""),
       {"220 hi", plain_ehlo},
       {"EHLO pc\r\n", "<failed>"},
       SmtpStep::Why::kNoTls},
      {"a login is never sent in clear, even with TLS 1",
       secured(1, "u@x"),
       {"220 hi", auth_plain},
       {"EHLO pc\r\n", "<failed>"},
       SmtpStep::Why::kNoTls},
      {"a peer refusing EHLO gets HELO, and then no login",
       secured(1, "u@x"),
       {"220 hi", "500 what", "250 ok"},
       {"EHLO pc\r\n", "HELO pc\r\n", "<failed>"},
       SmtpStep::Why::kNoTls},
      {"no AUTH offered inside TLS",
       secured(2, "u@x", true),
       {"220 hi", plain_ehlo},
       {"EHLO pc\r\n", "<failed>"},
       SmtpStep::Why::kNoAuth},
      {"STARTTLS refused",
       secured(1, ""),
       {"220 hi", tls_offered, "454 not now"},
       {"EHLO pc\r\n", "STARTTLS\r\n", "<failed>"}},
      {"a refused login ends it with the reply",
       secured(2, "u@x", true),
       {"220 hi", auth_plain, "535 5.7.8 bad credentials"},
       {"EHLO pc\r\n", "AUTH PLAIN AHVAeABzZWNyZXQ=\r\n", "<failed>"}},
  };
  for (Case& c : cases) {
    SmtpConversation conversation(c.envelope);
    SmtpStep last;
    EXPECT_EQ(Converse(conversation, c.replies, &last), c.sent) << c.name;
    if (c.sent.back() == "<failed>") {
      EXPECT_EQ(last.why, c.why) << c.name;
    }
  }
  SmtpStep refused;
  SmtpConversation login(secured(2, "u@x", true));
  Converse(login, {"220 hi", auth_plain, "535 5.7.8 bad credentials"}, &refused);
  EXPECT_EQ(refused.failed_in, SmtpState::kAuth);
  EXPECT_EQ(refused.reply, "535 5.7.8 bad credentials");
  EXPECT_EQ(EncodeBase64("ab"), "YWI=");
  EXPECT_TRUE(EhloOffers("250-peer\r\n250 auth plain\r\n", "AUTH", "PLAIN"));
  EXPECT_FALSE(EhloOffers("250-peer PLAIN\r\n250 STARTTLSX\r\n", "STARTTLS"));
}

TEST(SmtpConversation, AResumedConversationStartsWithMailFromAndKeepsTheHello) {
  SmtpEnvelope e = Esmtp({"b@y.test", "c@y.test"});
  SmtpConversation extended(e);
  SmtpStep first = extended.Resume();
  EXPECT_EQ(first.command, "MAIL FROM: <a@x.test> SIZE=1234\r\n");
  EXPECT_TRUE(extended.extended());
  EXPECT_EQ(
      Converse(extended, {"250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 taken\r\n"}),
      (std::vector<std::string>{"RCPT TO: <b@y.test>\r\n", "RCPT TO: <c@y.test>\r\n", "DATA\r\n",
                                "<message>", "<done>"}));
  e.ehlo = false;  // the earlier conversation fell back to HELO: no SIZE
  SmtpConversation plain(e);
  EXPECT_EQ(plain.Resume().command, "MAIL FROM: <a@x.test>\r\n");
  EXPECT_FALSE(plain.extended());
  EXPECT_EQ(Converse(plain, {""}), (std::vector<std::string>{"<failed>"}));
}

}  // namespace
}  // namespace qv
