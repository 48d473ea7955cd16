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
// a benchmark's); -1 when none can be had. It is picked below the system's range of ephemeral
// ports, so that the outgoing connections of tests running beside this one do not take it
// between now and the service's bind.
int FreeLoopbackPort();

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
