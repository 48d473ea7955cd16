#include "smtp/list_util.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "common/address.h"
#include "platform/fileio.h"

namespace qv::lists {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, copy);
    out.resize(static_cast<size_t>(n));
  }
  va_end(copy);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

Address Split(std::string_view text) {
  Address a;
  SplitAddress(text, &a.local, &a.domain);
  return a;
}

void AppendFile::Open(const std::string& path) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (path.empty()) return;
  do fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  while (fd_ < 0 && errno == EINTR);
}

AppendFile::~AppendFile() {
  if (fd_ >= 0) close(fd_);
}

void AppendFile::Write(std::string_view text) {
  if (fd_ >= 0 && !text.empty()) platform::WriteAll(fd_, text.data(), text.size());
}

}  // namespace qv::lists
