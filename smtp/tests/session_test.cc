#include "smtp/session.h"

#include <gtest/gtest.h>

#include "common/config.h"
#include "common/records.h"
#include "common/tables.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using testing::Normalize;
using testing::SmtpEnv;

// What is wrong with a reply's form, or "": every line ends in CR LF and begins with the same
// three digits, followed by "-" on every line but the last and by a blank on the last.
std::string ReplyFault(const std::string& reply) {
  if (reply.size() < 6 || reply.compare(reply.size() - 2, 2, "\r\n") != 0) return "no CR LF at end";
  const std::string code = reply.substr(0, 3);
  for (size_t pos = 0; pos < reply.size();) {
    size_t end = reply.find("\r\n", pos);
    std::string line = reply.substr(pos, end - pos);
    bool last = end + 2 == reply.size();
    if (line.size() < 4 || line.compare(0, 3, code) != 0 || line[3] != (last ? ' ' : '-') ||
        line.find_first_of("\r\n") != std::string::npos)
      return "bad line: " + line;
    pos = end + 2;
  }
  return "";
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob Builder");
    env_.AddUser("carol", "example.test", "Carol");
    env_.AddUser("dave", "example.test", "Dave", "dave@remote.test", kUserRemote,
                 "carol@example.test; x@far.test");
    members_ = env_.config() + "/staff.mbr";
    env_.AddList("staff", "example.test", "Staff list", members_);
    env_.AddList("board", "example.test", "Board", env_.config() + "/board.mbr", kListOwnerSends,
                 "boss", "example.test");
    env_.AddList("secret", "example.test", "Secret", env_.config() + "/secret.mbr", kListHidden);
    env_.AddList("empty", "example.test", "Empty", env_.config() + "/none.mbr");
    env_.AddCommand("changepass", "example.test", "Password-Manager", "/bin/true");
    env_.AddRoute("*@legacy.test", kRouteToMail, "bob@example.test");
    env_.AddRoute("*@relay.test", kRouteToHost, "smart.host.test");
    env_.AddRoute("*@self.test", kRouteToHost, "MX.example.test");
    env_.AddRoute("*@old.test", kRouteToDomain, "example.test");
    env_.AddRoute("*@moved.test", kRouteToDomain, "new.test");
  }

  // A session in `state` (0 to 4).
  std::unique_ptr<SmtpSession> In(int state, const std::string& sender = "alice@other.test") {
    auto s = std::make_unique<SmtpSession>(env_.settings(), "198.51.100.7");
    if (state >= 1) s->DispatchCommand("MAIL FROM:<" + sender + ">");
    if (state >= 2) s->DispatchCommand("RCPT TO:<bob@example.test>");
    if (state >= 3) {
      s->DispatchCommand("DATA");
      s->MarkMessageReceived();
    }
    if (state == 4) s->DispatchCommand("QUIT");
    EXPECT_EQ(static_cast<int>(s->state()), state);
    return s;
  }

  SmtpEnv env_;
  std::string members_;
};

TEST_F(SessionTest, CommandsAreAcceptedOnlyInTheirStates) {
  // Commands whose reply in an accepted state is never the wrong-state text.
  struct Case {
    const char* line;
    const char* states;  // one character per state 0..4: 'y' accepted
  } cases[] = {
      {"HELO x", "yynnn"},
      {"EHLO x", "yynnn"},
      {"MAIL FROM:<a@b.test>", "ynnyn"},
      {"SEND FROM:<a@b.test>", "ynnyn"},
      {"SAML FROM:<a@b.test>", "ynnyn"},
      {"SOML FROM:<a@b.test>", "ynnyn"},
      {"RCPT TO:<bob@example.test>", "nyynn"},
      {"DATA", "nnynn"},
      {"RSET", "yyyyy"},
      {"VRFY bob", "yynyy"},
      {"EXPN staff", "yynyy"},
      {"HELP", "yyyyy"},
      {"NOOP", "yyyyy"},
      {"TURN", "yyyyy"},
      {"QUIT", "yyyyy"},
  };
  for (const auto& c : cases) {
    for (int state = 0; state <= 4; ++state) {
      auto s = In(state);
      Reply r = s->DispatchCommand(c.line);
      if (c.states[state] == 'y') {
        EXPECT_NE(r.text, "501 invalid Command in this state\r\n") << c.line << " in " << state;
      } else {
        EXPECT_EQ(r.text, "501 invalid Command in this state\r\n") << c.line << " in " << state;
        EXPECT_EQ(r.code, kErrorReply);
        EXPECT_EQ(static_cast<int>(s->state()), state);
      }
    }
  }
}

TEST_F(SessionTest, FixedReplies) {
  struct Case {
    const char* line;
    int code;
    const char* reply;
  } cases[] = {
      {"HELO client.test", kPositiveReply, "250 mx.example.test Hello 198.51.100.7\r\n"},
      {"helo", kPositiveReply, "250 mx.example.test Hello 198.51.100.7\r\n"},
      {"EHLO client.test", kPositiveReply,
       "250-mx.example.test Hello 198.51.100.7\r\n250-EXPN\r\n250-SIZE\r\n250 HELP\r\n"},
      {"NOOP", kPositiveReply, "250 OK\r\n"},
      {"noop with words", kPositiveReply, "250 OK\r\n"},
      {"TURN", kPositiveReply, "502 No need to change roles\r\n"},
      {"RSET", kPositiveReply, "250 Reset State\r\n"},
      {"QUIT", kPositiveReply, "221 198.51.100.7 closing connection\r\n"},
      {"HELP", kPositiveReply,
       "214-Commands:\r\n214-          HELO    MAIL    RCPT    DATA    RSET    VRFY\r\n214-    "
       "      EXPN    SEND    SAML    SOML    NOOP    QUIT\r\n214-          For more info use "
       "'HELP <topic>'.\r\n214 End of Help\r\n"},
      {"HELP help", kPositiveReply, nullptr},
      {"help  rcpt", kPositiveReply,
       "214-RCPT TO: <recipient>\r\n214-    Specifies the recipient. Can be used any number of "
       "times.\r\n214 End of Help\r\n"},
      {"HELP NOOPS", kPositiveReply, "214-NOOP\r\n214-    Do nothing. !\r\n214 End of Help\r\n"},
      {"HELP soml", kPositiveReply,
       "214-SOML FROM: <sender>\r\n214-    If the user is logged in, send directly, otherwise "
       "mail..\r\n214-    Not supported here !\r\n214 End of Help\r\n"},
      {"HELP QUIT", kPositiveReply, "214-QUIT\r\n214-    Exit QUORVANE.\r\n214 End of Help\r\n"},
      {"HELP XYZZY", kPositiveReply, "214-Command unknown\r\n214 End of Help\r\n"},
      {"HELP ab", kPositiveReply, "214-Command unknown\r\n214 End of Help\r\n"},
      {"FOO", kErrorReply, "501 Syntax Error\r\n"},
      {"", kErrorReply, "501 Syntax Error\r\n"},
      {"HEL", kErrorReply, "501 Syntax Error\r\n"},
      {"XHELO", kErrorReply, "501 Syntax Error\r\n"},
      {"DATA", kErrorReply, "501 invalid Command in this state\r\n"},
  };
  for (const auto& c : cases) {
    SmtpSession s(env_.settings(), "198.51.100.7");
    Reply r = s.DispatchCommand(c.line);
    EXPECT_EQ(r.code, c.code) << c.line;
    if (c.reply != nullptr) {
      EXPECT_EQ(r.text, c.reply) << c.line;
    }
  }
  SmtpSession s(env_.settings(), "198.51.100.7");
  EXPECT_EQ(s.DispatchCommand("HELP help").text, s.DispatchCommand("HELP").text);
  // Every topic ends with the closing line, and every line of every HELP reply carries the code.
  for (const char* topic : {"HELO", "EHLO", "MAIL", "RCPT", "DATA", "RSET", "VRFY", "EXPN", "NOOP",
                            "QUIT", "TURN", "SEND", "SAML", "SOML"}) {
    std::string text = s.DispatchCommand(std::string("HELP ") + topic).text;
    EXPECT_EQ(text.substr(0, 8), std::string("214-") + topic) << topic;
    EXPECT_EQ(text.substr(text.size() - 17), "214 End of Help\r\n") << topic;
    EXPECT_EQ(ReplyFault(text), "") << topic;
  }
  EXPECT_EQ(ReplyFault(s.DispatchCommand("HELP").text), "");
  EXPECT_EQ(ReplyFault(s.DispatchCommand("HELP none").text), "");
  EXPECT_EQ(ReplyFault(s.DispatchCommand("EHLO x").text), "");
}

TEST_F(SessionTest, EhloDependsOnTheOptions) {
  env_.smtp().Flags = 0;
  SmtpSession plain(env_.settings(), "198.51.100.7");
  EXPECT_EQ(plain.DispatchCommand("EHLO x").text, "502 Not implemented\r\n");
  EXPECT_EQ(plain.DispatchCommand("EHLO x").code, kErrorReply);
  EXPECT_FALSE(plain.esmtp());
  env_.smtp().Flags = kSmtpEsmtp | kSmtpEnforceSize;
  env_.smtp().ESMTPMaxMsgSize = 10485760;
  SmtpSession sized(env_.settings(), "198.51.100.7");
  EXPECT_EQ(sized.DispatchCommand("EHLO x").text,
            "250-mx.example.test Hello 198.51.100.7\r\n250-EXPN\r\n250-SIZE 10485760\r\n"
            "250 HELP\r\n");
  EXPECT_TRUE(sized.esmtp());
  // HELO after MAIL returns to the start; after RCPT it is refused.
  sized.DispatchCommand("MAIL FROM:<a@b.test>");
  EXPECT_EQ(sized.DispatchCommand("HELO x").code, kPositiveReply);
  EXPECT_EQ(sized.state(), SessionState::kReady);
}

TEST_F(SessionTest, MailSetsTheReversePath) {
  struct Case {
    const char* line;
    const char* reply;
    const char* reverse_path;
  } cases[] = {
      {"MAIL FROM:<alice@other.test>", "250 <alice@other.test>, sender ok\r\n", "alice@other.test"},
      {"mail from: <Alice@Other.Test>", "250 <Alice@Other.Test>, sender ok\r\n",
       "Alice@Other.Test"},
      {"MAIL FROM:<>", "250 <>, sender ok\r\n", ""},
      {"MAIL FROM:<alice>", "250 <alice>, sender ok\r\n", "alice@example.test"},
      {"MAIL  FROM : <a@b.test>", "250 <a@b.test>, sender ok\r\n", "a@b.test"},
      {"MAIL\tFROM:\"Al\" <a@b.test>", "250 <a@b.test>, sender ok\r\n", "a@b.test"},
      {"SEND FROM:<a@b.test>", "250 <a@b.test>, sender ok\r\n", "a@b.test"},
      {"SOML FROM:<a@b.test>", "250 <a@b.test>, sender ok\r\n", "a@b.test"},
      {"MAIL TO:<a@b.test>", "501 Syntax Error\r\n", ""},
      {"MAIL FROM <a@b.test>", "501 Syntax Error\r\n", ""},
      {"MAIL FROMX:<a@b.test>", "501 Syntax Error\r\n", ""},
      {"MAIL", "501 Syntax Error\r\n", ""},
  };
  for (const auto& c : cases) {
    SmtpSession s(env_.settings(), "198.51.100.7");
    Reply r = s.DispatchCommand(c.line);
    EXPECT_EQ(r.text, c.reply) << c.line;
    EXPECT_EQ(s.reverse_path(), c.reverse_path) << c.line;
    EXPECT_EQ(s.state(),
              r.code == kPositiveReply ? SessionState::kSenderGiven : SessionState::kReady)
        << c.line;
  }
}

TEST_F(SessionTest, MailSizeParameter) {
  struct Case {
    uint32_t flags;
    bool ehlo;
    const char* line;
    const char* reply;
    const char* reverse_path;
  } cases[] = {
      {kSmtpEsmtp | kSmtpEnforceSize, true, "MAIL FROM:<a@b.test> SIZE=5001",
       "552 Message size exceeds fixed maximium message size of 5000 bytes\r\n", ""},
      {kSmtpEsmtp | kSmtpEnforceSize, true, "MAIL FROM:<a@b.test> size = 5000 BODY=8BITMIME",
       "250 <a@b.test>, sender ok\r\n", "a@b.test"},
      {kSmtpEsmtp | kSmtpEnforceSize, true, "MAIL FROM:<a@b.test> SIZE=99999999999999999999",
       "552 Message size exceeds fixed maximium message size of 5000 bytes\r\n", ""},
      // Refused only after EHLO, and only when the limit is enforced.
      {kSmtpEsmtp | kSmtpEnforceSize, false, "MAIL FROM:<a@b.test> SIZE=9000",
       "250 <a@b.test>, sender ok\r\n", "a@b.test"},
      {kSmtpEsmtp, true, "MAIL FROM:<a@b.test> SIZE=9000", "250 <a@b.test>, sender ok\r\n",
       "a@b.test"},
      // Parameter words inside an address are part of the address.
      {kSmtpEsmtp | kSmtpEnforceSize, true, "MAIL FROM:<downsize@8bitmime.test> SIZE=10",
       "250 <downsize@8bitmime.test>, sender ok\r\n", "downsize@8bitmime.test"},
      {kSmtpEsmtp | kSmtpEnforceSize, true, "MAIL FROM: size@b.test",
       "250 <size@b.test>, sender ok\r\n", "size@b.test"},
  };
  for (const auto& c : cases) {
    env_.smtp().Flags = c.flags;
    SmtpSession s(env_.settings(), "198.51.100.7");
    if (c.ehlo) s.DispatchCommand("EHLO x");
    Reply r = s.DispatchCommand(c.line);
    EXPECT_EQ(r.text, c.reply) << c.line;
    EXPECT_EQ(s.reverse_path(), c.reverse_path) << c.line;
  }
}

TEST_F(SessionTest, RecipientsResolveIntoTheTwoLists) {
  struct Case {
    const char* rcpt;
    const char* reply;
    const char* local;
    const char* forward;
  } cases[] = {
      {"<bob@example.test>", "250 Bob Builder <bob@example.test>\r\n",
       "[U]bob@example.test!bob@example.test", ""},
      {"<BOB@Example.Test>", "250 Bob Builder <bob@example.test>\r\n",
       "[U]bob@example.test!BOB@Example.Test", ""},
      {"<bob@other.test>", "550 Recipient not here\r\n", "", ""},
      {"<bob@[192.0.2.1]>", "250 Bob Builder <bob@example.test>\r\n",
       "[U]bob@example.test!bob@[192.0.2.1]", ""},
      {"<bob@#mx.example.test>", "250 Bob Builder <bob@example.test>\r\n",
       "[U]bob@example.test!bob@#mx.example.test", ""},
      {"<bob@#192.0.2.1>", "250 Bob Builder <bob@example.test>\r\n",
       "[U]bob@example.test!bob@#192.0.2.1", ""},
      {"<bob@[10.0.0.1]>", "250 User not local; will forward to <bob@[10.0.0.1]>\r\n", "",
       "bob@[10.0.0.1]"},
      {"<bob@[192.0.2.1>", "250 User not local; will forward to <bob@[192.0.2.1>\r\n", "",
       "bob@[192.0.2.1"},
      {"<bob@[]>", "250 User not local; will forward to <bob@[]>\r\n", "", "bob@[]"},
      {"<bob@#>", "250 User not local; will forward to <bob@#>\r\n", "", "bob@#"},
      {"<bob@#10.1.1.1>", "250 User not local; will forward to <bob@#10.1.1.1>\r\n", "",
       "bob@#10.1.1.1"},
      {"<zed@faraway.test>", "250 User not local; will forward to <zed@faraway.test>\r\n", "",
       "zed@faraway.test"},
      {"<dave@example.test>", "250 User not local; will forward to <dave@remote.test>\r\n",
       "[U]carol@example.test", "dave@remote.test x@far.test"},
      {"<staff@example.test>", "250 Staff list <staff@example.test>\r\n", "[L]staff@example.test",
       ""},
      {"<board@example.test>", "550 Permission denied\r\n", "", ""},
      {"<changepass@example.test>", "250 Password-Manager <changepass@example.test>\r\n",
       "[X]changepass@example.test", ""},
      {"<anyone@legacy.test>", "250 User not local; will forward to <bob@example.test>\r\n",
       "[U]bob@example.test!anyone@legacy.test", ""},
      {"<joe@relay.test>",
       "250 User not local; will forward to <joe@#smart.host.test!joe@relay.test>\r\n", "",
       "joe@#smart.host.test!joe@relay.test"},
      {"<bob@old.test>", "250 User not local; will forward to <bob@example.test>\r\n",
       "[U]bob@example.test!bob@old.test", ""},
      {"<sam@moved.test>", "250 User not local; will forward to <sam@new.test>\r\n", "",
       "sam@new.test!sam@moved.test"},
      {"<nobody@example.test>", "550 Recipient not here\r\n", "", ""},
      {"<nobody>", "550 Recipient not here\r\n", "", ""},
      {"<nobody@[192.0.2.1]>", "550 Recipient not here\r\n", "", ""},
      {"<>", "501 Syntax Error\r\n", "", ""},
      {"", "501 Syntax Error\r\n", "", ""},
      {"   ", "501 Syntax Error\r\n", "", ""},
      {"<bob@example.test>;<carol@example.test>", "250 Carol <carol@example.test>\r\n",
       "[U]bob@example.test!bob@example.test [U]carol@example.test!carol@example.test", ""},
      {"<bob@example.test>;<nobody@example.test>", "550 Recipient not here\r\n",
       "[U]bob@example.test!bob@example.test", ""},
  };
  for (const auto& c : cases) {
    auto s = In(1);
    Reply r = s->DispatchCommand(std::string("RCPT TO:") + c.rcpt);
    EXPECT_EQ(r.text, c.reply) << c.rcpt;
    EXPECT_EQ(s->local_list(), c.local) << c.rcpt;
    EXPECT_EQ(s->forward_list(), c.forward) << c.rcpt;
    EXPECT_EQ(s->state(), r.code == kPositiveReply ? SessionState::kRecipientsGiven
                                                   : SessionState::kSenderGiven)
        << c.rcpt;
  }
}

TEST(SessionTables, TablesMadeWhileTheServiceRunsAreSeenByTheNextRecipient) {
  // Only the user table exists at first.
  SmtpEnv env;
  env.AddUser("bob", "example.test", "Bob Builder");
  auto s = std::make_unique<SmtpSession>(env.settings(), "198.51.100.7");
  s->DispatchCommand("MAIL FROM:<alice@other.test>");
  const struct {
    const char* rcpt;
    const char* before;
    const char* after;
  } cases[] = {
      {"RCPT TO:<staff@example.test>", "550 Recipient not here\r\n",
       "250 Staff list <staff@example.test>\r\n"},
      {"RCPT TO:<runit@example.test>", "550 Recipient not here\r\n",
       "250 Runner <runit@example.test>\r\n"},
      {"RCPT TO:<x@legacy.test>", "250 User not local; will forward to <x@legacy.test>\r\n",
       "250 User not local; will forward to <bob@example.test>\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(s->DispatchCommand(c.rcpt).text, c.before) << c.rcpt;
  env.AddList("staff", "example.test", "Staff list", env.config() + "/staff.mbr");
  env.AddCommand("runit", "example.test", "Runner", "/bin/true");
  env.AddRoute("*@legacy.test", kRouteToMail, "bob@example.test");
  for (const auto& c : cases) EXPECT_EQ(s->DispatchCommand(c.rcpt).text, c.after) << c.rcpt;
}

TEST_F(SessionTest, RouteToThisHostResolvesTheLocalPartHere) {
  auto s = In(1);
  Reply r = s->DispatchCommand("RCPT TO:<bob@self.test>");
  EXPECT_EQ(r.text, "250 User not local; will forward to <bob@#MX.example.test!bob@self.test>\r\n");
  EXPECT_EQ(s->local_list().substr(0, 7), "[U]bob@");
  EXPECT_EQ(s->local_list().substr(s->local_list().size() - 14), "!bob@self.test");
  EXPECT_EQ(s->forward_list(), "");
  // A name that nothing knows here is dropped from the route to this host.
  auto t = In(1);
  EXPECT_EQ(t->DispatchCommand("RCPT TO:<ghost@self.test>").code, kPositiveReply);
  EXPECT_EQ(t->local_list(), "");
  EXPECT_EQ(t->forward_list(), "");
}

TEST_F(SessionTest, ListOwnerMaySendToAnOwnerOnlyList) {
  auto s = In(1, "Boss@Example.Test");
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<board@example.test>").text,
            "250 Board <board@example.test>\r\n");
  EXPECT_EQ(s->local_list(), "[L]board@example.test");
}

TEST_F(SessionTest, UnknownRecipientOptions) {
  CopyField(env_.system().AdministratorName, "admin");
  CopyField(env_.system().AdministratorMailBox, "postmaster");
  env_.smtp().Flags |= kSmtpNotifyUnknown;
  auto s = In(1);
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<nobody@example.test>").text, "550 Recipient not here\r\n");
  auto notices = env_.Mailbox("postmaster");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(Normalize(notices[0]),
            "Received: by mx.example.test with Quorvane-SMTP/POP3-Server (v1.00 Linux) for "
            "<admin@example.test> at <date>\r\n"
            "From: <>\r\n"
            "To: admin@example.test\r\n"
            "Date: <date>\r\n"
            "Subject: Message for unknown user\r\n\r\n"
            "---------------\r\nThe following user address is unknown and was rejected:\r\n"
            " --> From: alice@other.test\r\n --> To:   nobody@example.test\r\n");

  // Forwarding of unknown users wins over the notice.
  env_.smtp().Flags |= kSmtpForwardUnknown;
  CopyField(env_.smtp().ForwardUnknown,
            "carol@example.test;lost@elsewhere.test, staff@example.test");
  auto f = In(1);
  EXPECT_EQ(f->DispatchCommand("RCPT TO:<nobody@example.test>").text,
            "250 User unknown; will forward to <carol@example.test;lost@elsewhere.test, "
            "staff@example.test>\r\n");
  EXPECT_EQ(f->local_list(),
            "[U]carol@example.test!nobody@example.test [L]staff@example.test!nobody@example.test");
  EXPECT_EQ(f->forward_list(), "lost@elsewhere.test!nobody@example.test");
  EXPECT_EQ(env_.Mailbox("postmaster").size(), 1u);

  // Forwarding to nowhere would lose the mail: it is refused instead.
  CopyField(env_.smtp().ForwardUnknown, "");
  auto e = In(1);
  EXPECT_EQ(e->DispatchCommand("RCPT TO:<nobody@example.test>").text, "550 Recipient not here\r\n");
  // A notice without an administrator mailbox is not written anywhere.
  CopyField(env_.system().AdministratorMailBox, "");
  auto n = In(1);
  EXPECT_EQ(n->DispatchCommand("RCPT TO:<nobody@example.test>").code, kErrorReply);
  EXPECT_EQ(env_.Mailbox("postmaster").size(), 2u);
}

TEST_F(SessionTest, AtMostAThousandRecipientEntries) {
  auto s = In(1);
  for (int i = 0; i < 998; ++i)
    ASSERT_EQ(s->DispatchCommand("RCPT TO:<r" + std::to_string(i) + "@far.test>").code,
              kPositiveReply);
  // dave adds three entries: that would make 1001.
  std::string local = s->local_list(), forward = s->forward_list();
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<dave@example.test>").text, "452 Too many recipients\r\n");
  EXPECT_EQ(s->local_list(), local);
  EXPECT_EQ(s->forward_list(), forward);
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<bob@example.test>;<carol@example.test>").code,
            kPositiveReply);
  EXPECT_EQ(s->recipient_entries(), 1000u);
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<bob@example.test>").text, "452 Too many recipients\r\n");
  EXPECT_EQ(s->recipient_entries(), 1000u);
  // A new transaction starts counting again.
  s->DispatchCommand("RSET");
  s->DispatchCommand("MAIL FROM:<a@b.test>");
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<bob@example.test>").code, kPositiveReply);
}

TEST_F(SessionTest, RecipientsNamedTwiceAreKeptOnce) {
  auto s = In(1);
  struct Step {
    const char* rcpt;
    const char* reply;
  } steps[] = {
      {"<bob@example.test>", "250 Bob Builder <bob@example.test>\r\n"},
      {"<BOB@Example.Test>", "250 Bob Builder <bob@example.test>\r\n"},
      {"<bob@[192.0.2.1]>", "250 Bob Builder <bob@example.test>\r\n"},
      {"<anyone@legacy.test>", "250 User not local; will forward to <bob@example.test>\r\n"},
      {"<staff@example.test>", "250 Staff list <staff@example.test>\r\n"},
      {"<STAFF@example.test>;<staff@EXAMPLE.test>", "250 Staff list <staff@example.test>\r\n"},
      {"<changepass@example.test>", "250 Password-Manager <changepass@example.test>\r\n"},
      {"<ChangePass@example.test>", "250 Password-Manager <changepass@example.test>\r\n"},
      {"<zed@faraway.test>", "250 User not local; will forward to <zed@faraway.test>\r\n"},
      {"<ZED@FARAWAY.test>", "250 User not local; will forward to <ZED@FARAWAY.test>\r\n"},
      {"<dave@example.test>", "250 User not local; will forward to <dave@remote.test>\r\n"},
      {"<dave@remote.test>", "250 User not local; will forward to <dave@remote.test>\r\n"},
      {"<carol@example.test>", "250 Carol <carol@example.test>\r\n"},
  };
  for (int round = 0; round < 2; ++round) {
    for (const Step& step : steps) {
      EXPECT_EQ(s->DispatchCommand(std::string("RCPT TO:") + step.rcpt).text, step.reply)
          << step.rcpt;
    }
  }
  EXPECT_EQ(s->local_list(),
            "[U]bob@example.test!bob@example.test [L]staff@example.test "
            "[X]changepass@example.test [U]carol@example.test");
  EXPECT_EQ(s->forward_list(), "zed@faraway.test dave@remote.test x@far.test");
  EXPECT_EQ(s->recipient_entries(), 7u);
  // Fifty of one address make one entry; a new transaction starts afresh.
  s->DispatchCommand("RSET");
  s->DispatchCommand("MAIL FROM:<a@b.test>");
  for (int i = 0; i < 50; ++i) s->DispatchCommand("RCPT TO:<Bob@example.test>");
  EXPECT_EQ(s->local_list(), "[U]bob@example.test!Bob@example.test");
  EXPECT_EQ(s->recipient_entries(), 1u);
}

TEST_F(SessionTest, LongAndHostileAddresses) {
  std::string long_local(300, 'a');
  auto s = In(1);
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<" + long_local + "@far.test>").text,
            "250 User not local; will forward to <" + long_local + "@far.test>\r\n");
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<" + long_local + "@example.test>").text,
            "550 Recipient not here\r\n");
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<@example.test>").text, "501 Syntax Error\r\n");
  EXPECT_EQ(s->DispatchCommand("RCPT TO:<<<>>>").text, "501 Syntax Error\r\n");
  auto m = In(0);
  EXPECT_EQ(m->DispatchCommand("MAIL FROM:<" + long_local + "@far.test>").code, kPositiveReply);
  EXPECT_EQ(m->reverse_path(), long_local + "@far.test");
}

TEST_F(SessionTest, VerifyAndExpand) {
  AddMember(env_.system(), members_, "ann@example.test", "Ann");
  AddMember(env_.system(), members_, "ben@far.test", "Ben");
  struct Case {
    const char* line;
    int code;
    const char* reply;
  } cases[] = {
      {"VRFY bob", kPositiveReply, "250 Bob Builder <bob@example.test>\r\n"},
      {"VRFY <bob@example.test>", kPositiveReply, "250 Bob Builder <bob@example.test>\r\n"},
      {"VRFY dave@example.test", kPositiveReply,
       "250 User not local; will forward to <dave@remote.test>\r\n"},
      {"VRFY staff@example.test", kErrorReply, "550 That is a mailing list, not a user name\r\n"},
      {"VRFY changepass@example.test", kPositiveReply,
       "250 Password-Manager <changepass@example.test>\r\n"},
      {"VRFY nobody@example.test", kErrorReply, "550 Recipient not here\r\n"},
      {"VRFY zed@faraway.test", kErrorReply, "550 Recipient not here\r\n"},
      {"VRFY anyone@legacy.test", kErrorReply, "550 Recipient not here\r\n"},
      {"VRFY", kErrorReply, "501 Syntax Error\r\n"},
      {"VRFY ", kErrorReply, "501 Syntax Error\r\n"},
      {"VRFY <>", kErrorReply, "501 Syntax Error\r\n"},
      {"EXPN staff", kPositiveReply, "250-Ann <ann@example.test>\r\n250 Ben <ben@far.test>\r\n"},
      {"EXPN bob", kErrorReply, "550 That is a user name, not a mailing list\r\n"},
      {"EXPN nothing", kErrorReply, "550 Recipient not here\r\n"},
      {"EXPN secret", kErrorReply, "550 Permission denied\r\n"},
      {"EXPN empty", kErrorReply, "550 The list has no members\r\n"},
      {"EXPN", kErrorReply, "501 Syntax Error\r\n"},
  };
  for (const auto& c : cases) {
    SmtpSession s(env_.settings(), "198.51.100.7");
    Reply r = s.DispatchCommand(c.line);
    EXPECT_EQ(r.code, c.code) << c.line;
    EXPECT_EQ(r.text, c.reply) << c.line;
  }
  // A line break kept in a member file does not split the member's line of the reply.
  AddMember(env_.system(), members_, "cy@far.test", "Cy\r\n250 Forged");
  SmtpSession s(env_.settings(), "198.51.100.7");
  std::string expanded = s.DispatchCommand("EXPN staff").text;
  EXPECT_EQ(ReplyFault(expanded), "") << expanded;
  EXPECT_NE(expanded.find("250 Cy  250 Forged <cy@far.test>\r\n"), std::string::npos);
}

TEST_F(SessionTest, RsetAndNewMailEndTheTransaction) {
  auto s = In(2);
  EXPECT_EQ(s->DispatchCommand("RSET").text, "250 Reset State\r\n");
  EXPECT_EQ(s->state(), SessionState::kReady);
  EXPECT_EQ(s->local_list(), "");
  EXPECT_EQ(s->reverse_path(), "");
  // MAIL after a received message starts a new transaction.
  auto t = In(3);
  EXPECT_EQ(t->DispatchCommand("MAIL FROM:<x@y.test>").code, kPositiveReply);
  EXPECT_EQ(t->state(), SessionState::kSenderGiven);
  EXPECT_EQ(t->local_list(), "");
  EXPECT_EQ(t->DispatchCommand("DATA").text, "501 invalid Command in this state\r\n");
}

}  // namespace
}  // namespace qv::smtp
