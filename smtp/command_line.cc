#include "smtp/command_line.h"

#include <cstddef>

#include "common/strings.h"

namespace qv::smtp {
namespace {

// True when `word` stands at `pos` of `text` as a parameter word: after a blank or tab (or "="
// when `after_equals`), and followed by "=", a blank, a tab or the end. Parts of an address
// such as "downsize@example.com" are therefore never taken for parameters.
bool ParameterAt(std::string_view text, size_t pos, std::string_view word, bool after_equals) {
  if (pos == 0 || pos + word.size() > text.size()) return false;
  char before = text[pos - 1];
  if (before != ' ' && before != '\t' && !(after_equals && before == '=')) return false;
  if (!EqualsNoCase(text.substr(pos, word.size()), word)) return false;
  size_t end = pos + word.size();
  return end == text.size() || text[end] == '=' || text[end] == ' ' || text[end] == '\t';
}

}  // namespace

std::string_view CommandArguments(std::string_view line) {
  return line.size() > 5 ? line.substr(5) : std::string_view();
}

bool KeywordArgument(std::string_view line, std::string_view keyword, std::string_view* argument) {
  size_t pos = line.size() < 4 ? line.size() : 4;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  size_t word = pos;
  while (pos < line.size() && line[pos] != ':' && line[pos] != ' ') ++pos;
  std::string_view found = line.substr(word, pos - word);
  while (pos < line.size() && line[pos] == ' ') ++pos;
  if (pos >= line.size() || line[pos] != ':') return false;
  if (!EqualsNoCase(found, keyword)) return false;
  ++pos;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  *argument = line.substr(pos);
  return true;
}

std::string_view CutMailParameters(std::string_view argument, uint64_t* declared) {
  size_t cut = argument.size();
  for (size_t i = 0; i < argument.size(); ++i) {
    if (ParameterAt(argument, i, "SIZE", false)) {
      if (i < cut) cut = i;
      size_t j = i + 4;
      while (j < argument.size() && (argument[j] == ' ' || argument[j] == '=')) ++j;
      uint64_t value = 0;
      while (j < argument.size() && argument[j] >= '0' && argument[j] <= '9') {
        if (value < (uint64_t{1} << 40))
          value = value * 10 + static_cast<uint64_t>(argument[j] - '0');
        ++j;
      }
      *declared = value;
    } else if (ParameterAt(argument, i, "8BITMIME", true)) {
      if (i < cut) cut = i;
    }
  }
  return argument.substr(0, cut);
}

}  // namespace qv::smtp
