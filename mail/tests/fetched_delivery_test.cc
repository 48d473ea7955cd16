// Delivery of fetched mail: users and their options, routes, lists, the report of an unknown
// local recipient, and the forward queue.
#include "mail/fetched_delivery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/test_env.h"
#include "mail/delivery.h"
#include "mail/tests/mail_env_util.h"

namespace qv::mail {
namespace {

using testing::MailEnv;

constexpr char kMessage[] =
    "From: Sam <sam@far.test>\r\nSubject: hello\r\n\r\n..dotted\r\njoin staff@example.test\r\n";

class DeliverFetchedTest : public ::testing::Test {
 protected:
  DeliverFetchedTest() {
    CopyField(env_.system().HostName, "mail.example.test");
    CopyField(env_.system().Domain, "example.test");
    CopyField(env_.system().AdministratorName, "postmaster");
    CopyField(env_.system().AdministratorMailBox, "admin");
    spool_ = env_.temp() + "/message.tmp";
    qv::testing::WriteFileText(spool_, kMessage);
    fd_ = ::open(spool_.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~DeliverFetchedTest() override { ::close(fd_); }

  void AddUser(const std::string& alias, int options = 0, const std::string& mailbox = "",
               const std::string& copies = "") {
    USERSTRUCT u{};
    CopyField(u.Alias, alias);
    CopyField(u.Domain, "example.test");
    CopyField(u.Mailbox, mailbox.empty() ? alias : mailbox);
    CopyField(u.CopyIncoming, copies);
    CopyField(u.MailingList, "staff@example.test");
    u.Options = options;
    ASSERT_EQ(AddRecord(env_.system(), &u), 0);
  }
  // Delivers the message as the collection of remote accounts does; true when its file was
  // written.
  bool Stored(const std::string& local, const std::string& domain, bool remote = false,
              const std::string& sender = "sam@far.test") {
    DeliveryReport report;
    mail::Deliver(FetchedMailService(env_.settings()), {FetchedRecipient(local, domain, remote)},
                  sender, fd_, {}, &report);
    return report.failures == 0;
  }
  void Deliver(const std::string& local, const std::string& domain, bool remote = false,
               const std::string& sender = "sam@far.test") {
    Stored(local, domain, remote, sender);
  }
  // The plain texts of the files of a mailbox (or "forward" for the queue), in name order.
  std::vector<std::string> Files(const std::string& folder) {
    return folder == "forward" ? env_.Queue() : env_.Mailbox(folder);
  }
  std::string Log() const { return env_.LogText("p"); }

  MailEnv env_;
  std::string spool_;
  int fd_ = -1;
};

TEST_F(DeliverFetchedTest, AUserGetsTheMessageWithItsReceivedLine) {
  AddUser("ann");
  Deliver("ANN", "example.test");
  std::vector<std::string> files = Files("ann");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].rfind("Received: by mail.example.test with Quorvane-SMTP/POP3-Server (v1.00 "
                           "Linux) for <ANN@example.test> at ",
                           0),
            0u);
  // The message as fetched (its dots still doubled), with the headers it lacked.
  EXPECT_NE(files[0].find("From: Sam <sam@far.test>\r\nSubject: hello\r\n"), std::string::npos);
  EXPECT_NE(files[0].find("To: <ann@example.test>\r\n"), std::string::npos);
  EXPECT_NE(files[0].find("\r\n\r\n..dotted\r\n"), std::string::npos);
  EXPECT_TRUE(Files("admin").empty());
}

TEST_F(DeliverFetchedTest, AnUnknownLocalRecipientIsReportedToTheAdministrator) {
  Deliver("nobody", "example.test");
  Deliver("", "");  // a shared account message without a recipient
  std::vector<std::string> files = Files("admin");
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& f : files) {
    EXPECT_EQ(f.rfind("Received: by mail.example.test", 0), 0u);
    EXPECT_NE(f.find("for <postmaster@example.test> at "), std::string::npos);
    EXPECT_NE(f.find("\r\nFrom: <>\r\nTo: postmaster@example.test\r\nDate: "), std::string::npos);
    EXPECT_NE(f.find("\r\nSubject: Message for unknown user\r\n\r\n---------------\r\nThe "
                     "following user address is unknown:\r\n"),
              std::string::npos);
    EXPECT_NE(f.find("---------------\r\nOriginal Message follows:\r\nFrom: Sam <sam@far.test>"),
              std::string::npos);
  }
  EXPECT_TRUE(std::any_of(files.begin(), files.end(), [](const std::string& f) {
    return f.find(" --> nobody@example.test\r\n\r\n") != std::string::npos;
  }));
  EXPECT_TRUE(std::any_of(files.begin(), files.end(), [](const std::string& f) {
    return f.find(" --> @\r\n\r\n") != std::string::npos;
  }));
  EXPECT_TRUE(Files("forward").empty());
}

TEST_F(DeliverFetchedTest, RemoteAddressesAndRoutedUsersGoToTheQueue) {
  AddUser("away", kUserRemote, "away@other.test");
  Deliver("carl", "far.test", true);
  Deliver("away", "example.test");
  std::vector<std::string> queued = Files("forward");
  ASSERT_EQ(queued.size(), 2u);
  std::sort(queued.begin(), queued.end());
  EXPECT_EQ(queued[0].rfind("To: away@other.test\r\nFrom: away@example.test\r\nReceived: by ", 0),
            0u);
  EXPECT_EQ(
      queued[1].rfind("To: carl@far.test\r\nFrom: postmaster@example.test\r\nReceived: by ", 0),
      0u);
  EXPECT_NE(queued[1].find("for <carl@far.test>"), std::string::npos);
}

TEST_F(DeliverFetchedTest, RoutesRewriteTheAddress) {
  AddUser("bob");
  struct Route {
    const char* mask;
    int32_t type;
    const char* destination;
  };
  for (const Route& r : {Route{"sales@example.test", kRouteToMail, "bob@example.test"},
                         Route{"*@old.example.test", kRouteToDomain, "example.test"},
                         Route{"*@branch.example.test", kRouteToHost, "gate.far.test"}}) {
    ROUTESTRUCT route{};
    CopyField(route.Masks, r.mask);
    route.Type = r.type;
    CopyField(route.Destination, r.destination);
    ASSERT_EQ(AddRecord(env_.system(), &route), 0);
  }
  CopyField(env_.system().Domain, "example.test;old.example.test;branch.example.test");
  Deliver("sales", "example.test");
  Deliver("bob", "old.example.test");
  EXPECT_EQ(Files("bob").size(), 2u);
  Deliver("eve", "branch.example.test");
  std::vector<std::string> queued = Files("forward");
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].rfind("To: eve@#gate.far.test\r\n", 0), 0u);
}

TEST_F(DeliverFetchedTest, CopiesApplyTheOptionsAgainAndALoopEnds) {
  AddUser("ann", 0, "", "bob@example.test;far@remote.test");
  AddUser("bob", 0, "", "ann@example.test");  // copies back: a loop
  Deliver("ann", "example.test");
  size_t ann = Files("ann").size();
  size_t bob = Files("bob").size();
  EXPECT_GE(ann, 2u);
  EXPECT_GE(bob, 2u);
  EXPECT_LE(ann + bob, 12u);
  EXPECT_FALSE(Files("forward").empty());
  EXPECT_NE(Log().find("forwarding loops more than"), std::string::npos);
}

TEST_F(DeliverFetchedTest, ListsAndTheJoinOption) {
  AddUser("ann");
  AddUser("greeter", kUserJoinList);
  LISTSTRUCT list{};
  CopyField(list.Name, "staff");
  CopyField(list.Domain, "example.test");
  std::string members = std::string(env_.system().ConfigPath) + "/staff.mls";
  CopyField(list.FileName, members);
  CopyField(list.OwnerUser, "ann");
  CopyField(list.OwnerDomain, "example.test");
  list.Options = kListAutoJoin;
  ASSERT_EQ(AddRecord(env_.system(), &list), 0);
  ASSERT_EQ(AddMember(env_.system(), members, "ann@example.test", "Ann"), 0);
  ASSERT_EQ(AddMember(env_.system(), members, "zed@far.test", "Zed"), 0);

  Deliver("staff", "example.test");
  EXPECT_EQ(Files("ann").size(), 1u);  // the local member
  std::vector<std::string> queued = Files("forward");
  ASSERT_EQ(queued.size(), 1u);  // the remote one
  EXPECT_NE(queued[0].find("zed@far.test"), std::string::npos);

  // Mail to a user with the join option adds its sender to the user's list.
  Deliver("greeter", "example.test", false, "newcomer@far.test");
  EXPECT_EQ(Files("greeter").size(), 1u);
  EXPECT_NE(qv::testing::ReadFileText(members).find("newcomer@far.test"), std::string::npos);
}

TEST_F(DeliverFetchedTest, AFileThatCannotBeWrittenIsReported) {
  AddUser("ann");
  EXPECT_TRUE(Stored("ann", "example.test"));
  // The mailbox folder cannot take files (a file stands in its place).
  AddUser("bob");
  qv::testing::WriteFileText(std::string(env_.system().MailPath) + "/bob", "not a folder");
  EXPECT_FALSE(Stored("bob", "example.test"));
  EXPECT_NE(Log().find("Cannot store message for <bob@example.test>"), std::string::npos);
  // A setting to correct is logged, and does not hold the mail back.
  CopyField(env_.system().AdministratorMailBox, "");
  EXPECT_TRUE(Stored("nobody", "example.test"));
}

// The notice's text from its subject to the line before the attached message: what does not
// depend on the time.
std::string NoticeBody(const std::string& file) {
  size_t from = file.find("Subject: ");
  size_t to = file.find("Original Message follows:\r\n");
  if (from == std::string::npos || to == std::string::npos) return "(no notice) " + file;
  return file.substr(from, to - from);
}

TEST_F(DeliverFetchedTest, OneMessageGivesOneNoticeForAllItsUnknownRecipients) {
  AddUser("ann");
  AddUser("bob");
  const std::string intro =
      "Subject: Message for unknown user\r\n\r\n---------------\r\nThe following user address "
      "is unknown:\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> addresses;
    std::vector<std::string> users;  // who got a mailbox file
    std::string listed;              // the notice's address lines ("": no notice)
  };
  const std::vector<Case> cases = {
      {"known users only", {"ann@example.test", "Bob@example.test"}, {"ann", "bob"}, ""},
      {"one unknown: the notice of old",
       {"ann@example.test", "zoe@example.test"},
       {"ann"},
       " --> zoe@example.test\r\n\r\n"},
      {"three unknown among users",
       {"x@example.test", "ann@example.test", "y@example.test", "z@example.test"},
       {"ann"},
       " --> x@example.test\r\n --> y@example.test\r\n --> z@example.test\r\n\r\n"},
      {"no recipient", {}, {}, " --> @\r\n\r\n"},
  };
  for (const Case& c : cases) {
    size_t ann = Files("ann").size(), bob = Files("bob").size(), admin = Files("admin").size();
    EXPECT_TRUE(DeliverFetchedMessage(FetchedMailService(env_.settings()), c.addresses,
                                      "sam@far.test", fd_))
        << c.name;
    bool to_ann = std::count(c.users.begin(), c.users.end(), "ann") > 0;
    bool to_bob = std::count(c.users.begin(), c.users.end(), "bob") > 0;
    EXPECT_EQ(Files("ann").size(), ann + (to_ann ? 1 : 0)) << c.name;
    EXPECT_EQ(Files("bob").size(), bob + (to_bob ? 1 : 0)) << c.name;
    std::vector<std::string> notices = Files("admin");
    ASSERT_EQ(notices.size(), admin + (c.listed.empty() ? 0 : 1)) << c.name;
    if (c.listed.empty()) continue;
    bool found = std::any_of(notices.begin(), notices.end(), [&](const std::string& f) {
      return NoticeBody(f) == intro + c.listed + "---------------\r\n";
    });
    EXPECT_TRUE(found) << c.name;
  }
  EXPECT_TRUE(Files("forward").empty());

  // With one unknown address the notice is the one a single delivery has always made.
  std::vector<std::string> before = Files("admin");
  Deliver("zoe", "example.test");
  std::vector<std::string> after = Files("admin");
  ASSERT_EQ(after.size(), before.size() + 1);
  EXPECT_TRUE(std::any_of(after.begin(), after.end(), [&](const std::string& f) {
    return NoticeBody(f) == intro + " --> zoe@example.test\r\n\r\n---------------\r\n";
  }));
}

TEST_F(DeliverFetchedTest, AFailedNoticeOrMailboxIsReportedOnce) {
  AddUser("bob");
  qv::testing::WriteFileText(std::string(env_.system().MailPath) + "/bob", "not a folder");
  EXPECT_FALSE(DeliverFetchedMessage(FetchedMailService(env_.settings()),
                                     {"bob@example.test", "x@example.test"}, "s@far.test", fd_));
  EXPECT_EQ(Files("admin").size(), 1u);  // the notice for x is still written
  qv::testing::WriteFileText(std::string(env_.system().MailPath) + "/admin2", "not a folder");
  CopyField(env_.system().AdministratorMailBox, "admin2");
  EXPECT_FALSE(DeliverFetchedMessage(FetchedMailService(env_.settings()),
                                     {"x@example.test", "y@example.test"}, "s@far.test", fd_));
}

}  // namespace
}  // namespace qv::mail
