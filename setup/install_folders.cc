#include "setup/install_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/settings_table.h"
#include "common/strings.h"
#include "platform/sysroot.h"
#include "setup/setup_texts.h"

namespace qv::setup {
namespace {

constexpr int kMaxDepth = 32;  // mail folders are two levels deep; deeper is not ours

std::string Errno() {
  return std::strerror(errno);
}

bool NeedsChange(const struct stat& st, const FolderOwner& owner, mode_t mode) {
  return st.st_uid != owner.uid || st.st_gid != owner.gid || (st.st_mode & 07777) != mode;
}

// Gives an open file or folder to the owner with the mode; true when that worked.
bool Apply(int fd, const struct stat& st, const FolderOwner& owner, mode_t mode) {
  if ((st.st_uid != owner.uid || st.st_gid != owner.gid) && fchown(fd, owner.uid, owner.gid) != 0)
    return false;
  // fchown may clear the set-id bits; the mode is set after it.
  return (st.st_mode & 07777) == mode || fchmod(fd, mode) == 0;
}

// The folder open as `dir`: each entry handed over, folders recursively.
Result<int> HandOverAt(int dir, const FolderOwner& owner, int depth) {
  if (depth > kMaxDepth) return 0;
  int listing = dup(dir);
  if (listing < 0) return Fail(Errno());
  DIR* d = fdopendir(listing);
  if (d == nullptr) {
    close(listing);
    return Fail(Errno());
  }
  int changed = 0;
  std::string failure;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st {};
    if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    bool folder = S_ISDIR(st.st_mode);
    if (!folder && !S_ISREG(st.st_mode)) continue;  // links, sockets, pipes: left alone
    int fd = openat(dir, e->d_name,
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) continue;
    struct stat now {};
    mode_t mode = st.st_mode & 0700;
    if (fstat(fd, &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
      if (NeedsChange(now, owner, mode)) {
        if (Apply(fd, now, owner, mode))
          ++changed;
        else if (failure.empty())
          failure = std::string(e->d_name) + ": " + Errno();
      }
      if (folder) {
        Result<int> below = HandOverAt(fd, owner, depth + 1);
        if (below)
          changed += *below;
        else if (failure.empty())
          failure = std::string(e->d_name) + "/" + below.error();
      }
    }
    close(fd);
  }
  closedir(d);
  if (!failure.empty()) return Fail(failure);
  return changed;
}

}  // namespace

FolderOwner InstallingUser() {
  return FolderOwner{geteuid(), getegid()};
}

Result<FolderChange> SecureFolder(const std::string& path, mode_t mode, const FolderOwner& owner) {
  if (path.empty() || path[0] != '/' || IsSystemFolder(path))
    return Fail(Format(kErrSystemFolder, path.c_str()));
  FolderChange change = FolderChange::kNone;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return Fail(Format(kErrDirectory, path.c_str(), Errno().c_str()));
    size_t slash = path.find_last_of('/');
    if (slash > 0 && !platform::MakeDirectories(path.substr(0, slash)))
      return Fail(Format(kErrDirectory, path.c_str(), Errno().c_str()));
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
      return Fail(Format(kErrDirectory, path.c_str(), Errno().c_str()));
    if (lstat(path.c_str(), &st) != 0)
      return Fail(Format(kErrDirectory, path.c_str(), Errno().c_str()));
    change = FolderChange::kCreated;
  }
  if (!S_ISDIR(st.st_mode)) return Fail(Format(kErrNotAFolder, path.c_str()));
  if (st.st_uid != geteuid() && st.st_uid != owner.uid)
    return Fail(Format(kErrFolderOwner, path.c_str(), static_cast<unsigned>(st.st_uid)));
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fail(Format(kErrDirectory, path.c_str(), Errno().c_str()));
  struct stat now {};
  bool same = fstat(fd, &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev;
  bool ok = same && Apply(fd, now, owner, mode);
  std::string why = same ? Errno() : "replaced while being checked";
  close(fd);
  if (!ok) return Fail(Format(kErrDirectory, path.c_str(), why.c_str()));
  if (change == FolderChange::kNone && NeedsChange(now, owner, mode))
    change = FolderChange::kTightened;
  return change;
}

Result<int> HandOverContents(const std::string& folder, const FolderOwner& owner) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fail(folder + ": " + Errno());
  Result<int> changed = HandOverAt(fd, owner, 0);
  close(fd);
  if (!changed) return Fail(folder + "/" + changed.error());
  return changed;
}

}  // namespace qv::setup
