#include "mail/delivery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/records.h"
#include "common/testing/test_env.h"
#include "mail/tests/mail_env_util.h"

namespace qv::mail {
namespace {

using testing::MailEnv;
using testing::Normalize;

// A plain spool file holding `text`, open for reading and writing.
class Spool {
 public:
  Spool(const MailEnv& env, const std::string& text) {
    path_ = env.temp() + "/spool.tmp";
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  ~Spool() {
    close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
};

std::string Copy(const MailEnv& env, const std::string& spool_text, const std::string& sender) {
  Spool spool(env, spool_text);
  std::string out;
  EXPECT_TRUE(CopyMessage(spool.fd(), "t@x.test", sender, "26010203040506", "mx.example.test",
                          [&](std::string_view text) {
                            out.append(text);
                            return true;
                          }));
  return Normalize(out);
}

TEST(CopyMessage, HeaderWindowAddedHeadersAndBody) {
  MailEnv env;
  const std::string added =
      "Date: <date>\r\nFrom: a@b.test\r\nTo: <t@x.test>\r\nMessage-Id: "
      "<<id>@mx.example.test>\r\n";
  struct Case {
    std::string spool;
    std::string sender;
    std::string stored;
  } cases[] = {
      {"Subject: s\r\n\r\nbody", "a@b.test", "Subject: s\r\n" + added + "\r\nbody"},
      // Headers that are there are not added again, in any case of their names.
      {"Date: d\r\nFROM: f\r\nto: t\r\nMessage-ID: <m>\r\n\r\nbody", "a@b.test",
       "Date: d\r\nFROM: f\r\nto: t\r\nMessage-ID: <m>\r\n\r\nbody"},
      {"Subject: s\r\nX-To: y\r\n\r\nb", "",
       "Subject: s\r\nX-To: y\r\nDate: <date>\r\nFrom: <>\r\nTo: <t@x.test>\r\nMessage-Id: "
       "<<id>@mx.example.test>\r\n\r\nb"},
      // A header longer than the window: nothing is taken for a header.
      {"X: " + std::string(3000, 'a') + "\r\n\r\nbody", "a@b.test",
       added + "X: " + std::string(3000, 'a') + "\r\n\r\nbody"},
      {"no header at all", "a@b.test", added + "no header at all"},
      {"", "a@b.test", added},
      // An end line kept in the text loses its dot; dots at the very end stay.
      {"S: s\r\n\r\nbody\r\n.\r\n", "a@b.test", "S: s\r\n" + added + "\r\nbody\r\n \r\n"},
      {"S: s\r\n\r\nsee you...", "a@b.test", "S: s\r\n" + added + "\r\nsee you..."},
      {"S: s\r\n\r\n..stuffed\r\nline", "a@b.test", "S: s\r\n" + added + "\r\n..stuffed\r\nline"},
  };
  for (const auto& c : cases) EXPECT_EQ(Copy(env, c.spool, c.sender), c.stored) << c.spool;
}

TEST(CopyMessage, LongBodyIsCopiedWhole) {
  MailEnv env;
  std::string body;
  for (int i = 0; body.size() < 100000; ++i) body += "line " + std::to_string(i) + "\r\n";
  body += "last.";
  std::string out = Copy(env, "Subject: big\r\n\r\n" + body, "a@b.test");
  // The body follows the header whole, its final dot included.
  std::string kept = "\r\n" + body;
  ASSERT_GT(out.size(), kept.size());
  EXPECT_EQ(out.substr(out.size() - kept.size()), kept);
}

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob");
    env_.AddUser("boxed", "example.test", "Boxed", "bobbox");
    env_.AddUser("dave", "example.test", "Dave", "dave@remote.test", kUserRemote);
    env_.AddUser("erin", "example.test", "Erin", "carol@example.test", kUserRemote);
    env_.AddUser("carol", "example.test", "Carol", "", 0, "frank@example.test");
    env_.AddUser("frank", "example.test", "Frank");
    env_.AddUser("alice", "example.test", "Alice", "", 0, "", "archive@example.test");
    env_.AddUser("archive", "example.test", "Archive");
    env_.AddUser("evil", "example.test", "Evil", "../escape");
    env_.AddUser("loop1", "example.test", "L1", "loop2@example.test", kUserRemote);
    env_.AddUser("loop2", "example.test", "L2", "loop1@example.test", kUserRemote);
  }

  // Delivers `list`, recipients in text form (a local list when `local`, else a forward list).
  void Deliver(const std::string& list, const std::string& sender, bool local, bool top = true,
               const std::string& text = "Subject: t\r\n\r\nhello") {
    Spool spool(env_, text);
    report_ = DeliveryReport();
    mail::Deliver(env_.service, ParseRecipients(list, local), sender, spool.fd(),
                  DeliveryPolicy{.top_level = top}, &report_);
  }

  MailEnv env_;
  DeliveryReport report_;
};

TEST_F(DeliveryTest, UserEntryWritesAMaskedMailboxFile) {
  Deliver("[U]bob@example.test!Bob@Example.Test", "alice@other.test", true);
  auto box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_EQ(Normalize(box[0]),
            "Received: by mx.example.test with Quorvane-SMTP/POP3-Server (v1.00 Linux) for "
            "<Bob@Example.Test> at <date>\r\nSubject: t\r\nDate: <date>\r\n"
            "From: alice@other.test\r\nTo: <bob@example.test>\r\nMessage-Id: "
            "<<id>@mx.example.test>\r\n\r\nhello");
  // On disk every byte carries the mask.
  std::string raw;
  for (const auto& name : std::filesystem::directory_iterator(env_.mail() + "/bob"))
    raw = qv::testing::ReadFileText(name.path().string());
  ASSERT_EQ(raw.size(), box[0].size());
  for (size_t i = 0; i < raw.size(); ++i)
    ASSERT_EQ(static_cast<uint8_t>(raw[i]) ^ 0x3C, static_cast<uint8_t>(box[0][i]));
  EXPECT_EQ(report_.failures, 0);
}

TEST_F(DeliveryTest, EntryFormsAndTags) {
  // Untagged local entries are users; ";" separates as well as blanks; unknown tags are skipped.
  Deliver("bob@example.test;[u]boxed@example.test [Z]bob@example.test [N]root@example.test", "",
          true);
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_EQ(env_.Mailbox("bobbox").size(), 1u);
  auto root = env_.Mailbox("root");
  ASSERT_EQ(root.size(), 1u);
  EXPECT_NE(root[0].find("for <root@example.test>"), std::string::npos);
  EXPECT_NE(root[0].find("From: <>\r\n"), std::string::npos);
}

TEST_F(DeliveryTest, ForwardingUsersAndTheirCopies) {
  // dave forwards to a remote address: a queue file with the envelope lines.
  Deliver("[U]dave@example.test!dave@example.test", "alice@other.test", true);
  auto queue = env_.Queue();
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(Normalize(queue[0]).rfind("To: dave@remote.test\r\nFrom: alice@other.test\r\n"
                                      "Received: by mx.example.test with Quorvane-SMTP/POP3-Server "
                                      "(v1.00 Linux) for <dave@example.test> at <date>\r\n",
                                      0),
            0u);
  // erin forwards to carol, whose copy to frank is not made for a derived entry.
  Deliver("[U]erin@example.test!erin@example.test", "alice@other.test", true);
  auto carol = env_.Mailbox("carol");
  ASSERT_EQ(carol.size(), 1u);
  EXPECT_NE(carol[0].find("for <erin@example.test>"), std::string::npos);
  EXPECT_TRUE(env_.Mailbox("frank").empty());
  // Directly to carol at top level: frank gets the copy, named for carol.
  Deliver("[U]carol@example.test!carol@example.test", "alice@other.test", true);
  auto frank = env_.Mailbox("frank");
  ASSERT_EQ(frank.size(), 1u);
  EXPECT_NE(frank[0].find("for <carol@example.test>"), std::string::npos);
  EXPECT_NE(frank[0].find("To: <frank@example.test>"), std::string::npos);
}

TEST_F(DeliveryTest, CopiesOfOutgoingMailOncePerLocalRecipient) {
  Deliver(
      "[U]bob@example.test!bob@example.test [U]carol@example.test!carol@example.test "
      "[U]frank@example.test!frank@example.test",
      "alice@example.test", true);
  EXPECT_EQ(env_.Mailbox("archive").size(), 3u);
  // And once after a forward call.
  Deliver("zed@far.test joe@far.test", "alice@example.test", false);
  EXPECT_EQ(env_.Mailbox("archive").size(), 4u);
  EXPECT_EQ(env_.Queue().size(), 2u);
  // Not for derived entries.
  Deliver("[U]bob@example.test!bob@example.test", "alice@example.test", true, false);
  EXPECT_EQ(env_.Mailbox("archive").size(), 4u);
}

TEST_F(DeliveryTest, ForwardQueueFiles) {
  Deliver("", "a@b.test", false);
  Deliver("justaname other", "a@b.test", false);
  EXPECT_TRUE(env_.Queue().empty());
  Deliver("  zed@far.test   joe@#smart.host.test!joe@relay.test", "", false);
  auto queue = env_.Queue();
  ASSERT_EQ(queue.size(), 2u);
  std::string all = Normalize(queue[0] + queue[1]);
  EXPECT_NE(all.find("To: zed@far.test\r\nFrom: \r\nReceived: by mx.example.test with "
                     "Quorvane-SMTP/POP3-Server (v1.00 Linux) for <zed@far.test> at <date>\r\n"
                     "Subject: t\r\nDate: <date>\r\nFrom: <>\r\nTo: <zed@far.test>\r\n"),
            std::string::npos);
  EXPECT_NE(all.find("To: joe@#smart.host.test\r\nFrom: \r\nReceived: by mx.example.test with "
                     "Quorvane-SMTP/POP3-Server (v1.00 Linux) for <joe@relay.test> at <date>\r\n"),
            std::string::npos);
}

TEST_F(DeliveryTest, UnknownUsersAtDeliveryTime) {
  Deliver("[U]gone@example.test!gone@example.test", "a@b.test", true);
  EXPECT_TRUE(env_.Mailbox("gone").empty());
  CopyField(env_.system().AdministratorName, "admin");
  CopyField(env_.system().AdministratorMailBox, "postmaster");
  env_.smtp().Flags |= kSmtpNotifyUnknown;
  Deliver("[U]gone@example.test!gone@example.test", "a@b.test", true);
  auto notices = env_.Mailbox("postmaster");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find(" --> From: a@b.test\r\n --> To:   gone@example.test\r\n"),
            std::string::npos);
  env_.smtp().Flags |= kSmtpForwardUnknown;
  CopyField(env_.smtp().ForwardUnknown, "bob@example.test, lost@far.test");
  Deliver("[U]gone@example.test!gone@example.test", "a@b.test", true);
  auto bob = env_.Mailbox("bob");
  ASSERT_EQ(bob.size(), 1u);
  EXPECT_NE(bob[0].find("for <gone@example.test>"), std::string::npos);
  ASSERT_EQ(env_.Queue().size(), 1u);
  EXPECT_EQ(env_.Queue()[0].substr(0, 18), "To: lost@far.test\r");
  EXPECT_EQ(env_.Mailbox("postmaster").size(), 1u);
}

TEST_F(DeliveryTest, UnsafeMailboxNamesAndLoopsEndSafely) {
  Deliver("[U]evil@example.test!evil@example.test [N]..@example.test", "a@b.test", true);
  EXPECT_FALSE(std::filesystem::exists(env_.root() + "/escape"));
  EXPECT_NE(env_.LogText().find("invalid mailbox name '../escape'"), std::string::npos);
  // Two users forwarding to each other: the chain ends after a bounded number of steps.
  Deliver("[U]loop1@example.test!loop1@example.test", "a@b.test", true);
  EXPECT_NE(env_.LogText().find("forwarding loops more than"), std::string::npos);
  // A configuration fault is no storage failure.
  EXPECT_EQ(report_.failures, 0);
}

TEST_F(DeliveryTest, CommandEntriesAreLogged) {
  env_.AddCommand("run", "example.test", "Runner", "/bin/true", "%%Subject:%%");
  env_.AddCommand("broken", "example.test", "Broken", "");
  env_.AddCommand("missing", "example.test", "Missing", "/nonexistent/program");
  Deliver(
      "[X]run@example.test [X]broken@example.test [X]missing@example.test "
      "[X]unknown@example.test [L]nolist@example.test",
      "a@b.test", true);
  std::string log = env_.LogText();
  EXPECT_NE(log.find("*** Performing execution of 'Runner'"), std::string::npos);
  EXPECT_NE(log.find("*** Execution of 'Runner' succesful"), std::string::npos);
  EXPECT_NE(log.find("*** Cannot execute 'Broken'; Invalid filename"), std::string::npos);
  EXPECT_NE(log.find("*** Cannot execute 'Missing'; File not found"), std::string::npos);
  EXPECT_EQ(log.find("unknown"), std::string::npos);
}

// The same recipients as one message's or each as a delivery of its own (a list's copies, on
// several threads): the sender's outgoing copies follow the message once, or every delivery.
TEST_F(DeliveryTest, RecipientsOfOneMessageOrEachOnItsOwn) {
  const std::vector<Recipient> far = {{RecipientKind::kForward, "zed@far.test", ""},
                                      {RecipientKind::kForward, "joe@far.test", ""},
                                      {RecipientKind::kForward, "amy@far.test", ""}};
  struct Case {
    bool separately;
    size_t parallel;
    size_t copies;
  };
  for (const Case& c : {Case{false, 1, 1}, Case{true, 1, 3}, Case{true, 3, 3}}) {
    size_t before = env_.Mailbox("archive").size();
    Spool spool(env_, "Subject: t\r\n\r\nhello");
    DeliveryPolicy policy;
    policy.separately = c.separately;
    policy.parallel = c.parallel;
    DeliveryReport report;
    mail::Deliver(env_.service, far, "alice@example.test", spool.fd(), policy, &report);
    EXPECT_EQ(env_.Mailbox("archive").size() - before, c.copies) << c.separately << c.parallel;
    EXPECT_EQ(report.failures, 0);
  }
  EXPECT_EQ(env_.Queue().size(), 9u);
  // Failures of separate deliveries add up in one report.
  std::filesystem::remove_all(env_.mail() + "/forward");
  qv::testing::WriteFileText(env_.mail() + "/forward", "not a folder");
  Spool spool(env_, "Subject: t\r\n\r\nhello");
  DeliveryPolicy policy;
  policy.separately = true;
  policy.parallel = 3;
  DeliveryReport report;
  mail::Deliver(env_.service, far, "", spool.fd(), policy, &report);
  EXPECT_EQ(report.failures, 3);
}

}  // namespace
}  // namespace qv::mail
