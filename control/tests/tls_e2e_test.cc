// The real qvctrl95 with a certificate and a TLS control port: the control protocol, unchanged,
// inside TLS; without a certificate the port stays closed.
#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/line_client.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "control/tests/service_keys_util.h"
#include "serve/testing/test_certificate.h"

namespace qv::control {
namespace {

using qv::testing::FreeLoopbackPort;

class ControlTlsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ctrl_port_ = FreeLoopbackPort();
    tls_port_ = FreeLoopbackPort();
    testing::WriteServiceKeys(
        tables_, {ctrl_port_, FreeLoopbackPort(), FreeLoopbackPort(), FreeLoopbackPort()});
    qv::testing::ControlKey().Set("TlsControlPort", tls_port_);
    USERSTRUCT admin = qv::testing::MakeUser("admin", "example.test", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    cert_ = qv::testing::MakeTestCertificate(tables_.root());
    ASSERT_TRUE(cert_.ok);
  }
  void TearDown() override { control_.Stop(); }

  qv::testing::ScopedTables tables_;
  qv::testing::TestCertificate cert_;
  qv::testing::ServiceProcess control_;
  int ctrl_port_ = 0;
  int tls_port_ = 0;
};

TEST_F(ControlTlsE2E, TheControlProtocolRunsInsideTls) {
  qv::testing::ControlKey().Set("TlsCertificate", cert_.certificate).Set("TlsKey", cert_.key);
  ASSERT_TRUE(control_.Start("qvctrl95", ctrl_port_));
  std::string script = tables_.root() + "/client.py";
  qv::testing::WriteFileText(
      script,
      "import socket, ssl, sys\n"
      "ctx = ssl.create_default_context()\n"
      "ctx.check_hostname = False\n"
      "ctx.verify_mode = ssl.CERT_NONE\n"
      "s = ctx.wrap_socket(socket.create_connection(('127.0.0.1', int(sys.argv[1])), "
      "timeout=20))\n"
      "data = b''\n"
      "while not data.endswith(b'Username: '):\n"
      "    data += s.recv(100)\n"
      "print(data.decode().startswith('Quorvane Control Service'), s.version())\n");
  auto run = qv::testing::RunProgram("/usr/bin/python3", {script, std::to_string(tls_port_)});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(run.out == "True TLSv1.3\n" || run.out == "True TLSv1.2\n") << run.out;
}

TEST_F(ControlTlsE2E, WithoutACertificateTheTlsPortStaysClosed) {
  ASSERT_TRUE(control_.Start("qvctrl95", ctrl_port_));
  qv::testing::LineClient client;
  EXPECT_FALSE(client.Connect(tls_port_));
}

}  // namespace
}  // namespace qv::control
