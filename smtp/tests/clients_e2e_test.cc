// The real qvsmtp95 against the clients people use: Python's smtplib and curl.
#include <gtest/gtest.h>

#include "common/config.h"
#include "common/testing/service_process.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using testing::SmtpEnv;

class ClientsE2E : public testing::SmtpServiceTest {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob Builder");
    WriteKeys(kSmtpEsmtp);
    ASSERT_TRUE(Start()) << "qvsmtp95 does not answer";
  }

  qv::testing::RunResult Python(const std::string& code) { return RunPython(code); }
};

TEST_F(ClientsE2E, SmtplibReadsEveryHelpReplyWholeAndTheNextReplyAsItsOwn) {
  auto result = Python(
      "import smtplib, sys\n"
      "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=20)\n"
      "for topic in ('', 'SAML', 'DATA', 'HELP', 'nothing'):\n"
      "    s.help(topic)\n"
      "    print(s.noop())\n"
      "print(s.verify('bob'))\n"
      "s.quit()\n");
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out,
            "(250, b'OK')\n(250, b'OK')\n(250, b'OK')\n(250, b'OK')\n(250, b'OK')\n"
            "(250, b'Bob Builder <bob@example.test>')\n");
}

TEST_F(ClientsE2E, CurlMessageEndingInDotsIsStoredWithItsDots) {
  // curl sends the message and its end line in one write: the end line's split cannot matter.
  std::string file = env_.root() + "/message.txt";
  qv::testing::WriteFileText(file, "Subject: dots\r\n\r\n..begins\r\nsee you...\r\n");
  auto sent = qv::testing::RunProgram(
      "/usr/bin/curl",
      {"-sS", "--url", "smtp://127.0.0.1:" + std::to_string(port_), "--mail-from",
       "alice@other.test", "--mail-rcpt", "bob@example.test", "--upload-file", file});
  ASSERT_EQ(sent.code, 0) << sent.err;
  auto box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  const std::string body = "\r\n\r\n...begins\r\nsee you...";
  ASSERT_GE(box[0].size(), body.size());
  EXPECT_EQ(box[0].substr(box[0].size() - body.size()), body);
}

}  // namespace
}  // namespace qv::smtp
