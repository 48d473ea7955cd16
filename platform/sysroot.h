// The system root: one directory for the machine-level state that other systems keep outside a
// program's files (the registry file, the profile, the service presence locks). It is named by
// QUORVANE_SYSTEM, else /etc/quorvane.
#pragma once

#include <string>
#include <string_view>

namespace qv::platform {

// The current system root, without a trailing "/". Read from the environment on every call so
// that tests can point it at a fresh directory.
std::string SystemRoot();

// SystemRoot() + "/" + name.
std::string SystemPath(std::string_view name);

// Creates the directory and its parents (mode 0755). True when it exists afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace qv::platform
