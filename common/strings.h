// Text helpers shared by every module: ASCII comparison without regard to case (names, keys,
// commands and header field names are compared this way throughout the system) and printf-style
// formatting into a string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// ASCII letters folded to upper case; every other byte compares as itself.
inline char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);
// Like strcmp without regard to case: below, equal to or above zero.
int CompareNoCase(std::string_view a, std::string_view b);
// The first position of `what` in `text` at or after `from`, or npos.
size_t FindNoCase(std::string_view text, std::string_view what, size_t from = 0);

// printf-style formatting into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qv
