#include "smtp/list_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/address.h"
#include "platform/fileio.h"

namespace qv::lists {

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
