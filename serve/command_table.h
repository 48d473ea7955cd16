// The command dispatcher of the line protocols. A session keeps its commands in a table of rows
// (verb, handler, the states in which it runs) with the protocol's rule for finding a verb in a
// line and its refusals; one dispatch serves every protocol. A session's state is a CommandState,
// which changes only through EnterState: every change is traced by name to the developer trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/strings.h"
#include "common/trace.h"
#include "platform/unique_fd.h"

namespace qv {

// An operating-system logon the connection runs away from its event loop before it answers.
struct LogonRequest {
  std::string user;
  std::string password;
  std::string peer;
};

// What a session gives back for one line, and what the connection does next.
struct CommandReply {
  int code = 0;  // the protocol's reply code; 0: nothing to send
  std::string text;
  bool delayed = false;       // sent only after the protocol's pause for failed logons
  bool close = false;         // the session has ended: the connection closes after the reply
  bool failed_logon = false;  // a logon that failed (logged with the user and the peer)
  platform::UniqueFd file{};  // a message sent after the reply: held exclusively, at its start
  int top_lines = 0;          // body lines of `file` to send, for the codes that cut it
  LogonRequest logon{};       // the logon to run first, for the code that asks for one
};

// How a row's verb is found in a line; case never matters, and a row without a verb takes
// every line.
enum class VerbMatch {
  kPrefix,     // the line begins with the verb
  kFirstFour,  // the first four characters of the line are the verb
};

// The bit of `state` in a row's state mask.
template <class State>
constexpr uint32_t StateBit(State state) {
  return 1u << static_cast<uint32_t>(state);
}

// A protocol's states as traces name them.
struct StateNames {
  const char* protocol;                // e.g. "SMTP"
  std::span<const char* const> names;  // by state number
  long trace_level;                    // of the trace lines of state changes
};

// The trace line of a state change: protocol, old state, new state.
inline constexpr char kTraceStateChange[] = "%s session state %s -> %s\r\n";

// A session's current state.
template <class State>
class CommandState {
 public:
  // `names` must outlive the state.
  CommandState(const StateNames& names, State initial) : names_(&names), state_(initial) {}

  State get() const { return state_; }

  // Enters `next`. A change (not the same state again) is traced at the protocol's level.
  void EnterState(State next) {
    if (next != state_ && TraceLevel() <= names_->trace_level)
      TracePrint(kTraceStateChange, names_->protocol, Name(state_), Name(next));
    state_ = next;
  }

  // The name of `state`, or "?" for a number without one.
  const char* Name(State state) const {
    auto n = static_cast<size_t>(state);
    return n < names_->names.size() ? names_->names[n] : "?";
  }

 private:
  const StateNames* names_;
  State state_;
};

// The command table of a protocol whose sessions are of type Session.
template <class Session, class State>
struct CommandTable {
  using Handler = CommandReply (Session::*)(std::string_view line);
  struct Row {
    std::string_view verb;  // empty: every line
    Handler handler;
    uint32_t states;     // StateBit of each state in which the row runs
    uint32_t marks = 0;  // the protocol's own marks of the command
  };
  // The reply to a line the table does not run.
  struct Refusal {
    int code;
    const char* text;
  };

  StateNames names;
  VerbMatch match;
  std::span<const Row> rows;
  Refusal unknown;      // no row's verb matches the line
  Refusal wrong_state;  // verbs match, but none of their rows runs in the current state
  State closing;        // a reply given in this state closes the connection

  bool Matches(const Row& row, std::string_view line) const {
    if (row.verb.empty()) return true;
    if (match == VerbMatch::kFirstFour)
      return line.size() >= 4 && EqualsNoCase(line.substr(0, 4), row.verb);
    return StartsWithNoCase(line, row.verb);
  }

  // The row that runs `line` in `state`: the first, in table order, whose verb matches and which
  // runs in that state; null when there is none.
  const Row* Find(std::string_view line, State state) const {
    for (const Row& row : rows)
      if ((row.states & StateBit(state)) != 0 && Matches(row, line)) return &row;
    return nullptr;
  }

  // Runs `line` on `session`, whose state is `state`: the row's handler, or the refusal. The
  // reply closes the connection when the session is in the closing state after it.
  CommandReply Dispatch(Session& session, const CommandState<State>& state,
                        std::string_view line) const {
    CommandReply reply;
    if (const Row* row = Find(line, state.get())) {
      reply = (session.*row->handler)(line);
    } else {
      bool verb_known = false;
      for (const Row& row : rows) verb_known = verb_known || Matches(row, line);
      const Refusal& refusal = verb_known ? wrong_state : unknown;
      reply.code = refusal.code;
      reply.text = refusal.text;
    }
    reply.close = state.get() == closing;
    return reply;
  }
};

}  // namespace qv
