#include "platform/winprofile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/fileio.h"
#include "platform/sysroot.h"
#include "platform/text.h"

namespace qv::platform {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = nl + 1;
  }
  return lines;
}

// Finds the key's line within the section; returns the line index or -1, and the index after
// the section's last line in *section_end (-1 when there is no such section).
int Locate(const std::vector<std::string>& lines, std::string_view section, std::string_view key,
           int* section_end) {
  bool inside = false;
  int found = -1;
  *section_end = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view l = TrimLine(lines[i]);
    if (!l.empty() && l.front() == '[') {
      size_t close = l.find(']');
      inside = close != std::string_view::npos &&
               EqualsNoCase(TrimLine(l.substr(1, close - 1)), section);
      if (inside) *section_end = static_cast<int>(i) + 1;
      continue;
    }
    if (!inside) continue;
    if (!l.empty()) *section_end = static_cast<int>(i) + 1;
    size_t eq = l.find('=');
    if (eq != std::string_view::npos && EqualsNoCase(TrimLine(l.substr(0, eq)), key) && found < 0)
      found = static_cast<int>(i);
  }
  return found;
}

}  // namespace

std::string ProfilePath() {
  return SystemPath("win.ini");
}

size_t GetProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                        char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  std::string text;
  ReadWholeFile(ProfilePath(), &text);
  std::vector<std::string> lines = Lines(text);
  int end = 0;
  int at = Locate(lines, section, key, &end);
  std::string value(fallback);
  if (at >= 0) {
    // The value is kept as written after "=", so that an entry may begin with a blank.
    const std::string& l = lines[at];
    value = l.substr(l.find('=') + 1);
  }
  size_t n = std::min(value.size(), size - 1);
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n;
}

bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value) {
  MakeDirectories(SystemRoot());
  std::string lock_path = ProfilePath() + ".lock";
  int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock >= 0) flock(lock, LOCK_EX);
  std::string text;
  ReadWholeFile(ProfilePath(), &text);
  std::vector<std::string> lines = Lines(text);
  int end = 0;
  int at = Locate(lines, section, key, &end);
  std::string entry(key);
  entry.append("=").append(value);
  if (at >= 0) {
    lines[at] = entry;
  } else if (end >= 0) {
    lines.insert(lines.begin() + end, entry);
  } else {
    if (!lines.empty() && !TrimLine(lines.back()).empty()) lines.emplace_back();
    std::string header = "[";
    header.append(section).append("]");
    lines.push_back(header);
    lines.push_back(entry);
  }
  std::string out;
  for (const auto& l : lines) out.append(l).append("\r\n");
  bool ok = WriteFileAtomically(ProfilePath(), out, 0644);
  if (lock >= 0) close(lock);
  return ok;
}

}  // namespace qv::platform
