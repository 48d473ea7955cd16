// The profile file "win.ini" in the system root: sections "[name]" with "key=value" lines.
// Used for the start entry ("run" of section "windows") of the services.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv::platform {

// Copies the value (or `fallback`) into `buffer` of `size` bytes, cut to size-1 characters and
// zero-terminated; returns the number of characters copied.
size_t GetProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                        char* buffer, size_t size);

// Sets the value, creating the section and the file as needed; the file is replaced atomically.
bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value);

std::string ProfilePath();

}  // namespace qv::platform
