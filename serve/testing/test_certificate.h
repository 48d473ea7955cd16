// A self-signed certificate for "localhost" and its key, made by the openssl program in a test's
// folder (the key readable by its owner only), for services under test that offer TLS.
#pragma once

#include <sys/stat.h>

#include <string>

#include "common/testing/test_env.h"

namespace qv::testing {

struct TestCertificate {
  std::string certificate;  // PEM file
  std::string key;          // PEM file, mode 0600
  bool ok = false;
};

inline TestCertificate MakeTestCertificate(const std::string& folder) {
  TestCertificate made{folder + "/server.crt", folder + "/server.key", false};
  RunResult run = RunProgram(
      "/usr/bin/openssl",
      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
       "-days", "2", "-subj", "/CN=localhost", "-keyout", made.key, "-out", made.certificate});
  made.ok = run.code == 0 && chmod(made.key.c_str(), 0600) == 0;
  return made;
}

}  // namespace qv::testing
