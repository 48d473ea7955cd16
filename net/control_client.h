// The client side of the control protocol, shared by qvctl and the console's remote mode: the
// login dialogue, and the reading of replies that end with a prompt instead of a line end
// ("Username: ", "Password: ", ">") and of the stream replies, which carry no end at all.
//
// The connection is a LineClient (bounded waits, cancel descriptor); since the replies are not
// lines, they are read from its socket here, with the same limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "net/line_client.h"
#include "net/tls_channel.h"

namespace qv {

enum class ControlLogin {
  kOk,
  kUnknownHost,    // the host name cannot be looked up
  kSocketError,    // no socket could be made
  kConnectFailed,  // no connection
  kNoGreeting,     // connected, but no greeting with its "Username: " (a silent or full service)
  kUnknownUser,    // "Invalid user name"
  kNoPermission,   // the user is no administrator
  kBadPassword,    // "Invalid password"
  kBroken,         // the connection failed during the dialogue
  kTlsFailed,      // the TLS handshake failed (tls_error() tells)
  kUntrusted,      // the server's certificate is not trusted or not the pinned one (tls_error())
};

// The text of a login outcome, for messages.
const char* ControlLoginText(ControlLogin result);

// What a command's reply says: failure replies begin "Cannot", "Invalid" or "Syntax Error", or
// end in "unknown !" (the prompt and line ends not counted).
bool IsControlFailure(std::string_view reply);

class ControlClient {
 public:
  explicit ControlClient(int cancel_fd = -1, int timeout_ms = 30000);

  // From the next Login on, the connection is made with TLS (the implicit-TLS control port),
  // the server's certificate trusted as `trust` says. Nothing is sent to a server whose
  // certificate is not trusted.
  void UseTls(TlsTrust trust) {
    tls_ = true;
    trust_ = std::move(trust);
  }

  // Connects, waits for the greeting's "Username: ", sends the user, waits for "Password: ",
  // sends the password and reads the outcome.
  ControlLogin Login(const std::string& host, uint16_t port, std::string_view user,
                     std::string_view password);

  // A command whose reply ends with the prompt (every command but the streams, QUIT and EXIT):
  // the reply without the final ">".
  Result<std::string> Command(std::string_view line);

  // QUIT or EXIT: the "closing connection" line; the service then closes the connection.
  Result<std::string> Quit(std::string_view line = "QUIT");

  // Sends a line and reads nothing (a QUIT whose reply is not waited for). False when it could
  // not be sent.
  bool Send(std::string_view line) { return SendLine(line); }

  // A stream command (GETSTREAM, PUTSTREAM) whose reply holds `separators` "|" characters when
  // whole, as a table's record line does: read until that many have arrived. A record that was
  // not found gives an empty reply, which this cannot tell from a slow one: use Stream for
  // lookups by key.
  Result<std::string> Record(std::string_view line, size_t separators);

  // Any stream command: a NOOP is sent right behind it, and the stream reply is what arrives
  // before the NOOP's prompt. Works for empty replies too.
  Result<std::string> Stream(std::string_view line);

  // The number of "|" in a whole record line of the stream word ("USER", "LIST", "ROUTE",
  // "EXEC", "AUTO", "ACCOUNT", "OPTIONS"); 0 for the others.
  static size_t RecordSeparators(std::string_view word);

  // The limit of each wait from now on.
  void set_timeout_ms(int timeout_ms) { timeout_ms_ = timeout_ms; }
  int timeout_ms() const { return timeout_ms_; }

  // After a TLS login: why the handshake or the certificate failed, and the SHA-256 fingerprint
  // of the server's certificate (empty when the handshake did not get that far).
  const std::string& tls_error() const { return channel_.error(); }
  const std::string& fingerprint() const { return channel_.fingerprint(); }

  void Close() {
    channel_.Close();
    client_.Close();
  }
  bool connected() const { return client_.fd() >= 0; }

 private:
  bool SendLine(std::string_view line);
  // Reads until `done` is true of everything received for this reply; the text, or an error.
  template <class Done>
  Result<std::string> ReadReply(Done done);

  LineClient client_;
  int cancel_fd_;
  int timeout_ms_;
  std::string pending_;  // received bytes that belong to the next reply
  bool tls_ = false;
  TlsTrust trust_;
  TlsChannel channel_;
};

}  // namespace qv
