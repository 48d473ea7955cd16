#include "platform/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace qv::platform {
namespace {

constexpr char kAtomicTempSuffix[] = ".XXXXXX.tmp";
constexpr int kAtomicTempSuffixLength = 4;  // ".tmp"

}  // namespace

bool Exists(const std::string& path, Links links) {
  struct stat st {};
  return (links == Links::kFollow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) == 0;
}

bool ReadWholeFile(const std::string& path, std::string* text, Links links, size_t limit) {
  text->clear();
  // Not blocking: a pipe planted at the name is refused below instead of waited on.
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (links == Links::kFollow ? 0 : O_NOFOLLOW);
  int fd;
  do fd = open(path.c_str(), flags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadWholeFd(fd, text, limit);
  close(fd);
  return ok;
}

bool ReadWholeFd(int fd, std::string* text, size_t limit) {
  text->clear();
  int64_t size = FileSizeOf(fd);
  if (size < 0) return false;
  // One byte more than the limit tells a file that is too long, also one that grew meanwhile.
  text->reserve(static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(limit))) + 1);
  char buf[16384];
  int64_t offset = 0;
  for (;;) {
    size_t want = std::min(sizeof buf, limit + 1 - text->size());
    int64_t n = ReadUpTo(fd, buf, want, offset);
    if (n < 0) break;
    if (n == 0) return true;
    text->append(buf, static_cast<size_t>(n));
    offset += n;
    if (text->size() > limit) break;
  }
  text->clear();
  return false;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int64_t ReadUpTo(int fd, void* data, size_t size, int64_t offset) {
  char* p = static_cast<char*>(data);
  int64_t total = 0;
  while (size > 0) {
    ssize_t n = pread(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
    total += n;
  }
  return total;
}

bool ReadAt(int fd, void* data, size_t size, int64_t offset) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = pread(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool WriteAt(int fd, const void* data, size_t size, int64_t offset) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

int64_t FileSizeOf(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void SyncParentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

bool WriteFileAtomically(const std::string& path, const std::string& text, int mode) {
  // A fresh file of a name nobody can foresee (created exclusively, so never through a link
  // planted beside the target), given its mode before anything is written.
  std::string tmp = path + kAtomicTempSuffix;
  int fd = mkostemps(tmp.data(), kAtomicTempSuffixLength, O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, text.data(), text.size()) &&
            fsync(fd) == 0;
  close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  SyncParentDirectory(path);
  return true;
}

}  // namespace qv::platform
