#include "net/pop3_conversation.h"

#include <utility>

#include "common/strings.h"
#include "net/client_commands.h"

namespace qv {

namespace {

// The first decimal number of the text at or after `pos` (after blanks); false when none.
bool NumberAt(std::string_view text, size_t* pos, long* value) {
  size_t i = *pos;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  size_t start = i;
  long n = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 10) {
    n = n * 10 + (text[i] - '0');
    ++i;
  }
  if (i == start) return false;
  *pos = i;
  *value = n;
  return true;
}

// The message count of a reply to STAT: the number after the first blank(s); none counts as 0.
int CountOf(std::string_view reply) {
  size_t pos = reply.find_first_of(" \t");
  long n = 0;
  if (pos == std::string_view::npos || !NumberAt(reply, &pos, &n)) n = 0;
  return static_cast<int>(n);
}

// A reply to LIST k names the message and its size.
bool HasNumberAndSize(std::string_view reply, uint64_t* size) {
  size_t pos = 3;
  long number = 0, value = 0;
  if (!NumberAt(reply, &pos, &number) || !NumberAt(reply, &pos, &value)) return false;
  *size = static_cast<uint64_t>(value);
  return true;
}

}  // namespace

bool CapaLists(std::string_view list, std::string_view capability) {
  while (!list.empty()) {
    size_t end = list.find('\n');
    std::string_view line = list.substr(0, end);
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    line = TrimLine(line);
    if (StartsWithNoCase(line, capability) &&
        (line.size() == capability.size() || line[capability.size()] == ' ' ||
         line[capability.size()] == '\t'))
      return true;
  }
  return false;
}

FetchConversation::FetchConversation(std::string login, std::string password,
                                     FetchSecurity security)
    : login_(std::move(login)), password_(std::move(password)), security_(security) {}

FetchStep FetchConversation::OnReply(std::string_view reply) {
  // The capability list comes whole, its status line read before; a server that refuses CAPA or
  // STLS still speaks, so the conversation may go on without TLS (an empty reply, none, is a
  // broken connection).
  if (state_ == FetchState::kCapaList) {
    if (reply.empty()) return Enter(FetchState::kFailed);
    return CapaLists(reply, "STLS") ? Enter(FetchState::kStls) : WithoutTls();
  }
  if ((state_ == FetchState::kCapa || state_ == FetchState::kStls) && !reply.empty() &&
      !StartsWithNoCase(reply, kPop3ReplyPositive))
    return WithoutTls();
  // A reply while receiving a message or after the end is a caller's mistake.
  if (state_ == FetchState::kMessage || state_ == FetchState::kDone ||
      state_ == FetchState::kFailed || state_ == FetchState::kNoTls || state_ == FetchState::kTls ||
      !StartsWithNoCase(reply, kPop3ReplyPositive))
    return Enter(FetchState::kFailed);
  switch (state_) {
    case FetchState::kGreeting:
      return Enter(security_.tls > 0 && !security_.in_tls ? FetchState::kCapa : FetchState::kUser);
    case FetchState::kCapa:
      return Enter(FetchState::kCapaList);
    case FetchState::kStls:
      return Enter(FetchState::kTls);
    case FetchState::kUser:
      return Enter(FetchState::kPass);
    case FetchState::kPass:
      return Enter(FetchState::kStat);
    case FetchState::kStat:
      count_ = CountOf(reply);
      if (count_ < 1) return Enter(FetchState::kDone);
      message_ = 1;
      return Enter(FetchState::kList);
    case FetchState::kList:
      return Enter(HasNumberAndSize(reply, &announced_size_) ? FetchState::kRetr
                                                             : FetchState::kFailed);
    case FetchState::kRetr:
      return Enter(FetchState::kMessage);
    case FetchState::kDele:
      ++message_;
      return Enter(FetchState::kList);
    case FetchState::kLastDele:
      return Enter(FetchState::kDone);
    case FetchState::kCapaList:
    case FetchState::kTls:
    case FetchState::kMessage:
    case FetchState::kDone:
    case FetchState::kFailed:
    case FetchState::kNoTls:
      break;
  }
  return Enter(FetchState::kFailed);
}

FetchStep FetchConversation::WithoutTls() {
  return Enter(security_.tls >= 2 ? FetchState::kNoTls : FetchState::kUser);
}

FetchStep FetchConversation::OnTlsStarted() {
  if (state_ != FetchState::kTls) return Enter(FetchState::kFailed);
  security_.in_tls = true;
  return Enter(FetchState::kUser);
}

FetchStep FetchConversation::OnMessageEnd(bool complete) {
  if (state_ != FetchState::kMessage || !complete) return Enter(FetchState::kFailed);
  return Enter(message_ >= count_ ? FetchState::kLastDele : FetchState::kDele);
}

FetchStep FetchConversation::EndEarly() {
  return Enter(state_ == FetchState::kList ? FetchState::kDone : FetchState::kFailed);
}

FetchStep FetchConversation::OnMessageSkipped() {
  if (state_ != FetchState::kMessage) return Enter(FetchState::kFailed);
  if (message_ >= count_) return Enter(FetchState::kDone);
  ++message_;
  return Enter(FetchState::kList);
}

FetchStep FetchConversation::Enter(FetchState next) {
  state_ = next;
  FetchStep step;
  switch (next) {
    case FetchState::kGreeting:
      break;
    case FetchState::kCapa:
      step.send = kPop3CmdCapa;
      break;
    case FetchState::kCapaList:
      step.read_list = true;
      break;
    case FetchState::kStls:
      step.send = kPop3CmdStls;
      break;
    case FetchState::kTls:
      step.start_tls = true;
      break;
    case FetchState::kUser:
      step.send = Format(kPop3CmdUser, login_.c_str());
      break;
    case FetchState::kPass:
      step.send = Format(kPop3CmdPass, password_.c_str());
      break;
    case FetchState::kStat:
      step.send = kPop3CmdStat;
      break;
    case FetchState::kList:
      step.send = Format(kPop3CmdList, message_);
      break;
    case FetchState::kRetr:
      step.send = Format(kPop3CmdRetr, message_);
      break;
    case FetchState::kMessage:
      step.receive = true;
      break;
    case FetchState::kDele:
    case FetchState::kLastDele:
      step.send = Format(kPop3CmdDele, message_);
      break;
    case FetchState::kDone:
      step.send = kPop3CmdQuit;
      step.end = true;
      break;
    case FetchState::kNoTls:
      step.send = kPop3CmdQuit;
      step.end = true;
      break;
    case FetchState::kFailed:
      step.end = true;
      break;
  }
  return step;
}

}  // namespace qv
