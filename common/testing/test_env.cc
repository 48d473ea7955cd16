#include "common/testing/test_env.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace qv::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qvtest.XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) std::abort();
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedSystemRoot::ScopedSystemRoot() {
  const char* old = std::getenv("QUORVANE_SYSTEM");
  had_old_ = old != nullptr;
  if (had_old_) old_ = old;
  setenv("QUORVANE_SYSTEM", dir_.path().c_str(), 1);
}

ScopedSystemRoot::~ScopedSystemRoot() {
  if (had_old_)
    setenv("QUORVANE_SYSTEM", old_.c_str(), 1);
  else
    unsetenv("QUORVANE_SYSTEM");
}

std::string BinDir() {
  const char* env = std::getenv("QV_BIN_DIR");
  if (env != nullptr && *env != '\0') return env;
#ifdef QV_BIN_DIR
  return QV_BIN_DIR;
#else
  return ".";
#endif
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input) {
  RunResult result;
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return result;
  }
  size_t written = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  pollfd fds[3];
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    int n = 0;
    fds[n++] = {out_open ? out[0] : -1, POLLIN, 0};
    fds[n++] = {err_open ? err[0] : -1, POLLIN, 0};
    fds[n++] = {in[1], POLLOUT, 0};
    if (poll(fds, n, 30000) <= 0) break;
    char buf[4096];
    if (fds[0].revents) {
      ssize_t r = read(out[0], buf, sizeof buf);
      if (r <= 0)
        out_open = false;
      else
        result.out.append(buf, r);
    }
    if (fds[1].revents) {
      ssize_t r = read(err[0], buf, sizeof buf);
      if (r <= 0)
        err_open = false;
      else
        result.err.append(buf, r);
    }
    if (in[1] >= 0 && fds[2].revents) {
      ssize_t w = write(in[1], input.data() + written, input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if (w <= 0 || written == input.size()) {
        close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) close(in[1]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace qv::testing
