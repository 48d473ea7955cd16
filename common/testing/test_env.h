// Test helpers shared by every module's tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qv::testing {

// A fresh temporary directory, removed with its contents at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points QUORVANE_SYSTEM at a fresh temporary directory for the scope, restoring the old value.
class ScopedSystemRoot {
 public:
  ScopedSystemRoot();
  ~ScopedSystemRoot();
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string old_;
  bool had_old_;
};

// A TCP port on the loopback address that was free a moment ago, for a service under test (or
// a benchmark's); -1 when none can be had.
inline int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

// Asks `done` every few milliseconds until it holds or `limit` has passed; its last answer. For
// what a service under test does in its own time (a file written, a queue emptied, a port open).
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The folder of the built programs.
std::string BinDir();

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

// Runs a program with arguments and an environment addition; captures standard output and
// standard error; returns the exit code (or -1).
struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input = "");

}  // namespace qv::testing
