#include "smtp/service.h"

#include <gtest/gtest.h>

#include "common/config.h"
#include "common/testing/fake_dialup.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using testing::SmtpEnv;

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_System.ConnectTime = 60;
    g_System.ClosingTime = 90;
    CopyField(g_System.RASEntry, "office");
    service_.SetDialup(dialup_);
    service_.Started();
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) service_.HousekeepingTick();
  }

  SmtpEnv env_;
  qv::testing::FakeDialup dialup_;
  SmtpService service_;
};

TEST_F(ServiceTest, WithoutDialupTheTickDoesNothing) {
  g_System.Flags = 0;
  Ticks(100);
  EXPECT_EQ(service_.ping_countdown(), 60000);
  EXPECT_EQ(service_.idle_time(), 0);
  EXPECT_EQ(dialup_.Count("open office"), 0);
}

TEST_F(ServiceTest, WithoutPingTheCountersRunButTheLinkIsLeftAlone) {
  g_System.Flags = kSysDialup;
  Ticks(11);
  EXPECT_EQ(service_.ping_countdown(), 5000);
  EXPECT_EQ(service_.idle_time(), 55000);
  Ticks(1);
  EXPECT_EQ(service_.ping_countdown(), 60000);
  Ticks(7);  // idle 95 s > 90 s: the idle check resets the idle time
  EXPECT_EQ(service_.idle_time(), 0);
  EXPECT_EQ(dialup_.Count("open office") + dialup_.Count("close office"), 0);
}

TEST_F(ServiceTest, PingOpensTheLinkAndIdleClosesIt) {
  g_System.Flags = kSysDialup | kSysPing;
  Ticks(12);
  EXPECT_EQ(dialup_.Count("open office"), 1);
  EXPECT_TRUE(service_.link_up());
  EXPECT_EQ(service_.idle_time(), 0);
  Ticks(18);  // 90 s: not yet above the closing time
  EXPECT_EQ(dialup_.Count("close office"), 0);
  Ticks(1);
  EXPECT_EQ(dialup_.Count("close office"), 1);
  EXPECT_FALSE(service_.link_up());
  // The next ping opens it again.
  Ticks(24);
  EXPECT_EQ(dialup_.Count("open office"), 2);
}

TEST_F(ServiceTest, FailedPingIsLoggedAndRetriedAfterConnectTime) {
  g_System.Flags = kSysDialup | kSysPing;
  dialup_.open_succeeds = false;
  Ticks(12);
  EXPECT_EQ(dialup_.Count("open office"), 1);
  EXPECT_FALSE(service_.link_up());
  EXPECT_NE(env_.LogText().find("*** Could not open dial-up profile 'office';line busy"),
            std::string::npos);
  Ticks(11);
  EXPECT_EQ(dialup_.Count("open office"), 1);
  Ticks(1);
  EXPECT_EQ(dialup_.Count("open office"), 2);
}

TEST(ServiceDefaults, WithoutADialupLibraryThePingFails) {
  SmtpEnv env;
  g_System.Flags = kSysDialup | kSysPing;
  g_System.ConnectTime = 60;
  CopyField(g_System.RASEntry, "office");
  SmtpService service;
  service.Started();
  for (int i = 0; i < 12; ++i) service.HousekeepingTick();
  EXPECT_NE(env.LogText().find("Could not open dial-up profile 'office';Could not load "
                               "'rasapi32.dll'"),
            std::string::npos);
}

TEST(ServiceForward, TimerStartsARunOnlyWithAWayOut) {
  SmtpEnv env;
  SmtpService service;
  int runs = 0;
  bool active = false;
  service.SetForwardRun([&] { ++runs; }, [&] { return active; });
  g_Smtp.Flags = kSmtpEsmtp;
  service.ForwardTick();
  EXPECT_EQ(runs, 0);
  g_Smtp.Flags = kSmtpUseMx;
  service.ForwardTick();
  EXPECT_EQ(runs, 1);
  g_Smtp.Flags = kSmtpUseDns;
  service.ForwardTick();
  EXPECT_EQ(runs, 2);
  EXPECT_NE(env.LogText().find("*** Check outgoing mail"), std::string::npos);
  // A running forward run counts as activity.
  EXPECT_EQ(service.frame().activity(), 0);
  active = true;
  EXPECT_EQ(service.frame().activity(), 1);
}

}  // namespace
}  // namespace qv::smtp
