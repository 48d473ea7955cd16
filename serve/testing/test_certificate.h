// A self-signed certificate for "localhost" and its key, made by the openssl program in a test's
// folder (the key readable by its owner only), for services under test that offer TLS.
#pragma once

#include <sys/stat.h>

#include <cctype>
#include <string>

#include "common/testing/test_env.h"

namespace qv::testing {

struct TestCertificate {
  std::string certificate;  // PEM file
  std::string key;          // PEM file, mode 0600
  std::string fingerprint;  // SHA-256, as openssl shows it: upper-case pairs joined by colons
  bool ok = false;
};

inline TestCertificate MakeTestCertificate(const std::string& folder) {
  TestCertificate made{folder + "/server.crt", folder + "/server.key", "", false};
  RunResult run = RunProgram(
      "/usr/bin/openssl",
      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
       "-days", "2", "-subj", "/CN=localhost", "-keyout", made.key, "-out", made.certificate});
  made.ok = run.code == 0 && chmod(made.key.c_str(), 0600) == 0;
  RunResult shown = RunProgram(
      "/usr/bin/openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", made.certificate});
  size_t at = shown.out.find('=');
  if (at != std::string::npos) made.fingerprint = shown.out.substr(at + 1);
  while (!made.fingerprint.empty() &&
         std::isspace(static_cast<unsigned char>(made.fingerprint.back())))
    made.fingerprint.pop_back();
  made.ok = made.ok && made.fingerprint.size() == 95;
  return made;
}

}  // namespace qv::testing
