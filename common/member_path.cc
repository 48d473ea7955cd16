#include "common/member_path.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/settings_table.h"
#include "common/strings.h"

namespace qv {
namespace {

constexpr char kOutside[] = "The member file is not inside the configuration folder.";

// The real path of a folder, or empty.
std::string RealFolder(const std::string& path) {
  char real[PATH_MAX];
  if (::realpath(path.empty() ? "/" : path.c_str(), real) == nullptr) return {};
  return real;
}

}  // namespace

Result<std::string> MemberFilePath(const SYSTEMSTRUCT& system, std::string_view file_name) {
  const std::string config(FieldText(system.ConfigPath));
  if (file_name.empty() || file_name.find('\0') != std::string_view::npos || config.empty())
    return Fail(kOutside);
  const std::string folder = RealFolder(config);
  if (folder.empty() || IsSystemFolder(folder)) return Fail(kOutside);
  const std::string named =
      file_name.front() == '/' ? std::string(file_name) : config + "/" + std::string(file_name);
  // The folder the name leads to, with every link on the way resolved, must be the
  // configuration folder or below it; the file itself may not be a link.
  const size_t slash = named.rfind('/');
  const std::string leaf = named.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") return Fail(kOutside);
  const std::string parent = RealFolder(named.substr(0, slash));
  if (parent.empty() || (parent != folder && parent.rfind(folder + "/", 0) != 0))
    return Fail(kOutside);
  std::string result = parent + "/" + leaf;
  struct stat st {};
  if (::lstat(result.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return Fail(kOutside);
  } else if (errno != ENOENT) {
    return Fail(kOutside);
  }
  return result;
}

int ReportRefusedMemberFiles(const SYSTEMSTRUCT& system, std::string_view prefix) {
  int refused = 0;
  ForEachRecord(system, Table::kLists, [&](const void* bytes) {
    const auto* list = static_cast<const LISTSTRUCT*>(bytes);
    std::string file(FieldText(list->FileName));
    if (file.empty() || MemberFilePath(system, file).ok()) return true;
    ++refused;
    WriteLog(system, kLogLevelFailure, 0, kLogEvent,
             Format(kLogMemberFileRefused, std::string(FieldText(list->Name)).c_str(),
                    std::string(FieldText(list->Domain)).c_str(), file.c_str()),
             prefix);
    return true;
  });
  return refused;
}

}  // namespace qv
