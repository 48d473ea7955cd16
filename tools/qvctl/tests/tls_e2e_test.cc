// qvctl --tls against the real qvctrl95 with a self-signed test certificate on its TLS control
// port: the pinned fingerprint logs in, a wrong one or an untrusted certificate is refused before
// the password is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "control/tests/service_keys_util.h"
#include "net/tls_channel.h"
#include "serve/testing/test_certificate.h"

namespace qv {
namespace {

using qv::testing::BinDir;
using qv::testing::FreeLoopbackPort;
using qv::testing::RunProgram;

class QvctlTls : public ::testing::Test {
 protected:
  void SetUp() override {
    int control = FreeLoopbackPort();
    tls_port_ = FreeLoopbackPort();
    control::testing::WriteServiceKeys(
        tables_, {control, FreeLoopbackPort(), FreeLoopbackPort(), FreeLoopbackPort()});
    USERSTRUCT admin = qv::testing::MakeUser("admin", "example.test", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    cert_ = qv::testing::MakeTestCertificate(tables_.root());
    ASSERT_TRUE(cert_.ok);
    qv::testing::ControlKey()
        .Set("TlsControlPort", tls_port_)
        .Set("TlsCertificate", cert_.certificate)
        .Set("TlsKey", cert_.key);
    ASSERT_TRUE(control_.Start("qvctrl95", control));
    fingerprint_ = cert_.fingerprint;
  }
  void TearDown() override { control_.Stop(); }

  qv::testing::RunResult Qvctl(std::vector<std::string> trust, const std::string& input) {
    std::vector<std::string> args = {"-h", "127.0.0.1", "-u", "admin@example.test", "--tls"};
    args.insert(args.end(), trust.begin(), trust.end());
    args.push_back("STATE");
    return RunProgram(BinDir() + "/qvctl", args, input);
  }

  qv::testing::ScopedTables tables_;
  qv::testing::TestCertificate cert_;
  qv::testing::ServiceProcess control_;
  int tls_port_ = 0;
  std::string fingerprint_;
};

TEST_F(QvctlTls, ThePinnedFingerprintLogsInOnTheTlsPort) {
  // Without -p: the TlsControlPort setting.
  auto ok = Qvctl({"--fingerprint", fingerprint_}, "secret\n");
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(ok.out, "  QuorvaneSmtp:  Stopped\n  QuorvanePop3:  Stopped\n\n");
  auto denied = Qvctl({"-p", std::to_string(tls_port_), "--fingerprint", fingerprint_}, "wrong\n");
  EXPECT_EQ(denied.code, 2);
  EXPECT_NE(denied.err.find("invalid password"), std::string::npos) << denied.err;
}

TEST_F(QvctlTls, AnUntrustedCertificateIsRefused) {
  std::string wrong = fingerprint_;
  wrong[1] = wrong[1] == '0' ? '1' : '0';
  auto pinned = Qvctl({"--fingerprint", wrong}, "secret\n");
  EXPECT_EQ(pinned.code, 2);
  EXPECT_EQ(pinned.out, "");
  EXPECT_NE(pinned.err.find("fingerprint " + fingerprint_ + ", not the expected " + wrong),
            std::string::npos)
      << pinned.err;
  // The system's store does not hold the self-signed certificate.
  auto system = Qvctl({}, "secret\n");
  EXPECT_EQ(system.code, 2);
  EXPECT_NE(system.err.find("is not trusted"), std::string::npos) << system.err;
  // As its own CA it is trusted for its name only, not for the address.
  auto ca = Qvctl({"--cafile", cert_.certificate}, "secret\n");
  EXPECT_EQ(ca.code, 2);
  EXPECT_NE(ca.err.find("is not trusted"), std::string::npos) << ca.err;
}

TEST_F(QvctlTls, TrustOptionsAreChecked) {
  auto bad = Qvctl({"--fingerprint", "12:34"}, "secret\n");
  EXPECT_EQ(bad.code, 64);
  auto both = Qvctl({"--fingerprint", fingerprint_, "--cafile", cert_.certificate}, "secret\n");
  EXPECT_EQ(both.code, 64);
  auto plain =
      RunProgram(BinDir() + "/qvctl",
                 {"-u", "admin@example.test", "--fingerprint", fingerprint_, "STATE"}, "secret\n");
  EXPECT_EQ(plain.code, 64);
}

}  // namespace
}  // namespace qv
