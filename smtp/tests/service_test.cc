#include "smtp/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/config.h"
#include "common/testing/fake_dialup.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using testing::SmtpEnv;

// Lets the loop take the ends of link work done on the worker pool.
void Settle(SmtpService& service) {
  for (int i = 0; i < 1000 && service.link_busy(); ++i) {
    service.frame().loop().context().poll();
    service.frame().loop().context().restart();
    if (service.link_busy()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.settings() = env_.settings();
    system().ConnectTime = 60;
    system().ClosingTime = 90;
    CopyField(system().RASEntry, "office");
    service_.SetDialup(dialup_);
    service_.Started();
  }
  SYSTEMSTRUCT& system() { return service_.settings().system; }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) {
      service_.HousekeepingTick();
      Settle(service_);
    }
  }

  SmtpEnv env_;
  qv::testing::FakeDialup dialup_;
  SmtpService service_;
};

TEST_F(ServiceTest, WithoutDialupTheTickDoesNothing) {
  system().Flags = 0;
  Ticks(100);
  EXPECT_EQ(service_.ping_countdown(), 60000);
  EXPECT_EQ(service_.idle_time(), 0);
  EXPECT_EQ(dialup_.Count("open office"), 0);
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
  EXPECT_EQ(dialup_.Count("open office") + dialup_.Count("close office"), 0);
}

TEST_F(ServiceTest, PingOpensTheLinkAndIdleClosesIt) {
  system().Flags = kSysDialup | kSysPing;
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
  system().Flags = kSysDialup | kSysPing;
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

// A dial that takes long (here: until the test lets it end) never holds up the loop, and no
// second open or a close starts while it runs.
class GatedDialup : public DialupLink {
 public:
  bool Open(const std::string&, std::string*) override {
    ++opens;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [this] { return released; });
    return true;
  }
  bool Close(const std::string&) override {
    ++closes;
    return true;
  }
  bool IsActive(const std::string&) override { return false; }
  void Release() {
    std::lock_guard<std::mutex> lock(mu);
    released = true;
    cv.notify_all();
  }
  std::atomic<int> opens{0}, closes{0};
  std::mutex mu;
  std::condition_variable cv;
  bool released = false;
};

TEST(ServiceLink, ASlowDialRunsBesideTheLoop) {
  SmtpEnv env;
  GatedDialup dialup;
  SmtpService service;
  service.settings() = env.settings();
  SYSTEMSTRUCT& system = service.settings().system;
  system.Flags = kSysDialup | kSysPing;
  system.ConnectTime = 5;
  system.ClosingTime = 5;
  CopyField(system.RASEntry, "office");
  service.SetDialup(dialup);
  service.Started();
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 6; ++i) service.HousekeepingTick();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(service.link_busy());
  for (int i = 0; i < 200 && dialup.opens.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(dialup.opens.load(), 1);
  EXPECT_EQ(dialup.closes.load(), 0);
  EXPECT_FALSE(service.link_up());
  dialup.Release();
  Settle(service);
  EXPECT_TRUE(service.link_up());
  // Idle beyond the closing time: the close runs on the pool too.
  service.HousekeepingTick();
  service.HousekeepingTick();
  Settle(service);
  EXPECT_FALSE(service.link_up());
  EXPECT_EQ(dialup.closes.load(), 1);
}

TEST(ServiceDefaults, WithoutADialupLibraryThePingFails) {
  SmtpEnv env;
  SmtpService service;
  service.settings() = env.settings();
  service.settings().system.Flags = kSysDialup | kSysPing;
  service.settings().system.ConnectTime = 60;
  CopyField(service.settings().system.RASEntry, "office");
  service.Started();
  for (int i = 0; i < 12; ++i) {
    service.HousekeepingTick();
    Settle(service);
  }
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
