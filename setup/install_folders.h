// The folders an installation owns: who may own them, their modes, and handing them with what
// they hold to the user the services run as. Nothing here follows a symbolic link: a link
// planted in a folder before the installer runs stays a link and is never written through.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/result.h"

namespace qv::setup {

// The user (and group) that owns the installation's folders and files.
struct FolderOwner {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The user running the installer.
FolderOwner InstallingUser();

// What SecureFolder did.
enum class FolderChange { kNone, kCreated, kTightened };

// Creates the folder with exactly `mode` (missing parents with 0755), or takes an existing
// one: it must be a folder itself (not a symbolic link), not one of the machine's system folders,
// and belong to the installing user or to `owner` already; it goes to `owner` with exactly
// `mode`.
Result<FolderChange> SecureFolder(const std::string& path, mode_t mode, const FolderOwner& owner);

// Everything below the folder (not following links) goes to `owner` and loses the rights of
// group and others: the records and the registry of an older installation were readable by all.
// Links themselves stay as they are. The count of entries changed.
Result<int> HandOverContents(const std::string& folder, const FolderOwner& owner);

}  // namespace qv::setup
