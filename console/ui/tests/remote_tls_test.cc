// The console's remote mode through the real qvctrl95's TLS control port with a self-signed test
// certificate: the Connect.. dialog's TLS choice, the question about the certificate on the first
// connection, the pinned fingerprint on the next, and a changed certificate refused.
#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>

#include "common/config.h"
#include "console/store/tests/control_root_util.h"
#include "console/ui/tests/dialog_fixture_util.h"
#include "platform/registry.h"
#include "serve/testing/test_certificate.h"

namespace qv::console::testing {
namespace {

class RemoteTlsTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    cert_ = qv::testing::MakeTestCertificate(control_.tables().root());
    ASSERT_TRUE(cert_.ok);
    tls_port_ = static_cast<uint16_t>(qv::testing::FreeLoopbackPort());
    ASSERT_TRUE(control_.StartTls(cert_, tls_port_));
    fingerprint_ = cert_.fingerprint;
    Open(MakeLocalStore());
    dialog_->Reload();
    dialog_->servers()->set_trust_question(
        [this](const std::string& host, const std::string& fingerprint) {
          asked_.push_back(host + " " + fingerprint);
          return trust_;
        });
  }
  void TearDown() override {
    dialog_.reset();
    control_.Stop();
  }

  // Connects to 127.0.0.1 through the Connect.. dialog with "Use TLS" ticked and the TLS port.
  bool ConnectTls() {
    Find<QLineEdit>("RemoteHost")->setText("127.0.0.1");
    dialog_->servers()->set_connect_prompt([this](ConnectRequest* r) {
      ConnectDialog connect(*r);
      connect.findChild<QLineEdit*>("Password")->setText("secret");
      connect.findChild<QLineEdit*>("Login")->setText(kAdmin);
      connect.findChild<QSpinBox*>("Port")->setValue(tls_port_);
      connect.findChild<QCheckBox*>("UseTls")->setChecked(true);
      *r = connect.Request();
      return true;
    });
    return dialog_->servers()->Connect();
  }
  std::string Shown() const { return shown_.empty() ? "" : shown_[0].text.toStdString(); }

  ControlRoot control_;  // the system root in use: made after the fixture's own
  qv::testing::TestCertificate cert_;
  uint16_t tls_port_ = 0;
  std::string fingerprint_;
  std::vector<std::string> asked_;
  bool trust_ = true;
};

TEST_F(RemoteTlsTest, TheFirstConnectionAsksThenTheFingerprintIsPinned) {
  ASSERT_TRUE(ConnectTls()) << Shown();
  EXPECT_EQ(asked_, std::vector<std::string>{"127.0.0.1 " + fingerprint_});
  EXPECT_TRUE(dialog_->context().remote());
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "mail.example.test");
  EXPECT_EQ(TrustedFingerprint("127.0.0.1"), fingerprint_);
  EXPECT_TRUE(shown_.empty()) << Shown();

  // Again: the remembered fingerprint is pinned, nothing is asked, and the dialog offers TLS.
  dialog_->servers()->Disconnect();
  EXPECT_FALSE(dialog_->context().remote());
  bool offered_tls = false;
  dialog_->servers()->set_connect_prompt([&](ConnectRequest* r) {
    offered_tls = r->tls && r->port == tls_port_;
    r->login = kAdmin;
    r->password = "secret";
    return true;
  });
  ASSERT_TRUE(dialog_->servers()->Connect()) << Shown();
  EXPECT_TRUE(offered_tls);
  EXPECT_EQ(asked_.size(), 1u);
  EXPECT_TRUE(dialog_->context().remote());
}

TEST_F(RemoteTlsTest, ACertificateNotTrustedOrChangedIsRefused) {
  trust_ = false;
  EXPECT_FALSE(ConnectTls());
  EXPECT_EQ(asked_.size(), 1u);
  EXPECT_TRUE(shown_.empty()) << Shown();
  EXPECT_EQ(TrustedFingerprint("127.0.0.1"), "");
  EXPECT_FALSE(dialog_->context().remote());

  std::string other = fingerprint_;
  other[0] = other[0] == 'F' ? 'E' : 'F';
  ASSERT_TRUE(TrustFingerprint("127.0.0.1", other));
  trust_ = true;
  EXPECT_FALSE(ConnectTls());
  EXPECT_EQ(asked_.size(), 1u);  // a changed certificate is not offered
  EXPECT_EQ(Shown(),
            "The certificate of '127.0.0.1' has changed: its SHA-256 fingerprint is now\n" +
                fingerprint_ + "\nand not the one trusted before. The connection is refused.");
  EXPECT_EQ(TrustedFingerprint("127.0.0.1"), other);
  EXPECT_FALSE(dialog_->context().remote());
}

}  // namespace
}  // namespace qv::console::testing
