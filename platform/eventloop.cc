#include "platform/eventloop.h"

#include <asio/post.hpp>
#include <csignal>

#include "platform/spawn.h"

namespace qv::platform {

EventLoop::EventLoop() : stop_signals_(io_, SIGTERM, SIGINT), child_signal_(io_, SIGCHLD) {
  // A peer that closes while we write must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  WaitSignal();
  WaitChild();
}

EventLoop::~EventLoop() = default;

void EventLoop::WaitSignal() {
  stop_signals_.async_wait([this](const std::error_code& ec, int) {
    if (ec) return;
    if (!destroyed_) {
      destroyed_ = true;
      if (on_destroy_) {
        on_destroy_();
      } else {
        Quit();
      }
    }
    WaitSignal();
  });
}

void EventLoop::WaitChild() {
  child_signal_.async_wait([this](const std::error_code& ec, int) {
    if (ec) return;
    ReapChildren();
    WaitChild();
  });
}

void EventLoop::SetTimer(int id, std::chrono::milliseconds period, std::function<void()> fn) {
  if (period.count() <= 0) period = std::chrono::milliseconds(1);
  Timer t{std::make_unique<asio::steady_timer>(io_), period, std::move(fn), next_generation_++};
  unsigned generation = t.generation;
  t.timer->expires_after(period);
  timers_[id] = std::move(t);
  Arm(id, generation);
}

void EventLoop::Arm(int id, unsigned generation) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second.timer->async_wait([this, id, generation](const std::error_code& ec) {
    if (ec) return;
    auto found = timers_.find(id);
    if (found == timers_.end() || found->second.generation != generation) return;
    // Schedule the next tick first, from now, as a window timer does: a handler that runs long
    // never causes a burst of ticks.
    found->second.timer->expires_after(found->second.period);
    Arm(id, generation);
    std::function<void()> fn = found->second.fn;
    fn();
  });
}

void EventLoop::KillTimer(int id) {
  timers_.erase(id);
}

void EventLoop::OnDestroy(std::function<void()> fn) {
  on_destroy_ = std::move(fn);
}

void EventLoop::Post(std::function<void()> fn) {
  asio::post(io_, std::move(fn));
}

void EventLoop::Run() {
  auto guard = asio::make_work_guard(io_);
  io_.run();
}

void EventLoop::Quit() {
  timers_.clear();
  stop_signals_.cancel();
  child_signal_.cancel();
  io_.stop();
}

}  // namespace qv::platform
