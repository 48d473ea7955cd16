// The connections of the control service: each owns its line buffer (the shared
// line connection) and its session. A command that waits for the mail services
// runs off the event loop, and a failed login or password change is answered
// only after a pause on a timer; meanwhile the connection takes no further line
// (what arrives is kept, in order) while every other connection is served.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "serve/line_connection.h"
#include "control/control_host.h"
#include "control/control_session.h"
#include "control/password_session.h"
#include "control/session_reply.h"

namespace qv::control {

// What a connection needs of the process: work off the loop, one-shot timers on
// the loop, and its time limits.
struct ConnectionContext {
  // `work` runs elsewhere, `done` afterwards on the loop.
  std::function<void(std::function<void()> work, std::function<void()> done)> offload;
  // `fn` runs on the loop after `delay`.
  std::function<void(std::chrono::milliseconds delay, std::function<void()> fn)> after;
  std::chrono::milliseconds idle_limit{std::chrono::minutes(10)};
  std::chrono::milliseconds failure_delay{kFailureDelayMs};
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
                    const ConnectionContext& context);
  // Sends the reply (now, or after the failure pause) and closes when the
  // session ended; input waits meanwhile.
  void Deliver(SessionReply reply);
  // Runs on the loop unless the connection has gone by then.
  std::function<void()> WhileAlive(std::function<void()> fn);

  const ConnectionContext& context() const { return context_; }

 private:
  void Send(const SessionReply& reply);

  ConnectionContext context_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class ControlConnection : public SessionConnection {
 public:
  ControlConnection(const Settings& settings, ConnectionLink& link, std::string_view peer,
                    ControlHost& host, const ConnectionContext& context);
  const ControlSession& session() const { return *session_; }

 private:
  void OnLine(std::string_view line) override;

  // Shared with a job running off the loop, which may outlive the connection.
  std::shared_ptr<ControlSession> session_;
};

class PasswordConnection : public SessionConnection {
 public:
  PasswordConnection(const Settings& settings, ConnectionLink& link,
                     const ConnectionContext& context);
  const PasswordSession& session() const { return session_; }

 private:
  void OnLine(std::string_view line) override;

  PasswordSession session_;
};

}  // namespace qv::control
