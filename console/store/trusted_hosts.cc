// The console's trusted self-signed certificates: one string value per host name under a key of
// the console's own, holding the certificate's SHA-256 fingerprint.
#include "common/config.h"
#include "console/store/console_store.h"
#include "platform/registry.h"

namespace qv::console {

namespace {

constexpr char kTrustedHostsKey[] = "SOFTWARE\\Quorvane\\Console\\TrustedCertificates";

}  // namespace

std::string TrustedFingerprint(const std::string& host) {
  std::string fingerprint;
  if (host.empty() || !reg::ReadString(kTrustedHostsKey, host, &fingerprint)) return {};
  return NormalFingerprint(fingerprint);
}

bool TrustFingerprint(const std::string& host, const std::string& fingerprint) {
  std::string normal = NormalFingerprint(fingerprint);
  if (host.empty() || normal.empty()) return false;
  reg::Key key;
  if (reg::CreateKey(kTrustedHostsKey, "QuorvaneConsole", &key) != reg::kSuccess) return false;
  bool ok = reg::SetString(&key, host, normal) == reg::kSuccess;
  reg::CloseKey(&key);
  return ok;
}

}  // namespace qv::console
