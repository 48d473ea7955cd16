#include "control/connection.h"

#include <utility>

#include "common/strings.h"
#include "control/control_texts.h"

namespace qv::control {

namespace {

// The control service keeps no transaction log: lines are never written there,
// so neither are the passwords of the login dialogue.
constexpr std::string_view kNoLog = "";

// The verb of the password change, as the session recognises it.
constexpr std::string_view kPwNewPassVerb = "NEWP";

}  // namespace

SessionConnection::SessionConnection(const Settings& settings, ConnectionLink& link,
                                     std::string_view line_too_long,
                                     const ConnectionContext& context, std::string_view peer)
    : LineConnection(link, settings, kNoLog, line_too_long), context_(context), peer_(peer) {
  link.SetIdleLimit(context_.idle_limit);
  // The deadline runs from the start: input does not extend it.
  if (context_.logon_deadline.count() > 0 && context_.after)
    context_.after(context_.logon_deadline, WhileAlive([this] {
                     if (!LoggedOn()) Close();
                   }));
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

std::chrono::milliseconds SessionConnection::LogonDelay(bool failed, std::string_view user) {
  if (context_.guard == nullptr)
    return failed ? context_.failure_delay : std::chrono::milliseconds(0);
  LogonVerdict verdict = context_.guard->Answer(peer_, failed);
  if (failed && context_.log_failure) {
    context_.log_failure(Format(kLogLogonFailed, std::string(user).c_str(), peer_.c_str()));
    if (verdict.backoff_started) context_.log_failure(Format(kLogBackoffStarted, peer_.c_str()));
  }
  return verdict.delay;
}

void SessionConnection::Deliver(SessionReply reply, bool logon, std::string_view user) {
  std::chrono::milliseconds delay{0};
  if (logon || reply.delayed) delay = LogonDelay(reply.delayed, user);
  if (!reply.delayed && delay.count() == 0) {
    Send(reply);
    Resume();
    return;
  }
  Pause();
  auto held = std::make_shared<SessionReply>(std::move(reply));
  context_.after(delay, WhileAlive([this, held] {
                   Send(*held);
                   Resume();
                 }));
}

ControlConnection::ControlConnection(const Settings& settings, ConnectionLink& link,
                                     std::string_view peer, ControlHost& host,
                                     const ConnectionContext& context)
    : SessionConnection(settings, link, kLineTooLong, context, peer),
      session_(std::make_shared<ControlSession>(settings, host, peer)) {}

void ControlConnection::OnLine(std::string_view line) {
  if (!session_->WaitsForServices(line)) {
    // Every line in the password step is a login's password.
    bool logon = session_->state() == ControlState::kPassword;
    std::string user = session_->user_name();
    Deliver(session_->Dispatch(line), logon, user);
    if (LoggedOn()) LeavePreLogon();
    return;
  }
  Pause();
  auto reply = std::make_shared<SessionReply>();
  context().offload(
      [session = session_, text = std::string(line), reply] { *reply = session->Dispatch(text); },
      WhileAlive([this, reply] { Deliver(std::move(*reply)); }));
}

bool ControlConnection::LoggedOn() const {
  return session_->state() == ControlState::kLoggedIn;
}

PasswordConnection::PasswordConnection(const Settings& settings, ConnectionLink& link,
                                       const ConnectionContext& context, std::string_view peer)
    : SessionConnection(settings, link, kPwLineTooLong, context, peer), session_(settings.system) {}

void PasswordConnection::OnLine(std::string_view line) {
  // NEWPASS decides on the old password.
  bool logon =
      session_.state() == PasswordState::kPasswordGiven && StartsWithNoCase(line, kPwNewPassVerb);
  Deliver(session_.Dispatch(line), logon, session_.user());
}

}  // namespace qv::control
