// Small helpers of the mail library: record fields as text, address lists, user lookup.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"

namespace qv::mail {

// A fixed record field as text.
template <size_t N>
std::string Str(const char (&field)[N]) {
  return std::string(FieldText(field));
}

// The items of an address list separated by ";", "," or blanks (empty items dropped).
std::vector<std::string> SplitAddressList(std::string_view text);

// True with the record when the address (split into local part and domain) names a user of the
// user table.
bool FindUserByAddress(std::string_view address, USERSTRUCT* user);

}  // namespace qv::mail
