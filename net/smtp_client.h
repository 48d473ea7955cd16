// The client side of an SMTP conversation, on a line client (net/line_client.h): commands are
// sent and replies read whole. The conversation itself (what to send when) belongs to the
// caller: the forwarder and qvsend each hold their own.
//
// Every wait is bounded by a time limit and ends early when the cancel descriptor becomes
// readable, so that a service that stops never waits on a silent peer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/line_client.h"

namespace qv {

constexpr int kClientConnectMs = 60000;   // to connect
constexpr int kClientReplyMs = 300000;    // for a reply to a command
constexpr int kClientDataEndMs = 600000;  // for the reply to the end of the message text

class SmtpClient {
 public:
  explicit SmtpClient(int cancel_fd = -1) : line_(cancel_fd) {}

  // See LineClient: Open resolves and makes the socket, Connect connects it.
  ConnectResult Open(const std::string& host, uint16_t port) { return line_.Open(host, port); }
  ConnectResult Connect(int timeout_ms = kClientConnectMs) { return line_.Connect(timeout_ms); }
  ConnectResult Connect(const std::string& host, uint16_t port,
                        int timeout_ms = kClientConnectMs) {
    return line_.Connect(host, port, timeout_ms);
  }

  // Sends a command (or any data) whole. False when the connection broke, the peer took nothing
  // for `timeout_ms`, or the wait was cancelled.
  bool Send(std::string_view data, int timeout_ms = kClientReplyMs) {
    return line_.Send(data, timeout_ms);
  }

  // Reads one reply to its last line: lines of "ddd-" continue it, any other line ends it.
  // Returns the reply with all its lines, each ending in CR LF as received; empty when the
  // connection closed, failed, stayed silent for `timeout_ms`, sent more than 64 KB, or the wait
  // was cancelled before a whole reply arrived. Bytes after the reply are kept for the next one.
  std::string ReadReply(int timeout_ms = kClientReplyMs);

  LineClient::Error error() const { return line_.error(); }
  void Close() { line_.Close(); }
  int fd() const { return line_.fd(); }

 private:
  LineClient line_;
};

// True when the reply begins with the code (its first characters).
bool ReplyStartsWith(std::string_view reply, std::string_view code);

}  // namespace qv
