// Test helpers of the SMTP tests: a temporary system (paths, tables, configuration) and a fake
// connection that records what a handler sends.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/service_frame.h"
#include "common/testing/fake_link.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"

namespace qv::smtp::testing {

// A temporary system for one test: settings whose paths (config, mail, temp, log) lie under a
// fresh directory with the domains "example.test;other.test", host "mx.example.test" at 192.0.2.1,
// the SMTP defaults with ESMTP on, and the message mask off-switch untouched.
class SmtpEnv {
 public:
  SmtpEnv();
  ~SmtpEnv();
  std::string mail() const { return tables_.mail(); }
  std::string temp() const { return tables_.root() + "/temp"; }
  std::string log() const { return tables_.root() + "/log"; }
  std::string root() const { return tables_.root(); }
  // The settings the code under test runs with; a test may change them.
  Settings& settings() { return tables_.settings(); }
  SYSTEMSTRUCT& system() { return tables_.system(); }
  SMTPSTRUCT& smtp() { return tables_.settings().smtp; }
  NETINFO& net() { return tables_.settings().net; }

  // Adds table records; the test fails when the store refuses one.
  void AddUser(const std::string& alias, const std::string& domain, const std::string& name = "",
               const std::string& mailbox = "", int32_t options = 0,
               const std::string& copy_incoming = "", const std::string& copy_outgoing = "");
  void AddList(const std::string& name, const std::string& domain, const std::string& description,
               const std::string& member_file, int32_t options = 0, const std::string& owner = "",
               const std::string& owner_domain = "");
  void AddCommand(const std::string& name, const std::string& domain,
                  const std::string& description, const std::string& application,
                  const std::string& parameters = "");
  void AddRoute(const std::string& masks, int32_t type, const std::string& destination);

  // Writes the registry the real qvsmtp95 reads at start: the common key (host
  // "mx.example.test", domain "example.test", this system's folders, the build's programs as the
  // installation, log level 5) and the SMTP key's port and flags. A test adds values of its own
  // by opening the keys again.
  void WriteServiceKeys(int port, uint32_t flags) const;

  // The unmasked contents of every "*.in" file of a mailbox directory, in name order.
  std::vector<std::string> Mailbox(const std::string& name) const;
  // The same for the forward queue ("*.out").
  std::vector<std::string> Queue() const;
  // Every file in the temporary folder.
  std::vector<std::string> TempFiles() const;
  // Today's SMTP log.
  std::string LogText() const;

 private:
  qv::testing::ScopedSystemRoot system_;
  qv::testing::ScopedTables tables_;
};

// Replaces the date texts of a stored message ("Sat, 7 Mar 26  14:30:15 +0000") by "<date>" and
// the Message-Id base by "<id>", so that whole files compare as text.
std::string Normalize(const std::string& text);

// A connection as a handler sees it; records sends and closes.
using FakeLink = qv::testing::FakeLink;

}  // namespace qv::smtp::testing
