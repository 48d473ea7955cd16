// The records a fresh installation starts with: the command "changepass" (the password change
// by mail, run through qvpass) and the user "listserver" (the list manager), each written once
// into its table's data file with an index entry, and the index insert the installer uses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/records.h"

namespace qv::setup {

// Inserts (key, value) at its sorted place in the index file, creating the file when it is
// missing. 1 when the entry went among existing entries; 0 when the file was missing or empty
// before (the entry is then its only one) or could not be opened or written.
int CreateDataIndex(std::string_view key, int32_t value, const std::string& index_path);

inline constexpr char kCommandsData[] = "COMMANDS.DAT";
inline constexpr char kCommandsIndex[] = "COMMANDS.IDX";
inline constexpr char kUserData[] = "USER.DAT";
inline constexpr char kUserIndex[] = "USER.IDX";

EXECSTRUCT ChangePassCommand(std::string_view domain, std::string_view install_dir);
USERSTRUCT ListServerUser(std::string_view domain);

// Writes each initial record whose data file (any case of its name) does not exist yet. The
// number of records written, or -1 when a data file could not be created or written (a file
// left half-written is removed again, so a later run writes it).
int CreateInitialRecords(std::string_view domain, const std::string& install_dir,
                         const std::string& config_dir);

}  // namespace qv::setup
