// A temporary system root for the console's end-to-end tests, shared by the store's and the
// pages' tests: the control key names fresh folders (an install folder without mail service
// programs, so a save's restart of the services starts nothing), the users admin@example.test
// (Administrator option, password "Secret") and ann@example.test ("pw", no option), and on
// Start() the real qvctrl95 on a free loopback port.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/recordstore.h"
#include "common/testing/line_client.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "platform/registry.h"
#include "serve/testing/test_certificate.h"

namespace qv::console::testing {

constexpr char kAdmin[] = "admin@example.test";

class ControlRoot {
 public:
  ControlRoot() : port_(qv::testing::FreeLoopbackPort()) {
    for (const char* dir : {"/temp", "/log", "/install"})
      ::mkdir((tables_.root() + dir).c_str(), 0755);
    reg::Key key;
    reg::CreateKey(kControlKey, "QuorvaneControl", &key);
    reg::SetString(&key, "Domain", "example.test");
    reg::SetString(&key, "HostName", "mail.example.test");
    reg::SetString(&key, "InstallPath", tables_.root() + "/install");
    reg::SetString(&key, "MailPath", tables_.mail());
    reg::SetString(&key, "TempPath", tables_.root() + "/temp");
    reg::SetString(&key, "LogPath", tables_.root() + "/log");
    reg::SetString(&key, "ConfigPath", tables_.config());
    reg::SetDword(&key, "Port", static_cast<uint32_t>(port_));
    reg::SetDword(&key, "PasswordPort", static_cast<uint32_t>(qv::testing::FreeLoopbackPort()));
    reg::CloseKey(&key);
    USERSTRUCT admin = qv::testing::MakeUser("admin", "example.test", "Secret");
    admin.Options = kUserAdmin;
    USERSTRUCT ann = qv::testing::MakeUser("ann", "example.test", "pw");
    EXPECT_EQ(qv::AddRecord(tables_.system(), &admin), 0);
    EXPECT_EQ(qv::AddRecord(tables_.system(), &ann), 0);
  }

  bool Start() { return control_.Start("qvctrl95", port_); }
  // Start() with the TLS control port on `tls_port`, serving `cert`; false unless that port
  // opens too (a port taken meanwhile leaves the optional listener closed).
  bool StartTls(const qv::testing::TestCertificate& cert, uint16_t tls_port) {
    reg::Key key;
    reg::CreateKey(kControlKey, "QuorvaneControl", &key);
    reg::SetString(&key, "TlsCertificate", cert.certificate);
    reg::SetString(&key, "TlsKey", cert.key);
    reg::SetDword(&key, "TlsControlPort", tls_port);
    reg::CloseKey(&key);
    return Start() && qv::testing::WaitUntil([tls_port] {
             qv::testing::LineClient probe;
             return probe.Connect(tls_port);
           });
  }
  void Stop() { control_.Stop(); }
  uint16_t port() const { return static_cast<uint16_t>(port_); }
  const qv::testing::ScopedTables& tables() const { return tables_; }

 private:
  qv::testing::ScopedSystemRoot root_;
  qv::testing::ScopedTables tables_{"example.test"};
  qv::testing::ServiceProcess control_;
  int port_;
};

}  // namespace qv::console::testing
