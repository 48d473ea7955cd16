#include "control/setting_changes.h"

#include <gtest/gtest.h>

#include <string>

#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/table_env.h"
#include "control/control_session.h"
#include "control/control_texts.h"
#include "control/tests/fake_host.h"

namespace qv::control {
namespace {

using qv::testing::MakeUser;
using qv::testing::ScopedTables;
using testing::FakeHost;

class SessionChangesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    USERSTRUCT admin = MakeUser("admin", "example.com", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    session_.Dispatch("admin@example.com");
    ASSERT_EQ(session_.Dispatch("secret").text, kLoginOk);
  }

  ScopedTables tables_;
  FakeHost host_;
  ControlSession session_{tables_.settings(), host_, "10.0.0.7"};
};

TEST_F(SessionChangesTest, SaveWritesOnlyWhatTheSessionNamedOverWhatIsStored) {
  // Saved on the machine after the session began.
  host_.stored.system.LogLevel = 5;
  host_.stored.system.Flags = kSysPing;
  CopyField(host_.stored.system.NameServer, "ns.example.com");
  CopyField(host_.stored.system.RemoteServer, "far.example.com");
  ASSERT_EQ(session_.Dispatch("SET MAXLOGTIME=14").text, kPrompt);
  ASSERT_EQ(session_.Dispatch("SET FLAGS +DIALUP -NTUSER").text, kPrompt);
  // Named by SET, so written although the session's copy already held the value.
  ASSERT_EQ(session_.Dispatch("SET NAMESERVER").text, kPrompt);
  ASSERT_EQ(session_.Dispatch("SAVE").text, kSaved);
  EXPECT_EQ(host_.stored.system.MaxLogTime, 14);
  EXPECT_EQ(host_.stored.system.LogLevel, 5);
  EXPECT_EQ(host_.stored.system.Flags, kSysPing | kSysDialup);
  EXPECT_STREQ(host_.stored.system.NameServer, "");
  EXPECT_STREQ(host_.stored.system.RemoteServer, "far.example.com");
  // The session goes on from what is stored now, and has nothing left to write.
  EXPECT_EQ(session_.settings().system.LogLevel, 5);
  host_.log.clear();
  ASSERT_EQ(session_.Dispatch("SAVE").text, kSaved);
  std::vector<std::string> restarts = {"service 1 8", "service 2 8"};
  EXPECT_EQ(host_.log, restarts);
  EXPECT_EQ(host_.saves, 1);
}

TEST_F(SessionChangesTest, ChangesStayUntilWrittenAndRsetDropsThem) {
  host_.save_works = false;
  ASSERT_EQ(session_.Dispatch("SET LOGLEVEL=1").text, kPrompt);
  ASSERT_EQ(session_.Dispatch("SAVE").text, kSaved);
  EXPECT_EQ(host_.stored.system.LogLevel, 4);
  host_.save_works = true;
  ASSERT_EQ(session_.Dispatch("SAVE").text, kSaved);  // tried again
  EXPECT_EQ(host_.stored.system.LogLevel, 1);
  EXPECT_EQ(host_.saves, 2);

  // A SET that fails names nothing; RSET forgets what was set.
  ASSERT_EQ(session_.Dispatch("SET LOGLEVEL=3 CTRLPORT=0").text, kSyntaxError);
  ASSERT_EQ(session_.Dispatch("SET LOGLEVEL=2").text, kPrompt);
  ASSERT_EQ(session_.Dispatch("RSET").text, kReloaded);
  session_.Dispatch("QUIT");
  EXPECT_EQ(host_.saves, 2);
  EXPECT_EQ(host_.stored.system.LogLevel, 1);
}

TEST(SettingChangesTest, OnlyRowsTheControlServiceOwnsCount) {
  Settings before = testing::SampleSettings(), after = before;
  CopyField(after.system.RemoteServer, "far.example.com");
  CopyField(after.system.RemoteLogin, "admin");
  SettingChanges changes;
  changes.Note(before, after);
  changes.Mark(*FindSetting(SettingRecord::kSystem, "RemoteLogin"));
  EXPECT_TRUE(changes.empty());

  after.smtp.Flags ^= kSmtpUseMx;
  after.pop3.Port = 1100;
  changes.Note(before, after);
  Settings stored = before;
  stored.smtp.Flags = kSmtpEsmtp;
  stored.pop3.PortEx = 995;
  changes.ApplyTo(after, stored);
  EXPECT_EQ(stored.smtp.Flags, kSmtpEsmtp | kSmtpUseMx);
  EXPECT_EQ(stored.pop3.Port, 1100);
  EXPECT_EQ(stored.pop3.PortEx, 995);
  EXPECT_STREQ(stored.system.RemoteServer, "");
}

}  // namespace
}  // namespace qv::control
