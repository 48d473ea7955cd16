#include "platform/text.h"

namespace qv {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kBlanksAndCr = " \t\r";

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(UpperAscii(a[i]));
    unsigned char y = static_cast<unsigned char>(UpperAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

size_t FindNoCase(std::string_view text, std::string_view what, size_t from) {
  if (what.size() > text.size()) return std::string_view::npos;
  for (size_t pos = from; pos + what.size() <= text.size(); ++pos)
    if (EqualsNoCase(text.substr(pos, what.size()), what)) return pos;
  return std::string_view::npos;
}

std::string_view Trim(std::string_view text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string_view TrimLine(std::string_view line) {
  size_t first = line.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  line.remove_prefix(first);
  size_t last = line.find_last_not_of(kBlanksAndCr);
  return last == std::string_view::npos ? std::string_view() : line.substr(0, last + 1);
}

}  // namespace qv
