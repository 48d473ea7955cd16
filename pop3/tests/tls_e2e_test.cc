// The real qvpop395 with a certificate: STLS and CAPA through Python's poplib and ssl, POP3S,
// input sent in clear around the switch, and the service without a certificate, for which
// CAPA and STLS stay unknown.
#include <gtest/gtest.h>

#include "common/config.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "common/testing/test_env.h"
#include "pop3/tests/pop3_util.h"
#include "serve/testing/test_certificate.h"

namespace qv::pop3 {
namespace {

using testing::Client;
using testing::FreePort;
using testing::Pop3TestSystem;

// Python: an unverifying client context, the line reader and a clear connection `s`, `f` with
// the greeting read.
constexpr char kPythonPrelude[] =
    "import poplib, socket, ssl, sys\n"
    "port, pop3s = int(sys.argv[1]), int(sys.argv[2])\n"
    "ctx = ssl.create_default_context()\n"
    "ctx.check_hostname = False\n"
    "ctx.verify_mode = ssl.CERT_NONE\n"
    "def say(s, f, text):\n"
    "    s.sendall(text.encode())\n"
    "    return f.readline().decode()\n"
    "s = socket.create_connection(('127.0.0.1', port), timeout=20)\n"
    "f = s.makefile('rb')\n"
    "f.readline()\n";

class Pop3TlsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_.AddUser("ann", "Secret", "ann");
    sys_.AddMessage("ann", "Subject: hello\r\n\r\nSTLS\r\n");
    port_ = FreePort();
    pop3s_port_ = FreePort();
    qv::testing::WriteCommonKey({.host = "mail.example.test",
                                 .domain = "example.test",
                                 .install = qv::testing::BinDir(),
                                 .mail = sys_.system().MailPath,
                                 .temp = sys_.system().TempPath,
                                 .log = sys_.system().LogPath,
                                 .config = sys_.system().ConfigPath,
                                 .log_level = 4});
    qv::testing::Pop3Key().Set("Port", port_).Set("Pop3sPort", pop3s_port_);
    cert_ = qv::testing::MakeTestCertificate(sys_.root());
    ASSERT_TRUE(cert_.ok);
  }

  void UseCertificate() {
    qv::testing::ControlKey().Set("TlsCertificate", cert_.certificate).Set("TlsKey", cert_.key);
  }
  bool Start() { return pop3_.Start("qvpop395", port_); }

  std::string Python(const std::string& script) {
    std::string path = sys_.root() + "/client.py";
    qv::testing::WriteFileText(path, std::string(kPythonPrelude) + script);
    qv::testing::RunResult r = qv::testing::RunProgram(
        "/usr/bin/python3", {path, std::to_string(port_), std::to_string(pop3s_port_)});
    EXPECT_EQ(r.code, 0) << r.err;
    return r.out;
  }

  Pop3TestSystem sys_;
  qv::testing::TestCertificate cert_;
  int port_ = 0;
  int pop3s_port_ = 0;
  qv::testing::ServiceProcess pop3_;
};

TEST_F(Pop3TlsE2E, PoplibReadsInsideStlsAndOnPop3s) {
  UseCertificate();
  ASSERT_TRUE(Start());
  EXPECT_EQ(Python("s.close()\n"
                   "p = poplib.POP3('127.0.0.1', port, timeout=20)\n"
                   "print(sorted(p.capa()))\n"
                   "p.stls(context=ctx)\n"
                   "print(sorted(p.capa()))\n"
                   "p.user('ann')\n"
                   "p.pass_('Secret')\n"
                   "print(p.stat()[0], b'STLS' in p.retr(1)[1])\n"
                   "p.quit()\n"
                   "q = poplib.POP3_SSL('127.0.0.1', pop3s, context=ctx, timeout=20)\n"
                   "print(sorted(q.capa()))\n"
                   "q.user('ann')\n"
                   "q.pass_('Secret')\n"
                   "print(q.stat()[0], q.sock.version() in ('TLSv1.2', 'TLSv1.3'))\n"
                   "q.quit()\n"),
            "['STLS', 'TOP', 'UIDL', 'USER']\n"
            "['TOP', 'UIDL', 'USER']\n"
            "1 True\n"
            "['TOP', 'UIDL', 'USER']\n"
            "1 True\n");
}

// With every slot of POP3S taken, the next client is closed without a byte in clear (a busy
// reply in clear would reach its TLS layer as garbage).
TEST_F(Pop3TlsE2E, Pop3sBeyondTheSlotsIsClosedWithoutClearText) {
  UseCertificate();
  ASSERT_TRUE(Start());
  EXPECT_EQ(Python("held = [poplib.POP3_SSL('127.0.0.1', pop3s, context=ctx, timeout=20)\n"
                   "        for _ in range(5)]\n"
                   "t = socket.create_connection(('127.0.0.1', pop3s), timeout=20)\n"
                   "print(repr(t.recv(64)))\n"),
            "b''\n");
}

TEST_F(Pop3TlsE2E, CurlReadsWithSslReqdAndOverPop3s) {
  UseCertificate();
  ASSERT_TRUE(Start());
  for (const std::string& url : {"pop3://127.0.0.1:" + std::to_string(port_) + "/1",
                                 "pop3s://127.0.0.1:" + std::to_string(pop3s_port_) + "/1"}) {
    auto read = qv::testing::RunProgram(
        "/usr/bin/curl", {"-sS", "--ssl-reqd", "--insecure", "--url", url, "--user", "ann:Secret"});
    EXPECT_EQ(read.code, 0) << url << " " << read.err;
    EXPECT_NE(read.out.find("Subject: hello"), std::string::npos) << url << " " << read.out;
  }
}

TEST_F(Pop3TlsE2E, NothingSentInClearAfterStlsRunsInsideIt) {
  UseCertificate();
  ASSERT_TRUE(Start());
  EXPECT_EQ(Python("print(say(s, f, 'STLS now\\r\\n'), end='')\n"
                   // The command and an injected one in one write: only STLS is answered.
                   "print(say(s, f, 'STLS\\r\\nCAPA\\r\\n'), end='')\n"
                   "t = ctx.wrap_socket(s)\n"
                   "g = t.makefile('rb')\n"
                   "print(say(t, g, 'NOOP\\r\\n'), end='')\n"
                   "print(say(t, g, 'STLS\\r\\n'), end='')\n"
                   "print(say(t, g, 'QUIT\\r\\n'), end='')\n"),
            "-ERR STLS takes no argument\r\n"
            "+OK Begin TLS negotiation\r\n"
            "-ERR invalid Command in this state\r\n"
            "-ERR Command not permitted when TLS active\r\n"
            "+OK\r\n");
  // A logon sent behind STLS is not run either.
  EXPECT_EQ(Python("say(s, f, 'STLS\\r\\nUSER ann\\r\\n')\n"
                   "t = ctx.wrap_socket(s)\n"
                   "g = t.makefile('rb')\n"
                   "print(say(t, g, 'PASS Secret\\r\\n'), end='')\n"),
            "-ERR invalid Command in this state\r\n");
}

TEST_F(Pop3TlsE2E, StlsOnlyBeforeLogon) {
  UseCertificate();
  ASSERT_TRUE(Start());
  Client client(port_);
  ASSERT_TRUE(client.connected());
  client.Line();
  EXPECT_EQ(client.Ask("USER ann"), "+OK <ann>\r\n");
  EXPECT_EQ(client.Ask("STLS"), "-ERR STLS only before logon\r\n");
  EXPECT_EQ(client.Ask("PASS Secret"), "+OK\r\n");
  EXPECT_EQ(client.Ask("STLS"), "-ERR STLS only before logon\r\n");
  EXPECT_EQ(client.Ask("QUIT"), "+OK\r\n");
}

TEST_F(Pop3TlsE2E, WithoutACertificateCapaAndStlsStayUnknownAndPop3sIsClosed) {
  ASSERT_TRUE(Start());
  Client client(port_);
  ASSERT_TRUE(client.connected());
  client.Line();
  EXPECT_EQ(client.Ask("CAPA"), "-ERR Unknown message\r\n");
  EXPECT_EQ(client.Ask("STLS"), "-ERR Unknown message\r\n");
  Client secure(pop3s_port_);
  EXPECT_FALSE(secure.connected());
}

}  // namespace
}  // namespace qv::pop3
