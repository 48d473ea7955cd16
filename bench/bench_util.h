// Helpers shared by the benchmark programs: where the programs are, a free loopback port, the
// folder and registry of one run, and a blocking SMTP client that reads replies line by line.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "common/config.h"
#include "common/testing/service_keys.h"
#include "common/testing/test_env.h"

namespace qv::bench {

// The settings of the code a benchmark measures in its own process.
inline Settings& BenchSettings() {
  static Settings settings;
  return settings;
}

// The DATA of one message of about `size` bytes with its end line: a header of `subject` and
// `from`, lines of 76 characters.
inline std::string MessageData(const std::string& subject, const std::string& from, size_t size) {
  std::string text = "Subject: " + subject + "\r\nFrom: <" + from + ">\r\n\r\n";
  std::string line(76, 'x');
  while (text.size() + 78 <= size) text += line + "\r\n";
  if (text.size() < size) text += std::string(size - text.size(), 'y');
  return text + "\r\n.\r\n";
}

// A number of kB of /proc/<pid>/status (`field` is "VmRSS:" or "VmHWM:"); -1 when not there.
inline long ReadStatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0)
      return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return -1;
}

inline std::string ProgramDir() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  return std::filesystem::path(path).parent_path().string();
}

// A free port of the loopback address for the service a benchmark starts.
inline int FreePort() {
  return testing::FreeLoopbackPort();
}

// A blocking TCP connection to `port` on the loopback address, without delay for small writes,
// whose reads give up after `guard_seconds` (a reply that never comes fails the run instead of
// hanging it); -1 when it cannot connect.
inline int ConnectLoopback(int port, int guard_seconds) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval guard{guard_seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  return fd;
}

// A socket listening on a free port of the loopback address (its number in *port) with room for
// `backlog` waiting connections; -1 when none can be had.
inline int ListenLoopback(uint16_t* port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// Sends all of `text`; false when the connection breaks first.
inline bool SendAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The folder of one run: `dir` (emptied first) or, when empty, a fresh folder in /tmp named after
// `name`, removed at the end; with the folders system (named by QUORVANE_SYSTEM), mail, temp, log
// and config.
class RunFolder {
 public:
  RunFolder(const std::string& dir, const std::string& name) : path_(dir), temporary_(dir.empty()) {
    if (temporary_) {
      std::string pattern = "/tmp/" + name + ".XXXXXX";
      path_ = mkdtemp(pattern.data());
    } else {
      std::filesystem::remove_all(path_);
      std::filesystem::create_directories(path_);
    }
    for (const char* sub : {"system", "mail", "temp", "log", "config"})
      std::filesystem::create_directories(path_ + "/" + sub);
    setenv("QUORVANE_SYSTEM", (path_ + "/system").c_str(), 1);
  }
  ~RunFolder() {
    if (temporary_) std::filesystem::remove_all(path_);
  }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool temporary_;
};

// The registry of the SMTP benchmarks' qvsmtp95: host "bench.example.test", domain
// "example.test", the folders of `root`, ESMTP with a size limit of 10 MB on `port`.
inline void WriteSmtpBenchKeys(const std::string& root, int port, int log_level) {
  qv::testing::WriteCommonKey({.host = "bench.example.test",
                               .domain = "example.test",
                               .mail = root + "/mail",
                               .temp = root + "/temp",
                               .log = root + "/log",
                               .config = root + "/config",
                               .log_level = log_level});
  qv::testing::SmtpKey()
      .Set("Port", port)
      .Set("Flags", qv::kSmtpEsmtp | qv::kSmtpEnforceSize)
      .Set("ESMTPMaxMsgSize", 10485760);
}

// A blocking client that reads replies line by line.
class Client {
 public:
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool Connect(int port) {
    fd_ = ConnectLoopback(port, 30);
    return fd_ >= 0;
  }
  bool Send(const std::string& text) { return SendAll(fd_, text); }
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
