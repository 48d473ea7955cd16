#include "setup/install_tls.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>

#include "common/config.h"
#include "common/settings_table.h"
#include "common/strings.h"
#include "platform/fileio.h"
#include "platform/sysroot.h"
#include "setup/install_files.h"

namespace qv::setup {
namespace {

struct FreeKey {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeCertificate {
  void operator()(X509* x) const { X509_free(x); }
};
struct FreeBio {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct FreeExtension {
  void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};

// The PEM text `write` puts into a memory BIO; empty on failure.
template <typename Write>
std::string Pem(Write write) {
  std::unique_ptr<BIO, FreeBio> bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return {};
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

bool AddExtension(X509* x, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, FreeExtension> ext(
      X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  return ext && X509_add_ext(x, ext.get(), -1) == 1;
}

}  // namespace

std::string TlsFolder() {
  return platform::SystemRoot() + "/tls";
}

TlsFiles InstallTlsFiles(const SetupOptions& o) {
  if (!o.cert.empty()) return {Absolute(o.cert), Absolute(o.key)};
  return {TlsFolder() + "/server.crt", TlsFolder() + "/server.key"};
}

Status MakeSelfSignedCertificate(const std::string& host, const TlsFiles& files) {
  std::unique_ptr<EVP_PKEY, FreeKey> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, FreeCertificate> x(X509_new());
  if (!key || !x) return Fail("cannot make a key with the OpenSSL library");
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return Fail("no random numbers for the certificate");
  serial[0] &= 0x7f;  // a positive serial number
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(x.get()));
  BN_free(number);
  X509_NAME* name = X509_get_subject_name(x.get());
  ok = ok && X509_set_version(x.get(), 2) == 1 &&
       X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600) != nullptr &&
       X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400L * kSelfSignedDays) != nullptr &&
       X509_set_pubkey(x.get(), key.get()) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1,
                                  0) == 1 &&
       X509_set_issuer_name(x.get(), name) == 1 &&
       AddExtension(x.get(), NID_subject_alt_name, "DNS:" + host) &&
       AddExtension(x.get(), NID_basic_constraints, "critical,CA:FALSE") &&
       AddExtension(x.get(), NID_ext_key_usage, "serverAuth") &&
       X509_sign(x.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) return Fail("cannot make a certificate for " + host + " with the OpenSSL library");
  std::string key_text = Pem([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  std::string certificate_text = Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, x.get()); });
  if (key_text.empty() || certificate_text.empty()) return Fail("cannot write the key as PEM");
  // The key first: a certificate never stands without its key.
  if (!platform::WriteFileAtomically(files.key, key_text, 0600))
    return Fail("cannot write " + files.key + ": " + ErrnoText());
  if (!platform::WriteFileAtomically(files.certificate, certificate_text, 0644))
    return Fail("cannot write " + files.certificate + ": " + ErrnoText());
  return {};
}

bool ValidRelayNetworks(const std::string& text) {
  if (text == "none") return true;
  if (text.empty() || text.size() >= sizeof(SMTPSTRUCT::RelayNetworks)) return false;
  size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return false;  // no network at all
  while (start != std::string::npos) {
    size_t end = text.find(' ', start);
    std::string network = text.substr(start, end == std::string::npos ? end : end - start);
    std::string address = network.substr(0, network.find('/'));
    if (!IsAddressLiteral(address)) return false;
    if (address.size() < network.size()) {
      std::string bits = network.substr(address.size() + 1);
      int most = address.find(':') != std::string::npos ? 128 : 32;
      if (bits.empty() || bits.size() > 3 ||
          bits.find_first_not_of("0123456789") != std::string::npos ||
          std::atoi(bits.c_str()) > most)
        return false;
    }
    start = end == std::string::npos ? end : text.find_first_not_of(' ', end);
  }
  return true;
}

}  // namespace qv::setup
