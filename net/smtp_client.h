// The client side of an SMTP conversation, on a line client (net/line_client.h): commands are
// sent and replies read whole, and the message text goes out with the end line that fits it.
// What to send when is SmtpConversation's (net/smtp_conversation.h); the forwarder and qvsend
// drive one over this client.
//
// Every wait is bounded by a time limit and ends early when the cancel descriptor becomes
// readable, so that a service that stops never waits on a silent peer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/line_client.h"

namespace qv {

constexpr int kClientConnectMs = 60000;   // to connect
constexpr int kClientReplyMs = 300000;    // for a reply to a command
constexpr int kClientDataEndMs = 600000;  // for the reply to the end of the message text

// The port that speaks TLS from the first byte (RFC 8314): with outgoing TLS asked for, a
// conversation there starts with the handshake instead of STARTTLS.
constexpr uint16_t kSmtpImplicitTlsPort = 465;

// The message text between the 354 reply and the end line, as it goes on the wire. Text in
// transfer form (as an SMTP server received it, dots already doubled) goes out as it is; plain
// text (a file) gets a second "." before every line that starts with one. A line is what SMTP
// calls one: it starts the text or follows CR LF (a bare LF is text inside a line). The text may
// come in pieces of any size: line starts and the last bytes are followed across them.
class MessageText {
 public:
  explicit MessageText(bool stuff_dots) : stuff_dots_(stuff_dots) {}

  // The piece as it goes on the wire: a view of `piece` itself, or of a copy kept until the next
  // call.
  std::string_view Encode(std::string_view piece);

  // The end line after the text so far: "." CR LF when the text ends with CR LF (or there was
  // none), else CR LF "." CR LF, so that the peer stores exactly the text that was sent.
  std::string_view EndLine() const;

 private:
  bool stuff_dots_;
  bool at_line_start_ = true;  // the text so far is empty or ends with CR LF
  bool last_is_cr_ = false;
  std::string copy_;
};

class SmtpClient {
 public:
  explicit SmtpClient(int cancel_fd = -1) : line_(cancel_fd) {}

  // See LineClient: Open resolves and makes the socket, Connect connects it.
  ConnectResult Open(const std::string& host, uint16_t port) { return line_.Open(host, port); }
  ConnectResult Connect(int timeout_ms = kClientConnectMs) { return line_.Connect(timeout_ms); }
  ConnectResult Connect(const std::string& host, uint16_t port, int timeout_ms = kClientConnectMs) {
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

  // TLS on the connection: see LineClient::StartTls.
  TlsChannel::Outcome StartTls(const std::string& host, const TlsTrust& trust, bool verify,
                               int timeout_ms = kClientReplyMs) {
    return line_.StartTls(host, trust, verify, timeout_ms);
  }
  bool secure() const { return line_.secure(); }
  std::string tls_error() const { return line_.tls_error(); }

  LineClient::Failure failure() const { return line_.failure(); }
  void Close() { line_.Close(); }
  int fd() const { return line_.fd(); }

 private:
  LineClient line_;
};

// True when the line (with its line end) continues a reply: it begins with three digits and "-".
bool IsReplyContinuation(std::string_view line);

// The smart hosts of an ExchangeHost value ("host" or "host:port" each, separated by ";", blanks,
// tabs or ","), in order.
std::vector<std::string> ExchangeHostList(std::string_view exchange_hosts);

// Whether `host` ("name" or "name:port") names one of the smart hosts of ExchangeHost, by its
// name (without regard to case or port): only those get the exchange login.
bool IsExchangeHost(const std::string& host, std::string_view exchange_hosts);

}  // namespace qv
