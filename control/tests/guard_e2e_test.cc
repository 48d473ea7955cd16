// End to end against the real qvctrl95: settings that would lock the administrator out, and
// member files outside the configuration folder, are refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/line_client.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "control/tests/service_keys_util.h"
#include "net/control_client.h"
#include "platform/presence.h"
#include "platform/registry.h"

namespace qv::control {
namespace {

using qv::testing::BinDir;
using qv::testing::FreeLoopbackPort;
using qv::testing::LineClient;
using qv::testing::MakeUser;
using qv::testing::ScopedSystemRoot;
using qv::testing::ScopedTables;
using qv::testing::ServiceProcess;
using qv::testing::WaitUntil;

class GuardServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctrl_port_ = FreeLoopbackPort();
    pw_port_ = FreeLoopbackPort();
    smtp_port_ = FreeLoopbackPort();
    pop3_port_ = FreeLoopbackPort();
    testing::WriteServiceKeys(tables_, {ctrl_port_, pw_port_, smtp_port_, pop3_port_});
    ::mkdir((tables_.root() + "/temp").c_str(), 0755);
    ::mkdir((tables_.root() + "/log").c_str(), 0755);
    USERSTRUCT admin = MakeUser("admin", "example.test", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    ASSERT_TRUE(control_.Start("qvctrl95", ctrl_port_));
    ASSERT_EQ(client_.Login("127.0.0.1", static_cast<uint16_t>(ctrl_port_), "admin@example.test",
                            "secret"),
              ControlLogin::kOk);
  }

  void TearDown() override {
    for (const char* name : {"QuorvaneSmtp", "QuorvanePop3"}) {
      platform::SendDestroy(name);
      WaitUntil([name] { return !platform::FindServiceWindow(name); });
    }
    control_.Stop();
  }

  std::string Command(const std::string& line) {
    Result<std::string> reply = client_.Command(line);
    return reply ? *reply : "<" + reply.error() + ">";
  }
  bool Pop3Greets() {
    LineClient c;
    return c.Connect(pop3_port_) && c.ReadLine().rfind("+OK ", 0) == 0;
  }
  std::string Stream(const std::string& line) {
    Result<std::string> reply = client_.Stream(line);
    return reply ? *reply : "<" + reply.error() + ">";
  }

  ScopedSystemRoot root_;
  ScopedTables tables_{"example.test"};
  ServiceProcess control_;
  ControlClient client_{-1, 30000};
  int ctrl_port_ = 0, pw_port_ = 0, smtp_port_ = 0, pop3_port_ = 0;
};

TEST_F(GuardServiceTest, LockingSettingsAreRefusedAndSaveKeepsTheRegistry) {
  // One SAVE first, so that the registry holds every value the service writes.
  ASSERT_EQ(Command("SAVE"), "New values saved to service.\r\n");
  ASSERT_TRUE(WaitUntil([this] { return Pop3Greets(); }));  // SAVE restarts it
  const std::string before = reg::ExportText();
  const std::string options = Stream("GETSTREAM OPTIONS");

  const std::string ctrl = std::to_string(ctrl_port_);
  for (const std::string& set : {std::string("SET CTRLPORT=70000"), std::string("SET PWPORT=-1"),
                                 std::string("SET SMTPPORT=0"), std::string("SET POP3PORT=") + ctrl,
                                 std::string("SET LOGLEVEL=3 SMTPPORT=") + std::to_string(pw_port_),
                                 std::string("SET MAILDIR=/"), std::string("SET TEMPDIR=/etc/"),
                                 std::string("SET LOGDIR=//proc")})
    EXPECT_EQ(Command(set), "Syntax Error\r\n") << set;
  EXPECT_EQ(Stream("GETSTREAM OPTIONS"), options);

  // The same through the OPTIONS line: the prompt, and nothing taken.
  std::string line = options;
  const size_t first = line.find(ctrl + "|");
  ASSERT_NE(first, std::string::npos);
  for (const std::string& bad :
       {std::string("70000"), std::string("0"), std::to_string(smtp_port_)}) {
    std::string hostile = line;
    hostile.replace(first, ctrl.size(), bad);
    EXPECT_EQ(Stream("PUTSTREAM OPTIONS " + hostile), ">") << bad;
  }
  EXPECT_EQ(Stream("GETSTREAM OPTIONS"), options);

  EXPECT_EQ(Command("SAVE"), "New values saved to service.\r\n");
  EXPECT_EQ(reg::ExportText(), before);
  EXPECT_TRUE(WaitUntil([this] { return Pop3Greets(); }));
  LineClient again;
  EXPECT_TRUE(again.Connect(ctrl_port_));
}

// A list whose member file lies outside the configuration folder gives nothing and writes
// nothing, however it got into the table.
TEST_F(GuardServiceTest, MemberFilesOutsideTheConfigurationFolder) {
  const std::string outside = tables_.root() + "/outside.mls";
  EXPECT_EQ(Command("LIST ADD far@example.test,Far," + outside), "Cannot add list !\r\n");
  EXPECT_EQ(Command("LIST ADD up@example.test,Up,../outside.mls"), "Cannot add list !\r\n");
  EXPECT_EQ(Stream("PUTSTREAM LIST ADD|wide|example.test|Wide|/etc/passwd|||0||"), ">");
  EXPECT_EQ(Stream("GETSTREAM LIST wide@example.test"), "");

  // Records written before the rule, straight into the table: a link inside that points out,
  // and a file elsewhere that holds a member record.
  auto plant = [this](const char* name, const std::string& file) {
    LISTSTRUCT list{};
    CopyField(list.Name, name);
    CopyField(list.Domain, "example.test");
    CopyField(list.FileName, file);
    ASSERT_TRUE(InsertRecord(tables_.system(), Table::kLists, &list).ok());
  };
  plant("old", "team.mls");
  plant("far", outside);
  ASSERT_EQ(::symlink("/etc/passwd", (tables_.config() + "/team.mls").c_str()), 0);
  MEMBERSTRUCT member{};
  CopyField(member.Address, "secret@elsewhere.org");
  int fd = ::open(outside.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, &member, sizeof member), static_cast<ssize_t>(sizeof member));
  ::close(fd);

  EXPECT_EQ(Stream("GETSTREAM MEMBER team.mls|#0"), "#|");
  EXPECT_EQ(Stream("GETSTREAM MEMBER " + outside + "|#0"), "#|");
  EXPECT_EQ(Command("LIST ADDMEMBER old@example.test,x@y.org,X"),
            "Cannot add member to list !\r\n");
  EXPECT_EQ(Command("LIST ADDMEMBER far@example.test,x@y.org,X"),
            "Cannot add member to list !\r\n");
  EXPECT_EQ(Stream("PUTSTREAM LIST ADDMEMBER|far@example.test|z@y.org|Z"), ">");
  struct stat st {};
  ASSERT_EQ(::stat(outside.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(sizeof member));
  EXPECT_NE(::lstat((outside + ".lock").c_str(), &st), 0);
  // A list inside works as before.
  EXPECT_EQ(Command("LIST ADD good@example.test,Good,good.mls"), "List added successful\r\n");
  EXPECT_EQ(Command("LIST ADDMEMBER good@example.test,x@y.org,X"), "Member added successful\r\n");
  EXPECT_EQ(Stream("GETSTREAM MEMBER good.mls|#0"), "x@y.org|X");
}

}  // namespace
}  // namespace qv::control
