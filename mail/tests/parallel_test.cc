#include "mail/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace qv::mail {
namespace {

// Every index runs once; never more threads at a time than allowed; one thread keeps the order.
TEST(RunBounded, RunsEveryIndexOnceWithinTheBound) {
  struct Case {
    size_t count;
    size_t threads;
  };
  for (const Case& c : {Case{0, 4}, Case{1, 8}, Case{5, 1}, Case{5, 0}, Case{50, 4}, Case{3, 16}}) {
    std::mutex mutex;
    std::vector<size_t> seen;
    std::set<std::thread::id> ids;
    std::atomic<size_t> running{0};
    std::atomic<size_t> most{0};
    RunBounded(c.count, c.threads, [&](size_t i) {
      size_t now = ++running;
      for (size_t m = most; now > m && !most.compare_exchange_weak(m, now);) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(i);
        ids.insert(std::this_thread::get_id());
      }
      --running;
    });
    ASSERT_EQ(seen.size(), c.count) << c.count << "/" << c.threads;
    EXPECT_EQ(std::set<size_t>(seen.begin(), seen.end()).size(), c.count);
    EXPECT_LE(most.load(), std::max<size_t>(1, c.threads));
    EXPECT_LE(ids.size(), std::max<size_t>(1, c.threads));
    if (c.threads <= 1) {
      for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
      if (c.count > 0) {
        EXPECT_EQ(*ids.begin(), std::this_thread::get_id());
      }
    }
  }
}

}  // namespace
}  // namespace qv::mail
