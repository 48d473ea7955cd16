#include "control/password_session.h"

#include "common/accounts.h"
#include "common/address.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "control/control_texts.h"

namespace qv::control {

namespace {

constexpr uint32_t kInAnyState = 0xf;

constexpr const char* kStateNames[] = {"New", "UserGiven", "PasswordGiven", "Closing"};

// The argument after a command word of `length` characters and the blanks that follow.
std::string_view Argument(std::string_view line, size_t length) {
  if (line.size() <= length) return {};
  std::string_view rest = line.substr(length);
  size_t start = rest.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string_view() : rest.substr(start);
}

SessionReply Reply(int kind, const char* text) {
  SessionReply reply;
  reply.code = kind;
  reply.text = text;
  return reply;
}

}  // namespace

// A command is recognised by the four characters of its verb.
const PasswordSession::Commands::Row PasswordSession::kRows[] = {
    {"USER", &PasswordSession::User, StateBit(PasswordState::kNew)},
    {"PASS", &PasswordSession::Pass, StateBit(PasswordState::kUserGiven)},
    {"NEWP", &PasswordSession::NewPass, StateBit(PasswordState::kPasswordGiven)},
    {"QUIT", &PasswordSession::Quit, kInAnyState},
};

// Unknown commands and commands out of their turn get the same answer.
const PasswordSession::Commands PasswordSession::kCommands = {
    .names = {"Password", kStateNames, kTraceLevelErrors},
    .match = VerbMatch::kPrefix,
    .rows = kRows,
    .unknown = {kReplyError, kPwSyntaxError},
    .wrong_state = {kReplyError, kPwSyntaxError},
    .closing = PasswordState::kClosing,
};

SessionReply PasswordSession::Dispatch(std::string_view line) {
  if (state_.get() == PasswordState::kClosing) return {};
  line = line.substr(0, line.find('\0'));
  line = line.substr(0, line.find_first_of("\r\n"));
  return kCommands.Dispatch(*this, state_, line);
}

SessionReply PasswordSession::User(std::string_view line) {
  std::string_view user = Argument(line, 4);
  if (user.size() > kMaxPwUser) return Reply(kReplyError, kPwInvalidUser);
  user_ = std::string(user);
  EnterState(PasswordState::kUserGiven);
  return Reply(kReplyNormal, kPwOk);
}

SessionReply PasswordSession::Pass(std::string_view line) {
  std::string_view password = Argument(line, 4);
  if (password.size() > kMaxPwOldPassword) return Reply(kReplyError, kPwInvalidPassword);
  old_password_ = std::string(password);
  EnterState(PasswordState::kPasswordGiven);
  return Reply(kReplyNormal, kPwOk);
}

SessionReply PasswordSession::NewPass(std::string_view line) {
  EnterState(PasswordState::kClosing);
  std::string_view new_password = Argument(line, 7);
  std::string alias, domain;
  SplitAddress(user_, &alias, &domain);
  // Read, compare and rewrite under one lock, so no other change slips in between.
  TableLock lock(system_, Table::kUser, LockMode::kExclusive);
  USERSTRUCT record{};
  if (alias.empty() || FindRecord(system_, alias, domain, &record) != 0) {
    SessionReply reply = Reply(kReplyError, kPwInvalidUser);
    reply.delayed = true;
    return reply;
  }
  bool matches = PasswordMatches(FieldText(record.Password), old_password_);
  // A new password must be given, must fit the record and must not hold the separator of the
  // records' text form, which would shift the fields of the user's line.
  if (!matches || new_password.empty() || new_password.size() > kMaxNewPassword ||
      new_password.find('|') != std::string_view::npos) {
    SessionReply reply = Reply(kReplyError, kPwInvalidPassword);
    reply.delayed = true;
    return reply;
  }
  CopyField(record.Password, std::string(new_password));
  UpdateRecord(system_, record, false);
  return Reply(kReplyNormal, kPwOk);
}

SessionReply PasswordSession::Quit(std::string_view) {
  EnterState(PasswordState::kClosing);
  return Reply(kReplyNormal, kPwOk);
}

}  // namespace qv::control
