#include "platform/presence.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "platform/sysroot.h"

namespace qv::platform {

std::string PresencePath(std::string_view window_class) {
  return SystemPath("run/") + std::string(window_class) + ".lock";
}

std::unique_ptr<PresenceLock> PresenceLock::Acquire(std::string_view window_class) {
  if (!MakeDirectories(SystemPath("run"))) return nullptr;
  std::string path = PresencePath(window_class);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<PresenceLock>(new PresenceLock(fd, path));
}

PresenceLock::~PresenceLock() {
  // The file stays; only the lock says whether the service runs. Emptying it first keeps a
  // stale pid from being read.
  if (ftruncate(fd_, 0) != 0) {
  }
  close(fd_);
}

bool FindServiceWindow(std::string_view window_class, pid_t* pid) {
  std::string path = PresencePath(window_class);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = false;
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    held = errno == EWOULDBLOCK;
  } else {
    flock(fd, LOCK_UN);
  }
  if (held && pid != nullptr) {
    char buf[32] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    *pid = n > 0 ? static_cast<pid_t>(std::strtol(buf, nullptr, 10)) : 0;
  }
  close(fd);
  return held;
}

bool SendDestroy(std::string_view window_class) {
  pid_t pid = 0;
  if (!FindServiceWindow(window_class, &pid) || pid <= 0) return false;
  return kill(pid, SIGTERM) == 0;
}

}  // namespace qv::platform
