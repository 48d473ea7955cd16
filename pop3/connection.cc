#include "pop3/connection.h"

#include <cstring>

#include "common/maillog.h"
#include "common/strings.h"
#include "pop3/logon.h"
#include "pop3/pop3_texts.h"

namespace qv::pop3 {

namespace {

// The verb of the logon's password, as the session recognises it.
constexpr std::string_view kPassVerb = "PASS";

}  // namespace

POPCONNSTRUCT::POPCONNSTRUCT(const Settings& settings, ConnectionLink& link,
                             const std::string& peer, LoopTools tools,
                             std::chrono::milliseconds idle_limit)
    : LineConnection(link, settings, kLogPrefixPop3, kErrLineTooLong),
      tools_(std::move(tools)),
      idle_limit_(idle_limit),
      session_(std::make_unique<Pop3Session>(settings, peer)),
      alive_(std::make_shared<bool>(true)) {
  WriteLog(settings.system, kLogLevelMail, 0, kLogEvent, kLogConnect, kLogPrefixPop3);
  link.SetIdleLimit(idle_limit_);
  session_->SetTls(link.CanStartTls(), link.Secure());
}

void POPCONNSTRUCT::OnSecured() {
  session_->TlsStarted();
}

POPCONNSTRUCT::~POPCONNSTRUCT() {
  *alive_ = false;
}

void POPCONNSTRUCT::OnLineTooLong() {
  Log(kLogLevelMail, kLogEvent, kLogLineTooLong);
  pending_ = MessageTransfer();
}

void POPCONNSTRUCT::OnLine(std::string_view line) {
  bool logon = session_->state() == Pop3State::kUserGiven && StartsWithNoCase(line, kPassVerb);
  Pop3Reply reply;
  int result = DispatchPop3Command(session_.get(), line.data(), line.size(), &reply);
  if (result == kResultNoSession) return;
  if (result == kResultLogon) return SystemLogonAway(std::move(reply.logon));
  if (result == kResultStartTls) {
    Reply(reply.text);
    if (!StartTls()) Close();  // the link cannot switch after all
    return;
  }
  if (result == kResultMessage || result == kResultTop) {
    int64_t limit =
        result == kResultTop ? ComputeTopLimit(reply.file.get(), reply.top_lines, true) : -1;
    pending_ = MessageTransfer(std::move(reply.file), limit, true);
    // The reply goes out with the first piece of the message; later commands wait for its end.
    // Its log line follows the first send (or precedes the first logged piece of data).
    if (settings().system.LogLevel >= kLogLevelProtocol) reply_log_ = reply.text;
    outgoing_ = std::move(reply.text);
    Pause();
    SendPendingFile();
    LogReplyLine();  // when the socket took nothing yet
  } else {
    return Answer(std::move(reply), logon);
  }
  if (reply.close) Close();
}

void POPCONNSTRUCT::SystemLogonAway(LogonRequest request) {
  Pause();
  auto job = std::make_shared<std::pair<LogonRequest, int>>(std::move(request), 0);
  auto work = [job] {
    LogonRequest& r = job->first;
    job->second = SystemLogon(r.user, r.password, r.peer);
    std::fill(r.password.begin(), r.password.end(), '\0');
  };
  auto done = [this, job, alive = alive_] {
    if (!*alive) return;
    Answer(session_->FinishSystemLogon(job->second), true);
  };
  if (tools_.offload) {
    tools_.offload(std::move(work), std::move(done));
  } else {
    work();
    done();
  }
}

std::chrono::milliseconds POPCONNSTRUCT::ReplyDelay(const Pop3Reply& reply, bool logon) {
  if (tools_.guard == nullptr)
    return reply.delayed ? std::chrono::duration_cast<std::chrono::milliseconds>(kFailedLogonDelay)
                         : std::chrono::milliseconds(0);
  if (!logon && !reply.delayed) return std::chrono::milliseconds(0);
  const std::string& peer = session_->record().PeerAddress;
  LogonVerdict verdict = tools_.guard->Answer(peer, reply.delayed);
  if (verdict.backoff_started)
    Log(kLogLevelFailure, kLogEvent, Format(kLogBackoffStarted, peer.c_str()));
  return verdict.delay;
}

void POPCONNSTRUCT::Answer(Pop3Reply reply, bool logon) {
  if (reply.failed_logon) {
    const POPSESSIONSTRUCT& record = session_->record();
    Log(kLogLevelFailure, kLogEvent,
        Format(kLogLogonFailed, record.UserName.c_str(), record.PeerAddress.c_str()));
  }
  std::chrono::milliseconds delay = ReplyDelay(reply, logon);
  auto send = [this, text = std::move(reply.text), close = reply.close] {
    Reply(text);
    if (close) Close();
    Resume();
  };
  if ((!reply.delayed && delay.count() == 0) || !tools_.after) return send();
  // Later commands wait too: a guesser gains nothing by sending ahead.
  Pause();
  tools_.after(delay, [send = std::move(send), alive = alive_] {
    if (*alive) send();
  });
}

void POPCONNSTRUCT::Defer(std::function<void()> fn) {
  if (tools_.defer) {
    tools_.defer(std::move(fn));
  } else {
    fn();
  }
}

void POPCONNSTRUCT::SendPendingFile() {
  int chunks = 0;
  while (pending_.active() && link().CanSendMore()) {
    if (++chunks > kChunksPerTurn) {
      // Let the other connections in; go on at the next turn of the loop.
      if (!pump_scheduled_) {
        pump_scheduled_ = true;
        Defer([this, alive = alive_] {
          if (!*alive) return;
          pump_scheduled_ = false;
          SendPendingFile();
        });
      }
      return;
    }
    // Blocks of the file are gathered into one send of up to kSendChunk bytes.
    while (outgoing_.size() < kSendChunk && pending_.Next(&piece_)) {
      if (settings().system.LogLevel >= kLogLevelData) LogReplyLine();
      Log(kLogLevelData, kLogData, piece_);
      outgoing_ += piece_;
    }
    if (outgoing_.empty()) continue;
    transfer_progressed_ = true;
    link().Send(outgoing_);
    outgoing_.clear();
    LogReplyLine();
  }
  if (pending_.active()) return;  // OnDrained goes on, or the connection is ending
  Resume();
}

void POPCONNSTRUCT::LogReplyLine() {
  if (reply_log_.empty()) return;
  Log(kLogLevelProtocol, kLogSent, reply_log_);
  reply_log_.clear();
}

void POPCONNSTRUCT::OnDrained() {
  if (pending_.active() && !pump_scheduled_) SendPendingFile();
}

void POPCONNSTRUCT::OnIdle() {
  if (pending_.active() && transfer_progressed_) {
    // A slow reader still takes the message: not idle.
    transfer_progressed_ = false;
    link().SetIdleLimit(idle_limit_);
    return;
  }
  char text[128];
  std::snprintf(
      text, sizeof text, kLogIdle,
      static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(idle_limit_).count()));
  Log(kLogLevelMail, kLogEvent, text);
  pending_ = MessageTransfer();
  Close();
}

}  // namespace qv::pop3
