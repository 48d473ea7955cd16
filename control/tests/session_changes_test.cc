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

// What the end-to-end tests cannot set up: a value SET names although the session's copy held it
// already, a registry that cannot be written, and RSET.
TEST_F(SessionChangesTest, WhatSetNamesIsWrittenUntilSavedOrReset) {
  CopyField(host_.stored.system.NameServer, "ns.example.com");  // saved on the machine meanwhile
  ASSERT_EQ(session_.Dispatch("SET NAMESERVER").text, kPrompt);
  host_.save_works = false;
  ASSERT_EQ(session_.Dispatch("SAVE").text, kSaved);
  EXPECT_STREQ(host_.stored.system.NameServer, "ns.example.com");
  host_.save_works = true;
  ASSERT_EQ(session_.Dispatch("SAVE").text, kSaved);  // the changes stayed for this one
  EXPECT_STREQ(host_.stored.system.NameServer, "");
  EXPECT_EQ(host_.saves, 2);

  // Written once: SAVE restarts the services but writes nothing more; a failed SET names
  // nothing, and RSET forgets what was set.
  host_.stored.system.LogLevel = 5;
  host_.log.clear();
  ASSERT_EQ(session_.Dispatch("SAVE").text, kSaved);
  std::vector<std::string> restarts = {"service 1 8", "service 2 8"};
  EXPECT_EQ(host_.log, restarts);
  ASSERT_EQ(session_.Dispatch("SET LOGLEVEL=3 CTRLPORT=0").text, kSyntaxError);
  ASSERT_EQ(session_.Dispatch("SET LOGLEVEL=2").text, kPrompt);
  ASSERT_EQ(session_.Dispatch("RSET").text, kReloaded);
  session_.Dispatch("QUIT");
  EXPECT_EQ(host_.saves, 2);
  EXPECT_EQ(host_.stored.system.LogLevel, 5);
}

}  // namespace
}  // namespace qv::control
