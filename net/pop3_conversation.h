// The client side of one POP3 fetch conversation (log in, fetch every message, delete it on the
// server, log out) as a state table. It never touches a socket: it takes each reply line and says
// what to send next. The collection of remote accounts drives it (pop3/collect.h).
//
// | state     | reply awaited | positive reply: send            | next                 |
// | kGreeting | greeting      | USER login                      | kUser                |
// | kUser     | to USER       | PASS password                   | kPass                |
// | kPass     | to PASS       | STAT                            | kStat                |
// | kStat     | to STAT       | n >= 1: LIST 1; else QUIT       | kList, or kDone      |
// | kList     | to LIST k     | RETR k (needs "+OK k size")     | kRetr                |
// | kRetr     | to RETR k     | nothing: receive the message    | kMessage             |
// | kMessage  | (message end) | DELE k                          | kDele, or kLastDele  |
// | kMessage  | (skipped)     | LIST k+1; after the last: QUIT  | kList, or kDone      |
// | kList     | (ended early) | QUIT instead of LIST k          | kDone                |
// | kDele     | to DELE k     | LIST k+1                        | kList                |
// | kLastDele | to DELE n     | QUIT                            | kDone                |
//
// With TLS asked for (FetchSecurity::tls 1 or 2) on a connection that is not encrypted from the
// start, the positive greeting leads first through these rows, before USER:
//
// | kCapa     | to CAPA       | +OK: read the list to "."       | kCapaList            |
// |           |               | other: tls 1 USER; tls 2 QUIT   | kUser, or kNoTls     |
// | kCapaList | the list      | STLS listed: STLS; else as -ERR | kStls, kUser, kNoTls |
// | kStls     | to STLS       | +OK: run the handshake          | kTls                 |
// |           |               | other: tls 1 USER; tls 2 QUIT   | kUser, or kNoTls     |
// | kTls      | (handshake)   | OnTlsStarted: USER              | kUser                |
//
// With TLS required and not to be had (kNoTls) the login and password are never sent: QUIT
// ends the conversation, which has not ended in order. A handshake that fails leaves a
// connection of no use: the caller closes it.
//
// Any other reply, and an empty one (none arrived), ends the conversation at once, without QUIT
// (kFailed): deletions already asked for are then not applied by the server, and those messages
// come again next time. The answer to QUIT is read by the caller but does not change the
// outcome. Which command a state sends is decided in one place (Enter), so that a new state (a
// further command before USER, say) is one row and one case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

enum class FetchState {
  kGreeting,  // waiting for the greeting
  kCapa,      // to CAPA
  kCapaList,  // the capability lines after a positive reply to CAPA
  kStls,      // to STLS
  kTls,       // the TLS handshake is due (then OnTlsStarted)
  kUser,      // waiting for the reply to USER
  kPass,      // to PASS
  kStat,      // to STAT
  kList,      // to LIST k
  kRetr,      // to RETR k (the status line before the message)
  kMessage,   // receiving message k
  kDele,      // to DELE k of a message before the last
  kLastDele,  // to DELE of the last message
  kDone,      // QUIT sent: the conversation ended in order
  kFailed,    // ended by a negative reply, a broken connection or an incomplete message
  kNoTls,     // QUIT sent before the login: TLS is required and the server does not offer it
};

// What the client does next.
struct FetchStep {
  std::string send;      // a command to send (empty: none)
  bool receive = false;  // then receive message `message` up to its end line
  // Read the lines up to and including the end line "." and give them to OnReply at once.
  bool read_list = false;
  bool start_tls = false;  // run the TLS handshake, then OnTlsStarted
  bool end = false;        // the conversation is over (see FetchConversation::ok)
};

// How the conversation secures itself.
struct FetchSecurity {
  int tls = 0;          // 0: no STLS; 1: STLS when CAPA lists it; 2: required
  bool in_tls = false;  // the connection is encrypted from the start (POP3S): no STLS
};

class FetchConversation {
 public:
  FetchConversation(std::string login, std::string password, FetchSecurity security = {});

  // The reply line (with or without its line end) to what was sent last.
  FetchStep OnReply(std::string_view reply);
  // After a start_tls step: the handshake succeeded; the step is USER.
  FetchStep OnTlsStarted();
  // The message being received ended: `complete` when its end line arrived and it was handed
  // to delivery. A message that did not arrive whole is neither delivered nor deleted.
  FetchStep OnMessageEnd(bool complete);
  // Ends the conversation in order before the next message (in kList, instead of sending LIST
  // k): QUIT, so that the server deletes what was fetched and keeps the rest. In any other state
  // the conversation fails.
  FetchStep EndEarly();
  // The message being received was read to its end line but refused (too large): it stays on
  // the server, and the conversation goes on with the next message.
  FetchStep OnMessageSkipped();

  FetchState state() const { return state_; }
  // True when the conversation reached its end without a negative reply.
  bool ok() const { return state_ == FetchState::kDone; }
  int count() const { return count_; }
  // The number of the message being fetched (from 1).
  int message() const { return message_; }
  // The size the server gave for it in the reply to LIST.
  uint64_t announced_size() const { return announced_size_; }

 private:
  // Moves to `next` and makes the step that state begins with: the one place that says what is
  // sent when.
  FetchStep Enter(FetchState next);
  // The step when the server will not switch to TLS: USER in clear, or QUIT when it is required.
  FetchStep WithoutTls();

  std::string login_;
  std::string password_;
  FetchSecurity security_;
  FetchState state_ = FetchState::kGreeting;
  int count_ = 0;
  int message_ = 0;
  uint64_t announced_size_ = 0;
};

// True when the capability list of a reply to CAPA (its lines, as received) names `capability`
// as the first word of a line (compared without regard to case).
bool CapaLists(std::string_view list, std::string_view capability);

}  // namespace qv
