// The remote store through the real qvctrl95's TLS control port, with a self-signed test
// certificate: pinned, checked against a CA file with the host name, and not trusted.
#include <gtest/gtest.h>

#include <string>

#include "common/testing/test_env.h"
#include "console/store/console_store.h"
#include "console/store/store_texts.h"
#include "console/store/tests/control_root_util.h"
#include "platform/registry.h"
#include "serve/testing/test_certificate.h"

namespace qv::console {
namespace {

using testing::kAdmin;

class RemoteTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cert_ = qv::testing::MakeTestCertificate(root_.tables().root());
    ASSERT_TRUE(cert_.ok);
    tls_port_ = static_cast<uint16_t>(qv::testing::FreeLoopbackPort());
    ASSERT_TRUE(root_.StartTls(cert_, tls_port_));
    fingerprint_ = cert_.fingerprint;
  }

  ConnectOutcome Connect(const std::string& host, const TlsTrust& trust,
                         const std::string& password = "secret") {
    return ConnectControl(host, kAdmin, password, tls_port_, 10000, -1, &trust);
  }

  testing::ControlRoot root_;
  qv::testing::TestCertificate cert_;
  uint16_t tls_port_ = 0;
  std::string fingerprint_;
};

TEST_F(RemoteTlsTest, APinnedFingerprintLogsInAndTheStoreWorks) {
  // Lower case and without colons is the same fingerprint.
  std::string bare;
  for (char c : fingerprint_)
    if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ConnectOutcome c = Connect("127.0.0.1", TlsTrust{bare, "", nullptr});
  ASSERT_TRUE(c.store) << c.error;
  Settings settings;
  ASSERT_TRUE(c.store->LoadSettings(&settings));
  EXPECT_EQ(FieldText(settings.system.Domain), "example.test");
  auto users = c.store->LoadTable(Table::kUser);
  ASSERT_TRUE(users.ok()) << users.error();
  EXPECT_EQ(users->size(), 2u);
  EXPECT_TRUE(c.store->EndSession());
  // The login's own refusals stay those of the dialogue.
  EXPECT_EQ(Connect("127.0.0.1", TlsTrust{fingerprint_, "", nullptr}, "wrong").error,
            kInvalidPassword);
}

TEST_F(RemoteTlsTest, ACertificateNotTrustedIsRefusedWithItsFingerprint) {
  std::string wrong = fingerprint_;
  wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
  ConnectOutcome pinned = Connect("127.0.0.1", TlsTrust{wrong, "", nullptr});
  EXPECT_FALSE(pinned.store);
  EXPECT_TRUE(pinned.untrusted);
  EXPECT_EQ(pinned.fingerprint, fingerprint_);
  EXPECT_NE(pinned.error.find("not the expected " + wrong), std::string::npos) << pinned.error;
  EXPECT_EQ(pinned.error.rfind(kGeneralFailure, 0), 0u);

  // The system's store does not know a self-signed certificate.
  ConnectOutcome system = Connect("localhost", TlsTrust{});
  EXPECT_FALSE(system.store);
  EXPECT_TRUE(system.untrusted);
  EXPECT_EQ(system.fingerprint, fingerprint_);

  // A CA file is checked with the name: the certificate is for "localhost", not the address.
  ConnectOutcome by_name = Connect("localhost", TlsTrust{"", cert_.certificate, nullptr});
  EXPECT_TRUE(by_name.store) << by_name.error;
  ConnectOutcome by_address = Connect("127.0.0.1", TlsTrust{"", cert_.certificate, nullptr});
  EXPECT_FALSE(by_address.store);
  EXPECT_TRUE(by_address.untrusted);

  // The plain port does not speak TLS: a handshake failure, not a trust question.
  TlsTrust pin{fingerprint_, "", nullptr};
  ConnectOutcome plain =
      ConnectControl("127.0.0.1", kAdmin, "secret", root_.port(), 3000, -1, &pin);
  EXPECT_FALSE(plain.store);
  EXPECT_FALSE(plain.untrusted);
}

TEST_F(RemoteTlsTest, TrustedFingerprintsAreRememberedPerHost) {
  EXPECT_EQ(TrustedFingerprint("mail.example.test"), "");
  EXPECT_FALSE(TrustFingerprint("mail.example.test", "not hex"));
  ASSERT_TRUE(TrustFingerprint("mail.example.test", fingerprint_));
  EXPECT_EQ(TrustedFingerprint("mail.example.test"), fingerprint_);
  EXPECT_EQ(TrustedFingerprint("other.example.test"), "");
}

}  // namespace
}  // namespace qv::console
