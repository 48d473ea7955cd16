// Delivery of fetched mail: users and their options, routes, lists, the report of an unknown
// local recipient, and the forward queue.
#include "pop3/deliver_fetched.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/test_env.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

namespace fs = std::filesystem;
using testing::Pop3TestSystem;

constexpr char kMessage[] =
    "From: Sam <sam@far.test>\r\nSubject: hello\r\n\r\n..dotted\r\njoin staff@example.test\r\n";

class DeliverFetchedTest : public ::testing::Test {
 protected:
  DeliverFetchedTest() {
    CopyField(sys_.system().AdministratorName, "postmaster");
    CopyField(sys_.system().AdministratorMailBox, "admin");
    settings_.system = sys_.system();
    spool_ = sys_.root() + "/temp/message.tmp";
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
    ASSERT_EQ(AddRecord(sys_.system(), &u), 0);
  }
  void Deliver(const std::string& local, const std::string& domain, bool remote = false,
               const std::string& sender = "sam@far.test") {
    EXPECT_EQ(DeliverFetched(settings_, local, domain, sender, fd_, remote), 1);
  }
  // The plain texts of the files of a mailbox (or "forward" for the queue), in name order.
  std::vector<std::string> Files(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e :
         fs::directory_iterator(std::string(sys_.system().MailPath) + "/" + folder, ec))
      if (e.path().filename().string()[0] != '.') names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> texts;
    for (const std::string& name : names) {
      std::string text;
      EXPECT_EQ(ReadMessageFile(name, 0, &text), 0);
      texts.push_back(text);
    }
    return texts;
  }
  std::string Log() const {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return qv::testing::ReadFileText(LogFilePath(sys_.system().LogPath, kLogPrefixPop3, local));
  }

  Pop3TestSystem sys_;
  Settings settings_;
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
    ASSERT_EQ(AddRecord(sys_.system(), &route), 0);
  }
  CopyField(sys_.system().Domain, "example.test;old.example.test;branch.example.test");
  settings_.system = sys_.system();
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
  std::string members = std::string(sys_.system().ConfigPath) + "/staff.mls";
  CopyField(list.FileName, members);
  CopyField(list.OwnerUser, "ann");
  CopyField(list.OwnerDomain, "example.test");
  list.Options = kListAutoJoin;
  ASSERT_EQ(AddRecord(sys_.system(), &list), 0);
  ASSERT_EQ(AddMember(sys_.system(), members, "ann@example.test", "Ann"), 0);
  ASSERT_EQ(AddMember(sys_.system(), members, "zed@far.test", "Zed"), 0);

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
  CollectionDelivery delivery(settings_);
  EXPECT_TRUE(delivery.Deliver("ann", "example.test", "sam@far.test", fd_, false));
  // The mailbox folder cannot take files (a file stands in its place).
  AddUser("bob");
  qv::testing::WriteFileText(std::string(sys_.system().MailPath) + "/bob", "not a folder");
  EXPECT_FALSE(delivery.Deliver("bob", "example.test", "sam@far.test", fd_, false));
  EXPECT_NE(Log().find("Cannot store message for <bob@example.test>"), std::string::npos);
  // A setting to correct is logged, and does not hold the mail back.
  CopyField(settings_.system.AdministratorMailBox, "");
  CollectionDelivery unset(settings_);
  EXPECT_TRUE(unset.Deliver("nobody", "example.test", "sam@far.test", fd_, false));
}

}  // namespace
}  // namespace qv::pop3
