#include "net/smtp_conversation.h"

#include <utility>

#include "common/strings.h"
#include "net/client_commands.h"

namespace qv {

bool ReplyStartsWith(std::string_view reply, std::string_view code) {
  return reply.substr(0, code.size()) == code;
}

SmtpConversation::SmtpConversation(SmtpEnvelope envelope)
    : envelope_(std::move(envelope)), ehlo_(envelope_.ehlo) {}

SmtpStep SmtpConversation::OnReply(std::string_view reply) {
  switch (state_) {
    case SmtpState::kGreeting:
      return ReplyStartsWith(reply, "220") ? Enter(SmtpState::kHello) : Fail(reply);
    case SmtpState::kHello:
      if (ReplyStartsWith(reply, "25")) return Enter(SmtpState::kMailFrom);
      if (ReplyStartsWith(reply, "22") && ++stray_ <= envelope_.stray_hello_replies) {
        SmtpStep step;
        step.action = SmtpStep::Action::kRead;
        return step;
      }
      // A peer that does not know EHLO gets HELO; one that refuses HELO is done with.
      if (!ehlo_ || reply.empty()) return Fail(reply);
      ehlo_ = false;
      return Enter(SmtpState::kHello);
    case SmtpState::kMailFrom:
      if (!ReplyStartsWith(reply, "25")) return Fail(reply);
      recipient_ = 0;
      return Enter(envelope_.recipients.empty() ? SmtpState::kData : SmtpState::kRcptTo);
    case SmtpState::kRcptTo:
      if (!ReplyStartsWith(reply, "25")) return Fail(reply);
      ++recipient_;
      return Enter(recipient_ < envelope_.recipients.size() ? SmtpState::kRcptTo
                                                            : SmtpState::kData);
    case SmtpState::kData:
      return ReplyStartsWith(reply, "354") ? Enter(SmtpState::kDataEnd) : Fail(reply);
    case SmtpState::kDataEnd:
      return ReplyStartsWith(reply, "25") ? Enter(SmtpState::kDone) : Fail(reply);
    case SmtpState::kDone:
    case SmtpState::kFailed:
      break;
  }
  // A reply after the end is a caller's mistake.
  return Fail(reply);
}

SmtpStep SmtpConversation::Enter(SmtpState next) {
  state_ = next;
  SmtpStep step;
  step.action = SmtpStep::Action::kSend;
  switch (next) {
    case SmtpState::kHello:
      step.command = Format(ehlo_ ? kSmtpCmdEhlo : kSmtpCmdHelo, envelope_.hello_name.c_str());
      break;
    case SmtpState::kMailFrom:
      step.command = ehlo_ && envelope_.announce_size
                         ? Format(kSmtpCmdMailFromSize, envelope_.reverse_path.c_str(),
                                  static_cast<int>(envelope_.size))
                         : Format(kSmtpCmdMailFrom, envelope_.reverse_path.c_str());
      break;
    case SmtpState::kRcptTo:
      step.command = Format(kSmtpCmdRcptTo, envelope_.recipients[recipient_].c_str());
      break;
    case SmtpState::kData:
      step.command = kSmtpCmdData;
      break;
    case SmtpState::kDataEnd:
      step.action = SmtpStep::Action::kSendMessage;
      break;
    case SmtpState::kDone:
      step.action = SmtpStep::Action::kDone;
      step.command = kSmtpCmdQuit;
      break;
    case SmtpState::kGreeting:
    case SmtpState::kFailed:
      return Fail({});
  }
  return step;
}

SmtpStep SmtpConversation::Fail(std::string_view reply) {
  SmtpStep step;
  step.action = SmtpStep::Action::kFailed;
  step.command = kSmtpCmdQuit;
  step.failed_in = state_;
  step.reply.assign(reply);
  state_ = SmtpState::kFailed;
  return step;
}

}  // namespace qv
