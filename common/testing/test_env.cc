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
#include <memory>
#include <random>
#include <stdexcept>

extern char** environ;

namespace qv::testing {

namespace {

// True when a listening socket could be bound to the loopback port just now.
bool LoopbackPortIsFree(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return free;
}

// The first port of the ephemeral range (32768 when it cannot be read).
int EphemeralLow() {
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  if (!(in >> low) || low <= 1024) low = 32768;
  return low;
}

}  // namespace

int FreeLoopbackPort() {
  static const int high = EphemeralLow();
  const int low = high > 12000 ? high - 10000 : 1025;
  static std::mt19937 pick(static_cast<unsigned>(getpid()) * 7919u ^
                           static_cast<unsigned>(std::random_device{}()));
  std::uniform_int_distribution<int> in_range(low, high - 1);
  for (int i = 0; i < 200; ++i) {
    int port = in_range(pick);
    if (LoopbackPortIsFree(port)) return port;
  }
  // Nothing free below the range: a port the system picks.
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

namespace {

// A test program never reads or writes the machine's own system root: unless its caller named
// one, the process works in a fresh one of its own from before main until its end. Tests that
// need a root to themselves still make a ScopedSystemRoot, which restores this one.
class ProcessSystemRoot {
 public:
  ProcessSystemRoot() {
    const char* named = std::getenv("QUORVANE_SYSTEM");
    if (named != nullptr && *named != '\0') return;
    dir_ = std::make_unique<TempDir>();
    setenv("QUORVANE_SYSTEM", dir_->path().c_str(), 1);
  }

 private:
  std::unique_ptr<TempDir> dir_;
};

const ProcessSystemRoot process_system_root;

}  // namespace

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
