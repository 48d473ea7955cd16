// The user import on arbitrary file bytes: the chunked line reader hands out only pieces of the
// text that end before a line feed and never a line after the last line feed, and the line parser
// fills zero-terminated fields with the derived option bits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/records.h"
#include "common/tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t last_lf = text.rfind('\n');
  auto read = [&](char* buffer, size_t want, long long position) -> long long {
    if (position < 0) abort();
    if (static_cast<size_t>(position) >= text.size()) return 0;
    size_t n = text.size() - static_cast<size_t>(position);
    if (n > want) n = want;
    std::memcpy(buffer, text.data() + position, n);
    return static_cast<long long>(n);
  };
  size_t lines = 0;
  auto line = [&](std::string_view l) {
    ++lines;
    if (l.find('\n') != std::string_view::npos) abort();
    if (!l.empty() && (last_lf == std::string_view::npos || text.find(l) == std::string_view::npos))
      abort();
    qv::USERSTRUCT user;
    bool ok = qv::ParseImportLine(l, &user);
    if (ok != (user.Alias[0] != '\0' && user.Domain[0] != '\0')) abort();
    for (const char* field : {user.Alias, user.Domain, user.Name, user.Mailbox, user.CopyIncoming,
                              user.CopyOutgoing, user.Responder, user.MailingList})
      if (field[0] == ' ') abort();  // blanks after a separator are dropped
    if (std::memchr(user.Password, '\0', sizeof user.Password) == nullptr) abort();
    if (((user.Options & qv::kUserRemote) != 0) != (std::strchr(user.Mailbox, '@') != nullptr))
      abort();
    if (((user.Options & qv::kUserRespond) != 0) != (user.Responder[0] != '\0')) abort();
    if ((user.Options & ~0x31) != 0) abort();
  };
  if (!qv::ForEachImportLine(read, line)) abort();
  if (last_lf == std::string_view::npos && lines != 0) abort();
  if (lines > size) abort();
  return 0;
}
