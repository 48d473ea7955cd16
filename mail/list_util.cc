#include "mail/list_util.h"

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
  fd_.Reset();
  if (path.empty()) return;
  int fd;
  do fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  while (fd < 0 && errno == EINTR);
  fd_.Reset(fd);
}

void AppendFile::Write(std::string_view text) {
  if (fd_.valid() && !text.empty()) platform::WriteAll(fd_.get(), text.data(), text.size());
}

}  // namespace qv::lists
