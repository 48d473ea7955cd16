// The connections of the control service: each owns its line buffer (the shared
// line connection) and its session. A command that waits for the mail services
// runs off the event loop, and a failed login or password change is answered
// only after a pause on a timer; meanwhile the connection takes no further line
// (what arrives is kept, in order) while every other connection is served. With a
// logon guard, every answer to a login or a password change waits for the pause
// the peer's recent failures impose (the service's guard, shared by both ports).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "control/control_host.h"
#include "control/control_session.h"
#include "control/password_session.h"
#include "control/session_reply.h"
#include "serve/line_connection.h"
#include "serve/logon_guard.h"
#include "serve/peer_count.h"

namespace qv::control {

// The failure log's lines of both ports: a failed login or password change, and
// the first failure of an address, from which its logons are answered late.
inline constexpr char kLogLogonFailed[] = "Logon of user '%s' from %s failed\r\n";
inline constexpr char kLogBackoffStarted[] = "Logons from %s are answered late\r\n";

// What a connection needs of the process: work off the loop, one-shot timers on
// the loop, and its time limits.
struct ConnectionContext {
  // `work` runs elsewhere, `done` afterwards on the loop.
  std::function<void(std::function<void()> work, std::function<void()> done)> offload;
  // `fn` runs on the loop after `delay`.
  std::function<void(std::chrono::milliseconds delay, std::function<void()> fn)> after;
  std::chrono::milliseconds idle_limit{std::chrono::minutes(10)};
  std::chrono::milliseconds failure_delay{kFailureDelayMs};
  // The process's count of failed logons per address; null: every failure waits
  // failure_delay, every success is answered at once.
  LogonGuard* guard = nullptr;
  // Writes a line of the failure log (level 1); null: not written.
  std::function<void(std::string_view text)> log_failure;
  // A connection not logged on this long after it was made is closed, whatever it sends
  // (a password connection never logs on); zero: no such limit.
  std::chrono::milliseconds logon_deadline{0};
};

// What both connections share: sending a session's reply, the pause before a
// delayed one, and the guard that keeps late callbacks away from a connection
// that has gone.
class SessionConnection : public LineConnection {
 public:
  ~SessionConnection() override;
  void OnIdle() override { Close(); }

 protected:
  // `settings`: the process's, which must outlive the connection.
  SessionConnection(const Settings& settings, ConnectionLink& link, std::string_view line_too_long,
                    const ConnectionContext& context, std::string_view peer);
  // Sends the reply (now, or after the failure pause) and closes when the
  // session ended; input waits meanwhile. `logon`: the reply answers a login or
  // a password change, which waits while the peer's back-off lasts; a `delayed`
  // reply is a failure, counted and logged with `user`.
  void Deliver(SessionReply reply, bool logon = false, std::string_view user = {});
  // Runs on the loop unless the connection has gone by then.
  std::function<void()> WhileAlive(std::function<void()> fn);

  const ConnectionContext& context() const { return context_; }

 public:
  // Holds a place among the connections of its address that have not logged on.
  void HoldPreLogonPlace(PeerCount::Token place) { pre_logon_place_ = std::move(place); }

 protected:
  // True once the peer has logged on; the logon deadline then no longer applies.
  virtual bool LoggedOn() const { return false; }
  // Gives the place among the connections not logged on back, at the logon.
  void LeavePreLogon() { pre_logon_place_.Reset(); }

 private:
  void Send(const SessionReply& reply);
  // The wait before the answer to a logon; counts and logs a failure.
  std::chrono::milliseconds LogonDelay(bool failed, std::string_view user);

  ConnectionContext context_;
  std::string peer_;
  PeerCount::Token pre_logon_place_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class ControlConnection : public SessionConnection {
 public:
  ControlConnection(const Settings& settings, ConnectionLink& link, std::string_view peer,
                    ControlHost& host, const ConnectionContext& context);
  const ControlSession& session() const { return *session_; }

 private:
  void OnLine(std::string_view line) override;
  bool LoggedOn() const override;

  // Shared with a job running off the loop, which may outlive the connection.
  std::shared_ptr<ControlSession> session_;
};

class PasswordConnection : public SessionConnection {
 public:
  PasswordConnection(const Settings& settings, ConnectionLink& link,
                     const ConnectionContext& context, std::string_view peer = {});
  const PasswordSession& session() const { return session_; }

 private:
  void OnLine(std::string_view line) override;

  PasswordSession session_;
};

}  // namespace qv::control
