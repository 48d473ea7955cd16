#include "smtp/service.h"

#include <gtest/gtest.h>

#include "common/config.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using testing::SmtpEnv;

struct DialupCalls {
  int opens = 0;
  int closes = 0;
  bool succeed = true;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.settings() = env_.settings();
    system().ConnectTime = 60;
    system().ClosingTime = 90;
    CopyField(system().RASEntry, "office");
    DialupHooks hooks;
    hooks.open = [this](const std::string& entry, std::string* error) {
      EXPECT_EQ(entry, "office");
      ++calls_.opens;
      if (!calls_.succeed) *error = "line busy";
      return calls_.succeed;
    };
    hooks.close = [this](const std::string&) {
      ++calls_.closes;
      return true;
    };
    service_.SetDialup(hooks);
    service_.Started();
  }
  SYSTEMSTRUCT& system() { return service_.settings().system; }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) service_.HousekeepingTick();
  }

  SmtpEnv env_;
  SmtpService service_;
  DialupCalls calls_;
};

TEST_F(ServiceTest, WithoutDialupTheTickDoesNothing) {
  system().Flags = 0;
  Ticks(100);
  EXPECT_EQ(service_.ping_countdown(), 60000);
  EXPECT_EQ(service_.idle_time(), 0);
  EXPECT_EQ(calls_.opens, 0);
}

TEST_F(ServiceTest, WithoutPingTheCountersRunButTheLinkIsLeftAlone) {
  system().Flags = kSysDialup;
  Ticks(11);
  EXPECT_EQ(service_.ping_countdown(), 5000);
  EXPECT_EQ(service_.idle_time(), 55000);
  Ticks(1);
  EXPECT_EQ(service_.ping_countdown(), 60000);
  Ticks(7);  // idle 95 s > 90 s: the idle check resets the idle time
  EXPECT_EQ(service_.idle_time(), 0);
  EXPECT_EQ(calls_.opens + calls_.closes, 0);
}

TEST_F(ServiceTest, PingOpensTheLinkAndIdleClosesIt) {
  system().Flags = kSysDialup | kSysPing;
  Ticks(12);
  EXPECT_EQ(calls_.opens, 1);
  EXPECT_TRUE(service_.link_up());
  EXPECT_EQ(service_.idle_time(), 0);
  Ticks(18);  // 90 s: not yet above the closing time
  EXPECT_EQ(calls_.closes, 0);
  Ticks(1);
  EXPECT_EQ(calls_.closes, 1);
  EXPECT_FALSE(service_.link_up());
  // The next ping opens it again.
  Ticks(24);
  EXPECT_EQ(calls_.opens, 2);
}

TEST_F(ServiceTest, FailedPingIsLoggedAndRetriedAfterConnectTime) {
  system().Flags = kSysDialup | kSysPing;
  calls_.succeed = false;
  Ticks(12);
  EXPECT_EQ(calls_.opens, 1);
  EXPECT_FALSE(service_.link_up());
  EXPECT_NE(env_.LogText().find("*** Could not open dial-up profile 'office';line busy"),
            std::string::npos);
  Ticks(11);
  EXPECT_EQ(calls_.opens, 1);
  Ticks(1);
  EXPECT_EQ(calls_.opens, 2);
}

TEST(ServiceDefaults, WithoutADialupLibraryThePingFails) {
  SmtpEnv env;
  SmtpService service;
  service.settings() = env.settings();
  service.settings().system.Flags = kSysDialup | kSysPing;
  service.settings().system.ConnectTime = 60;
  CopyField(service.settings().system.RASEntry, "office");
  service.Started();
  for (int i = 0; i < 12; ++i) service.HousekeepingTick();
  EXPECT_NE(env.LogText().find("Could not open dial-up profile 'office';Could not load "
                               "'rasapi32.dll'"),
            std::string::npos);
}

TEST(ServiceForward, TimerStartsARunOnlyWithAWayOut) {
  SmtpEnv env;
  SmtpService service;
  service.settings() = env.settings();
  int runs = 0;
  bool active = false;
  service.SetForwardRun([&] { ++runs; }, [&] { return active; });
  service.settings().smtp.Flags = kSmtpEsmtp;
  service.ForwardTick();
  EXPECT_EQ(runs, 0);
  service.settings().smtp.Flags = kSmtpUseMx;
  service.ForwardTick();
  EXPECT_EQ(runs, 1);
  service.settings().smtp.Flags = kSmtpUseDns;
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
