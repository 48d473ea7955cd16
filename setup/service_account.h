// The user the services run as under systemd, and what their units grant them. The installer
// (run by root with systemd units) gives the system root and the mail, temporary, log and
// configuration folders to the system user "quorvane"; a unit runs its service as the user that
// owns the system root whenever that is not root, confined to those folders.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/result.h"
#include "setup/install_folders.h"
#include "setup/services.h"

namespace qv::setup {

inline constexpr char kServiceUser[] = "quorvane";
// The group whose members may read the machine's password hashes (PAM's pam_unix).
inline constexpr char kShadowGroup[] = "shadow";

// What a unit grants its service beyond the defaults.
struct UnitAccount {
  std::string user;  // the service runs as this user and its group
  std::string group;
  std::vector<std::string> write_paths;  // the only folders it may change
  bool home_inside = false;              // a folder lies in /home, /root or /run/user
  std::string pam_group;  // POP3 with logons of operating-system accounts: may read the hashes
};

// The account for the service of the installation at `system_root`: empty (null result) when
// the root owns the system root or this process is not root, as for a checkout's own instance.
// The folders come from the registry; the PAM group is given to the POP3 service only, when
// the common option NTUSER is set and the machine has that group.
bool UnitAccountFor(const ServiceInfo& info, const std::string& system_root, UnitAccount* out);

// The system user of the services, created (as a system account without home or shell) when
// absent. Its user and group in *owner; true in *created when it was made now.
Result<FolderOwner> EnsureServiceUser(bool* created);

}  // namespace qv::setup
