// Helpers shared by the benchmark programs: where the programs are, a free loopback port and a
// blocking SMTP client that reads replies line by line.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace qv::bench {

inline std::string ProgramDir() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  return std::filesystem::path(path).parent_path().string();
}

inline int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// A blocking client that reads replies line by line.
class Client {
 public:
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool Connect(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A reply that never comes fails the run instead of hanging it.
    timeval guard{30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    return true;
  }
  bool Send(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // The last line of the next reply.
  std::string Reply() {
    for (;;) {
      size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        if (line.size() >= 4 && line[3] == '-') continue;
        return line;
      }
      char chunk[4096];
      ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return std::string();
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  bool Expect(const std::string& text, const char* code) {
    if (!text.empty() && !Send(text)) return false;
    std::string reply = Reply();
    if (reply.compare(0, 3, code) != 0) {
      std::fprintf(stderr, "unexpected reply to %.40s: %s\n", text.c_str(), reply.c_str());
      return false;
    }
    return true;
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

}  // namespace qv::bench
