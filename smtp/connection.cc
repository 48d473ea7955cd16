#include "smtp/connection.h"

#include <algorithm>

#include "common/config.h"
#include "common/maillog.h"
#include "smtp/smtp_mail.h"
#include "smtp/texts.h"
#include "smtp/util.h"

namespace qv::smtp {

struct SmtpConnection::Storing {
  PendingMessage message;
  Completion completion;
  std::chrono::milliseconds elapsed{0};
  uint32_t byte_count = 0;
};

SmtpConnection::SmtpConnection(const Settings& settings, ConnectionLink& link, std::string peer,
                               std::function<void()> forward_now, OffloadFunction offload,
                               std::shared_ptr<TempFilePool> spool_pool, bool submission)
    : LineConnection(link, settings, kLogPrefix, kLineTooLong),
      start_tick_(std::chrono::steady_clock::now()),
      session_(std::make_unique<SmtpSession>(settings, std::move(peer), std::move(spool_pool))),
      forward_now_(std::move(forward_now)),
      offload_(std::move(offload)) {
  link.SetIdleLimit(kCommandIdleLimit);
  session_->SetSecurity(
      {.tls_offered = link.CanStartTls(), .secure = link.Secure(), .submission = submission});
}

void SmtpConnection::AnswerAuth(CommandReply reply) {
  const std::string& peer = session_->peer_address();
  if (reply.failed_logon) {
    // The name as a log line may hold it: no control characters.
    std::string name = session_->auth_name().substr(0, 128);
    for (char& c : name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    Log(kLogLevelFailure, kLogEvent, Format(kLogAuthFailed, name.c_str(), peer.c_str()));
  }
  std::chrono::milliseconds delay{0};
  if (guard_ != nullptr) {
    LogonVerdict verdict = guard_->Answer(peer, reply.failed_logon);
    if (verdict.backoff_started)
      Log(kLogLevelFailure, kLogEvent, Format(kLogBackoffStarted, peer.c_str()));
    delay = verdict.delay;
  } else if (reply.failed_logon) {
    delay = kFailedAuthDelay;
  }
  if (delay.count() == 0 || !after_) return Reply(reply.text);
  // Later commands wait too: a guesser gains nothing by sending ahead.
  Pause();
  std::weak_ptr<bool> alive = alive_;
  after_(delay, [this, alive, text = std::move(reply.text)] {
    if (alive.expired()) return;
    Reply(text);
    Resume();
  });
}

void SmtpConnection::OnSecured() {
  if (starttls_) {
    starttls_ = false;
    session_->TlsStarted();
    return;
  }
  // An implicit-TLS listener: the session begins inside TLS.
  SmtpSecurity security = session_->security();
  security.tls_offered = false;
  security.secure = true;
  session_->SetSecurity(security);
}

void SmtpConnection::OnLine(std::string_view line) {
  CommandReply reply = session_->DispatchCommand(line);
  switch (reply.code) {
    case kErrorReply:
    case kPositiveReply:
      Reply(reply.text);
      break;
    case kStartData:
      Reply(reply.text, false);
      SetSlotMode(kDataMode);
      break;
    case kAuthAnswer:
      AnswerAuth(std::move(reply));
      return;
    case kStartTls:
      Reply(reply.text);
      starttls_ = StartTls();
      if (!starttls_) Close();  // the link cannot switch after all
      break;
    default:
      break;
  }
  if (reply.close) Close();
}

size_t SmtpConnection::OnRawInput(std::string_view chunk) {
  session_->MarkMessageReceived();
  const SMTPSTRUCT& smtp = settings().smtp;
  bool enforce = (smtp.Flags & kSmtpEnforceSize) != 0;
  ChunkOutcome outcome = ScanDataChunk(&scan_, chunk, enforce, smtp.ESMTPMaxMsgSize);
  // The data log takes its lines a kilobyte at a time, as they were always cut, whatever the read.
  for (size_t at = 0; at < outcome.used; at += kDataLogPiece)
    Log(kLogLevelData, kLogData, chunk.substr(at, std::min(kDataLogPiece, outcome.used - at)));
  if (outcome.write && !outcome.held.empty()) session_->StoreMessageText(outcome.held);
  if (outcome.write) session_->StoreMessageText(chunk.substr(0, outcome.store));
  if (scan_.state != ScanState::kComplete) return outcome.used;
  if (scan_.truncated) {
    // Refused whole: a cut message is never delivered.
    session_->RefuseMessage();
    SetSlotMode(kCommandMode);
    Reply(kMessageTooLarge);
    return outcome.used;
  }

  // The message is stored (flushed to disk) before the reply: once the client reads 250, the
  // message is safe. Storing runs off the loop when the frame offers it; what the client sends
  // meanwhile waits.
  auto job = std::make_shared<Storing>();
  job->elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_tick_);
  job->byte_count = scan_.byte_count;
  job->message = session_->TakeMessage();
  storing_ = true;
  Pause();
  link().SetIdleLimit(std::chrono::milliseconds(0));
  auto work = [job, &settings = settings()] {
    job->completion = DeliverPendingMessage(SmtpMailService(settings), &job->message);
  };
  std::weak_ptr<bool> alive = alive_;
  auto done = [this, alive, job] {
    if (!alive.expired()) Stored(*job);
  };
  if (offload_) {
    offload_(std::move(work), std::move(done));
  } else {
    work();
    done();
  }
  return outcome.used;
}

void SmtpConnection::Stored(const Storing& job) {
  storing_ = false;
  std::string text;
  if (job.completion.looping) {
    text = kTooManyHops;
  } else if (!job.completion.stored) {
    text = kMessageNotStored;
  } else {
    text = Format(kMessageAccepted, static_cast<int>(job.byte_count),
                  FormatElapsed(job.elapsed.count()).c_str());
  }
  SetSlotMode(kCommandMode);
  Reply(text);
  if (job.completion.stored && job.completion.forward_queued &&
      (settings().smtp.Flags & kSmtpImmediately) != 0 && forward_now_)
    forward_now_();
  Resume();
}

void SmtpConnection::SetSlotMode(int mode) {
  mode_ = mode;
  start_tick_ = std::chrono::steady_clock::now();
  scan_.byte_count = 0;
  scan_.truncated = false;
  if (mode == kDataMode) scan_.state = ScanState::kFresh;
  SetRawInput(mode == kDataMode);
  link().SetIdleLimit(mode == kDataMode ? std::chrono::milliseconds(kDataIdleLimit)
                                        : std::chrono::milliseconds(kCommandIdleLimit));
}

void SmtpConnection::OnIdle() {
  if (closed()) return;
  Reply(Format(kIdleTimeout, settings().system.HostName));
  Close();
}

}  // namespace qv::smtp
