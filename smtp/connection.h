// One SMTP connection as the frame holds it in a slot: the partial command line, command and
// data mode, the end-of-data recogniser and the session. Replies go out through one writer that
// sends and logs them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/service_frame.h"
#include "smtp/data_scan.h"
#include "smtp/session.h"

namespace qv::smtp {

// Modes of a connection.
constexpr int kCommandMode = 0;
constexpr int kDataMode = 1;

// Size of the partial command line; a line that does not fit is refused.
constexpr size_t kLineLimit = 2048;

// A connection that sends nothing for this long is told and closed.
constexpr std::chrono::minutes kCommandIdleLimit{5};
constexpr std::chrono::minutes kDataIdleLimit{10};

// Runs `work` away from the loop and `done` on the loop afterwards (ServiceFrame::Offload).
using OffloadFunction = std::function<void(std::function<void()> work, std::function<void()> done)>;

class SmtpConnection : public ConnectionHandler {
 public:
  // `forward_now` starts a forward run (send immediately); it may be empty. `offload` takes the
  // storing of a received message off the loop; without it the message is stored at once.
  SmtpConnection(ConnectionLink& link, std::string peer, std::function<void()> forward_now,
                 OffloadFunction offload = nullptr);

  void OnReceive(std::string_view bytes) override;
  void OnIdle() override;

  int mode() const { return mode_; }
  // A received message is being stored; its reply is still to come.
  bool storing() const { return storing_; }
  const DataScan& scan() const { return scan_; }
  SmtpSession& session() { return *session_; }

 private:
  void HandleCommandLine(std::string_view line);
  void ReceiveData(std::string_view chunk);
  void SetSlotMode(int mode);
  struct Storing;
  void Stored(const Storing& job);
  // The one writer of replies: sends, and logs unless told not to.
  void Reply(std::string_view text, bool log);

  ConnectionLink& link_;
  int mode_ = kCommandMode;
  DataScan scan_;
  std::chrono::steady_clock::time_point start_tick_;
  std::string partial_;
  std::unique_ptr<SmtpSession> session_;
  std::function<void()> forward_now_;
  OffloadFunction offload_;
  bool closed_ = false;
  bool storing_ = false;
  std::string held_;  // input that arrived while a message was being stored
  // Expires with the connection, so that a late completion finds it gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qv::smtp
