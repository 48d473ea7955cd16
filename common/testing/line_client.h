// A blocking TCP client for tests of the line protocols: connect to a loopback port, send text,
// read lines and replies with a generous guard time (a guard against hangs, not a timing test).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

namespace qv::testing {

class LineClient {
 public:
  LineClient() = default;
  ~LineClient() { Disconnect(); }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool Connect(int port) {
    Disconnect();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      Disconnect();
      return false;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
  }

  void Disconnect() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    buffered_.clear();
  }

  // Closes the sending side only: the peer reads end of file.
  void ShutdownSend() {
    if (fd_ >= 0) shutdown(fd_, SHUT_WR);
  }

  bool Send(std::string_view text) {
    while (!text.empty()) {
      ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // One line with its CR LF, or what arrived before the peer closed (empty on a guard timeout).
  std::string ReadLine() {
    for (;;) {
      size_t end = buffered_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffered_.substr(0, end + 2);
        buffered_.erase(0, end + 2);
        return line;
      }
      if (!Fill()) {
        std::string rest;
        rest.swap(buffered_);
        return rest;
      }
    }
  }

  // A reply of one or more lines "ddd-..." ending with "ddd ...".
  std::string ReadReply() {
    std::string reply;
    for (;;) {
      std::string line = ReadLine();
      reply += line;
      if (line.size() < 4 || line[3] != '-' || line.find("\r\n") == std::string::npos) return reply;
    }
  }

  // True when the peer closes the connection (reads end of file) within the guard time; any
  // text that arrives before is kept in *rest.
  bool WaitClosed(std::string* rest = nullptr) {
    while (Fill()) {
    }
    if (rest != nullptr) *rest = buffered_;
    return closed_;
  }

  int fd() const { return fd_; }

 private:
  bool Fill() {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kGuardMs) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffered_.append(buf, static_cast<size_t>(n));
    return true;
  }

  static constexpr int kGuardMs = 20000;
  int fd_ = -1;
  bool closed_ = false;
  std::string buffered_;
};

}  // namespace qv::testing
