// Plays the server's side of a POP3 fetch conversation from the input: its lines are the replies,
// and after a positive reply to RETR the message lines up to the end line (a message the input
// cuts short ends incomplete). The input's length picks the TLS wanted (none, STLS when offered,
// required): a capability list is its lines up to the end line, and a handshake asked for
// succeeds. Every command asked for must be one line, and nothing may be asked for after the end.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/pop3_conversation.h"

namespace {

void Check(const qv::FetchStep& step, bool over) {
  if (over && !step.send.empty()) __builtin_trap();
  if (!step.send.empty() &&
      (step.send.size() < 2 || step.send.find("\r\n") != step.send.size() - 2))
    __builtin_trap();
  if (step.receive && (step.end || !step.send.empty())) __builtin_trap();
  if ((step.read_list || step.start_tls) && (step.end || !step.send.empty() || step.receive))
    __builtin_trap();
}

bool IsEndLine(std::string_view line) {
  return line == ".\r\n" || line == ".\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  qv::FetchConversation conversation("user", "password", {static_cast<int>(size % 3), false});
  bool receiving = false;
  bool listing = false;
  std::string list;
  bool over = false;
  size_t pos = 0;
  while (pos < input.size()) {
    size_t end = input.find('\n', pos);
    end = end == std::string_view::npos ? input.size() : end + 1;
    std::string_view line = input.substr(pos, end - pos);
    pos = end;
    qv::FetchStep step;
    if (receiving) {
      if (!IsEndLine(line)) continue;
      receiving = false;
      step = conversation.OnMessageEnd(true);
    } else if (listing) {
      list.append(line);
      if (!IsEndLine(line)) continue;
      listing = false;
      step = conversation.OnReply(list);
    } else {
      step = conversation.OnReply(line);
    }
    Check(step, over);
    if (step.start_tls) {
      step = conversation.OnTlsStarted();
      Check(step, over);
    }
    receiving = step.receive;
    listing = step.read_list;
    list.clear();
    over = over || step.end;
  }
  if (receiving) Check(conversation.OnMessageEnd(false), over);
  return 0;
}
