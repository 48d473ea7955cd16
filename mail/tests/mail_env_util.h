// Test helpers of the delivery and notice tests: a temporary system (paths, tables,
// configuration) and a mail service that delivers for real.
#pragma once

#include <string>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "mail/mail_service.h"

namespace qv::mail::testing {

// A temporary system for one test: settings whose paths (config, mail, temp, log) lie under a
// fresh directory with the domains "example.test;other.test" (or `domains`), host
// "mx.example.test", the SMTP defaults, and the message mask off-switch untouched.
class MailEnv {
 public:
  explicit MailEnv(const std::string& domains = "example.test;other.test");
  ~MailEnv();
  MailEnv(const MailEnv&) = delete;
  MailEnv& operator=(const MailEnv&) = delete;

  std::string mail() const { return tables_.mail(); }
  std::string temp() const { return tables_.root() + "/temp"; }
  std::string log() const { return tables_.root() + "/log"; }
  std::string root() const { return tables_.root(); }
  std::string config() const { return tables_.config(); }
  // The settings the service runs with; a test may change them before it delivers.
  Settings& settings() { return tables_.settings(); }
  SYSTEMSTRUCT& system() { return tables_.system(); }
  const SYSTEMSTRUCT& system() const { return tables_.system(); }
  SMTPSTRUCT& smtp() { return tables_.settings().smtp; }

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

  // The unmasked contents of every "*.in" file of a mailbox directory, in name order.
  std::vector<std::string> Mailbox(const std::string& name) const;
  // The same for the forward queue ("*.out").
  std::vector<std::string> Queue() const;
  // The names of the files in the temporary folder, in name order.
  std::vector<std::string> TempFiles() const;
  // The paths of the files of a folder of MailPath (a mailbox or "forward"), sorted.
  std::vector<std::string> Files(const std::string& folder) const;
  // The unmasked text of the only message file of a folder of MailPath ("" when not one).
  std::string OnlyMessage(const std::string& folder) const;
  // Today's transaction log of `prefix`.
  std::string LogText(const std::string& prefix = "s") const;
  // The texts of its lines ("%05d  date   *** text"), in order.
  std::vector<std::string> LogTexts(const std::string& prefix = "s") const;

  // A service that delivers received mail and logs to "s", as the SMTP service does.
  MailService service;

 protected:
  qv::testing::ScopedTables& tables() { return tables_; }
  const qv::testing::ScopedTables& tables() const { return tables_; }

 private:
  qv::testing::ScopedSystemRoot system_;
  qv::testing::ScopedTables tables_;
};

// Replaces the date texts of a stored message ("Sat, 7 Mar 26  14:30:15 +0000") by "<date>" and
// the Message-Id base by "<id>", so that whole files compare as text.
std::string Normalize(const std::string& text);

}  // namespace qv::mail::testing
