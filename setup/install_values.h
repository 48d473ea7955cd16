// The registry values an installation writes: the paths under the installation folder, the
// names and ports asked for on the command line and the SMTP defaults of a new installation.
// A value the registry holds already is kept.
#pragma once

#include <string>
#include <vector>

#include "common/settings_table.h"
#include "setup/install_files.h"
#include "setup/installer.h"

namespace qv::setup {

struct Wanted {
  const SettingDef* setting;
  std::string value;    // text, or the number in decimal
  bool asked;           // given on the command line (a kept differing value is reported)
  bool secret = false;  // a password: progress lines never show it
};

// The values for an installation into `prefix`; NameServer only when one is known.
std::vector<Wanted> WantedValues(const SetupOptions& o, const std::string& prefix,
                                 const std::string& name_server);

// Writes the wanted values the registry does not hold yet, reporting each, and reports a kept
// value that differs from one asked for. kExitOk or the failure's exit code; *changed is set
// when a value was written.
int WriteWantedValues(const std::vector<Wanted>& wanted, Reporter& r, bool* changed);

// The machine's host name, "localhost" when it has none.
std::string MachineHostName();

}  // namespace qv::setup
