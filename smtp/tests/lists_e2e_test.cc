// Mailing lists and auto responders through the real qvsmtp95 on a loopback port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
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

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ListsE2E : public testing::SmtpServiceTest {
 protected:
  void SetUp() override {
    env_.AddUser("listserver", "example.test", "List-Manager", "listserver", kUserListManager);
    env_.AddUser("owner", "example.test", "Owner");
    env_.AddUser("bob", "example.test", "Bob");
    env_.AddUser("carol", "example.test", "Carol");
    env_.AddList("staff", "example.test", "All staff", Members("staff"),
                 kListAutoJoin | kListPublic, "owner", "example.test");
    env_.AddList("closed", "example.test", "Closed", Members("closed"), kListPublic, "owner",
                 "example.test");
    WriteKeys(kSmtpEsmtp);
    qv::testing::ControlKey()
        .Set("Domain", "example.test;other.test")
        .Set("AdministratorName", "postmaster");
    pop3_port_ = qv::testing::FreeLoopbackPort();
    qv::testing::Pop3Key().Set("Port", pop3_port_);
  }
  void TearDown() override { Stop(); }

  std::string Members(const std::string& list) const {
    return env_.root() + "/config/" + list + ".mls";
  }

  void AddResponder(const std::string& name, const std::string& text,
                    const std::string& exceptions) {
    AUTOSTRUCT r{};
    CopyField(r.Name, name);
    CopyField(r.TextFile, env_.root() + "/" + name + ".txt");
    CopyField(r.LogFile, env_.root() + "/" + name + ".log");
    CopyField(r.Exceptions, exceptions);
    r.Options = kAutoLog;
    ASSERT_EQ(AddRecord(env_.system(), &r), 0);
    WriteFileText(env_.root() + "/" + name + ".txt", text);
  }

  // Adds the responder `name` and has carol answer by it.
  void CarolResponds(const std::string& name, const std::string& text,
                     const std::string& exceptions) {
    AddResponder(name, text, exceptions);
    USERSTRUCT carol;
    ASSERT_EQ(FindRecord(env_.system(), "carol", "example.test", &carol), 0);
    carol.Options |= kUserRespond;
    CopyField(carol.Responder, name);
    ASSERT_EQ(UpdateRecord(env_.system(), carol, false), 0);
  }

  void Stop() {
    service_.Stop();
    pop3_.Stop();
  }

  // Sends one message in one connection; the reply to the end of data.
  std::string Send(const std::string& from, const std::vector<std::string>& to,
                   const std::string& message) {
    LineClient client;
    EXPECT_TRUE(client.Connect(port_));
    client.ReadLine();
    auto say = [&](const std::string& line) {
      client.Send(line);
      return client.ReadReply();
    };
    say("HELO client.test\r\n");
    EXPECT_EQ(say("MAIL FROM:<" + from + ">\r\n").substr(0, 4), "250 ");
    for (const std::string& rcpt : to)
      EXPECT_EQ(say("RCPT TO:<" + rcpt + ">\r\n").substr(0, 4), "250 ") << rcpt;
    EXPECT_EQ(say("DATA\r\n").substr(0, 4), "354 ");
    std::string reply = say(message + "\r\n.\r\n");
    say("QUIT\r\n");
    return reply;
  }

  std::string Command(const std::string& from, const std::string& body) {
    return Send(from, {"listserver@example.test"}, "Subject: commands\r\n\r\n" + body);
  }

  std::vector<std::string> MemberAddresses(const std::string& list) const {
    std::string bytes = ReadFileText(Members(list));
    std::vector<std::string> out;
    for (size_t at = 0; at + sizeof(MEMBERSTRUCT) <= bytes.size(); at += sizeof(MEMBERSTRUCT))
      out.emplace_back(FieldText(bytes.data() + at, 128));
    return out;
  }

  int pop3_port_ = 0;
  qv::testing::ServiceProcess pop3_;
};

TEST_F(ListsE2E, SubscribeAndUnsubscribeByMail) {
  ASSERT_TRUE(Start());
  EXPECT_EQ(Command("bob@example.test", "subscribe staff@example.test\r\n").substr(0, 4), "250 ");
  EXPECT_EQ(MemberAddresses("staff"), std::vector<std::string>{"bob@example.test"});
  // The command mail itself is stored for the list manager like any mail.
  EXPECT_EQ(env_.Mailbox("listserver").size(), 1u);
  Command("bob@example.test", "Please UNSUBSCRIBE staff@example.test now.\r\n");
  EXPECT_TRUE(MemberAddresses("staff").empty());
  std::vector<std::string> box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_TRUE(Contains(box[0],
                       "From: listserver@example.test\r\nTo: bob@example.test\r\n"
                       "Subject: Removed from mailing list\r\n"))
      << box[0];
  EXPECT_TRUE(Contains(box[0],
                       "\r\n\r\nThe member <bob@example.test> has been removed from "
                       "mailing list 'staff@example.test'\r\n"));
  std::string log = env_.LogText();
  EXPECT_TRUE(Contains(log,
                       "*** Adding mail address <bob@example.test> to mailing list "
                       "'staff@example.test'"));
  EXPECT_TRUE(Contains(log,
                       "*** Removing mail address <bob@example.test> from mailing list "
                       "'staff@example.test'"));
}

TEST_F(ListsE2E, AListIsNeverItsOwnMember) {
  ASSERT_TRUE(Start());
  Command("eve@far.test",
          "join staff@example.test, staff@example.test\r\n"
          "join staff@example.test, closed@example.test\r\n"
          "join staff@example.test, bob@example.test\r\n");
  EXPECT_EQ(MemberAddresses("staff"), std::vector<std::string>{"bob@example.test"});
  EXPECT_TRUE(Contains(env_.LogText(),
                       "*** Cannot add mail address <staff@example.test> to mailing list "
                       "'staff@example.test'; Address is a mailing list"));
  // A post reaches the member once and nothing goes round through the queue.
  Send("alice@sender.test", {"staff@example.test"}, "Subject: News\r\n\r\nHello");
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_TRUE(env_.Queue().empty());
}

TEST_F(ListsE2E, ListMessageReachesEveryMemberUnderTheOwner) {
  ASSERT_TRUE(Start());
  for (const char* who : {"bob@example.test", "carol@example.test", "ext@far.test"})
    Command(who, "join staff@example.test\r\n");
  ASSERT_EQ(MemberAddresses("staff").size(), 3u);
  // No From: header, so the stored copies show the envelope sender delivery used.
  EXPECT_EQ(Send("alice@sender.test", {"staff@example.test"},
                 "Subject: News\r\n\r\nHello list\r\n..dot\r\n")
                .substr(0, 4),
            "250 ");
  for (const char* box : {"bob", "carol"}) {
    std::vector<std::string> mail = env_.Mailbox(box);
    ASSERT_EQ(mail.size(), 1u) << box;
    EXPECT_TRUE(Contains(mail[0], "Subject: News\r\n")) << mail[0];
    EXPECT_TRUE(Contains(mail[0], "From: owner@example.test\r\n")) << mail[0];
    EXPECT_TRUE(Contains(mail[0], "\r\n\r\nHello list\r\n..dot\r\n"));
  }
  std::vector<std::string> queue = env_.Queue();
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0].rfind("To: ext@far.test\r\nFrom: owner@example.test\r\n", 0), 0u) << queue[0];
  EXPECT_TRUE(Contains(env_.LogText(),
                       "*** Preparing outgoing messages for mailing list <staff@example.test>"));
}

TEST_F(ListsE2E, JoinByRequestReachesTheOwner) {
  ASSERT_TRUE(Start());
  Command("bob@example.test", "join closed@example.test\r\n");
  struct stat st {};
  EXPECT_NE(stat(Members("closed").c_str(), &st), 0);
  std::vector<std::string> box = env_.Mailbox("owner");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_TRUE(Contains(box[0], "From: postmaster@example.test\r\n")) << box[0];
  EXPECT_TRUE(Contains(box[0],
                       "\r\n\r\nMessage from postmaster:\r\nThe user <bob@example.test> "
                       "want to join mailing list 'closed@example.test'\r\n"))
      << box[0];
}

TEST_F(ListsE2E, OverviewsAndNoCommandsFromTheManagerItself) {
  // Mail from the list manager's own address is stored but not read for commands: its
  // replies (an overview holds the word "lists") would otherwise answer themselves.
  ASSERT_TRUE(Start());
  Command("listserver@example.test", "lists\r\n");
  EXPECT_EQ(env_.Mailbox("listserver").size(), 1u);
  Command("bob@example.test", "lists\r\nwhich\r\n");
  std::vector<std::string> box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 2u);
  EXPECT_TRUE(Contains(box[0] + box[1],
                       "Public mailing lists on server 'mx.example.test':\r\n"
                       "   closed@example.test (Closed)\r\n"
                       "   staff@example.test (All staff)\r\n"));
}

TEST_F(ListsE2E, ResponderRepliesToLocalAndForeignSendersExceptMasked) {
  ASSERT_NO_FATAL_FAILURE(
      CarolResponds("away", "Carol is away.\r\n.signature\r\n", "*@masked.test"));
  ASSERT_TRUE(Start());

  Send("bob@example.test", {"carol@example.test"}, "Subject: hi\r\n\r\nhi");
  std::vector<std::string> box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_TRUE(Contains(box[0],
                       "From: <carol@example.test>\r\nSubject: Reply from "
                       "carol@example.test\r\nAuto-Submitted: auto-replied\r\n\r\nCarol is "
                       "away.\r\n..signature\r\n"))
      << box[0];

  Send("alice@sender.test", {"carol@example.test"}, "Subject: hi\r\n\r\nhi");
  std::vector<std::string> queue = env_.Queue();
  ASSERT_EQ(queue.size(), 1u);
  // An empty envelope sender: a responder at the other end never answers the reply.
  EXPECT_EQ(queue[0].rfind("To: alice@sender.test\r\nFrom: \r\nReceived: ", 0), 0u) << queue[0];

  // Mail sent by a program is not answered: the other end's reply, a list's post.
  Send("alice@sender.test", {"carol@example.test"},
       "Subject: Reply from alice@sender.test\r\nAuto-Submitted: auto-replied\r\n\r\naway");
  Send("news@sender.test", {"carol@example.test"}, "Precedence: bulk\r\n\r\nnews");
  EXPECT_EQ(env_.Queue().size(), 1u);
  EXPECT_TRUE(Contains(env_.LogText(),
                       "*** No reply of responder 'away' for <alice@sender.test>; The message "
                       "was sent automatically"));

  Send("eve@masked.test", {"carol@example.test"}, "Subject: hi\r\n\r\nhi");
  EXPECT_EQ(env_.Queue().size(), 1u);
  EXPECT_EQ(env_.Mailbox("carol").size(), 5u);
  std::string responder_log = ReadFileText(env_.root() + "/away.log");
  EXPECT_TRUE(Contains(responder_log,
                       "No responder created for <eve@masked.test>; Address does "
                       "not match with responder mask\r\n"));
  // A delivery report (empty reverse-path) gets no reply.
  Send("", {"carol@example.test"}, "Subject: report\r\n\r\nx");
  EXPECT_EQ(env_.Queue().size(), 1u);
}

TEST_F(ListsE2E, ReplyTextReachesThePop3ClientAsWritten) {
  // A line "." in the responder's text must not end the message early, and ".signature" must
  // reach the client as ".signature", not as "signature".
  ASSERT_NO_FATAL_FAILURE(CarolResponds("away", "Thanks.\n.\n.signature\n", ""));
  ASSERT_TRUE(Start());
  ASSERT_TRUE(pop3_.Start("qvpop395", pop3_port_));
  Send("bob@example.test", {"carol@example.test"}, "Subject: hi\r\n\r\nhi");
  ASSERT_EQ(env_.Mailbox("bob").size(), 1u);
  std::string script = env_.root() + "/fetch.py";
  WriteFileText(script,
                "import poplib, sys\n"
                "p = poplib.POP3('127.0.0.1', int(sys.argv[1]))\n"
                "p.user('bob'); p.pass_('secret')\n"
                "for line in p.retr(1)[1]: print(repr(line.decode()))\n"
                "p.quit()\n");
  auto result = qv::testing::RunProgram("/usr/bin/python3", {script, std::to_string(pop3_port_)});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_TRUE(Contains(result.out,
                       "'Subject: Reply from carol@example.test'\n"
                       "'Auto-Submitted: auto-replied'\n''\n'Thanks.'\n"
                       "'.'\n'.signature'\n"))
      << result.out;
}

}  // namespace
}  // namespace qv::smtp
