#include "serve/worker_pool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace qv {

struct WorkerPool::State {
  Post post;
  std::function<void()> finished;
  std::optional<int> niceness;
  int cancel[2] = {-1, -1};

  std::mutex mutex;  // guards jobs and ending
  std::condition_variable wake;
  std::deque<std::pair<Job, std::function<void()>>> jobs;
  bool ending = false;
  std::vector<std::thread> threads;

  std::atomic<int> pending{0};  // jobs whose completion has not run on the loop
  std::atomic<bool> stopped{false};

  ~State() {
    if (cancel[0] >= 0) ::close(cancel[0]);
    if (cancel[1] >= 0) ::close(cancel[1]);
  }

  // A worker thread: takes the jobs in turn until the pool ends and nothing is queued.
  static void Work(const std::shared_ptr<State>& self) {
    if (self->niceness) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), *self->niceness);
    for (;;) {
      std::pair<Job, std::function<void()>> job;
      {
        std::unique_lock<std::mutex> lock(self->mutex);
        self->wake.wait(lock, [&] { return self->ending || !self->jobs.empty(); });
        if (self->jobs.empty()) return;
        job = std::move(self->jobs.front());
        self->jobs.pop_front();
      }
      job.first(self->cancel[0]);
      self->post([self, done = std::move(job.second)] {
        if (self->stopped) return;
        --self->pending;
        if (done) done();
        if (self->finished) self->finished();
      });
    }
  }

  // Ends the threads once the queue is empty and waits for them.
  void Join() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ending = true;
    }
    wake.notify_all();
    for (auto& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }
};

WorkerPool::WorkerPool(Post post, WorkerPoolOptions options, std::function<void()> finished)
    : state_(std::make_shared<State>()) {
  state_->post = std::move(post);
  state_->finished = std::move(finished);
  state_->niceness = options.niceness;
  if (options.cancel_descriptor && ::pipe2(state_->cancel, O_CLOEXEC) != 0)
    state_->cancel[0] = state_->cancel[1] = -1;
  size_t threads = options.threads == 0 ? 1 : options.threads;
  for (size_t i = 0; i < threads; ++i)
    state_->threads.emplace_back([self = state_] { State::Work(self); });
}

WorkerPool::~WorkerPool() {
  if (state_->cancel[1] >= 0) {
    Stop();
  } else {
    state_->Join();
  }
}

void WorkerPool::Enqueue(Job job, std::function<void()> done) {
  ++state_->pending;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->jobs.emplace_back(std::move(job), std::move(done));
  }
  state_->wake.notify_one();
}

bool WorkerPool::Submit(std::function<void()> work, std::function<void()> done) {
  if (state_->stopped) return false;
  Enqueue([work = std::move(work)](int) { work(); }, std::move(done));
  return true;
}

bool WorkerPool::Start(Job job) {
  if (state_->stopped || state_->pending > 0) return false;
  Enqueue(std::move(job), nullptr);
  return true;
}

bool WorkerPool::Active() const {
  return state_->pending > 0;
}

void WorkerPool::Stop() {
  State& s = *state_;
  s.stopped = true;
  if (s.cancel[1] >= 0) {
    ssize_t w = ::write(s.cancel[1], "x", 1);
    (void)w;
  }
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.jobs.clear();
  }
  s.Join();
  s.pending = 0;
}

}  // namespace qv
