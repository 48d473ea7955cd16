// One POP3 connection: the session and the message being sent. Command lines, the line limit and
// the writer of replies are the shared line connection's; it sees its socket only through the
// service frame's ConnectionLink.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "pop3/message.h"
#include "pop3/session.h"
#include "serve/line_connection.h"
#include "serve/logon_guard.h"

namespace qv::pop3 {

// No command for this long ends the connection without applying deletions.
constexpr std::chrono::minutes kDefaultIdleLimit{10};
// Bytes of a message handed to the socket in one send, and sends in one turn of the event loop
// before the other connections get their turn.
constexpr size_t kSendChunk = 64 * 1024;
constexpr int kChunksPerTurn = 4;

// What a connection asks of the service's event loop. A function left empty runs its work at
// once, in place.
struct LoopTools {
  // Runs a function later on the loop (so that a long transfer lets other connections in
  // between its pieces).
  std::function<void(std::function<void()>)> defer;
  // Runs a function on the loop after a pause (the late answer to a failed logon).
  std::function<void(std::chrono::milliseconds, std::function<void()>)> after;
  // Runs `work` away from the loop (the worker pool), then `done` on the loop (the operating
  // system's logon, which may take seconds).
  std::function<void(std::function<void()> work, std::function<void()> done)> offload;
  // The process's count of failed logons per address (shared by every connection); null: a
  // failure waits kFailedLogonDelay and a right password is answered at once.
  LogonGuard* guard = nullptr;
};

// The connection record of a slot: the pending message (file and transfer limit, both held by
// the transfer) and the session.
class POPCONNSTRUCT final : public LineConnection {
 public:
  // `settings` must outlive the connection.
  POPCONNSTRUCT(const Settings& settings, ConnectionLink& link, const std::string& peer,
                LoopTools tools, std::chrono::milliseconds idle_limit);
  ~POPCONNSTRUCT() override;

  void OnIdle() override;
  void OnDrained() override;

  const Pop3Session& session() const { return *session_; }

 private:
  // A command line; commands that arrive while a message is being sent wait for its end.
  void OnLine(std::string_view line) override;
  // The session ends here, as a dropped connection would: no deletions are applied.
  void OnLineTooLong() override;
  // The TLS handshake is done (after STLS, or at once on the POP3S port).
  void OnSecured() override;
  // Sends pieces of the pending message while the socket takes them.
  void SendPendingFile();
  // Logs the reply line of RETR or TOP once, if it was not logged yet.
  void LogReplyLine();
  void Defer(std::function<void()> fn);
  // Runs the operating system's logon of a PASS on the worker pool; commands wait meanwhile.
  void SystemLogonAway(LogonRequest request);
  // Sends a reply that is no message; a failed logon is logged, and answered only after
  // kFailedLogonDelay (or the guard's pause) with the commands behind it waiting. `logon`: the
  // reply answers PASS, which waits while the peer's back-off lasts even when it is right.
  void Answer(Pop3Reply reply, bool logon = false);
  // The wait before a reply; counts a failure with the guard.
  std::chrono::milliseconds ReplyDelay(const Pop3Reply& reply, bool logon);

  LoopTools tools_;
  std::chrono::milliseconds idle_limit_;
  std::unique_ptr<Pop3Session> session_;
  MessageTransfer pending_;
  std::string piece_;
  std::string outgoing_;
  std::string reply_log_;             // the RETR or TOP reply line, until it is logged
  bool transfer_progressed_ = false;  // a piece went out since the last idle check
  bool pump_scheduled_ = false;
  std::shared_ptr<bool> alive_;
};

}  // namespace qv::pop3
