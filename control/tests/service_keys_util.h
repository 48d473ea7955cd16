// The registry of the control service under test: the common key over a test's tables and the
// four listening ports.
#pragma once

#include "common/testing/service_keys.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"

namespace qv::control::testing {

struct ServicePorts {
  int control = 0;
  int password = 0;
  int smtp = 0;
  int pop3 = 0;
};

inline void WriteServiceKeys(const qv::testing::ScopedTables& tables, const ServicePorts& ports) {
  qv::testing::WriteCommonKey({.host = "mail.example.test",
                               .domain = "example.test",
                               .install = qv::testing::BinDir(),
                               .mail = tables.mail(),
                               .temp = tables.root() + "/temp",
                               .log = tables.root() + "/log",
                               .config = tables.config()});
  qv::testing::ControlKey().Set("Port", ports.control).Set("PasswordPort", ports.password);
  qv::testing::SmtpKey().Set("Port", ports.smtp);
  qv::testing::Pop3Key().Set("Port", ports.pop3);
}

}  // namespace qv::control::testing
