// Server-side TLS of the listeners: the context made from the certificate and key files the
// settings name, shared by every listener of a service. A connection switches to TLS through
// ConnectionLink::StartTls (STARTTLS, STLS) or starts in it on an implicit-TLS listener
// (ListenerSetup::tls); the frame does the handshake and the encryption, the protocols never see
// it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "common/result.h"

namespace asio::ssl {
class context;
}

namespace qv {

// A handshake not finished within this time ends the connection.
constexpr std::chrono::seconds kTlsHandshakeLimit{30};

// A server context for the certificate chain and the private key in the PEM files `certificate`
// and `key`: TLS 1.2 and 1.3 only, the library's default ciphers, no client certificates. The
// key file must be readable by its owner only (no group or other bits); a key that does not
// match the certificate is refused too.
Result<std::shared_ptr<asio::ssl::context>> MakeServerTlsContext(const std::string& certificate,
                                                                 const std::string& key);

// The TLS context of a service process: loaded at start from the two settings, kept while the
// process runs. Without a certificate configured (or with files that could not be loaded) there
// is none, and the services offer no TLS at all.
class ServerTls {
 public:
  // Loads the context; an empty certificate or key name leaves TLS off (ok). A failure is
  // returned for the log and leaves TLS off.
  Status Load(const std::string& certificate, const std::string& key);
  // The context new connections use, or null when TLS is off.
  std::shared_ptr<asio::ssl::context> context() const { return context_; }
  bool enabled() const { return context_ != nullptr; }

 private:
  std::shared_ptr<asio::ssl::context> context_;
};

}  // namespace qv
