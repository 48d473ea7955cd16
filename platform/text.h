// Text helpers of the lowest layer, shared by every module (common/strings.h adds to them):
// ASCII comparison without regard to case (names, keys, commands and header field names are
// compared this way throughout the system) and the trimming of blanks.
#pragma once

#include <cstddef>
#include <string_view>

namespace qv {

// ASCII letters folded to upper case; every other byte compares as itself.
inline char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
// ASCII letters folded to lower case, whatever the process's locale; every other byte as it is.
inline char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);
// Like strcmp without regard to case: below, equal to or above zero.
int CompareNoCase(std::string_view a, std::string_view b);
// The first position of `what` in `text` at or after `from`, or npos.
size_t FindNoCase(std::string_view text, std::string_view what, size_t from = 0);

// The text without the blanks (spaces and tabs) at both of its ends.
std::string_view Trim(std::string_view text);
// A line of a settings file without its blanks: those at its start, and at its end the blanks
// and carriage returns (the rest of a CR LF line end) in any order.
std::string_view TrimLine(std::string_view line);

}  // namespace qv
