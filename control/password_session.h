// The conversation of one password connection: a mail user names himself, gives his old
// password and sets a new one. One NEWPASS per connection: the connection ends after its reply.
// The session takes one line and returns the reply; it never touches a socket.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/config.h"
#include "control/session_reply.h"

namespace qv::control {

enum class PasswordState : uint32_t {
  kNew = 0,
  kUserGiven = 1,
  kPasswordGiven = 2,
  kClosing = 3,  // the connection is closed after the reply
};

// The widths of the texts the service keeps (user and old password), and the longest new
// password the user record can hold.
constexpr size_t kMaxPwUser = 127;
constexpr size_t kMaxPwOldPassword = 127;
constexpr size_t kMaxNewPassword = 80;

class PasswordSession {
 public:
  // The user table is the one in the ConfigPath of `system`, which must outlive the session.
  explicit PasswordSession(const SYSTEMSTRUCT& system) : system_(system) {}
  PasswordSession(const PasswordSession&) = delete;
  PasswordSession& operator=(const PasswordSession&) = delete;

  // One line, with or without its CR LF; text after a NUL is ignored. In the closing state
  // nothing is done and nothing is replied.
  SessionReply Dispatch(std::string_view line);

  PasswordState state() const { return state_.get(); }
  const std::string& user() const { return user_; }

 private:
  using Commands = CommandTable<PasswordSession, PasswordState>;
  static const Commands::Row kRows[];
  static const Commands kCommands;

  SessionReply User(std::string_view line);
  SessionReply Pass(std::string_view line);
  SessionReply NewPass(std::string_view line);
  SessionReply Quit(std::string_view line);
  void EnterState(PasswordState next) { state_.EnterState(next); }

  const SYSTEMSTRUCT& system_;
  CommandState<PasswordState> state_{kCommands.names, PasswordState::kNew};
  std::string user_;
  std::string old_password_;
};

}  // namespace qv::control
