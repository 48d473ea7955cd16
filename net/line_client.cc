#include "net/line_client.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "net/dns.h"

namespace qv {

LineClient::Wait LineClient::WaitFor(short events, int timeout_ms) {
  pollfd fds[2] = {{fd_.get(), events, 0}, {cancel_fd_, POLLIN, 0}};
  nfds_t n = cancel_fd_ >= 0 ? 2 : 1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int r = ::poll(fds, n, left.count() < 0 ? 0 : static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return Wait::kTimeout;
    if (n == 2 && fds[1].revents != 0) return Wait::kCancelled;
    return Wait::kReady;
  }
}

bool LineClient::Stop(Failure failure) {
  failure_ = failure;
  return false;
}

bool LineClient::StopTls() {
  switch (tls_->stop()) {
    case TlsChannel::Stop::kTimeout:
      return Stop(Failure::kTimeout);
    case TlsChannel::Stop::kCancelled:
      return Stop(Failure::kCancelled);
    default:
      return Stop(Failure::kBroken);
  }
}

TlsChannel::Outcome LineClient::StartTls(const std::string& host, const TlsTrust& trust,
                                         bool verify, int timeout_ms) {
  pending_.clear();
  secure_ = false;
  if (!fd_) {
    Stop(Failure::kClosed);
    return TlsChannel::Outcome::kFailed;
  }
  if (!tls_) tls_ = std::make_unique<TlsChannel>();
  TlsChannel::Outcome outcome = tls_->Handshake(fd_.get(), host, trust, cancel_fd_, timeout_ms);
  if (outcome == TlsChannel::Outcome::kUntrusted && !verify && tls_->active())
    outcome = TlsChannel::Outcome::kOk;
  if (outcome == TlsChannel::Outcome::kFailed) StopTls();
  secure_ = outcome == TlsChannel::Outcome::kOk;
  return outcome;
}

ConnectResult LineClient::Open(const std::string& host, uint16_t port) {
  Close();
  to_ = {};
  to_.sin_family = AF_INET;
  to_.sin_port = htons(port);
  if (!ResolveIPv4(host, &to_.sin_addr)) return ConnectResult::kUnknownHost;
  fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd_) return ConnectResult::kConnectFailed;
  // A command is sent whole and then answered: held back for the peer's delayed acknowledgement
  // it would cost a wait on every step of the conversation.
  int one = 1;
  ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return ConnectResult::kConnected;
}

ConnectResult LineClient::Connect(int timeout_ms) {
  if (!fd_) return ConnectResult::kConnectFailed;
  if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&to_), sizeof to_) == 0)
    return ConnectResult::kConnected;
  if (errno != EINPROGRESS) return ConnectResult::kConnectFailed;
  Wait w = WaitFor(POLLOUT, timeout_ms);
  if (w != Wait::kReady) {
    Stop(w == Wait::kCancelled ? Failure::kCancelled : Failure::kTimeout);
    return ConnectResult::kConnectFailed;
  }
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
    Stop(Failure::kBroken);
    return ConnectResult::kConnectFailed;
  }
  return ConnectResult::kConnected;
}

ConnectResult LineClient::Connect(const std::string& host, uint16_t port, int timeout_ms) {
  ConnectResult r = Open(host, port);
  return r == ConnectResult::kConnected ? Connect(timeout_ms) : r;
}

bool LineClient::Send(std::string_view data, int timeout_ms) {
  if (!fd_) return Stop(Failure::kClosed);
  if (secure_) return tls_->Write(data, timeout_ms) || StopTls();
  while (!data.empty()) {
    ssize_t n = ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The peer's window is full: the kernel tells when it has room again.
      Wait w = WaitFor(POLLOUT, timeout_ms);
      if (w == Wait::kReady) continue;
      return Stop(w == Wait::kCancelled ? Failure::kCancelled : Failure::kTimeout);
    }
    return Stop(Failure::kBroken);
  }
  return true;
}

bool LineClient::SendLine(std::string_view line, int timeout_ms) {
  std::string text;
  text.reserve(line.size() + 2);
  text.append(line);
  text.append("\r\n");
  return Send(text, timeout_ms);
}

bool LineClient::Receive(int timeout_ms) {
  if (secure_) {
    char buf[16384];
    long n = tls_->Read(buf, sizeof buf, timeout_ms);
    if (n == 0) return Stop(Failure::kClosed);
    if (n < 0) return StopTls();
    pending_.append(buf, static_cast<size_t>(n));
    return true;
  }
  for (;;) {
    Wait w = WaitFor(POLLIN, timeout_ms);
    if (w != Wait::kReady)
      return Stop(w == Wait::kCancelled ? Failure::kCancelled : Failure::kTimeout);
    char buf[4096];
    ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n == 0) return Stop(Failure::kClosed);
    if (n < 0) return Stop(Failure::kBroken);
    pending_.append(buf, static_cast<size_t>(n));
    return true;
  }
}

std::string LineClient::ReadLine(int timeout_ms) {
  return ReadUntil([](std::string_view) { return true; }, timeout_ms);
}

std::string LineClient::ReadUntil(const std::function<bool(std::string_view line)>& last,
                                  int timeout_ms) {
  failure_ = Failure::kNone;
  if (!fd_) {
    Stop(Failure::kClosed);
    return {};
  }
  size_t line_start = 0;  // the first line not yet shown to `last`
  for (;;) {
    for (size_t nl; (nl = pending_.find('\n', line_start)) != std::string::npos;) {
      std::string_view line(pending_.data() + line_start, nl + 1 - line_start);
      line_start = nl + 1;
      if (last(line)) {
        std::string reply = pending_.substr(0, line_start);
        pending_.erase(0, line_start);
        return reply;
      }
    }
    // Every byte held now belongs to the reply still being read.
    if (pending_.size() > max_read_) {
      Stop(Failure::kTooLong);
      break;
    }
    if (!Receive(timeout_ms)) break;
  }
  pending_.clear();
  return {};
}

void LineClient::Close() {
  secure_ = false;
  if (tls_) tls_->Close();
  fd_.Reset();
  pending_.clear();
}

}  // namespace qv
