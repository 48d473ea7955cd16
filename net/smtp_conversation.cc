#include "net/smtp_conversation.h"

#include <openssl/evp.h>

#include <utility>

#include "common/strings.h"
#include "net/client_commands.h"

namespace qv {

bool ReplyStartsWith(std::string_view reply, std::string_view code) {
  return reply.substr(0, code.size()) == code;
}

bool EhloOffers(std::string_view reply, std::string_view extension, std::string_view argument) {
  size_t pos = 0;
  while (pos < reply.size()) {
    size_t end = reply.find('\n', pos);
    if (end == std::string_view::npos) end = reply.size();
    std::string_view line = reply.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 4) continue;
    line.remove_prefix(4);
    size_t word_end = line.find(' ');
    if (!EqualsNoCase(line.substr(0, word_end), extension)) continue;
    if (argument.empty()) return true;
    while (word_end != std::string_view::npos) {
      size_t next = line.find(' ', word_end + 1);
      std::string_view word =
          line.substr(word_end + 1, next == std::string_view::npos ? std::string_view::npos
                                                                   : next - word_end - 1);
      if (EqualsNoCase(word, argument)) return true;
      word_end = next;
    }
  }
  return false;
}

std::string EncodeBase64(std::string_view text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

SmtpConversation::SmtpConversation(SmtpEnvelope envelope)
    : envelope_(std::move(envelope)), ehlo_(envelope_.ehlo), in_tls_(envelope_.in_tls) {}

SmtpStep SmtpConversation::AfterHello(std::string_view reply) {
  bool extended = ehlo_;
  if (!in_tls_ && envelope_.tls > 0 && extended && EhloOffers(reply, "STARTTLS"))
    return Enter(SmtpState::kStartTls);
  // A login never goes out in clear, nor does anything when TLS is required.
  if (!in_tls_ && (envelope_.tls >= 2 || !envelope_.user.empty()))
    return Fail(reply, SmtpStep::Why::kNoTls);
  if (envelope_.user.empty()) return Enter(SmtpState::kMailFrom);
  if (extended && EhloOffers(reply, "AUTH", "PLAIN")) {
    auth_login_ = false;
    return Enter(SmtpState::kAuth);
  }
  if (extended && EhloOffers(reply, "AUTH", "LOGIN")) {
    auth_login_ = true;
    return Enter(SmtpState::kAuth);
  }
  return Fail(reply, SmtpStep::Why::kNoAuth);
}

SmtpStep SmtpConversation::OnTlsStarted() {
  if (state_ != SmtpState::kStartTls) return Fail({});
  in_tls_ = true;
  stray_ = 0;
  return Enter(SmtpState::kHello);
}

SmtpStep SmtpConversation::OnReply(std::string_view reply) {
  switch (state_) {
    case SmtpState::kGreeting:
      return ReplyStartsWith(reply, "220") ? Enter(SmtpState::kHello) : Fail(reply);
    case SmtpState::kHello:
      if (ReplyStartsWith(reply, "25")) return AfterHello(reply);
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
    case SmtpState::kStartTls:
      if (ReplyStartsWith(reply, "220")) {
        SmtpStep step;
        step.action = SmtpStep::Action::kStartTls;
        return step;
      }
      return Fail(reply);
    case SmtpState::kAuth:
      if (ReplyStartsWith(reply, "235")) return Enter(SmtpState::kMailFrom);
      if (auth_login_ && ReplyStartsWith(reply, "334")) {
        if (name_sent_) auth_login_ = false;  // the password answers the second challenge
        SmtpStep step;
        step.action = SmtpStep::Action::kSend;
        step.command =
            Format(kSmtpCmdAuthLine,
                   EncodeBase64(name_sent_ ? envelope_.password : envelope_.user).c_str());
        name_sent_ = true;
        return step;
      }
      return Fail(reply);
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
    case SmtpState::kStartTls:
      step.command = kSmtpCmdStartTls;
      break;
    case SmtpState::kAuth:
      if (auth_login_) {
        step.command = kSmtpCmdAuthLogin;
      } else {
        std::string plain;
        plain += '\0';
        plain += envelope_.user;
        plain += '\0';
        plain += envelope_.password;
        step.command = Format(kSmtpCmdAuthPlain, EncodeBase64(plain).c_str());
      }
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

SmtpStep SmtpConversation::Fail(std::string_view reply, SmtpStep::Why why) {
  SmtpStep step;
  step.why = why;
  step.action = SmtpStep::Action::kFailed;
  step.command = kSmtpCmdQuit;
  step.failed_in = state_;
  step.reply.assign(reply);
  state_ = SmtpState::kFailed;
  return step;
}

}  // namespace qv
