// Service presence: a running service holds an exclusive lock on "run/<class>.lock" in the
// system root for its whole life, with its pid written into the file. This stands for the
// hidden top-level window of a given class: another program finds the service by testing the
// lock, stops it with SIGTERM (the window's destroy message) and starts it as a detached
// process.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

namespace qv::platform {

class PresenceLock {
 public:
  // Takes the lock for the class; null when another live process holds it or the run folder
  // cannot be made.
  static std::unique_ptr<PresenceLock> Acquire(std::string_view window_class);
  ~PresenceLock();
  PresenceLock(const PresenceLock&) = delete;
  PresenceLock& operator=(const PresenceLock&) = delete;

 private:
  PresenceLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

std::string PresencePath(std::string_view window_class);

// True when a live process holds the class's lock; *pid gets the pid written in the file.
bool FindServiceWindow(std::string_view window_class, pid_t* pid = nullptr);

// Sends SIGTERM to the holder of the class's lock. True when one was found and signalled.
bool SendDestroy(std::string_view window_class);

}  // namespace qv::platform
