// Small helpers shared by the SMTP session and delivery.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"

namespace qv::smtp {

// ASCII comparison without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// printf-style formatting into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A fixed record field as text.
template <size_t N>
std::string Str(const char (&field)[N]) {
  return std::string(FieldText(field));
}

// The items of an address list separated by ";", "," or blanks (empty items dropped).
std::vector<std::string> SplitAddressList(std::string_view text);

// The primary local domain: `Domain` up to its first ";".
std::string PrimaryDomain();

// True with the record when the address (split into local part and domain) names a user of the
// user table.
bool FindUserByAddress(std::string_view address, USERSTRUCT* user);

// Writes all of the text at the end of the file. False on a write error.
bool WriteSpool(int fd, std::string_view text);

}  // namespace qv::smtp
