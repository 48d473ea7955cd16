#include "setup/install_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/fileio.h"

namespace qv::setup {
namespace fs = std::filesystem;

std::string ErrnoText() {
  return std::strerror(errno);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  std::string out = fs::absolute(path, ec).lexically_normal().string();
  if (ec) out = path;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string SelfDirectory() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  return path.substr(0, path.find_last_of('/'));
}

std::vector<std::string> ReadManifest(const std::string& prefix) {
  std::vector<std::string> names;
  std::ifstream in(prefix + "/" + kManifestName);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line.find('/') == std::string::npos && line != "." && line != "..")
      names.push_back(line);
  return names;
}

bool WriteManifest(const std::string& prefix, std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::string text;
  for (const auto& n : names) text += n + "\n";
  return platform::WriteFileAtomically(prefix + "/" + kManifestName, text, 0644);
}

Status CopyProgram(const std::string& from, const std::string& to, bool* changed) {
  std::string bytes, old;
  if (!platform::ReadWholeFile(from, &bytes)) return Fail(ErrnoText());
  if (platform::ReadWholeFile(to, &old) && old == bytes) {
    *changed = false;
    return {};
  }
  if (!platform::WriteFileAtomically(to, bytes, 0755)) return Fail(ErrnoText());
  *changed = true;
  return {};
}

}  // namespace qv::setup
