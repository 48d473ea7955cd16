#include "serve/logon_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qv {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using TimePoint = std::chrono::steady_clock::time_point;

// A guard on a clock the test moves.
struct Fixture {
  explicit Fixture(LogonGuardLimits limits = {}) : guard(limits, [this] { return now; }) {}
  void Advance(milliseconds step) { now += step; }
  TimePoint now{seconds(1000)};
  LogonGuard guard;
};

TEST(LogonGuard, PausesDoubleFromTheFirstUpToTheLongest) {
  LogonGuard guard;
  const struct {
    int failures;
    milliseconds pause;
  } cases[] = {{0, seconds(1)},  {1, seconds(1)},  {2, seconds(2)},  {3, seconds(4)},
               {6, seconds(32)}, {7, seconds(60)}, {8, seconds(60)}, {1000, seconds(60)}};
  for (const auto& c : cases) EXPECT_EQ(guard.PauseFor(c.failures), c.pause) << c.failures;
  LogonGuard off(LogonGuardLimits{.first_pause = milliseconds(0)});
  EXPECT_EQ(off.PauseFor(5), milliseconds(0));
}

// Each step: advance the clock, then one logon from the address.
struct Step {
  milliseconds advance;
  bool failed;
  milliseconds delay;
  int failures;
  bool started;
};

TEST(LogonGuard, AnswersOfOneAddressFollowItsCount) {
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"a right password of an address without failures is answered at once",
       {{milliseconds(0), false, milliseconds(0), 0, false}}},
      {"failures one after the other wait 1, 2, 4, 8 s beyond the one before",
       {{milliseconds(0), true, seconds(1), 1, true},
        {milliseconds(0), true, seconds(3), 2, false},
        {milliseconds(0), true, seconds(7), 3, false},
        {milliseconds(0), true, seconds(15), 4, false}}},
      {"a right password waits for the running pause, and does not clear the count",
       {{milliseconds(0), true, seconds(1), 1, true},
        {milliseconds(0), true, seconds(3), 2, false},
        {milliseconds(500), false, milliseconds(2500), 2, false},
        {seconds(3), false, milliseconds(0), 2, false},
        {milliseconds(0), true, seconds(4), 3, false}}},
      {"no answer ever waits more than the longest pause",
       {{milliseconds(0), true, seconds(1), 1, true},
        {milliseconds(0), true, seconds(3), 2, false},
        {milliseconds(0), true, seconds(7), 3, false},
        {milliseconds(0), true, seconds(15), 4, false},
        {milliseconds(0), true, seconds(31), 5, false},
        {milliseconds(0), true, seconds(60), 6, false},
        {milliseconds(0), true, seconds(60), 7, false},
        {milliseconds(0), false, seconds(60), 7, false},
        {seconds(59), false, seconds(1), 7, false}}},
      {"the count is forgotten after the quiet period, not before",
       {{milliseconds(0), true, seconds(1), 1, true},
        {milliseconds(0), true, seconds(3), 2, false},
        {seconds(599), true, seconds(4), 3, false},
        {seconds(600), true, seconds(1), 1, true}}},
  };
  for (const auto& c : cases) {
    Fixture f;
    int n = 0;
    for (const Step& s : c.steps) {
      f.Advance(s.advance);
      LogonVerdict v = f.guard.Answer("192.0.2.7", s.failed);
      EXPECT_EQ(v.delay, s.delay) << c.name << ", step " << n;
      EXPECT_EQ(v.failures, s.failures) << c.name << ", step " << n;
      EXPECT_EQ(v.backoff_started, s.started) << c.name << ", step " << n;
      ++n;
    }
  }
}

TEST(LogonGuard, AddressesAreCountedApart) {
  Fixture f;
  for (int i = 0; i < 5; ++i) f.guard.Answer("127.0.0.1", true);
  EXPECT_EQ(f.guard.Answer("127.0.0.2", false).delay, milliseconds(0));
  EXPECT_EQ(f.guard.Answer("127.0.0.2", true).delay, seconds(1));
  EXPECT_GT(f.guard.Answer("127.0.0.1", false).delay, seconds(30));
  // The whole text is the key: a prefix or a longer form is another address.
  EXPECT_EQ(f.guard.Answer("127.0.0.", false).delay, milliseconds(0));
  EXPECT_EQ(f.guard.Answer("127.0.0.10", false).delay, milliseconds(0));
  // A right password never makes an entry.
  EXPECT_EQ(f.guard.tracked(), 2u);
}

TEST(LogonGuard, MemoryIsBoundedAndTheQuietestAddressGoesFirst) {
  Fixture f(LogonGuardLimits{.max_addresses = 100});
  for (int i = 0; i < 100; ++i) {
    f.Advance(milliseconds(10));
    f.guard.Answer("10.0.0." + std::to_string(i), true);
  }
  EXPECT_EQ(f.guard.tracked(), 100u);
  f.Advance(milliseconds(10));
  f.guard.Answer("10.1.0.1", true);
  EXPECT_EQ(f.guard.tracked(), 100u);
  // The address whose last failure is the oldest made room; the next oldest is still held.
  EXPECT_EQ(f.guard.Answer("10.0.0.0", false).delay, milliseconds(0));
  EXPECT_GT(f.guard.Answer("10.0.0.1", false).delay, milliseconds(0));
  for (int i = 0; i < 10000; ++i) f.guard.Answer("10.2." + std::to_string(i), true);
  EXPECT_EQ(f.guard.tracked(), 100u);
  // Forgotten entries make room before any live one is dropped.
  Fixture g(LogonGuardLimits{.max_addresses = 3});
  g.guard.Answer("a", true);
  g.guard.Answer("b", true);
  g.Advance(seconds(700));
  g.guard.Answer("c", true);
  g.guard.Answer("d", true);
  EXPECT_EQ(g.guard.tracked(), 2u);
  EXPECT_GT(g.guard.Answer("c", false).delay, milliseconds(0));
}

TEST(LogonGuard, ParallelFailuresAreAllCounted) {
  LogonGuard guard(LogonGuardLimits{.first_pause = milliseconds(1)});
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&guard] {
      for (int i = 0; i < 200; ++i) guard.Answer("198.51.100.1", true);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(guard.Answer("198.51.100.1", true).failures, 31);  // the count stops growing
  EXPECT_EQ(guard.tracked(), 1u);
}

}  // namespace
}  // namespace qv
