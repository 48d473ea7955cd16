// The TLS part of an installation (--tls, --cert, --key): where the certificate and key are, and
// a self-signed certificate for the host name when none is given.
#pragma once

#include <string>

#include "common/result.h"
#include "setup/installer.h"

namespace qv::setup {

// The loopback networks that may relay without AUTH when --relay-networks is not given.
inline constexpr char kDefaultRelayNetworks[] = "127.0.0.0/8 ::1";
// How long a self-signed certificate of the installer is valid.
inline constexpr int kSelfSignedDays = 3650;

struct TlsFiles {
  std::string certificate;  // PEM
  std::string key;          // PEM, owner-only
};

// The files an installation names: --cert and --key made absolute, else server.crt and
// server.key in the folder "tls" of the system root.
TlsFiles InstallTlsFiles(const SetupOptions& o);
std::string TlsFolder();

// Writes a new self-signed certificate for `host` (an EC P-256 key, the host as common name and
// DNS name, valid for kSelfSignedDays) and its key, mode 0600, with the OpenSSL library.
Status MakeSelfSignedCertificate(const std::string& host, const TlsFiles& files);

// A --relay-networks value: "none", or addresses and prefixes such as "10.0.0.0/8 ::1".
bool ValidRelayNetworks(const std::string& text);

}  // namespace qv::setup
