#include "serve/line_connection.h"

#include <algorithm>

#include "common/maillog.h"

namespace qv {

LineConnection::LineConnection(ConnectionLink& link, const Settings& settings,
                               std::string_view log_prefix, std::string_view line_too_long)
    : link_(link), settings_(settings), log_prefix_(log_prefix), line_too_long_(line_too_long) {}

void LineConnection::Reply(std::string_view text, bool log) {
  // The peer gets the reply before the log line is formatted and written; Send never calls back,
  // so the log's order is the same.
  link_.Send(text);
  if (log) Log(kLogLevelProtocol, kLogSent, text);
}

void LineConnection::Log(int level, const char* tag, std::string_view text) {
  WriteLog(settings_.system, level, link_.Number(), tag, text, log_prefix_);
}

void LineConnection::LogReceived(std::string_view line) {
  size_t shown = LoggedLength(line);
  if (shown >= line.size()) return Log(kLogLevelProtocol, kLogReceived, line);
  std::string masked(line.substr(0, shown));
  masked += shown == 0 ? "********" : " ********";
  Log(kLogLevelProtocol, kLogReceived, masked);
}

void LineConnection::Close() {
  if (closed_) return;
  closed_ = true;
  link_.Close();
}

void LineConnection::OnReceive(std::string_view bytes) {
  if (closed_ || switching_) return;
  if (input_.empty() && !processing_) {
    // The usual case: nothing waits, so the read is handled where it lies.
    size_t used = Process(bytes);
    input_.assign(bytes.substr(used));
  } else {
    input_.append(bytes);
    Drain();
  }
  if (switching_) input_.clear();  // sent in clear after STARTTLS: never handed on
  UpdateHold();
}

bool LineConnection::StartTls() {
  if (closed_ || !link_.StartTls()) return false;
  switching_ = true;
  input_.clear();
  paused_ = true;
  return true;
}

void LineConnection::OnTlsStarted() {
  if (closed_) return;
  switching_ = false;
  input_.clear();
  OnSecured();
  paused_ = false;
  UpdateHold();
}

void LineConnection::Resume() {
  if (!paused_ || switching_) return;
  paused_ = false;
  if (closed_) return;
  Drain();
  UpdateHold();
}

void LineConnection::Drain() {
  if (processing_ || input_.empty()) return;
  size_t used = Process(input_);
  input_.erase(0, used);
  if (switching_) input_.clear();
}

size_t LineConnection::Process(std::string_view input) {
  processing_ = true;
  size_t pos = 0;
  while (!closed_ && !paused_ && pos < input.size()) {
    std::string_view rest = input.substr(pos);
    if (raw_) {
      size_t used = std::min(OnRawInput(rest), rest.size());
      pos += used;
      if (used == 0 && raw_ && !paused_) break;  // it takes nothing more for now
      continue;
    }
    size_t end = rest.find("\r\n");
    bool too_long = end == std::string_view::npos ? rest.size() >= kCommandLineLimit
                                                  : end + 2 > kCommandLineLimit;
    if (too_long) {
      Reply(line_too_long_);
      OnLineTooLong();
      Close();
      break;
    }
    if (end == std::string_view::npos) break;
    pos += end + 2;
    std::string_view line = rest.substr(0, end);
    LogReceived(line);
    OnLine(line);
  }
  processing_ = false;
  return pos;
}

void LineConnection::UpdateHold() {
  if (processing_) return;
  if (closed_) input_.clear();  // nothing is handed on any more
  bool hold = !closed_ && paused_ && input_.size() >= kCommandLineLimit;
  if (hold == holding_) return;
  holding_ = hold;
  link_.HoldInput(hold);
}

}  // namespace qv
