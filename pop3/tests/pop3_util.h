// A temporary system for the POP3 tests: system root, mail, temp, log and config folders, users
// in the user table and messages in mailboxes.
#pragma once

#include <string>
#include <vector>

#include "common/testing/test_env.h"

namespace qv::pop3::testing {

class Pop3TestSystem {
 public:
  Pop3TestSystem();
  ~Pop3TestSystem();

  // Adds a user of the user table ("" domain: the primary domain "example.test").
  void AddUser(const std::string& alias, const std::string& password,
               const std::string& mailbox = "", int options = 0, const std::string& domain = "");
  // Stores a message (masked, as delivery stores it) in the mailbox; returns its file name.
  std::string AddMessage(const std::string& mailbox, const std::string& text);
  // Writes a file as it is, unmasked, into the mailbox folder.
  void WriteRaw(const std::string& mailbox, const std::string& name, const std::string& bytes);
  std::string MailboxPath(const std::string& mailbox) const;
  // Names of the "*.in" files of the mailbox, sorted.
  std::vector<std::string> MailboxFiles(const std::string& mailbox) const;
  // Files left in the temp folder.
  std::vector<std::string> TempFiles() const;
  const std::string& root() const { return root_.path(); }

 private:
  qv::testing::ScopedSystemRoot root_;
};

}  // namespace qv::pop3::testing
