#include "common/background_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>

namespace qv {

struct BackgroundRunner::State {
  std::function<void(std::function<void()>)> post;
  std::function<void()> finished;
  int niceness = 0;
  std::atomic<bool> active{false};
  std::atomic<bool> stopped{false};
  int cancel[2] = {-1, -1};
  std::thread worker;

  ~State() {
    if (cancel[0] >= 0) ::close(cancel[0]);
    if (cancel[1] >= 0) ::close(cancel[1]);
  }
};

BackgroundRunner::BackgroundRunner(std::function<void(std::function<void()>)> post,
                                   std::function<void()> finished, int niceness)
    : state_(std::make_shared<State>()) {
  state_->post = std::move(post);
  state_->finished = std::move(finished);
  state_->niceness = niceness;
  if (::pipe2(state_->cancel, O_CLOEXEC) != 0) state_->cancel[0] = state_->cancel[1] = -1;
}

BackgroundRunner::~BackgroundRunner() {
  Stop();
}

bool BackgroundRunner::Start(Job job) {
  State& s = *state_;
  if (s.stopped || s.active) return false;
  if (s.worker.joinable()) s.worker.join();  // a job whose end is still on its way
  s.active = true;
  std::shared_ptr<State> shared = state_;
  s.worker = std::thread([shared, job = std::move(job)] {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), shared->niceness);
    job(shared->cancel[0]);
    shared->post([shared] {
      if (shared->stopped) return;
      if (shared->worker.joinable()) shared->worker.join();
      shared->active = false;
      if (shared->finished) shared->finished();
    });
  });
  return true;
}

bool BackgroundRunner::Active() const {
  return state_->active;
}

void BackgroundRunner::Stop() {
  State& s = *state_;
  s.stopped = true;
  if (s.cancel[1] >= 0) {
    ssize_t w = ::write(s.cancel[1], "x", 1);
    (void)w;
  }
  if (s.worker.joinable()) s.worker.join();
  s.active = false;
}

}  // namespace qv
