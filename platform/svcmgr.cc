#include "platform/svcmgr.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/fileio.h"

extern char** environ;

namespace qv::platform {
namespace {

// Runs systemctl with the arguments; returns its exit code (or -1) and its standard output.
int Systemctl(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv{"/bin/systemctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return -1;
  }
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0)
    if (out) out->append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int StateOf(const std::string& name) {
  std::string out;
  Systemctl({"show", "-p", "ActiveState,LoadState", "--value", name + ".service"}, &out);
  if (out.find("not-found") != std::string::npos) return -1;
  if (out.rfind("activating", 0) == 0) return kServiceStartPending;
  if (out.rfind("deactivating", 0) == 0) return kServiceStopPending;
  if (out.rfind("active", 0) == 0 || out.rfind("reloading", 0) == 0) return kServiceRunning;
  if (out.empty()) return -1;
  return kServiceStopped;
}

std::string UnitPath(const std::string& name) {
  return "/etc/systemd/system/" + name + ".service";
}

int PollWhile(const std::string& name, int pending) {
  int state = StateOf(name);
  for (int i = 0; i < 60 && state == pending; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    state = StateOf(name);
  }
  return state;
}

}  // namespace

bool ServiceManagerAvailable() {
  struct stat st {};
  return stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

int ServiceQuery(const std::string& name) {
  if (!ServiceManagerAvailable()) return -1;
  return StateOf(name);
}

int ServiceInstall(const std::string& name, const std::string& display_name,
                   const std::string& program) {
  if (!ServiceManagerAvailable()) return -1;
  std::string unit = "[Unit]\nDescription=" + display_name + "\n\n[Service]\nExecStart=" + program +
                     "\n\n[Install]\nWantedBy=multi-user.target\n";
  WriteFileAtomically(UnitPath(name), unit, 0644);
  Systemctl({"daemon-reload"}, nullptr);
  return -1;
}

int ServiceStart(const std::string& name) {
  if (!ServiceManagerAvailable()) return -1;
  if (Systemctl({"start", "--no-block", name + ".service"}, nullptr) != 0) return -1;
  return PollWhile(name, kServiceStartPending);
}

int ServiceStop(const std::string& name) {
  if (!ServiceManagerAvailable()) return -1;
  if (Systemctl({"stop", "--no-block", name + ".service"}, nullptr) != 0) return -1;
  return PollWhile(name, kServiceStopPending);
}

int ServiceRemove(const std::string& name) {
  if (!ServiceManagerAvailable()) return -1;
  ServiceStop(name);
  unlink(UnitPath(name).c_str());
  Systemctl({"daemon-reload"}, nullptr);
  return -1;
}

}  // namespace qv::platform
