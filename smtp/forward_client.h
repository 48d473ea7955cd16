// The client side of an SMTP conversation: one TCP connection to a mail host, on which commands
// are sent and replies read whole. The conversation itself (what to send when) belongs to the
// caller: the forwarder and qvsend each hold their own.
//
// Every wait is bounded by a time limit and ends early when the cancel descriptor becomes
// readable, so that a service that stops never waits on a silent peer.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

constexpr int kClientConnectMs = 60000;   // to connect
constexpr int kClientReplyMs = 300000;    // for a reply to a command
constexpr int kClientDataEndMs = 600000;  // for the reply to the end of the message text

class SmtpClientConnection {
 public:
  enum ConnectResult { kConnected = 0, kUnknownHost = 1, kConnectFailed = 2 };

  explicit SmtpClientConnection(int cancel_fd = -1) : cancel_fd_(cancel_fd) {}
  ~SmtpClientConnection() { Close(); }
  SmtpClientConnection(const SmtpClientConnection&) = delete;
  SmtpClientConnection& operator=(const SmtpClientConnection&) = delete;

  // Looks the host up (a dotted address, else the system's host lookup) and creates the
  // socket, so that its number can be logged before the connection is tried.
  ConnectResult Open(const std::string& host, uint16_t port);
  // Connects the socket made by Open within `timeout_ms`. After kConnectFailed the socket stays
  // open until Close, so that the caller can still log its number.
  ConnectResult Connect(int timeout_ms = kClientConnectMs);
  // Open and Connect.
  ConnectResult Connect(const std::string& host, uint16_t port, int timeout_ms = kClientConnectMs);

  // Sends all of the data. False when the connection broke, the peer stopped reading for
  // `timeout_ms`, or the wait was cancelled.
  bool Send(std::string_view data, int timeout_ms = kClientReplyMs);

  // Reads one reply to its last line: lines of "ddd-" continue it, any other line ends it.
  // Returns the reply with all its lines, each ending in CR LF as received; empty when the
  // connection closed, failed, stayed silent for `timeout_ms` or the wait was cancelled before
  // a whole reply arrived. Bytes after the reply are kept for the next one.
  std::string ReadReply(int timeout_ms = kClientReplyMs);

  void Close();
  int fd() const { return fd_; }

 private:
  enum class Wait { kReady, kTimeout, kCancelled };
  Wait WaitFor(short events, int timeout_ms);

  int fd_ = -1;
  int cancel_fd_;
  sockaddr_in to_{};
  std::string pending_;
};

// True when the reply begins with the code (its first characters).
bool ReplyStartsWith(std::string_view reply, std::string_view code);

}  // namespace qv
