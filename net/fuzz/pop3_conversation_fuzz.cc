// Plays the server's side of a POP3 fetch conversation from the input: its lines are the replies,
// and after a positive reply to RETR the message lines up to the end line (a message the input
// cuts short ends incomplete). Every command asked for must be one line, and nothing may be
// asked for after the end.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/pop3_conversation.h"

namespace {

void Check(const qv::FetchStep& step, bool over) {
  if (over && !step.send.empty()) __builtin_trap();
  if (!step.send.empty() &&
      (step.send.size() < 2 || step.send.find("\r\n") != step.send.size() - 2))
    __builtin_trap();
  if (step.receive && (step.end || !step.send.empty())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  qv::FetchConversation conversation("user", "password");
  bool receiving = false;
  bool over = false;
  size_t pos = 0;
  while (pos < input.size()) {
    size_t end = input.find('\n', pos);
    end = end == std::string_view::npos ? input.size() : end + 1;
    std::string_view line = input.substr(pos, end - pos);
    pos = end;
    qv::FetchStep step;
    if (receiving) {
      if (line != ".\r\n" && line != ".\n") continue;
      receiving = false;
      step = conversation.OnMessageEnd(true);
    } else {
      step = conversation.OnReply(line);
    }
    Check(step, over);
    receiving = step.receive;
    over = over || step.end;
  }
  if (receiving) Check(conversation.OnMessageEnd(false), over);
  return 0;
}
