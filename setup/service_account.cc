#include "setup/service_account.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/config.h"
#include "common/strings.h"
#include "platform/registry.h"
#include "setup/setup_texts.h"

namespace qv::setup {
namespace {

bool Inside(const std::string& path, const char* folder) {
  size_t n = std::char_traits<char>::length(folder);
  return path.compare(0, n, folder) == 0 && (path.size() == n || path[n] == '/');
}

std::string NameOfGroup(gid_t gid) {
  const group* g = getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

}  // namespace

bool UnitAccountFor(const ServiceInfo& info, const std::string& system_root, UnitAccount* out) {
  *out = UnitAccount{};
  struct stat st {};
  if (geteuid() != 0 || lstat(system_root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_uid == 0)
    return false;
  const passwd* pw = getpwuid(st.st_uid);
  if (pw == nullptr) return false;
  out->user = pw->pw_name;
  out->group = NameOfGroup(pw->pw_gid);
  out->write_paths.push_back(system_root);
  for (const char* name : {"MailPath", "TempPath", "LogPath", "ConfigPath"}) {
    std::string path;
    if (reg::ReadString(kControlKey, name, &path) && !path.empty() && path[0] == '/' &&
        std::find(out->write_paths.begin(), out->write_paths.end(), path) == out->write_paths.end())
      out->write_paths.push_back(path);
  }
  for (const std::string& path : out->write_paths)
    if (Inside(path, "/home") || Inside(path, "/root") || Inside(path, "/run/user"))
      out->home_inside = true;
  uint32_t flags = 0;
  if (info.service == 2 && reg::ReadDword(kControlKey, "Flags", &flags) &&
      (flags & kSysNtUser) != 0 && getgrnam(kShadowGroup) != nullptr)
    out->pam_group = kShadowGroup;
  return true;
}

Result<FolderOwner> EnsureServiceUser(bool* created) {
  *created = false;
  if (const passwd* pw = getpwnam(kServiceUser)) return FolderOwner{pw->pw_uid, pw->pw_gid};
  std::string useradd;
  for (const char* candidate : {"/usr/sbin/useradd", "/sbin/useradd"})
    if (access(candidate, X_OK) == 0) {
      useradd = candidate;
      break;
    }
  if (useradd.empty()) return Fail(Format(kErrServiceUser, kServiceUser, "useradd is missing"));
  int code = RunAndWait(useradd, {"--system", "--user-group", "--no-create-home", "--home-dir",
                                  "/nonexistent", "--shell", "/usr/sbin/nologin", "--comment",
                                  "Quorvane mail services", kServiceUser});
  const passwd* pw = getpwnam(kServiceUser);
  if (code != 0 || pw == nullptr)
    return Fail(
        Format(kErrServiceUser, kServiceUser, Format("useradd ended with %d", code).c_str()));
  *created = true;
  return FolderOwner{pw->pw_uid, pw->pw_gid};
}

}  // namespace qv::setup
