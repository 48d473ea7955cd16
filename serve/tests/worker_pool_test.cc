#include "serve/worker_pool.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "platform/eventloop.h"

namespace qv {
namespace {

WorkerPool::Post PostTo(platform::EventLoop& loop) {
  return [&loop](std::function<void()> fn) { loop.Post(std::move(fn)); };
}

// Runs the loop until `done` holds or a few seconds have passed.
bool RunUntil(platform::EventLoop& loop, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    loop.context().restart();
    loop.context().run_for(std::chrono::milliseconds(10));
  }
  return done();
}

// True when the descriptor becomes readable within `ms`.
bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

TEST(WorkerPool, WorkRunsOffTheLoopAndCompletionsOnIt) {
  platform::EventLoop loop;
  std::thread::id loop_thread;
  std::atomic<int> worked{0};
  std::vector<std::thread::id> work_threads(20), done_threads(20);
  int done = 0;
  {
    WorkerPool pool(PostTo(loop),
                    {.threads = 4, .niceness = std::nullopt, .cancel_descriptor = false});
    loop.Post([&] { loop_thread = std::this_thread::get_id(); });
    for (int i = 0; i < 20; ++i) {
      pool.Submit(
          [&, i] {
            work_threads[i] = std::this_thread::get_id();
            ++worked;
          },
          [&, i] {
            done_threads[i] = std::this_thread::get_id();
            if (++done == 20) loop.Quit();
          });
    }
    loop.Run();
  }
  EXPECT_EQ(worked, 20);
  EXPECT_EQ(done, 20);
  for (int i = 0; i < 20; ++i) {
    EXPECT_NE(work_threads[i], loop_thread);
    EXPECT_EQ(done_threads[i], loop_thread);
  }
}

TEST(WorkerPool, QueuedWorkIsFinishedBeforeThePoolEnds) {
  platform::EventLoop loop;
  std::atomic<int> worked{0};
  {
    WorkerPool pool(PostTo(loop),
                    {.threads = 1, .niceness = std::nullopt, .cancel_descriptor = false});
    for (int i = 0; i < 50; ++i) pool.Submit([&] { ++worked; }, nullptr);
  }
  EXPECT_EQ(worked, 50);
}

// What a job sees of the options: the cancel descriptor and the niceness of its thread.
TEST(WorkerPool, JobsRunWithTheOptionsOfThePool) {
  const int process_niceness = ::getpriority(PRIO_PROCESS, 0);
  struct Case {
    WorkerPoolOptions options;
    bool cancel_fd;
    int niceness;
  } cases[] = {
      {{}, false, process_niceness},
      {{.threads = 3, .niceness = process_niceness + 5, .cancel_descriptor = false},
       false,
       process_niceness + 5},
      {{.threads = 1, .niceness = process_niceness + 2, .cancel_descriptor = true},
       true,
       process_niceness + 2},
  };
  for (const Case& c : cases) {
    platform::EventLoop loop;
    std::atomic<int> seen_fd{-2}, seen_niceness{-100};
    bool finished = false;
    WorkerPool pool(PostTo(loop), c.options, [&] { finished = true; });
    ASSERT_TRUE(pool.Start([&](int cancel_fd) {
      seen_fd = cancel_fd;
      seen_niceness = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    }));
    ASSERT_TRUE(RunUntil(loop, [&] { return finished; }));
    EXPECT_EQ(seen_fd >= 0, c.cancel_fd) << c.options.threads;
    EXPECT_EQ(seen_niceness, c.niceness) << c.options.threads;
  }
}

// One job at a time: Start refuses while a job runs or its end has not reached the loop.
TEST(WorkerPool, StartRunsOneJobAtATime) {
  platform::EventLoop loop;
  std::thread::id loop_thread = std::this_thread::get_id();
  std::vector<std::thread::id> finished_on;
  std::atomic<bool> release{false};
  WorkerPool pool(PostTo(loop), {.threads = 1, .niceness = std::nullopt, .cancel_descriptor = true},
                  [&] { finished_on.push_back(std::this_thread::get_id()); });
  EXPECT_FALSE(pool.Active());
  ASSERT_TRUE(pool.Start([&](int) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }));
  EXPECT_TRUE(pool.Active());
  EXPECT_FALSE(pool.Start([](int) {}));
  release = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(pool.Active());  // done on the worker, not yet seen by the loop
  EXPECT_FALSE(pool.Start([](int) {}));
  ASSERT_TRUE(RunUntil(loop, [&] { return !pool.Active(); }));
  EXPECT_EQ(finished_on, std::vector<std::thread::id>{loop_thread});
  ASSERT_TRUE(pool.Start([](int) {}));
  ASSERT_TRUE(RunUntil(loop, [&] { return finished_on.size() == 2; }));
}

// Stop (and the end of a pool with a cancel descriptor) ends a job waiting on the descriptor at
// once; its completion never runs and nothing starts afterwards.
TEST(WorkerPool, StopCancelsTheRunningJob) {
  for (bool by_destructor : {false, true}) {
    platform::EventLoop loop;
    int finished = 0;
    std::atomic<bool> waiting{false}, cancelled{false};
    std::optional<WorkerPool> pool;
    pool.emplace(
        PostTo(loop),
        WorkerPoolOptions{.threads = 1, .niceness = std::nullopt, .cancel_descriptor = true},
        [&] { ++finished; });
    ASSERT_TRUE(pool->Start([&](int cancel_fd) {
      waiting = true;
      cancelled = Readable(cancel_fd, 10000);
    }));
    while (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto begin = std::chrono::steady_clock::now();
    if (by_destructor) {
      pool.reset();
    } else {
      pool->Stop();
      EXPECT_FALSE(pool->Active());
      EXPECT_FALSE(pool->Start([](int) {}));
      EXPECT_FALSE(pool->Submit([] {}, nullptr));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5)) << by_destructor;
    EXPECT_TRUE(cancelled) << by_destructor;
    loop.context().restart();
    loop.context().run_for(std::chrono::milliseconds(100));  // whatever was posted
    EXPECT_EQ(finished, 0) << by_destructor;
  }
}

}  // namespace
}  // namespace qv
