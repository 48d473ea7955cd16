#include "smtp/connection.h"

#include "common/config.h"
#include "common/maillog.h"
#include "smtp/texts.h"
#include "smtp/util.h"

namespace qv::smtp {

struct SmtpConnection::Storing {
  PendingMessage message;
  Completion completion;
  std::chrono::milliseconds elapsed{0};
  uint32_t byte_count = 0;
};

SmtpConnection::SmtpConnection(ConnectionLink& link, std::string peer,
                               std::function<void()> forward_now, OffloadFunction offload)
    : link_(link),
      start_tick_(std::chrono::steady_clock::now()),
      session_(std::make_unique<SmtpSession>(std::move(peer))),
      forward_now_(std::move(forward_now)),
      offload_(std::move(offload)) {
  link_.SetIdleLimit(kCommandIdleLimit);
}

void SmtpConnection::Reply(std::string_view text, bool log) {
  if (log) WriteLog(4, link_.Number(), kTagOut, text, kLogPrefix);
  link_.Send(text);
}

void SmtpConnection::OnReceive(std::string_view bytes) {
  if (closed_) return;
  if (storing_) {
    // The client should wait for the reply; what it sends meanwhile is read afterwards, as one
    // read, and no more of it than a command line.
    held_.append(bytes.substr(0, kLineLimit > held_.size() ? kLineLimit - held_.size() : 0));
    return;
  }
  if (mode_ == kDataMode) {
    ReceiveData(bytes);
    return;
  }
  scan_.state = ScanState::kFresh;
  partial_.append(bytes);
  size_t end = partial_.find("\r\n");
  if (end != std::string::npos && end + 2 <= kLineLimit) {
    // One command per read: text after the first line end is not kept.
    std::string line = partial_.substr(0, end);
    partial_.clear();
    HandleCommandLine(line);
  } else if (end != std::string::npos || partial_.size() >= kLineLimit) {
    partial_.clear();
    Reply(kLineTooLong, true);
    link_.Close();
    closed_ = true;
  }
}

void SmtpConnection::HandleCommandLine(std::string_view line) {
  WriteLog(4, link_.Number(), kTagIn, line, kLogPrefix);
  smtp::Reply reply = session_->DispatchCommand(line);
  switch (reply.code) {
    case kErrorReply:
    case kPositiveReply:
      Reply(reply.text, true);
      break;
    case kStartData:
      Reply(reply.text, false);
      SetSlotMode(kDataMode);
      break;
    default:
      break;
  }
  if (session_->state() == SessionState::kClosing) {
    link_.Close();
    closed_ = true;
  }
}

void SmtpConnection::ReceiveData(std::string_view chunk) {
  session_->MarkMessageReceived();
  bool enforce = (g_Smtp.Flags & kSmtpEnforceSize) != 0;
  ChunkOutcome outcome = ScanDataChunk(&scan_, chunk, enforce, g_Smtp.ESMTPMaxMsgSize);
  WriteLog(5, link_.Number(), kTagData, chunk, kLogPrefix);
  if (outcome.write && !outcome.held.empty()) session_->StoreMessageText(outcome.held);
  if (outcome.write) session_->StoreMessageText(chunk.substr(0, outcome.store));
  if (scan_.state != ScanState::kComplete) return;
  if (scan_.truncated) {
    // Refused whole: a cut message is never delivered.
    session_->RefuseMessage();
    SetSlotMode(kCommandMode);
    Reply(kMessageTooLarge, true);
    return;
  }

  // The message is stored (flushed to disk) before the reply: once the client reads 250, the
  // message is safe. Storing runs off the loop when the frame offers it.
  auto job = std::make_shared<Storing>();
  job->elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_tick_);
  job->byte_count = scan_.byte_count;
  job->message = session_->TakeMessage();
  storing_ = true;
  link_.SetIdleLimit(std::chrono::milliseconds(0));
  auto work = [job] { job->completion = DeliverPendingMessage(&job->message); };
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
  Reply(text, true);
  if (job.completion.stored && job.completion.forward_queued &&
      (g_Smtp.Flags & kSmtpImmediately) != 0 && forward_now_)
    forward_now_();
  if (!held_.empty()) {
    std::string held;
    held.swap(held_);
    OnReceive(held);
  }
}

void SmtpConnection::SetSlotMode(int mode) {
  mode_ = mode;
  start_tick_ = std::chrono::steady_clock::now();
  scan_.byte_count = 0;
  scan_.truncated = false;
  if (mode == kDataMode) scan_.state = ScanState::kFresh;
  link_.SetIdleLimit(mode == kDataMode ? std::chrono::milliseconds(kDataIdleLimit)
                                       : std::chrono::milliseconds(kCommandIdleLimit));
}

void SmtpConnection::OnIdle() {
  if (closed_) return;
  Reply(Format(kIdleTimeout, g_System.HostName), true);
  link_.Close();
  closed_ = true;
}

}  // namespace qv::smtp
