// Server-side TLS of the listeners: the context made from the certificate and key files the
// settings name, shared by every listener of a service. A connection switches to TLS through
// ConnectionLink::StartTls (STARTTLS, STLS) or starts in it on an implicit-TLS listener
// (ListenerSetup::tls); the frame does the handshake and the encryption, the protocols never see
// it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "common/result.h"

namespace asio::ssl {
class context;
}

namespace qv {

// A handshake not finished within this time ends the connection.
constexpr std::chrono::seconds kTlsHandshakeLimit{30};
// The certificate and key files are looked at again at most this often (a renewal is taken up
// by the next connection after that).
constexpr std::chrono::seconds kTlsReloadCheck{2};

// Asks every ServerTls of the process to look at its files on its next context() call, however
// recently it looked (the services do this on SIGHUP). Safe from any thread.
void RequestTlsCheck();

// A server context for the certificate chain and the private key in the PEM files `certificate`
// and `key`: TLS 1.2 and 1.3 only, the library's default ciphers, no client certificates. The
// key file must be readable by its owner only (no group or other bits); a key that does not
// match the certificate is refused too.
Result<std::shared_ptr<asio::ssl::context>> MakeServerTlsContext(const std::string& certificate,
                                                                 const std::string& key);

// The TLS context of a service process: loaded at start from the two settings and renewed when
// the files change. Without a certificate configured (or with files that could not be loaded at
// start) there is none, and the services offer no TLS at all.
class ServerTls {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `clock` null: the steady clock.
  explicit ServerTls(Clock clock = nullptr);

  // Takes the reason a renewed certificate was not taken (the old one is kept).
  void OnRefused(std::function<void(const std::string&)> log) { log_ = std::move(log); }

  // Loads the context; an empty certificate or key name leaves TLS off (ok). A failure is
  // returned for the log and leaves TLS off.
  Status Load(const std::string& certificate, const std::string& key);
  // The context new connections use, or null when TLS is off. When the files have changed since
  // they were loaded (looked at no more than every kTlsReloadCheck), they are loaded again
  // first: connections made from then on get the new certificate, those already made keep
  // theirs, and a new file that cannot be loaded is logged once and the old context kept.
  // After RequestTlsCheck the files are looked at on the next call whatever the time.
  std::shared_ptr<asio::ssl::context> context();
  bool enabled() const { return context_ != nullptr; }

 private:
  // What identifies one version of the two files.
  struct Stamp {
    dev_t device[2] = {};
    ino_t inode[2] = {};
    off_t size[2] = {};
    std::time_t changed[2] = {};
    long changed_ns[2] = {};
    bool operator==(const Stamp&) const = default;
  };
  Stamp Look() const;

  std::function<void(const std::string&)> log_;
  Clock clock_;
  std::string certificate_;
  std::string key_;
  std::shared_ptr<asio::ssl::context> context_;
  Stamp loaded_;  // the files the context was made from (or last refused)
  std::chrono::steady_clock::time_point next_check_{};
  unsigned checked_request_ = 0;  // the RequestTlsCheck count when the files were last looked at
};

}  // namespace qv
