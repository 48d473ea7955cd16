// The remote account schedule: which accounts each one-minute tick checks.
#include "pop3/schedule.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/result.h"
#include "common/tables.h"
#include "pop3/collect_runner.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

// Runs ticks and records, per tick, the accounts checked.
std::vector<std::string> Ticks(AccountSchedule& schedule, int count) {
  std::vector<std::string> seen;
  for (int i = 0; i < count; ++i) {
    std::string names;
    schedule.Tick([&](const std::string& account) {
      EXPECT_EQ(schedule.active(), 1);  // the check counts as activity while it runs
      names += account + " ";
      return 1;
    });
    EXPECT_EQ(schedule.active(), 0);
    seen.push_back(names);
  }
  return seen;
}

TEST(AccountSchedule, IntervalsCountDownByTheMinute) {
  AccountSchedule s;
  ASSERT_TRUE(s.Add("every", 60));
  ASSERT_TRUE(s.Add("short", 10));  // 60 or less: every tick
  ASSERT_TRUE(s.Add("quarter", 900));
  ASSERT_TRUE(s.Add("odd", 150));  // due when the countdown reaches 0 or less
  std::vector<std::string> seen = Ticks(s, 30);
  for (int tick = 1; tick <= 30; ++tick) {
    std::string expected = "every short ";
    if (tick % 15 == 0) expected += "quarter ";
    if (tick % 3 == 0) expected += "odd ";
    EXPECT_EQ(seen[tick - 1], expected) << "tick " << tick;
  }
}

TEST(AccountSchedule, TableLimitsAndTheEndMarker) {
  AccountSchedule s;
  EXPECT_FALSE(s.Add("", 60));
  for (int i = 0; i < kScheduleEntries; ++i) EXPECT_TRUE(s.Add("a" + std::to_string(i), 60));
  EXPECT_FALSE(s.Add("one too many", 60));
  EXPECT_EQ(s.size(), kScheduleEntries);
  EXPECT_EQ(Ticks(s, 1)[0].size(), 10u * 3 + 40u * 4);  // "aN " for N < 10, "aNN " above
  s.Clear();
  EXPECT_EQ(s.size(), 0);
  EXPECT_EQ(Ticks(s, 2), (std::vector<std::string>{"", ""}));  // the empty schedule
  std::string long_name(300, 'n');
  ASSERT_TRUE(s.Add(long_name, 60));
  EXPECT_EQ(std::string(s.entry(0).AccountName).size(), 127u);  // cut to the field
}

TEST(AccountSchedule, NoCheckFunctionStillRestartsTheCountdown) {
  AccountSchedule s;
  s.Add("x", 120);
  s.Tick(nullptr);
  EXPECT_EQ(s.entry(0).Countdown, 60);
  s.Tick(nullptr);
  EXPECT_EQ(s.entry(0).Countdown, 120);
}

TEST(AccountSchedule, DueAccountsWaitWhileACheckRuns) {
  AccountSchedule s;
  s.Add("a", 60);
  s.Add("b", 180);
  EXPECT_EQ(s.TakeDue(false), (std::vector<std::string>{"a"}));
  EXPECT_EQ(s.TakeDue(true), (std::vector<std::string>{}));  // a is due, but a check runs
  EXPECT_EQ(s.TakeDue(true), (std::vector<std::string>{}));  // b too now
  EXPECT_EQ(s.entry(0).Countdown, 0);
  EXPECT_EQ(s.entry(1).Countdown, 0);
  EXPECT_EQ(s.TakeDue(false), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(s.entry(1).Countdown, 180);
  EXPECT_EQ(s.TakeDue(false), (std::vector<std::string>{"a"}));
}

TEST(LoadAccountSchedule, TakesTheNamedAccountsInIndexOrder) {
  testing::Pop3TestSystem sys;
  EXPECT_FALSE(LoadAccountSchedule(sys.system()).ok());  // no accounts table
  for (int i = 0; i < kScheduleEntries + 5; ++i) {
    ACCOUNTSTRUCT a{};
    // Added in reverse, so that the index order differs from the file order.
    CopyField(a.Name, "acct" + std::to_string(100 + kScheduleEntries + 5 - i));
    a.Interval = 60 * (i + 1);
    ASSERT_EQ(AddRecord(sys.system(), &a), 0);
  }
  Result<AccountSchedule> loaded = LoadAccountSchedule(sys.system());
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  const AccountSchedule& s = *loaded;
  ASSERT_EQ(s.size(), kScheduleEntries);
  EXPECT_STREQ(s.entry(0).AccountName, "acct101");
  EXPECT_EQ(s.entry(0).Interval, 60 * (kScheduleEntries + 5));
  EXPECT_EQ(s.entry(0).Countdown, s.entry(0).Interval);
  EXPECT_STREQ(s.entry(kScheduleEntries - 1).AccountName, "acct150");
}

// The service's collection takes the schedule whole, or is left empty when the table is missing.
TEST(RemoteCollection, LoadReplacesTheScheduleOrEmptiesIt) {
  testing::Pop3TestSystem sys;
  std::unique_ptr<RemoteCollection> collection = MakeRemoteCollection(
      sys.settings(), [](std::function<void()> fn) { fn(); }, {},
      [](const std::vector<std::string>&, std::string_view, int) { return false; });
  collection->schedule().Add("stale", 60);
  Status missing = collection->Load();
  EXPECT_FALSE(missing.ok());
  EXPECT_FALSE(missing.error().empty());
  EXPECT_EQ(collection->schedule().size(), 0);
  for (const char* name : {"b", "", "a"}) {
    ACCOUNTSTRUCT a{};
    CopyField(a.Name, name);
    a.Interval = 120;
    AddRecord(sys.system(), &a);  // the nameless one is refused by the table or skipped here
  }
  ASSERT_TRUE(collection->Load().ok());
  ASSERT_EQ(collection->schedule().size(), 2);
  EXPECT_STREQ(collection->schedule().entry(0).AccountName, "a");
  EXPECT_STREQ(collection->schedule().entry(1).AccountName, "b");
}

}  // namespace
}  // namespace qv::pop3
