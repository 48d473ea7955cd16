// A helper program under test control: started with arguments, told one line at a time on its
// standard input, answering one line at a time on its standard output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

extern char** environ;

namespace qv::testing {

class LineProcess {
 public:
  // Starts the program (which inherits the environment) and reads its first line.
  LineProcess(const std::string& program, const std::vector<std::string>& args) {
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, cargv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    first_line_ = ReadLine();
  }
  ~LineProcess() {
    Close();
    Wait();
  }
  LineProcess(const LineProcess&) = delete;
  LineProcess& operator=(const LineProcess&) = delete;

  const std::string& first_line() const { return first_line_; }
  pid_t pid() const { return pid_; }

  // Sends the line; returns the answer ("...<timeout>" or "...<eof>" when none came).
  std::string Call(const std::string& line, int timeout_ms = 60000) {
    Send(line);
    return ReadLine(timeout_ms);
  }

  void Send(const std::string& line) {
    std::string text = line + "\n";
    if (to_ < 0 || write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      broken_ = true;
  }

  std::string ReadLine(int timeout_ms = 60000) {
    std::string line;
    if (broken_ || from_ < 0) return "<eof>";
    while (true) {
      pollfd p{from_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return line + "<timeout>";
      char c;
      if (read(from_, &c, 1) != 1) return line + "<eof>";
      if (c == '\n') return line;
      line += c;
    }
  }

  // Ends the input, so the program ends by itself.
  void Close() {
    if (to_ >= 0) close(to_);
    to_ = -1;
  }

  // Waits for the program's end; its exit code, or -1.
  int Wait() {
    if (from_ >= 0) close(from_);
    from_ = -1;
    if (pid_ <= 0) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  bool broken_ = false;
  std::string first_line_;
};

}  // namespace qv::testing
