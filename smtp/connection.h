// One SMTP connection as the frame holds it in a slot: command and data mode, the end-of-data
// recogniser and the session. Command lines, the line limit and the writer of replies are the
// shared line connection's; message data is its raw input.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "serve/line_connection.h"
#include "serve/logon_guard.h"
#include "smtp/data_scan.h"
#include "smtp/session.h"

namespace qv::smtp {

// Modes of a connection.
constexpr int kCommandMode = 0;
constexpr int kDataMode = 1;

// Message data goes to the log in pieces of this size (a line that crosses a piece's end is
// logged as two lines).
constexpr size_t kDataLogPiece = 1024;

// A connection that sends nothing for this long is told and closed.
constexpr std::chrono::minutes kCommandIdleLimit{5};
constexpr std::chrono::minutes kDataIdleLimit{10};

// Runs `work` away from the loop and `done` on the loop afterwards (ServiceFrame::Offload).
using OffloadFunction = std::function<void(std::function<void()> work, std::function<void()> done)>;
// Runs a function on the loop after a pause (the late answer to AUTH).
using AfterFunction = std::function<void(std::chrono::milliseconds, std::function<void()>)>;

// Without a logon guard, a failed AUTH is answered after this pause.
constexpr std::chrono::seconds kFailedAuthDelay{1};

class SmtpConnection : public LineConnection {
 public:
  // `forward_now` starts a forward run (send immediately); it may be empty. `offload` takes the
  // storing of a received message off the loop; without it the message is stored at once.
  // `spool_pool` gives the spool files (see SmtpSession). `settings` must outlive the connection.
  // `submission`: the connection came to a submission listener (MAIL needs AUTH).
  SmtpConnection(const Settings& settings, ConnectionLink& link, std::string peer,
                 std::function<void()> forward_now, OffloadFunction offload = nullptr,
                 std::shared_ptr<TempFilePool> spool_pool = nullptr, bool submission = false);

  void OnIdle() override;
  // The process's count of failed logons (shared by every connection) and the loop's timer for
  // the answers it delays; without them a failed AUTH waits kFailedAuthDelay in place of the
  // guard's pause (or not at all without `after`).
  void SetLogonGuard(LogonGuard* guard, AfterFunction after) {
    guard_ = guard;
    after_ = std::move(after);
  }

  int mode() const { return mode_; }
  // A received message is being stored; its reply is still to come.
  bool storing() const { return storing_; }
  const DataScan& scan() const { return scan_; }
  SmtpSession& session() { return *session_; }

 private:
  // A command line.
  void OnLine(std::string_view line) override;
  // Message data in data mode; takes the bytes up to the end line.
  size_t OnRawInput(std::string_view chunk) override;
  // The TLS handshake is done: after STARTTLS the session starts over.
  void OnSecured() override;
  // A login's answers never reach the transaction log.
  size_t LoggedLength(std::string_view line) const override { return session_->LoggedLength(line); }
  // The final answer of AUTH: logged when it failed, sent after the guard's pause.
  void AnswerAuth(CommandReply reply);
  void SetSlotMode(int mode);
  struct Storing;
  void Stored(const Storing& job);

  int mode_ = kCommandMode;
  DataScan scan_;
  std::chrono::steady_clock::time_point start_tick_;
  std::unique_ptr<SmtpSession> session_;
  std::function<void()> forward_now_;
  OffloadFunction offload_;
  // Input that arrives while a message is being stored waits (the connection is paused).
  bool storing_ = false;
  bool starttls_ = false;  // STARTTLS was answered; the handshake follows
  LogonGuard* guard_ = nullptr;
  AfterFunction after_;
  // Expires with the connection, so that a late completion finds it gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qv::smtp
