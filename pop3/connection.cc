#include "pop3/connection.h"

#include <cstring>

#include "common/maillog.h"
#include "pop3/pop3_texts.h"

namespace qv::pop3 {

POPCONNSTRUCT::POPCONNSTRUCT(ConnectionLink& link, const std::string& peer,
                             std::function<void(std::function<void()>)> defer,
                             std::chrono::milliseconds idle_limit)
    : link_(link),
      defer_(std::move(defer)),
      idle_limit_(idle_limit),
      session_(std::make_unique<Pop3Session>(peer)),
      alive_(std::make_shared<bool>(true)) {
  line_.reserve(kLineBufferSize);
  WriteLog(kLogLevelMail, 0, kLogEvent, kLogConnect, kLogPrefixPop3);
  link_.SetIdleLimit(idle_limit_);
}

POPCONNSTRUCT::~POPCONNSTRUCT() {
  *alive_ = false;
}

void POPCONNSTRUCT::Log(int level, const char* tag, std::string_view text) {
  WriteLog(level, link_.Number(), tag, text, kLogPrefixPop3);
}

void POPCONNSTRUCT::OnReceive(std::string_view bytes) {
  if (session_->state() == Pop3State::kClosing) return;
  size_t room = kLineBufferSize - line_.size();
  line_.append(bytes.substr(0, room));
  // Input that arrives while a message is being sent waits for the end of the transfer.
  if (pending_.active()) {
    if (line_.size() >= kLineBufferSize && line_.find("\r\n") == std::string::npos) ProcessBuffer();
    return;
  }
  ProcessBuffer();
}

void POPCONNSTRUCT::ProcessBuffer() {
  if (line_.find("\r\n") != std::string::npos) {
    // The whole buffer is one command; it is emptied before the command runs, so that input
    // arriving during a transfer starts a new line.
    command_.swap(line_);
    line_.clear();
    HandleCommandLine();
    return;
  }
  if (line_.size() >= kLineBufferSize) {
    // The session ends here, as a dropped connection would: no deletions are applied.
    Log(kLogLevelProtocol, kLogSent, kErrLineTooLong);
    Log(kLogLevelMail, kLogEvent, kLogLineTooLong);
    pending_ = MessageTransfer();
    link_.Send(kErrLineTooLong);
    link_.Close();
    line_.clear();
  }
}

void POPCONNSTRUCT::HandleCommandLine() {
  Log(kLogLevelProtocol, kLogReceived, command_);
  Pop3Reply reply;
  int result = DispatchPop3Command(session_.get(), command_.data(), command_.size(), &reply);
  if (result == kResultNoSession) return;
  Log(kLogLevelProtocol, kLogSent, reply.text);
  if (result == kResultMessage || result == kResultTop) {
    int64_t limit =
        result == kResultTop ? ComputeTopLimit(reply.file.get(), reply.top_lines, true) : -1;
    pending_ = MessageTransfer(std::move(reply.file), limit, true);
    // The reply goes out with the first piece of the message.
    outgoing_ = std::move(reply.text);
    SendPendingFile();
  } else {
    link_.Send(reply.text);
  }
  if (session_->state() == Pop3State::kClosing) link_.Close();
}

void POPCONNSTRUCT::SendPendingFile() {
  int chunks = 0;
  while (pending_.active() && link_.CanSendMore()) {
    if (++chunks > kChunksPerTurn) {
      // Let the other connections in; go on at the next turn of the loop.
      if (!pump_scheduled_) {
        pump_scheduled_ = true;
        defer_([this, alive = alive_] {
          if (!*alive) return;
          pump_scheduled_ = false;
          SendPendingFile();
        });
      }
      return;
    }
    // Blocks of the file are gathered into one send of up to kSendChunk bytes.
    while (outgoing_.size() < kSendChunk && pending_.Next(&piece_)) {
      Log(kLogLevelData, kLogData, piece_);
      outgoing_ += piece_;
    }
    if (outgoing_.empty()) continue;
    transfer_progressed_ = true;
    link_.Send(outgoing_);
    outgoing_.clear();
  }
  if (pending_.active()) return;  // OnDrained goes on, or the connection is ending
  if (!line_.empty()) {
    ProcessBuffer();
  }
}

void POPCONNSTRUCT::OnDrained() {
  if (pending_.active() && !pump_scheduled_) SendPendingFile();
}

void POPCONNSTRUCT::OnIdle() {
  if (pending_.active() && transfer_progressed_) {
    // A slow reader still takes the message: not idle.
    transfer_progressed_ = false;
    link_.SetIdleLimit(idle_limit_);
    return;
  }
  char text[128];
  std::snprintf(
      text, sizeof text, kLogIdle,
      static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(idle_limit_).count()));
  Log(kLogLevelMail, kLogEvent, text);
  pending_ = MessageTransfer();
  link_.Close();
}

}  // namespace qv::pop3
