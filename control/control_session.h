// The conversation of one control connection: the login dialogue, then the commands of a
// logged-in administrator. A session takes one received line and returns the reply; it never
// touches a socket. It holds its own working copy of the settings, read from the registry when
// the administrator logs on, which SET and the OPTIONS stream change. It remembers which
// settings it changed, and SAVE, QUIT, EXIT and the OPTIONS stream write only those into the
// settings as stored by then; without a change they write nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/config.h"
#include "control/control_host.h"
#include "control/session_reply.h"
#include "control/setting_changes.h"

namespace qv::control {

enum class ControlState : uint32_t {
  kUserName = 0,  // awaiting the user name
  kPassword = 1,  // awaiting the password
  kLoggedIn = 2,
  kClosing = 3,  // the connection is closed after the reply
};

// The longest user name line of the login, its line end counted.
constexpr size_t kMaxUserNameLine = 128;

class ControlSession {
 public:
  // `process`: the settings the process loaded at its start, through which the login and the
  // record commands read the tables; it must outlive the session.
  ControlSession(const Settings& process, ControlHost& host, std::string_view peer_address);
  ControlSession(const ControlSession&) = delete;
  ControlSession& operator=(const ControlSession&) = delete;

  // Handles one line: the text as received, with or without its CR LF; text after a NUL is
  // ignored. In the closing state nothing is done and nothing is replied.
  SessionReply Dispatch(std::string_view line);

  // True when the command of `line` waits for the mail services or writes the registry (SAVE,
  // QUIT, EXIT, START, STOP, STATE, PUTSTREAM): the process runs it off its event loop.
  bool WaitsForServices(std::string_view line) const;

  ControlState state() const { return state_.get(); }
  const Settings& settings() const { return settings_; }
  const std::string& user_name() const { return user_name_; }

 private:
  using Commands = CommandTable<ControlSession, ControlState>;
  static const Commands::Row kRows[];
  static const Commands kCommands;

  static std::string_view Clean(std::string_view line);

  SessionReply UserNameStep(std::string_view line);
  SessionReply PasswordStep(std::string_view line);

  SessionReply Help(std::string_view line);
  SessionReply Noop(std::string_view line);
  SessionReply Quit(std::string_view line);
  SessionReply Save(std::string_view line);
  SessionReply Rset(std::string_view line);
  SessionReply Set(std::string_view line);
  SessionReply Start(std::string_view line);
  SessionReply Stop(std::string_view line);
  SessionReply PutStream(std::string_view line);
  SessionReply GetStream(std::string_view line);
  SessionReply User(std::string_view line);
  SessionReply List(std::string_view line);
  SessionReply Auto(std::string_view line);
  SessionReply Exec(std::string_view line);
  SessionReply Route(std::string_view line);
  SessionReply Popa(std::string_view line);
  SessionReply State(std::string_view line);
  void EnterState(ControlState next) { state_.EnterState(next); }

  // The service named after START or STOP: kServiceSmtp, kServicePop3, or 0.
  static int ServiceArgument(std::string_view line, size_t word_length);
  // Writes the session's changes, if any, and takes the settings as now stored.
  void SaveChanges();
  // SaveChanges, then a restart of the SMTP and the POP3 service.
  void SaveAndRestart();

  const SYSTEMSTRUCT& tables_;
  ControlHost& host_;
  CommandState<ControlState> state_{kCommands.names, ControlState::kUserName};
  std::string user_name_;
  std::string peer_;
  Settings settings_;
  SettingChanges changes_;  // since the last save or RSET
};

// The dispatcher as the connection calls it: the session's reply kind for the `length` bytes
// at `line` (kReplyNone without a session), the reply itself in *reply.
int DispatchControlCommand(ControlSession* session, const char* line, size_t length,
                           SessionReply* reply);

// The help text of a topic (the text after HELP and its blanks); "Command unknown" when no
// topic matches.
const char* HelpText(std::string_view topic);

// The STATE word of a service state.
const char* StateWord(int state);

}  // namespace qv::control
