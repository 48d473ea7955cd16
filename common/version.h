// The version shown in greetings and "Received:" lines, and the installation text beside it
// (at most 20 characters).
#pragma once

namespace qv {

inline constexpr char kServerVersion[] = "1.00";
inline constexpr char kInstallationText[] = "Linux";
static_assert(sizeof(kInstallationText) <= 21);

}  // namespace qv
