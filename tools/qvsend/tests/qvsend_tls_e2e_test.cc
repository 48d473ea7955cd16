// qvsend against the real qvsmtp95 with a certificate: STARTTLS and AUTH on the submission port,
// the certificate checked against the test's own (QVSEND_CA_FILE).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "common/testing/service_keys.h"
#include "common/testing/test_env.h"
#include "serve/testing/test_certificate.h"
#include "smtp/tests/smtp_env_util.h"
#include "tools/qvsend/send.h"

namespace qv::qvsend {
namespace {

class QvsendTlsE2E : public smtp::testing::SmtpServiceTest {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob Builder");
    WriteKeys(kSmtpEsmtp);
    cert_ = qv::testing::MakeTestCertificate(env_.root());
    ASSERT_TRUE(cert_.ok);
    qv::testing::ControlKey().Set("TlsCertificate", cert_.certificate).Set("TlsKey", cert_.key);
    submission_ = qv::testing::FreeLoopbackPort();
    qv::testing::SmtpKey().Set("SubmissionPort", submission_).Set("RelayNetworks", "none");
    ::setenv("QVSEND_CA_FILE", cert_.certificate.c_str(), 1);
    message_ = env_.root() + "/message.txt";
    qv::testing::WriteFileText(
        message_,
        "From: bob@example.test\r\nTo: x@far.test\r\nCC: bob@example.test\r\n"
        "Subject: out\r\n\r\nsecret body\r\n");
  }
  void TearDown() override {
    ::unsetenv("QVSEND_CA_FILE");
    SmtpServiceTest::TearDown();
  }

  qv::testing::RunResult Send(const std::string& password) {
    return qv::testing::RunProgram(qv::testing::BinDir() + "/qvsend",
                                   {"-h", "localhost:" + std::to_string(submission_), "-tls", "2",
                                    "-user", "bob@example.test", "-password", password, message_});
  }

  qv::testing::TestCertificate cert_;
  int submission_ = 0;
  std::string message_;
};

TEST_F(QvsendTlsE2E, SubmitsInsideTlsWithTheLoginAndReportsARefusedOne) {
  ASSERT_TRUE(Start());
  qv::testing::RunResult r = Send("wrong");
  EXPECT_EQ(r.code, kExitConversation);
  EXPECT_NE(
      r.out.find("Error: localhost:" + std::to_string(submission_) + " refused the login: 535"),
      std::string::npos)
      << r.out;
  EXPECT_TRUE(env_.Mailbox("bob").empty());

  r = Send("secret");
  EXPECT_EQ(r.code, kExitOk) << r.out << r.err;
  std::vector<std::string> box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_NE(box[0].find("\r\n\r\nsecret body"), std::string::npos) << box[0];
}

}  // namespace
}  // namespace qv::qvsend
