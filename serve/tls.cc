#include "serve/tls.h"

#include <openssl/ssl.h>
#include <sys/stat.h>

#include <asio/ssl/context.hpp>
#include <atomic>

namespace qv {
namespace {

std::atomic<unsigned> g_check_requests{0};

}  // namespace

void RequestTlsCheck() {
  g_check_requests.fetch_add(1);
}

Result<std::shared_ptr<asio::ssl::context>> MakeServerTlsContext(const std::string& certificate,
                                                                 const std::string& key) {
  struct stat st {};
  if (stat(key.c_str(), &st) != 0) return Fail("cannot read the key file " + key);
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    return Fail("the key file " + key + " may be read by others; refused");
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_options(
      native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  std::error_code ec;
  context->use_certificate_chain_file(certificate, ec);
  if (ec) return Fail("cannot load the certificate " + certificate + ": " + ec.message());
  context->use_private_key_file(key, asio::ssl::context::pem, ec);
  if (ec) return Fail("cannot load the key " + key + ": " + ec.message());
  if (SSL_CTX_check_private_key(native) != 1)
    return Fail("the key " + key + " does not belong to the certificate " + certificate);
  return context;
}

ServerTls::ServerTls(Clock clock) : clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
}

Status ServerTls::Load(const std::string& certificate, const std::string& key) {
  context_.reset();
  certificate_ = certificate;
  key_ = key;
  if (certificate.empty() || key.empty()) return {};
  loaded_ = Look();
  next_check_ = clock_() + kTlsReloadCheck;
  checked_request_ = g_check_requests.load();
  auto made = MakeServerTlsContext(certificate, key);
  if (!made) return Fail(made.error());
  context_ = std::move(made).value();
  return {};
}

ServerTls::Stamp ServerTls::Look() const {
  Stamp stamp;
  const std::string* files[2] = {&certificate_, &key_};
  for (int i = 0; i < 2; ++i) {
    struct stat st {};
    if (stat(files[i]->c_str(), &st) != 0) continue;
    stamp.device[i] = st.st_dev;
    stamp.inode[i] = st.st_ino;
    stamp.size[i] = st.st_size;
    stamp.changed[i] = st.st_mtim.tv_sec;
    stamp.changed_ns[i] = st.st_mtim.tv_nsec;
  }
  return stamp;
}

std::shared_ptr<asio::ssl::context> ServerTls::context() {
  if (!context_) return nullptr;  // TLS stays off until the service starts again
  auto now = clock_();
  unsigned requested = g_check_requests.load();
  if (now < next_check_ && requested == checked_request_) return context_;
  next_check_ = now + kTlsReloadCheck;
  checked_request_ = requested;
  Stamp stamp = Look();
  if (stamp == loaded_) return context_;
  loaded_ = stamp;
  auto made = MakeServerTlsContext(certificate_, key_);
  if (made)
    context_ = std::move(made).value();
  else if (log_)
    log_(made.error());
  return context_;
}

}  // namespace qv
