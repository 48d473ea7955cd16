#include "control/password_session.h"

#include "common/address.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "control/control_texts.h"

namespace qv::control {

namespace {

constexpr uint32_t StateBit(PasswordState state) {
  return 1u << static_cast<uint32_t>(state);
}
constexpr uint32_t kInAnyState = 0xf;

// The argument after a command word of `length` characters and the blanks that follow.
std::string_view Argument(std::string_view line, size_t length) {
  if (line.size() <= length) return {};
  std::string_view rest = line.substr(length);
  size_t start = rest.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string_view() : rest.substr(start);
}

SessionReply Reply(int kind, const char* text) {
  SessionReply reply;
  reply.kind = kind;
  reply.text = text;
  return reply;
}

}  // namespace

const PasswordSession::Command PasswordSession::kCommands[] = {
    {"USER", &PasswordSession::User, StateBit(PasswordState::kNew)},
    {"PASS", &PasswordSession::Pass, StateBit(PasswordState::kUserGiven)},
    {"NEWP", &PasswordSession::NewPass, StateBit(PasswordState::kPasswordGiven)},
    {"QUIT", &PasswordSession::Quit, kInAnyState},
};

SessionReply PasswordSession::Dispatch(std::string_view line) {
  if (state_ == PasswordState::kClosing) return {};
  line = line.substr(0, line.find('\0'));
  line = line.substr(0, line.find_first_of("\r\n"));
  SessionReply reply = Reply(kReplyError, kPwSyntaxError);
  for (const Command& command : kCommands) {
    if (!StartsWithNoCase(line, command.verb)) continue;
    if ((command.states & StateBit(state_)) != 0) (this->*command.handler)(line, &reply);
    break;
  }
  reply.close = state_ == PasswordState::kClosing;
  return reply;
}

void PasswordSession::User(std::string_view line, SessionReply* reply) {
  std::string_view user = Argument(line, 4);
  if (user.size() > kMaxPwUser) {
    *reply = Reply(kReplyError, kPwInvalidUser);
    return;
  }
  user_ = std::string(user);
  state_ = PasswordState::kUserGiven;
  *reply = Reply(kReplyNormal, kPwOk);
}

void PasswordSession::Pass(std::string_view line, SessionReply* reply) {
  std::string_view password = Argument(line, 4);
  if (password.size() > kMaxPwOldPassword) {
    *reply = Reply(kReplyError, kPwInvalidPassword);
    return;
  }
  old_password_ = std::string(password);
  state_ = PasswordState::kPasswordGiven;
  *reply = Reply(kReplyNormal, kPwOk);
}

void PasswordSession::NewPass(std::string_view line, SessionReply* reply) {
  state_ = PasswordState::kClosing;
  std::string_view new_password = Argument(line, 7);
  std::string alias, domain;
  SplitAddress(user_, &alias, &domain);
  // Read, compare and rewrite under one lock, so no other change slips in between.
  TableLock lock(system_, Table::kUser, LockMode::kExclusive);
  USERSTRUCT record{};
  if (alias.empty() || FindRecord(system_, alias, domain, &record) != 0) {
    *reply = Reply(kReplyError, kPwInvalidUser);
    reply->delayed = true;
    return;
  }
  std::string_view stored = FieldText(record.Password);
  bool matches = stored.empty() ? old_password_.empty() : EqualsNoCase(stored, old_password_);
  // A new password must fit the record and must not hold the separator of the records' text
  // form, which would shift the fields of the user's line.
  if (!matches || new_password.size() > kMaxNewPassword ||
      new_password.find('|') != std::string_view::npos) {
    *reply = Reply(kReplyError, kPwInvalidPassword);
    reply->delayed = true;
    return;
  }
  CopyField(record.Password, std::string(new_password));
  UpdateRecord(system_, record, false);
  *reply = Reply(kReplyNormal, kPwOk);
}

void PasswordSession::Quit(std::string_view, SessionReply* reply) {
  state_ = PasswordState::kClosing;
  *reply = Reply(kReplyNormal, kPwOk);
}

}  // namespace qv::control
