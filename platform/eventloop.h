// One event loop per service, on one thread: it stands for a window procedure. Socket events,
// timers by id, posted work and the stop signal arrive here and run to completion one at a time.
#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>

namespace qv::platform {

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  asio::io_context& context() { return io_; }

  // A periodic timer under an id: `fn` runs every `period` until KillTimer. Setting an id again
  // replaces its timer.
  void SetTimer(int id, std::chrono::milliseconds period, std::function<void()> fn);
  void KillTimer(int id);
  bool HasTimer(int id) const { return timers_.count(id) != 0; }

  // SIGTERM and SIGINT call `fn` once, as the destroy message of a window would. SIGCHLD reaps
  // finished children.
  void OnDestroy(std::function<void()> fn);

  // Runs `fn` on the loop's thread; safe to call from any thread.
  void Post(std::function<void()> fn);

  // Runs until Quit.
  void Run();
  void Quit();

 private:
  struct Timer {
    std::unique_ptr<asio::steady_timer> timer;
    std::chrono::milliseconds period;
    std::function<void()> fn;
    unsigned generation;
  };
  void Arm(int id, unsigned generation);
  void WaitSignal();
  void WaitChild();

  asio::io_context io_;
  asio::signal_set stop_signals_;
  asio::signal_set child_signal_;
  std::function<void()> on_destroy_;
  std::map<int, Timer> timers_;
  unsigned next_generation_ = 1;
  bool destroyed_ = false;
};

}  // namespace qv::platform
