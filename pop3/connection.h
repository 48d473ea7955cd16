// One POP3 connection: the per-connection line buffer, the session, and the message being sent.
// It sees its socket only through the service frame's ConnectionLink.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/service_frame.h"
#include "pop3/message.h"
#include "pop3/session.h"

namespace qv::pop3 {

// Size of a connection's line buffer: a line that fills it without CR LF is refused.
constexpr size_t kLineBufferSize = 2048;
// No command for this long ends the connection without applying deletions.
constexpr std::chrono::minutes kDefaultIdleLimit{10};
// Bytes of a message handed to the socket in one send, and sends in one turn of the event loop
// before the other connections get their turn.
constexpr size_t kSendChunk = 64 * 1024;
constexpr int kChunksPerTurn = 4;

// The connection record of a slot: the pending message (file and transfer limit, both held by
// the transfer) and the session.
class POPCONNSTRUCT final : public ConnectionHandler {
 public:
  // `defer` runs a function later on the event loop (so that a long transfer lets other
  // connections in between its pieces).
  POPCONNSTRUCT(ConnectionLink& link, const std::string& peer,
                std::function<void(std::function<void()>)> defer,
                std::chrono::milliseconds idle_limit);
  ~POPCONNSTRUCT() override;

  void OnReceive(std::string_view bytes) override;
  void OnIdle() override;
  void OnDrained() override;

  const Pop3Session& session() const { return *session_; }

 private:
  // Handles the command taken from the line buffer.
  void HandleCommandLine();
  // Handles the buffer when it holds a line end; refuses it when it is full without one.
  void ProcessBuffer();
  // Sends pieces of the pending message while the socket takes them.
  void SendPendingFile();
  void Log(int level, const char* tag, std::string_view text);

  ConnectionLink& link_;
  std::function<void(std::function<void()>)> defer_;
  std::chrono::milliseconds idle_limit_;
  std::unique_ptr<Pop3Session> session_;
  std::string line_;
  std::string command_;
  MessageTransfer pending_;
  std::string piece_;
  std::string outgoing_;
  bool transfer_progressed_ = false;  // a piece went out since the last idle check
  bool pump_scheduled_ = false;
  std::shared_ptr<bool> alive_;
};

}  // namespace qv::pop3
