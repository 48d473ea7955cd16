// The log entry builder on arbitrary bytes: the first byte picks the tag. Every line of the entry
// has the fixed head, ends in CR LF, and a password line is masked outside message data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/maillog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* tags[] = {qv::kLogReceived, qv::kLogSent, qv::kLogEvent, qv::kLogData};
  std::string_view tag = tags[data[0] % 4];
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string date = "Mon, 7 Dec 26  14:30:15 +0100";
  std::string entry = qv::FormatLogEntry(12, tag, text, date);
  std::string head = "00012  " + date + "   " + std::string(tag) + " ";
  size_t pos = 0;
  while (pos < entry.size()) {
    size_t end = entry.find("\r\n", pos);
    if (end == std::string::npos) abort();
    std::string_view line(entry.data() + pos, end - pos);
    if (line.substr(0, head.size()) != head) abort();
    std::string_view body = line.substr(head.size());
    if (body.empty() || body.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
      abort();
    bool pass = body.size() >= 4 && (body[0] | 0x20) == 'p' && (body[1] | 0x20) == 'a' &&
                (body[2] | 0x20) == 's' && (body[3] | 0x20) == 's';
    if (tag != qv::kLogData && pass && body != "PASS **********") abort();
    pos = end + 2;
  }
  return 0;
}
