// One event loop per service, on one thread: it stands for a window procedure. Socket events,
// timers by id, posted work and the stop signal arrive here and run to completion one at a time.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <system_error>

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
  // From this call on SIGHUP calls `fn` each time it arrives (and no longer ends the process).
  void OnHangup(std::function<void()> fn);

  // Runs `fn` on the loop's thread; safe to call from any thread.
  void Post(std::function<void()> fn);

  // Runs `fn` once on the loop's thread after `delay` (from the loop's thread only). Nothing
  // cancels it: `fn` checks that what it touches still exists. After Quit it never runs.
  void After(std::chrono::milliseconds delay, std::function<void()> fn);

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
  void WaitHangup();

  asio::io_context io_;
  asio::signal_set stop_signals_;
  asio::signal_set child_signal_;
  std::unique_ptr<asio::signal_set> hangup_signal_;  // made by OnHangup
  std::function<void()> on_destroy_;
  std::function<void()> on_hangup_;
  std::map<int, Timer> timers_;
  unsigned next_generation_ = 1;
  bool destroyed_ = false;
};

// Sockets of the services are close-on-exec from the moment they exist, so that a program
// started meanwhile (by another thread, too) never holds a listening port or a client's
// connection. asio opens and accepts without that flag; these two stand in for its open and
// async_accept.

// Opens `acceptor` on `endpoint` with address reuse, bound and listening with `backlog`.
std::error_code OpenListener(asio::ip::tcp::acceptor& acceptor,
                             const asio::ip::tcp::endpoint& endpoint, int backlog);

// Waits for the next connection on `acceptor` and hands it over as a connected socket, or the
// error (operation_aborted when the acceptor was closed; the acceptor is not touched then).
using AcceptHandler = std::function<void(const std::error_code&, asio::ip::tcp::socket)>;
void AsyncAccept(asio::ip::tcp::acceptor& acceptor, AcceptHandler handler);

}  // namespace qv::platform
