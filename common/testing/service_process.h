// A service program of the build (qvsmtp95, qvpop395, ...) run in the background for an
// end-to-end test or a benchmark, against the system root it prepared: started from BinDir() (or
// a given path), waited for until its port greets, stopped with the stop signal. Servers of the
// machine that a test talks to run the same way.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/line_client.h"
#include "common/testing/test_env.h"
#include "platform/spawn.h"

namespace qv::testing {

class ServiceProcess {
 public:
  ServiceProcess() = default;
  ~ServiceProcess() { Stop(); }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts the program `name` and waits until a connection to `port` on the loopback address
  // reads a line (the greeting, which is dropped). False when it cannot be started, ends before
  // it greets, or does not greet within the guard time.
  bool Start(const std::string& name, int port) {
    // The service's own reports (sanitizers, aborts) reach the test's output.
    return StartAt({BinDir() + "/" + name}, port, platform::ChildOutput::kInherit);
  }

  // The same for the program and arguments `argv` (a benchmark's own program, a server of the
  // machine), its output sent to `output`.
  bool StartAt(const std::vector<std::string>& argv, int port, platform::ChildOutput output) {
    Stop();
    if (!platform::StartProgram(argv, &pid_, output)) {
      pid_ = -1;
      return false;
    }
    for (int i = 0; i < kProbes; ++i) {
      LineClient probe;
      if (probe.Connect(port) && !probe.ReadLine().empty()) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;  // it ended: a taken port, a broken system root
        return false;
      }
      std::this_thread::sleep_for(kProbePause);
    }
    return false;
  }

  // Sends the stop signal and waits for the end. The exit code, or -1 when nothing ran or it
  // did not exit by itself.
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  static constexpr int kProbes = 400;
  static constexpr std::chrono::milliseconds kProbePause{25};
  pid_t pid_ = -1;
};

}  // namespace qv::testing
