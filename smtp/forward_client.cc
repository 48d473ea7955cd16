#include "smtp/forward_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>

#include "smtp/dns.h"

namespace qv {

namespace {

// A reply longer than this is not a mail host talking: the connection counts as broken.
constexpr size_t kMaxReply = 64 * 1024;

bool IsContinuation(std::string_view line) {
  return line.size() >= 4 && line[3] == '-' && std::isdigit(static_cast<unsigned char>(line[0])) &&
         std::isdigit(static_cast<unsigned char>(line[1])) &&
         std::isdigit(static_cast<unsigned char>(line[2]));
}

}  // namespace

bool ReplyStartsWith(std::string_view reply, std::string_view code) {
  return reply.substr(0, code.size()) == code;
}

SmtpClientConnection::Wait SmtpClientConnection::WaitFor(short events, int timeout_ms) {
  pollfd fds[2] = {{fd_, events, 0}, {cancel_fd_, POLLIN, 0}};
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

SmtpClientConnection::ConnectResult SmtpClientConnection::Open(const std::string& host,
                                                               uint16_t port) {
  Close();
  to_ = {};
  to_.sin_family = AF_INET;
  to_.sin_port = htons(port);
  if (!ResolveIPv4(host, &to_.sin_addr)) return kUnknownHost;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return kConnectFailed;
  // A command or the end line is sent whole and then answered: held back for the peer's
  // delayed acknowledgement it would cost a wait on every step of the conversation.
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return kConnected;
}

SmtpClientConnection::ConnectResult SmtpClientConnection::Connect(int timeout_ms) {
  if (fd_ < 0) return kConnectFailed;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&to_), sizeof to_) == 0) return kConnected;
  if (errno != EINPROGRESS) return kConnectFailed;
  if (WaitFor(POLLOUT, timeout_ms) != Wait::kReady) return kConnectFailed;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
    return kConnectFailed;
  return kConnected;
}

SmtpClientConnection::ConnectResult SmtpClientConnection::Connect(const std::string& host,
                                                                  uint16_t port, int timeout_ms) {
  ConnectResult r = Open(host, port);
  return r == kConnected ? Connect(timeout_ms) : r;
}

bool SmtpClientConnection::Send(std::string_view data, int timeout_ms) {
  if (fd_ < 0) return false;
  while (!data.empty()) {
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The peer's window is full: the kernel tells when it has room again.
      if (WaitFor(POLLOUT, timeout_ms) != Wait::kReady) return false;
      continue;
    }
    return false;
  }
  return true;
}

std::string SmtpClientConnection::ReadReply(int timeout_ms) {
  if (fd_ < 0) return {};
  size_t line_start = 0;
  for (;;) {
    // Whole lines already here: the reply ends at the first that is not a continuation.
    for (size_t nl; (nl = pending_.find('\n', line_start)) != std::string::npos;) {
      std::string_view line(pending_.data() + line_start, nl + 1 - line_start);
      line_start = nl + 1;
      if (!IsContinuation(line)) {
        std::string reply = pending_.substr(0, line_start);
        pending_.erase(0, line_start);
        return reply;
      }
    }
    if (pending_.size() > kMaxReply) break;
    if (WaitFor(POLLIN, timeout_ms) != Wait::kReady) break;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;
    pending_.append(buf, static_cast<size_t>(n));
  }
  pending_.clear();
  return {};
}

void SmtpClientConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

}  // namespace qv
