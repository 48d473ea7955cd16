// The readings of the control service's replies under hostile bytes: the STATE reply, the log
// list and the other "|" name lists (phone book, groups).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/strings.h"
#include "console/store/store_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  qv::console::ServiceStates states = qv::console::ParseStateReply(reply);
  for (qv::console::ServiceState s : {states.smtp, states.pop3})
    if (s == qv::console::ServiceState::kNotInstalled) __builtin_trap();  // never from a reply

  size_t total = 0;
  for (const std::string& name : qv::console::SplitNames(reply)) {
    if (name.empty() || name.find('|') != std::string::npos) __builtin_trap();
    total += name.size();
  }
  if (total > size) __builtin_trap();

  qv::console::LogFiles logs = qv::console::SplitLogNames(reply);
  for (const std::string& name : logs.smtp)
    if (name.empty() || !qv::StartsWithNoCase(name, "s")) __builtin_trap();
  for (const std::string& name : logs.pop3)
    if (name.empty() || !qv::StartsWithNoCase(name, "p")) __builtin_trap();
  return 0;
}
