#include "platform/sysroot.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace qv::platform {

std::string SystemRoot() {
  const char* env = std::getenv("QUORVANE_SYSTEM");
  std::string root = (env != nullptr && *env != '\0') ? env : "/etc/quorvane";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string SystemPath(std::string_view name) {
  std::string path = SystemRoot();
  path += '/';
  path += name;
  return path;
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) MakeDirectories(path.substr(0, slash));
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  return false;
}

}  // namespace qv::platform
