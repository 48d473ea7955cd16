// Plays the peer's side of an SMTP client conversation from the input: its first byte picks the
// envelope (EHLO, SIZE, stray replies read over, recipients), its lines are the replies, joined
// into whole replies as the client reads them. Every command asked for must be one line, and
// nothing may be asked for after the end.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/smtp_client.h"
#include "net/smtp_conversation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  qv::SmtpEnvelope envelope;
  uint8_t pick = input.empty() ? 0 : static_cast<uint8_t>(input[0]);
  if (!input.empty()) input.remove_prefix(1);
  envelope.hello_name = "mx.fuzz.test";
  envelope.reverse_path = "a@fuzz.test";
  for (int i = 0; i < (pick & 3); ++i) envelope.recipients.push_back("r@fuzz.test");
  envelope.ehlo = (pick & 4) != 0;
  envelope.announce_size = (pick & 8) != 0;
  envelope.size = pick * 1000L;
  envelope.stray_hello_replies = (pick & 16) != 0 ? 8 : 0;
  qv::SmtpConversation conversation(envelope);
  size_t pos = 0;
  bool over = false;
  while (pos < input.size()) {
    // One reply: lines up to the first that does not continue it.
    std::string reply;
    for (;;) {
      size_t end = input.find('\n', pos);
      end = end == std::string_view::npos ? input.size() : end + 1;
      std::string_view line = input.substr(pos, end - pos);
      reply.append(line);
      pos = end;
      if (pos >= input.size() || !qv::IsReplyContinuation(line)) break;
    }
    qv::SmtpStep step = conversation.OnReply(reply);
    if (over && step.action != qv::SmtpStep::Action::kFailed) __builtin_trap();
    if (step.action == qv::SmtpStep::Action::kSend &&
        (step.command.size() < 2 || step.command.find("\r\n") != step.command.size() - 2))
      __builtin_trap();
    if (step.action == qv::SmtpStep::Action::kFailed && step.reply != reply) __builtin_trap();
    over = over || step.action == qv::SmtpStep::Action::kDone ||
           step.action == qv::SmtpStep::Action::kFailed;
  }
  return 0;
}
