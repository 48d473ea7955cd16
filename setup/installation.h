// The commands of qvsetup, each with its progress on the reporter; the exit code.
#pragma once

#include "setup/install_files.h"
#include "setup/installer.h"

namespace qv::setup {

int Install(const SetupOptions& o, Reporter& r);
int Uninstall(const SetupOptions& o, Reporter& r);
int ShowStatus(Reporter& r);
int ShowMailbox(const SetupOptions& o, Reporter& r);

}  // namespace qv::setup
