// Test helpers of the SMTP tests: a temporary system (paths, tables, configuration), the real
// qvsmtp95 run against it, and a fake connection that records what a handler sends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/testing/line_client.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "mail/tests/mail_env_util.h"
#include "serve/service_frame.h"
#include "serve/testing/fake_link.h"

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

  // Sets the SMTP key's forwarder: every message leaves for 127.0.0.1 at `port_ex`.
  void WriteForwarder(int port_ex);
};

// The real qvsmtp95 on a free loopback port against the test's system. A test adds what it
// needs to env_, writes the keys (WriteKeys, then values of its own), and starts the service;
// the end of the test stops it.
class SmtpServiceTest : public ::testing::Test {
 protected:
  void TearDown() override { Stop(); }

  // Takes a free port for the service and writes the service keys with `flags`.
  void WriteKeys(uint32_t flags);
  // Starts the service and waits until it answers.
  bool Start() { return service_.Start("qvsmtp95", port_); }
  // Sends the stop signal and returns the exit status code (or -1).
  int Stop() { return service_.Stop(); }

  std::string Say(qv::testing::LineClient& client, const std::string& line);

  // One whole transaction by plain SMTP in a connection of its own (HELO, one sender, one
  // recipient, `text` as the data); the reply to the end of the data.
  std::string SendMessage(const std::string& from, const std::string& rcpt,
                          const std::string& text);

  // Runs the Python script `code` (written into the system's folder) with the service's port as
  // its argument.
  qv::testing::RunResult RunPython(const std::string& code);

  SmtpEnv env_;
  int port_ = 0;
  qv::testing::ServiceProcess service_;
};

using mail::testing::Normalize;

// A connection as a handler sees it; records sends and closes.
using FakeLink = qv::testing::FakeLink;

}  // namespace qv::smtp::testing
