// Checks against a real POP3 server: Debian's dovecot on a loopback port, with a passwd-file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "platform/fileio.h"
#include "pop3/collect.h"
#include "pop3/service.h"
#include "pop3/tests/collect_util.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

using testing::Client;
using testing::DovecotServer;
using testing::Pop3TestSystem;

class DovecotCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(dovecot_.Start(&error)) << error;
    dovecot_.AddUser("office", "officepw");
    dovecot_.AddUser("ann", "annpw");
    dovecot_.AddUser("bob", "bobpw");
    context_.settings.system = sys_.system();
    context_.settings.pop3.PortEx = dovecot_.port();
    context_.pause_between_users = std::chrono::milliseconds(10);
    context_.deliver = [this](const std::vector<std::string>& recipients, std::string_view sender,
                              int fd) {
      std::string text(static_cast<size_t>(platform::FileSizeOf(fd)), '\0');
      EXPECT_TRUE(platform::ReadAt(fd, text.data(), text.size(), 0));
      std::lock_guard<std::mutex> lock(mutex_);
      for (const std::string& address :
           recipients.empty() ? std::vector<std::string>{"@"} : recipients)
        delivered_.push_back(address + " from " + std::string(sender) + "\n" + text);
      return true;
    };
  }

  void AddAccount(const std::string& name, int options, const std::string& login,
                  const std::string& password) {
    ACCOUNTSTRUCT a{};
    CopyField(a.Name, name);
    CopyField(a.Server, "127.0.0.1");
    CopyField(a.Account, login);
    CopyField(a.Password, password);
    a.Interval = 900;
    a.Options = options;
    ASSERT_EQ(AddRecord(sys_.system(), &a), 0);
  }

  std::vector<std::string> Delivered() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> sorted = delivered_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

  Pop3TestSystem sys_;
  DovecotServer dovecot_;
  CollectContext context_;
  std::mutex mutex_;
  std::vector<std::string> delivered_;
};

TEST_F(DovecotCheckTest, SharedAccountFetchesEverythingAndEmptiesTheMailbox) {
  AddAccount("office", kAccountShared, "office", "officepw");
  EXPECT_EQ(CheckAccount(context_, "office"), 1);  // empty remote mailbox
  EXPECT_TRUE(Delivered().empty());

  dovecot_.AddMessage("office",
                      "From: Sam <sam@far.test>\r\nTo: ann@example.test\r\nSubject: 1\r\n\r\n"
                      ".hidden dot\r\nbody\r\n");
  dovecot_.AddMessage("office",
                      "Received: from a by b for <bob@example.test>\r\nFrom: <tim@far.test>\r\n"
                      "To: ann@example.test\r\nSubject: 2\r\n\r\nx\r\n");
  dovecot_.AddMessage("office", "From: u@far.test\r\nSubject: 3\r\n\r\nnobody\r\n");
  EXPECT_EQ(CheckAccount(context_, "office"), 1);
  std::vector<std::string> got = Delivered();
  ASSERT_EQ(got.size(), 3u);
  // The line with a leading dot is stored as it came: doubled.
  EXPECT_EQ(got[1],
            "ann@example.test from sam@far.test\nFrom: Sam <sam@far.test>\r\n"
            "To: ann@example.test\r\nSubject: 1\r\n\r\n..hidden dot\r\nbody\r\n");
  EXPECT_EQ(got[0], "@ from u@far.test\nFrom: u@far.test\r\nSubject: 3\r\n\r\nnobody\r\n");
  EXPECT_EQ(got[2].substr(0, got[2].find('\n')), "bob@example.test from tim@far.test");
  EXPECT_EQ(dovecot_.MessageCount("office"), 0u);
}

TEST_F(DovecotCheckTest, TheServiceCollectsIntoMailboxesAndServesThem) {
  CopyField(sys_.system().AdministratorName, "postmaster");
  CopyField(sys_.system().AdministratorMailBox, "admin");
  sys_.settings().pop3.PortEx = dovecot_.port();
  sys_.AddUser("ann", "annpw", "ann");
  sys_.AddUser("bob", "bobpw", "bob");
  AddAccount("office", kAccountShared, "office", "officepw");
  dovecot_.AddMessage("office",
                      "From: Sam <sam@far.test>\r\nTo: ann@example.test, Bob@Example.test\r\n"
                      "Cc: ANN@example.test\r\nSubject: both\r\n\r\n.hidden dot\r\n");
  dovecot_.AddMessage("office", "From: sam@far.test\r\nTo: zoe@example.test\r\n\r\nwho?\r\n");

  Pop3ServiceOptions options;
  options.account_period = std::chrono::milliseconds(100);
  Pop3Service service(options);
  service.settings() = sys_.settings();
  ASSERT_TRUE(service.listener().Listen(0));
  int port = service.listener().BoundPort();
  service.Started();
  std::thread loop([&] { service.frame().loop().Run(); });
  qv::testing::WaitUntil(
      [&] { return !(dovecot_.MessageCount("office") > 0 || sys_.MailboxFiles("admin").empty()); },
      std::chrono::seconds(30));

  // One copy each for ann and bob, however often the header names them.
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 1u);
  EXPECT_EQ(sys_.MailboxFiles("bob").size(), 1u);
  EXPECT_EQ(sys_.MailboxFiles("admin").size(), 1u);  // zoe is unknown
  Client c(port);
  EXPECT_EQ(c.Line().substr(0, 4), "+OK ");
  EXPECT_EQ(c.Ask("USER ann"), "+OK <ann>\r\n");
  EXPECT_EQ(c.Ask("PASS annpw"), "+OK\r\n");
  c.Send("RETR 1\r\n");
  EXPECT_EQ(c.Line().substr(0, 4), "+OK ");
  std::string text = c.UpTo("\r\n.\r\n");
  EXPECT_EQ(text.rfind("Received: by mail.example.test", 0), 0u);
  EXPECT_NE(text.find("Subject: both\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\n..hidden dot\r\n"), std::string::npos) << text;
  EXPECT_EQ(c.Ask("QUIT"), "+OK\r\n");

  service.frame().loop().Post([&] { service.frame().Stop(); });
  loop.join();
  service.frame().CloseAll();
}

}  // namespace
}  // namespace qv::pop3
