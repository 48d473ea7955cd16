#include "platform/eventloop.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <cerrno>
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

void EventLoop::OnHangup(std::function<void()> fn) {
  on_hangup_ = std::move(fn);
  if (hangup_signal_) return;
  hangup_signal_ = std::make_unique<asio::signal_set>(io_, SIGHUP);
  WaitHangup();
}

void EventLoop::WaitHangup() {
  hangup_signal_->async_wait([this](const std::error_code& ec, int) {
    if (ec) return;
    if (on_hangup_) on_hangup_();
    WaitHangup();
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

void EventLoop::After(std::chrono::milliseconds delay, std::function<void()> fn) {
  auto timer = std::make_shared<asio::steady_timer>(io_, delay);
  timer->async_wait([timer, fn = std::move(fn)](const std::error_code& ec) {
    if (!ec) fn();
  });
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

std::error_code OpenListener(asio::ip::tcp::acceptor& acceptor,
                             const asio::ip::tcp::endpoint& endpoint, int backlog) {
  std::error_code ec;
  // Non-blocking too: a client that gives up between the wake-up and accept4 leaves nothing to
  // accept, and the loop must not wait for the next one.
  int fd = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    IPPROTO_TCP);
  if (fd < 0) return {errno, std::system_category()};
  acceptor.assign(endpoint.protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    return ec;
  }
  // A restarted service must be able to listen again while old connections linger.
  acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(backlog, ec);
  if (ec) {
    std::error_code ignored;
    acceptor.close(ignored);
  }
  return ec;
}

void AsyncAccept(asio::ip::tcp::acceptor& acceptor, AcceptHandler handler) {
  auto executor = acceptor.get_executor();
  acceptor.async_wait(
      asio::socket_base::wait_read,
      [&acceptor, executor, handler = std::move(handler)](const std::error_code& ec) mutable {
        if (ec) {
          handler(ec, asio::ip::tcp::socket(executor));
          return;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd;
        do {
          fd = ::accept4(acceptor.native_handle(), reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        asio::ip::tcp::socket socket(executor);
        if (fd >= 0) {
          // Replies go out as they are written: a reply written in two pieces (a stream reply
          // and the prompt behind it) must not wait for the peer's delayed acknowledgement.
          int one = 1;
          ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        if (fd < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
            AsyncAccept(acceptor, std::move(handler));
            return;
          }
          handler(std::error_code(errno, std::system_category()), std::move(socket));
          return;
        }
        std::error_code assign_ec;
        socket.assign(peer.ss_family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), fd,
                      assign_ec);
        if (assign_ec) ::close(fd);
        handler(assign_ec, std::move(socket));
      });
}

}  // namespace qv::platform
