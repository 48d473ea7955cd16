#include "smtp/util.h"

#include <cstdarg>
#include <cstdio>

#include "common/address.h"
#include "common/config.h"
#include "common/recordstore.h"
#include "platform/fileio.h"

namespace qv::smtp {
namespace {

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::string out;
  if (n < 0) {
    va_end(copy);
    return out;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
  } else {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, copy);
    out.resize(static_cast<size_t>(n));
  }
  va_end(copy);
  return out;
}

std::vector<std::string> SplitAddressList(std::string_view text) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(";, \t", pos);
    if (end == std::string_view::npos) end = text.size();
    if (end > pos) items.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return items;
}

std::string PrimaryDomain() {
  std::string_view domains = g_System.Domain;
  return std::string(domains.substr(0, domains.find(';')));
}

bool FindUserByAddress(std::string_view address, USERSTRUCT* user) {
  std::string local, domain;
  SplitAddress(address, &local, &domain);
  if (local.empty()) return false;
  return FindRecord(local, domain, user) == 0;
}

bool WriteSpool(int fd, std::string_view text) {
  return text.empty() || platform::WriteAll(fd, text.data(), text.size());
}

}  // namespace qv::smtp
