// The real qvsmtp95 with a certificate: STARTTLS through Python's smtplib and ssl and through
// openssl s_client, input sent in clear around the switch, and the service without a
// certificate, which offers none of it.
#include <gtest/gtest.h>

#include <vector>

#include "common/config.h"
#include "common/testing/line_client.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "serve/testing/test_certificate.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

// Python: an unverifying client context, the reply reader and a clear connection `s`, `f`
// with the greeting read.
constexpr char kPythonPrelude[] =
    "import smtplib, socket, ssl, sys\n"
    "port = int(sys.argv[1])\n"
    "ctx = ssl.create_default_context()\n"
    "ctx.check_hostname = False\n"
    "ctx.verify_mode = ssl.CERT_NONE\n"
    "def reply(f):\n"
    "    out = b''\n"
    "    while True:\n"
    "        line = f.readline()\n"
    "        out += line\n"
    "        if len(line) < 4 or line[3:4] == b' ':\n"
    "            return out.decode()\n"
    "def say(s, f, text):\n"
    "    s.sendall(text.encode())\n"
    "    return reply(f)\n"
    "s = socket.create_connection(('127.0.0.1', port), timeout=20)\n"
    "f = s.makefile('rb')\n"
    "reply(f)\n";

class TlsE2E : public testing::SmtpServiceTest {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob Builder");
    WriteKeys(kSmtpEsmtp);
    cert_ = qv::testing::MakeTestCertificate(env_.root());
    ASSERT_TRUE(cert_.ok);
    qv::testing::ControlKey().Set("TlsCertificate", cert_.certificate).Set("TlsKey", cert_.key);
  }

  qv::testing::TestCertificate cert_;
};

TEST_F(TlsE2E, SmtplibSendsInsideTlsAndTheSessionStartsOver) {
  ASSERT_TRUE(Start());
  auto result =
      RunPython(std::string(kPythonPrelude) +
                "s.close()\n"
                "c = smtplib.SMTP('127.0.0.1', port, timeout=20)\n"
                "c.ehlo()\n"
                "print(c.has_extn('starttls'))\n"
                "print(c.starttls(context=ctx)[0])\n"
                "c.ehlo()\n"
                "print(c.has_extn('starttls'), c.sock.version() in ('TLSv1.2', 'TLSv1.3'))\n"
                "c.sendmail('STARTTLS@other.test', ['bob@example.test'],\n"
                "           'Subject: tls\\r\\n\\r\\nSTARTTLS\\r\\nRSET\\r\\n')\n"
                "c.quit()\n");
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, "True\n220\nFalse True\n");
  auto box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  // The word inside a message and an address is data like any other.
  EXPECT_NE(box[0].find("\r\n\r\nSTARTTLS\r\nRSET"), std::string::npos);
}

TEST_F(TlsE2E, NothingSentInClearAfterStartTlsRunsInsideIt) {
  ASSERT_TRUE(Start());
  auto result = RunPython(
      std::string(kPythonPrelude) +
      "say(s, f, 'EHLO client.test\\r\\n')\n"
      "print(say(s, f, 'STARTTLS now\\r\\n'), end='')\n"
      "say(s, f, 'MAIL FROM:<a@other.test>\\r\\n')\n"
      "print(say(s, f, 'STARTTLS\\r\\n'), end='')\n"
      "say(s, f, 'RSET\\r\\n')\n"
      // The command and an injected one in one write: only the first is answered in clear.
      "print(say(s, f, 'STARTTLS\\r\\nRSET\\r\\n'), end='')\n"
      "t = ctx.wrap_socket(s)\n"
      "g = t.makefile('rb')\n"
      "print(say(t, g, 'NOOP\\r\\n'), end='')\n"
      "print(say(t, g, 'MAIL FROM:<a@other.test>\\r\\n'), end='')\n"
      "print('STARTTLS' in say(t, g, 'EHLO client.test\\r\\n'))\n"
      "print(say(t, g, 'STARTTLS\\r\\n'), end='')\n"
      "print(say(t, g, 'MAIL FROM:<a@other.test>\\r\\n'), end='')\n"
      "print(say(t, g, 'QUIT\\r\\n'), end='')\n");
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out,
            "501 5.5.4 STARTTLS takes no parameters\r\n"
            "503 5.5.1 STARTTLS not allowed in a mail transaction\r\n"
            "220 2.0.0 Ready to start TLS\r\n"
            "250 OK\r\n"
            "503 5.5.1 Send EHLO or HELO first\r\n"
            "False\n"
            "503 5.5.1 TLS already active\r\n"
            "250 <a@other.test>, sender ok\r\n"
            "221 127.0.0.1 closing connection\r\n");
}

TEST_F(TlsE2E, StartTlsWaitingBehindAStoredMessageSwitchesCleanly) {
  ASSERT_TRUE(Start());
  // STARTTLS and an injected RSET arrive with the message's end, while the message is stored:
  // the switch happens when the connection reads on, with a read already waiting.
  auto result = RunPython(
      std::string(kPythonPrelude) +
      "say(s, f, 'EHLO client.test\\r\\n')\n"
      "say(s, f, 'MAIL FROM:<a@other.test>\\r\\n')\n"
      "say(s, f, 'RCPT TO:<bob@example.test>\\r\\n')\n"
      "say(s, f, 'DATA\\r\\n')\n"
      "print(say(s, f, 'Subject: x\\r\\n\\r\\nbody\\r\\n.\\r\\nSTARTTLS\\r\\nRSET\\r\\n')[:4])\n"
      "print(reply(f), end='')\n"
      "t = ctx.wrap_socket(s)\n"
      "g = t.makefile('rb')\n"
      "print(say(t, g, 'NOOP\\r\\n'), end='')\n");
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, "250 \n220 2.0.0 Ready to start TLS\r\n250 OK\r\n");
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
}

TEST_F(TlsE2E, OpensslStartTlsTakesTls12AndUpOnly) {
  ASSERT_TRUE(Start());
  std::string connect = "127.0.0.1:" + std::to_string(port_);
  auto modern = qv::testing::RunProgram(
      "/usr/bin/openssl",
      {"s_client", "-connect", connect, "-starttls", "smtp", "-crlf", "-ign_eof", "-brief"},
      "NOOP\nQUIT\n");
  EXPECT_EQ(modern.code, 0) << modern.err;
  EXPECT_NE(modern.out.find("221 "), std::string::npos) << modern.out;
  auto old = qv::testing::RunProgram(
      "/usr/bin/openssl",
      {"s_client", "-connect", connect, "-starttls", "smtp", "-tls1_1", "-brief"}, "QUIT\n");
  EXPECT_NE(old.code, 0) << old.out;
}

TEST_F(TlsE2E, SmtpsStartsInTlsAndOffersNoStartTls) {
  int smtps = qv::testing::FreeLoopbackPort();
  qv::testing::SmtpKey().Set("SmtpsPort", smtps);
  ASSERT_TRUE(Start());
  auto result = RunPython(std::string(kPythonPrelude) + "s.close()\n" +
                          "c = smtplib.SMTP_SSL('127.0.0.1', " + std::to_string(smtps) +
                          ", context=ctx, timeout=20)\n"
                          "print(c.ehlo()[0], c.has_extn('starttls'))\n"
                          "print(c.docmd('STARTTLS'))\n"
                          "c.quit()\n");
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, "250 False\n(503, b'5.5.1 TLS already active')\n");
}

TEST_F(TlsE2E, SubmissionTakesMailOnlyAfterAuthInsideTls) {
  int submission = qv::testing::FreeLoopbackPort();
  qv::testing::SmtpKey().Set("SubmissionPort", submission).Set("RelayNetworks", "none");
  ASSERT_TRUE(Start());
  auto result =
      RunPython(std::string(kPythonPrelude) + "s.close()\n" + "c = smtplib.SMTP('127.0.0.1', " +
                std::to_string(submission) + ", timeout=20)\n" +
                "c.ehlo()\n"
                "print(c.has_extn('auth'), c.has_extn('starttls'))\n"
                "print(c.docmd('MAIL FROM:<bob@example.test>'))\n"
                "print(c.docmd('AUTH PLAIN AGJvYgBzZWNyZXQ='))\n"
                "c.starttls(context=ctx)\n"
                "c.ehlo()\n"
                "print(c.has_extn('starttls'), c.esmtp_features['auth'].strip())\n"
                "try:\n"
                "    c.login('bob', 'wrong')\n"
                "except smtplib.SMTPAuthenticationError as e:\n"
                "    print(e.smtp_code)\n"
                "print(c.login('bob@example.test', 'secret'))\n"
                "print(c.sendmail('bob@example.test', ['x@far.test', 'bob@example.test'],\n"
                "                 'Subject: out\\r\\n\\r\\nhi\\r\\n'))\n"
                "c.quit()\n"
                // The SMTP port relays for no one who has not logged on.
                "d = smtplib.SMTP('127.0.0.1', port, timeout=20)\n"
                "d.ehlo()\n"
                "d.mail('bob@example.test')\n"
                "print(d.rcpt('x@far.test'))\n"
                "d.quit()\n");
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out,
            "False True\n"
            "(530, b'5.7.0 Authentication required')\n"
            "(538, b'5.7.11 Encryption required for requested authentication mechanism')\n"
            "False PLAIN LOGIN\n"
            "535\n"
            "(235, b'2.7.0 Authentication successful')\n"
            "{}\n"
            "(550, b'5.7.1 Relaying denied')\n");
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_NE(env_.LogText().find("Authentication of 'bob' from 127.0.0.1 failed"),
            std::string::npos);
}

TEST_F(TlsE2E, CurlAndSwaksSubmitInsideTlsAndOverSmtps) {
  int submission = qv::testing::FreeLoopbackPort();
  int smtps = qv::testing::FreeLoopbackPort();
  qv::testing::SmtpKey().Set("SubmissionPort", submission).Set("SmtpsPort", smtps);
  ASSERT_TRUE(Start());
  std::string file = env_.root() + "/message.txt";
  qv::testing::WriteFileText(file, "Subject: curl\r\n\r\nover TLS\r\n");
  for (const std::string& url : {"smtp://127.0.0.1:" + std::to_string(submission),
                                 "smtps://127.0.0.1:" + std::to_string(smtps)}) {
    auto sent = qv::testing::RunProgram(
        "/usr/bin/curl",
        {"-sS", "--ssl-reqd", "--insecure", "--url", url, "--user", "bob:secret", "--mail-from",
         "bob@example.test", "--mail-rcpt", "bob@example.test", "--upload-file", file});
    EXPECT_EQ(sent.code, 0) << url << " " << sent.err;
  }
  // swaks: STARTTLS with AUTH LOGIN on submission, TLS on connect with AUTH PLAIN on SMTPS.
  for (const std::vector<std::string>& how :
       {std::vector<std::string>{"--port", std::to_string(submission), "--tls", "--auth", "LOGIN"},
        std::vector<std::string>{"--port", std::to_string(smtps), "--tls-on-connect", "--auth",
                                 "PLAIN"}}) {
    std::vector<std::string> args = {"--server",         "127.0.0.1", "--from",
                                     "bob@example.test", "--to",      "bob@example.test",
                                     "--auth-user",      "bob",       "--auth-password",
                                     "secret",           "--timeout", "20"};
    args.insert(args.end(), how.begin(), how.end());
    auto sent = qv::testing::RunProgram("/usr/bin/swaks", args);
    EXPECT_EQ(sent.code, 0) << how[1] << " " << sent.out << sent.err;
  }
  EXPECT_EQ(env_.Mailbox("bob").size(), 4u);
  // The logins' answers never reach the log: "\0bob\0secret", "bob" and "secret" in base64.
  std::string log = env_.LogText();
  for (const char* secret : {"AGJvYgBzZWNyZXQ=", "Ym9i", "c2VjcmV0"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  EXPECT_NE(log.find("AUTH PLAIN ********"), std::string::npos);
  EXPECT_NE(log.find("AUTH LOGIN"), std::string::npos);
}

// A certificate renewed in place is served to the next connection, without a restart.
TEST_F(TlsE2E, ARenewedCertificateIsServedToTheNextConnection) {
  int smtps = qv::testing::FreeLoopbackPort();
  qv::testing::SmtpKey().Set("SmtpsPort", smtps);
  ASSERT_TRUE(Start());
  std::string script = env_.root() + "/peer.py";
  qv::testing::WriteFileText(script,
                             "import hashlib, socket, ssl, sys\n"
                             "ctx = ssl.create_default_context()\n"
                             "ctx.check_hostname = False\n"
                             "ctx.verify_mode = ssl.CERT_NONE\n"
                             "s = ctx.wrap_socket(socket.create_connection(('127.0.0.1', "
                             "int(sys.argv[1])), timeout=20))\n"
                             "print(hashlib.sha256(s.getpeercert(True)).hexdigest())\n"
                             "s.close()\n");
  auto peer = [&] {
    return qv::testing::RunProgram("/usr/bin/python3", {script, std::to_string(smtps)}).out;
  };
  std::string first = peer();
  ASSERT_EQ(first.size(), 65u);
  ASSERT_TRUE(qv::testing::MakeTestCertificate(env_.root()).ok);
  EXPECT_TRUE(qv::testing::WaitUntil([&] { return peer() != first; }));
  EXPECT_EQ(peer().size(), 65u);
}

TEST_F(TlsE2E, AKeyOthersMayReadLeavesTlsOff) {
  ASSERT_EQ(chmod(cert_.key.c_str(), 0644), 0);
  int smtps = qv::testing::FreeLoopbackPort();
  qv::testing::SmtpKey().Set("SmtpsPort", smtps);
  ASSERT_TRUE(Start());
  // The SMTPS port is not opened without TLS.
  qv::testing::LineClient secure;
  EXPECT_FALSE(secure.Connect(smtps));
  qv::testing::LineClient client;
  ASSERT_TRUE(client.Connect(port_));
  client.ReadLine();
  EXPECT_EQ(Say(client, "EHLO client.test\r\n").find("STARTTLS"), std::string::npos);
  EXPECT_EQ(Say(client, "STARTTLS\r\n"), "501 Syntax Error\r\n");
}

}  // namespace
}  // namespace qv::smtp
