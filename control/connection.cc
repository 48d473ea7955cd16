#include "control/connection.h"

#include <utility>

#include "control/control_texts.h"

namespace qv::control {

namespace {

// The control service keeps no transaction log: lines are never written there,
// so neither are the passwords of the login dialogue.
constexpr std::string_view kNoLog = "";

}  // namespace

SessionConnection::SessionConnection(const Settings& settings, ConnectionLink& link,
                                     std::string_view line_too_long,
                                     const ConnectionContext& context)
    : LineConnection(link, settings, kNoLog, line_too_long), context_(context) {
  link.SetIdleLimit(context_.idle_limit);
}

SessionConnection::~SessionConnection() {
  *alive_ = false;
}

std::function<void()> SessionConnection::WhileAlive(std::function<void()> fn) {
  return [alive = std::weak_ptr<bool>(alive_), fn = std::move(fn)] {
    if (!alive.expired()) fn();
  };
}

void SessionConnection::Send(const SessionReply& reply) {
  if (reply.code != kReplyNone && !reply.text.empty()) Reply(reply.text, false);
  if (reply.close) Close();
}

void SessionConnection::Deliver(SessionReply reply) {
  if (!reply.delayed) {
    Send(reply);
    Resume();
    return;
  }
  Pause();
  auto held = std::make_shared<SessionReply>(std::move(reply));
  context_.after(context_.failure_delay, WhileAlive([this, held] {
                   Send(*held);
                   Resume();
                 }));
}

ControlConnection::ControlConnection(const Settings& settings, ConnectionLink& link,
                                     std::string_view peer, ControlHost& host,
                                     const ConnectionContext& context)
    : SessionConnection(settings, link, kLineTooLong, context),
      session_(std::make_shared<ControlSession>(settings, host, peer)) {}

void ControlConnection::OnLine(std::string_view line) {
  if (!session_->WaitsForServices(line)) {
    Deliver(session_->Dispatch(line));
    return;
  }
  Pause();
  auto reply = std::make_shared<SessionReply>();
  context().offload(
      [session = session_, text = std::string(line), reply] { *reply = session->Dispatch(text); },
      WhileAlive([this, reply] { Deliver(std::move(*reply)); }));
}

PasswordConnection::PasswordConnection(const Settings& settings, ConnectionLink& link,
                                       const ConnectionContext& context)
    : SessionConnection(settings, link, kPwLineTooLong, context), session_(settings.system) {}

void PasswordConnection::OnLine(std::string_view line) {
  Deliver(session_.Dispatch(line));
}

}  // namespace qv::control
