// Delivery run for a service other than the SMTP one: every path that delivery reaches (users,
// lists, list commands, responders, commands, notices) delivers through the caller's service and
// logs to its log, never to another service's.
#include "mail/mail_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/test_env.h"
#include "mail/delivery.h"
#include "mail/mail_util.h"
#include "mail/notice.h"
#include "mail/tests/mail_env_util.h"

namespace qv::mail {
namespace {

using testing::MailEnv;

class OtherServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A service with its own log that records its deliveries and carries them out.
    collection_.settings = &env_.settings();
    collection_.log_prefix = "p";
    collection_.divert = [this](const Recipient& recipient, std::string_view reverse_path, int fd,
                                const DeliveryPolicy& policy) {
      entries_.push_back(RecipientText(recipient) + (recipient.local() ? " local" : " queued"));
      mail::Deliver(collection_, {recipient}, reverse_path, fd, policy);
    };
    env_.AddUser("bob", "example.test", "Bob");
    env_.AddUser("ann", "example.test", "Ann");
  }

  // Delivers `list` (local recipients in text form) with a small message through the
  // collection's service.
  void Deliver(const std::string& list, const std::string& sender,
               const std::string& text = "Subject: t\r\n\r\nhello") {
    std::string path = env_.temp() + "/spool.tmp";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    mail::Deliver(collection_, ParseRecipients(list, true), sender, fd);
    close(fd);
    unlink(path.c_str());
  }

  void AddList(const std::string& name, int32_t options, const std::vector<std::string>& members) {
    LISTSTRUCT list{};
    CopyField(list.Name, name);
    CopyField(list.Domain, "example.test");
    CopyField(list.Description, name);
    CopyField(list.FileName, env_.config() + "/" + name + ".mls");
    CopyField(list.OwnerUser, "ann");
    CopyField(list.OwnerDomain, "example.test");
    list.Options = options;
    ASSERT_EQ(AddRecord(env_.system(), &list), 0);
    for (const std::string& member : members)
      ASSERT_EQ(AddMember(env_.system(), Str(list.FileName), member, ""), 0);
  }

  // The log must hold `text` in the collection's log and nowhere in the SMTP service's.
  void ExpectLoggedForCollectionOnly(const std::string& text) {
    EXPECT_NE(env_.LogText("p").find(text), std::string::npos) << text;
    EXPECT_EQ(env_.LogText("s").find(text), std::string::npos) << text;
  }

  MailEnv env_;
  MailService collection_;
  std::vector<std::string> entries_;
};

TEST_F(OtherServiceTest, ListCopiesGoThroughTheCallersDeliveryAndLog) {
  AddList("staff", 0, {"bob@example.test", "far@remote.test"});
  Deliver("[L]staff@example.test", "ann@example.test");
  EXPECT_EQ(entries_,
            (std::vector<std::string>{"[U]bob@example.test local", "far@remote.test queued"}));
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_EQ(env_.Queue().size(), 1u);
  ExpectLoggedForCollectionOnly(
      "Preparing outgoing messages for mailing list <staff@example.test>");
}

TEST_F(OtherServiceTest, ListCommandsAndJoinsUseTheCallersService) {
  AddList("staff", kListAutoJoin, {});
  env_.AddUser("lists", "example.test", "Lists", "", kUserListManager);
  // A command mailed to the list manager: the join is logged in the caller's log.
  Deliver("[U]lists@example.test!lists@example.test", "carol@far.test",
          "Subject: c\r\n\r\njoin staff@example.test\r\n");
  ExpectLoggedForCollectionOnly("Adding mail address <carol@far.test> to mailing list");
  // A user whose senders join a list.
  USERSTRUCT joiner = qv::testing::MakeUser("joiner", "example.test");
  joiner.Options = kUserJoinList;
  CopyField(joiner.MailingList, "staff@example.test");
  ASSERT_EQ(AddRecord(env_.system(), &joiner), 0);
  Deliver("[U]joiner@example.test!joiner@example.test", "dan@far.test");
  ExpectLoggedForCollectionOnly("Adding mail address <dan@far.test> to mailing list");
}

TEST_F(OtherServiceTest, RespondersCommandsAndNoticesLogToTheCaller) {
  AUTOSTRUCT away{};
  CopyField(away.Name, "away");
  CopyField(away.TextFile, env_.root() + "/away.txt");
  ASSERT_EQ(AddRecord(env_.system(), &away), 0);
  qv::testing::WriteFileText(env_.root() + "/away.txt", "Away.\r\n");
  USERSTRUCT user = qv::testing::MakeUser("gone", "example.test");
  user.Options = kUserRespond;
  CopyField(user.Responder, "away");
  ASSERT_EQ(AddRecord(env_.system(), &user), 0);
  Deliver("[U]gone@example.test!gone@example.test", "bob@example.test");
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);  // the reply
  ExpectLoggedForCollectionOnly("Preparing responder 'away' for <bob@example.test>");

  env_.AddCommand("run", "example.test", "Runner", "/bin/true");
  Deliver("[X]run@example.test", "bob@example.test");
  ExpectLoggedForCollectionOnly("Performing execution of 'Runner'");

  // A notice that cannot be written is reported in the caller's log.
  CopyField(env_.system().AdministratorName, "admin");
  CopyField(env_.system().AdministratorMailBox, "../up");
  EXPECT_FALSE(
      WriteAdminNotice(collection_, kNoticeUnknownUser, "a@b.test", "x@example.test", "", -1));
  ExpectLoggedForCollectionOnly("invalid mailbox name '../up'");
  // With a mailbox it is written; an unknown kind writes nothing.
  CopyField(env_.system().AdministratorMailBox, "postmaster");
  EXPECT_TRUE(WriteAdminNotice(collection_, kNoticeUnknownUser, "", "x@example.test", "", -1));
  EXPECT_FALSE(WriteAdminNotice(collection_, 99, "", "x@example.test", "", -1));
  ASSERT_EQ(env_.Mailbox("postmaster").size(), 1u);
  EXPECT_NE(env_.Mailbox("postmaster")[0].find(" --> From: <>\r\n --> To:   x@example.test\r\n"),
            std::string::npos);
}

// Two services with settings of their own run side by side in one process: each delivers into its
// own mail folder, names its own host and logs into its own log.
TEST(MailServiceSettings, TwoServicesKeepToTheirOwnSettings) {
  MailEnv first;
  MailEnv second;
  CopyField(second.system().HostName, "mx.second.test");
  first.AddUser("bob", "example.test", "Bob");
  second.AddUser("bob", "example.test", "Bob");
  second.AddUser("evil", "example.test", "Evil", "../escape");
  auto deliver = [](MailEnv& env, const std::string& text,
                    const std::string& to = "[U]bob@example.test") {
    std::string path = env.temp() + "/spool.tmp";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    mail::Deliver(env.service, ParseRecipients(to, true), "a@b.test", fd);
    close(fd);
    unlink(path.c_str());
  };
  deliver(first, "Subject: one\r\n\r\nfor the first");
  deliver(second, "Subject: two\r\n\r\nfor the second");
  deliver(first, "Subject: three\r\n\r\nfor the first again");

  std::vector<std::string> one = first.Mailbox("bob");
  std::vector<std::string> two = second.Mailbox("bob");
  ASSERT_EQ(one.size(), 2u);
  ASSERT_EQ(two.size(), 1u);
  for (const std::string& text : one) {
    EXPECT_NE(text.find("Received: by mx.example.test "), std::string::npos) << text;
    EXPECT_EQ(text.find("for the second"), std::string::npos) << text;
  }
  EXPECT_NE(two[0].find("Received: by mx.second.test "), std::string::npos) << two[0];
  EXPECT_NE(two[0].find("for the second"), std::string::npos) << two[0];
  // A mailbox name refused by the second service is logged in its log only.
  deliver(second, "Subject: four\r\n\r\nnowhere", "[U]evil@example.test");
  EXPECT_NE(second.LogText().find("'../escape'"), std::string::npos) << second.LogText();
  EXPECT_EQ(first.LogText().find("escape"), std::string::npos) << first.LogText();
}

}  // namespace
}  // namespace qv::mail
