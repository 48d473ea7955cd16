// The client side of TLS on a connected, non-blocking socket, for the control client and the SMTP
// and POP3 clients (through LineClient): the handshake and the encrypted reads and writes, each
// wait bounded by a time limit and ended early by the cancel descriptor, as LineClient's are.
//
// The server's certificate is trusted in one of two ways: pinned (the SHA-256 fingerprint the
// caller gives must be the certificate's), or checked against the CA certificates of a file or of
// the system's store, with the host name (or address) the caller connected to. Either way the
// handshake itself completes first, so that the fingerprint of a certificate that is not trusted
// can still be shown to the user; nothing is sent on such a connection.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"

namespace qv {

// A client context with its CA certificates loaded (LoadTlsTrust); opaque outside the channel.
struct TlsClientContext;

struct TlsTrust {
  // The pinned SHA-256 fingerprint, in hexadecimal (upper or lower case, colons allowed). Empty:
  // check the certificate's chain and name instead.
  std::string fingerprint;
  // PEM file of the CA (or the server's own) certificates to trust; empty: the system's store.
  std::string ca_file;
  // Set by LoadTlsTrust: the context every handshake with this trust (or a copy of it) uses, on
  // any thread, so that the CA certificates are read once and not on every handshake. Null: each
  // handshake makes its own context.
  std::shared_ptr<TlsClientContext> loaded;
};

// Reads the CA certificates of `trust` (its file, or the system's store; nothing for a pinned
// fingerprint) into one context that its handshakes share from then on.
Status LoadTlsTrust(TlsTrust* trust);

// The fingerprint as shown to users: upper-case hexadecimal pairs joined by colons. Empty when
// `text` is not 32 bytes in hexadecimal (colons and white space ignored).
std::string NormalFingerprint(std::string_view text);

class TlsChannel {
 public:
  enum class Outcome {
    kOk,
    kFailed,     // the handshake failed, timed out or was cancelled (error() tells)
    kUntrusted,  // the handshake completed, but the certificate is not trusted (error() tells)
  };

  TlsChannel();
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Runs the handshake on `fd` (connected, non-blocking, owned by the caller) within
  // `timeout_ms` for each wait, then checks the certificate as `trust` says.
  Outcome Handshake(int fd, const std::string& host, const TlsTrust& trust, int cancel_fd,
                    int timeout_ms);

  // Sends all of `data`; false when the connection failed, timed out or was cancelled.
  bool Write(std::string_view data, int timeout_ms);
  // Receives up to `size` bytes: their number, 0 when the peer closed, -1 on failure, time-out
  // or cancel (error() tells).
  long Read(char* buffer, size_t size, int timeout_ms);

  // Why the last handshake, write or read ended without its result.
  enum class Stop { kNone, kTimeout, kCancelled, kFailed };
  Stop stop() const { return stop_; }

  // The server certificate's fingerprint (NormalFingerprint form) once the handshake completed.
  const std::string& fingerprint() const { return fingerprint_; }
  const std::string& error() const { return error_; }
  bool active() const { return native_ != nullptr; }
  void Close();

 private:
  struct Native;
  // Waits until the socket is ready for what OpenSSL asked (`code` SSL_ERROR_WANT_READ or _WRITE);
  // false (with error_) on time-out, cancel or another error.
  bool Await(int code, int timeout_ms);

  std::unique_ptr<Native> native_;  // the context and the SSL object; null when closed
  int fd_ = -1;
  int cancel_fd_ = -1;
  std::string fingerprint_;
  std::string error_;
  Stop stop_ = Stop::kNone;
};

}  // namespace qv
