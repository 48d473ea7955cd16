// Where a list's member file may be: inside the configuration folder, reached without a symbolic
// link. Every place that opens a member file (the control service, the console's local store,
// list delivery and commands, the import) asks here first and opens the path it returns with
// O_NOFOLLOW, so that a list record cannot make the services read or write a file elsewhere.
#pragma once

#include <string>
#include <string_view>

#include "common/config.h"
#include "common/result.h"

namespace qv {

// The member file `file_name` of a list (relative names count from ConfigPath) as the path to
// open: the real path of the folder it names, followed by its last step. Fails for an empty name,
// one holding a NUL, one whose folder (links resolved) is not ConfigPath or below it, one whose
// last step is "", "." or "..", a link or anything but a plain file, and when ConfigPath does
// not exist or is the root or a system folder.
Result<std::string> MemberFilePath(const SYSTEMSTRUCT& system, std::string_view file_name);

// Logged at start, at the failure level, for each stored list whose member file is refused.
inline constexpr char kLogMemberFileRefused[] =
    "List %s@%s: the member file %s is not inside the configuration folder and is not used";

// Writes kLogMemberFileRefused into the log of `prefix` for every list whose FileName names a
// file MemberFilePath refuses; the count of such lists.
int ReportRefusedMemberFiles(const SYSTEMSTRUCT& system, std::string_view prefix);

}  // namespace qv
