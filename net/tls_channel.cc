#include "net/tls_channel.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <asio/ssl/context.hpp>
#include <cctype>
#include <cerrno>

#include "common/strings.h"

namespace qv {

struct TlsClientContext {
  asio::ssl::context context{asio::ssl::context::tls_client};
};

struct TlsChannel::Native {
  std::shared_ptr<TlsClientContext> context;
  SSL* ssl = nullptr;
  ~Native() {
    if (ssl != nullptr) SSL_free(ssl);
  }
};

namespace {

// A client context for `trust`: TLS 1.2 or later, the CA certificates loaded unless the
// certificate is pinned. The chain is checked during the handshake but a failure does not end
// it: the outcome is decided afterwards, from the verification result or the fingerprint.
Result<std::shared_ptr<TlsClientContext>> MakeContext(const TlsTrust& trust) {
  auto made = std::make_shared<TlsClientContext>();
  SSL_CTX* context = made->context.native_handle();
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_options(
      context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (trust.fingerprint.empty()) {
    std::error_code ec;
    if (trust.ca_file.empty())
      made->context.set_default_verify_paths(ec);
    else
      made->context.load_verify_file(trust.ca_file, ec);
    if (ec) return Fail("cannot load the CA certificates " + trust.ca_file + ": " + ec.message());
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  return made;
}

// The text of OpenSSL's last error (its queue emptied), or `fallback`.
std::string SslError(const char* fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool IsAddress(const std::string& host) {
  in6_addr any{};
  return inet_pton(AF_INET, host.c_str(), &any) == 1 ||
         inet_pton(AF_INET6, host.c_str(), &any) == 1;
}

}  // namespace

std::string NormalFingerprint(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c == ':' || std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (digits.size() != 64) return {};
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (!out.empty()) out += ':';
    out.append(digits, i, 2);
  }
  return out;
}

Status LoadTlsTrust(TlsTrust* trust) {
  trust->loaded.reset();
  Result<std::shared_ptr<TlsClientContext>> made = MakeContext(*trust);
  if (!made.ok()) return Fail(made.error());
  trust->loaded = std::move(made.value());
  return {};
}

TlsChannel::TlsChannel() = default;
TlsChannel::~TlsChannel() = default;

void TlsChannel::Close() {
  native_.reset();
  fd_ = -1;
}

bool TlsChannel::Await(int code, int timeout_ms) {
  short events = 0;
  if (code == SSL_ERROR_WANT_READ)
    events = POLLIN;
  else if (code == SSL_ERROR_WANT_WRITE)
    events = POLLOUT;
  else {
    error_ = code == SSL_ERROR_ZERO_RETURN ? "the connection was closed"
                                           : SslError("the TLS connection failed");
    stop_ = Stop::kFailed;
    return false;
  }
  pollfd fds[2] = {{fd_, events, 0}, {cancel_fd_, POLLIN, 0}};
  for (;;) {
    int r = ::poll(fds, cancel_fd_ >= 0 ? 2 : 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      error_ = "no answer within the time limit";
      stop_ = Stop::kTimeout;
      return false;
    }
    if (r < 0 || (cancel_fd_ >= 0 && fds[1].revents != 0)) {
      error_ = "cancelled";
      stop_ = r < 0 ? Stop::kFailed : Stop::kCancelled;
      return false;
    }
    return true;
  }
}

TlsChannel::Outcome TlsChannel::Handshake(int fd, const std::string& host, const TlsTrust& trust,
                                          int cancel_fd, int timeout_ms) {
  Close();
  fingerprint_.clear();
  error_.clear();
  stop_ = Stop::kNone;
  ERR_clear_error();
  std::string pinned;
  if (!trust.fingerprint.empty()) {
    pinned = NormalFingerprint(trust.fingerprint);
    if (pinned.empty()) {
      error_ = "the fingerprint " + trust.fingerprint + " is not a SHA-256 fingerprint";
      return Outcome::kFailed;
    }
  }
  native_ = std::make_unique<Native>();
  fd_ = fd;
  cancel_fd_ = cancel_fd;
  if (trust.loaded) {
    native_->context = trust.loaded;
  } else {
    Result<std::shared_ptr<TlsClientContext>> made = MakeContext(trust);
    if (!made.ok()) {
      error_ = made.error();
      Close();
      return Outcome::kFailed;
    }
    native_->context = std::move(made.value());
  }
  SSL_CTX* context = native_->context->context.native_handle();
  native_->ssl = SSL_new(context);
  SSL* ssl = native_->ssl;
  if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
    error_ = SslError("cannot start TLS");
    Close();
    return Outcome::kFailed;
  }
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (IsAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl, host.c_str());
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
  }
  for (;;) {
    int r = SSL_connect(ssl);
    if (r == 1) break;
    if (!Await(SSL_get_error(ssl, r), timeout_ms)) {
      error_ = "TLS handshake with " + host + " failed: " + error_;
      Close();
      return Outcome::kFailed;
    }
  }
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (certificate == nullptr) {
    error_ = "the server " + host + " sent no certificate";
    Close();
    return Outcome::kUntrusted;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(certificate, EVP_sha256(), digest, &length);
  X509_free(certificate);
  fingerprint_.clear();
  for (unsigned int i = 0; i < length; ++i)
    fingerprint_ += (i == 0 ? "" : ":") + Format("%02X", digest[i]);
  if (!pinned.empty()) {
    if (pinned == fingerprint_) return Outcome::kOk;
    error_ = "the certificate of " + host + " has the SHA-256 fingerprint " + fingerprint_ +
             ", not the expected " + pinned + "; refused";
    return Outcome::kUntrusted;
  }
  long verified = SSL_get_verify_result(ssl);
  if (verified == X509_V_OK) return Outcome::kOk;
  error_ = "the certificate of " + host +
           " is not trusted: " + X509_verify_cert_error_string(verified) +
           " (SHA-256 fingerprint " + fingerprint_ + ")";
  return Outcome::kUntrusted;
}

bool TlsChannel::Write(std::string_view data, int timeout_ms) {
  if (!native_) {
    error_ = "no TLS connection";
    return false;
  }
  while (!data.empty()) {
    size_t written = 0;
    int r = SSL_write_ex(native_->ssl, data.data(), data.size(), &written);
    if (r == 1) {
      data.remove_prefix(written);
      continue;
    }
    if (!Await(SSL_get_error(native_->ssl, r), timeout_ms)) return false;
  }
  return true;
}

long TlsChannel::Read(char* buffer, size_t size, int timeout_ms) {
  if (!native_) {
    error_ = "no TLS connection";
    return -1;
  }
  for (;;) {
    size_t got = 0;
    int r = SSL_read_ex(native_->ssl, buffer, size, &got);
    if (r == 1) return static_cast<long>(got);
    int code = SSL_get_error(native_->ssl, r);
    if (code == SSL_ERROR_ZERO_RETURN) return 0;
    // A peer that closes the socket without close_notify ends the stream as well.
    if (code == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;
    if (!Await(code, timeout_ms)) return -1;
  }
}

}  // namespace qv
