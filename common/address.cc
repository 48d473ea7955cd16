// Address, header and mask parsing shared by every mail program.
//
// Every text is read as a zero-terminated text: a NUL byte inside a view ends it. No parser reads
// outside its view and none keeps a fixed-size buffer, so long texts are handled whole.
#include "common/address.h"

#include <algorithm>

#include "common/strings.h"

namespace qv {

namespace {

constexpr size_t kMaskListItemMax = 255;

std::string_view CutAtNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

bool IsBlankOrTab(char c) {
  return c == ' ' || c == '\t';
}

// Start of the address that holds the "@" at `at`: just after the last "<", blank or double quote
// before it, or the start of the text.
size_t AddressStart(std::string_view text, size_t at) {
  size_t start = text.substr(0, at).find_last_of("< \"");
  return start == std::string_view::npos ? 0 : start + 1;
}

size_t FindOrEnd(std::string_view text, std::string_view set, size_t from) {
  size_t pos = text.find_first_of(set, from);
  return pos == std::string_view::npos ? text.size() : pos;
}

void Assign(std::string* out, std::string_view text) {
  if (out != nullptr) out->assign(text);
}

}  // namespace

int SplitAddress(std::string_view text, std::string* local, std::string* domain) {
  Assign(local, {});
  Assign(domain, {});
  text = CutAtNul(text);
  size_t begin = 0;
  while (begin < text.size() && text[begin] == ' ') ++begin;
  size_t end = text.size();
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\r' || text[end - 1] == '\n')) {
    --end;
  }
  text = text.substr(begin, end - begin);

  size_t at = text.find('@');
  if (at == std::string_view::npos) {
    Assign(local, text);
    return 0;
  }
  size_t start = AddressStart(text, at);
  size_t stop = FindOrEnd(text, ">\" \r\n;", at + 1);
  Assign(local, text.substr(start, at - start));
  Assign(domain, text.substr(at + 1, stop - at - 1));
  return 1;
}

size_t ExtractAddress(std::string_view text, std::string* address) {
  Assign(address, {});
  text = CutAtNul(text);
  if (text.empty()) return 0;
  size_t semicolon = text.find(';');
  size_t result = semicolon == std::string_view::npos ? 0 : semicolon + 1;

  size_t at = text.find('@');
  if (at != std::string_view::npos) {
    size_t start = AddressStart(text, at);
    size_t stop = FindOrEnd(text, ">\" \r\n", start);
    Assign(address, text.substr(start, stop - start));
  } else {
    size_t start = 0;
    while (start < text.size() && text[start] == '<') ++start;
    size_t stop = FindOrEnd(text, "\r\n>\"", start);
    Assign(address, text.substr(start, stop - start));
  }
  return result;
}

bool GetHeaderValue(std::string_view line, std::string_view field, std::string* value) {
  Assign(value, {});
  line = CutAtNul(line);
  field = CutAtNul(field);
  // Callers may name the field with its colon ("From:"); the name itself never holds one.
  if (!field.empty() && field.back() == ':') field.remove_suffix(1);

  size_t pos = 0;
  while (pos < line.size() && IsBlankOrTab(line[pos])) ++pos;
  size_t name_start = pos;
  while (pos < line.size() && line[pos] != ':' && !IsBlankOrTab(line[pos])) ++pos;
  std::string_view name = line.substr(name_start, pos - name_start);
  while (pos < line.size() && IsBlankOrTab(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != ':') return false;
  if (!EqualsNoCase(name, field)) return false;
  ++pos;
  while (pos < line.size() && IsBlankOrTab(line[pos])) ++pos;
  size_t stop = FindOrEnd(line, "\r\n", pos);
  Assign(value, line.substr(pos, stop - pos));
  return true;
}

int MatchMask(std::string_view mask, std::string_view text) {
  mask = CutAtNul(mask);
  text = CutAtNul(text);
  std::string_view pattern;
  std::string_view subject;
  if (mask.find('*') != std::string_view::npos) {
    pattern = mask;
    subject = text;
  } else if (text.find('*') != std::string_view::npos) {
    pattern = text;
    subject = mask;
  } else {
    return EqualsNoCase(mask, text) ? 0 : 1;
  }

  // Every piece before the last star must stand at the current position; the position moves on
  // by the piece's length. Only the last piece is anchored at the end of the subject.
  size_t pos = 0;
  size_t piece_start = 0;
  for (;;) {
    size_t star = pattern.find('*', piece_start);
    if (star == std::string_view::npos) break;
    std::string_view piece = pattern.substr(piece_start, star - piece_start);
    if (subject.size() - pos < piece.size()) return 1;
    if (!EqualsNoCase(subject.substr(pos, piece.size()), piece)) return 1;
    pos += piece.size();
    piece_start = star + 1;
  }
  std::string_view last = pattern.substr(piece_start);
  if (last.empty()) return 0;
  if (subject.size() < last.size()) return 1;
  return EqualsNoCase(subject.substr(subject.size() - last.size()), last) ? 0 : 1;
}

int MatchMaskList(std::string_view text, std::string_view list) {
  list = CutAtNul(list);
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t stop = FindOrEnd(list, ";", pos);
    std::string_view item = list.substr(pos, stop - pos);
    if (!item.empty() &&
        MatchMask(item.substr(0, std::min(item.size(), kMaskListItemMax)), text) == 0) {
      return 1;
    }
    pos = stop + 1;
  }
  return 0;
}

}  // namespace qv
