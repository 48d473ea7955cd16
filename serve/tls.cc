#include "serve/tls.h"

#include <openssl/ssl.h>
#include <sys/stat.h>

#include <asio/ssl/context.hpp>

namespace qv {

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

Status ServerTls::Load(const std::string& certificate, const std::string& key) {
  context_.reset();
  if (certificate.empty() || key.empty()) return {};
  auto made = MakeServerTlsContext(certificate, key);
  if (!made) return Fail(made.error());
  context_ = std::move(made).value();
  return {};
}

}  // namespace qv
