// Test helpers of the SMTP tests: a temporary system (paths, tables, configuration) and a fake
// connection that records what a handler sends.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "serve/service_frame.h"
#include "serve/testing/fake_link.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "mail/tests/mail_env_util.h"

namespace qv::smtp::testing {

// A temporary system for one test: the mail tests' system (settings whose paths lie under a
// fresh directory, the domains "example.test;other.test", host "mx.example.test", table records,
// mailbox and queue contents, the log) with the SMTP service's own settings: the host at
// 192.0.2.1, ESMTP on with a limit of 5,000 bytes, ports 25, the dial-up times.
class SmtpEnv : public mail::testing::MailEnv {
 public:
  SmtpEnv();

  NETINFO& net() { return settings().net; }

  // Writes the registry the real qvsmtp95 reads at start: the common key (host
  // "mx.example.test", domain "example.test", this system's folders, the build's programs as the
  // installation, log level 5) and the SMTP key's port and flags. A test adds values of its own
  // by opening the keys again.
  void WriteServiceKeys(int port, uint32_t flags);
};

using mail::testing::Normalize;

// A connection as a handler sees it; records sends and closes.
using FakeLink = qv::testing::FakeLink;

}  // namespace qv::smtp::testing
