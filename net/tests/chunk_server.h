// Test helper for the clients: a loopback listener that, for one connection, writes the chunks
// given with a short pause between them, then keeps the connection open for `hold_ms` without
// reading, and closes it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace qv::testing {

class ChunkServer {
 public:
  ChunkServer(std::vector<std::string> chunks, int hold_ms) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, chunks, hold_ms] {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      for (const std::string& chunk : chunks) {
        ::send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
      ::close(c);
    });
  }
  ~ChunkServer() {
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_;
  std::thread thread_;
};

}  // namespace qv::testing
