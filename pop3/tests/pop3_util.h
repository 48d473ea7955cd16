// A temporary system for the POP3 tests: system root, mail, temp, log and config folders, users
// in the user table and messages in mailboxes.
#pragma once

#include <string>
#include <vector>

#include "common/config.h"
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
  // The settings the code under test runs with; a test may change them.
  Settings& settings() { return settings_; }
  const Settings& settings() const { return settings_; }
  SYSTEMSTRUCT& system() { return settings_.system; }
  const SYSTEMSTRUCT& system() const { return settings_.system; }

 private:
  qv::testing::ScopedSystemRoot root_;
  Settings settings_;
};

}  // namespace qv::pop3::testing

namespace qv::pop3::testing {

// A blocking client socket to 127.0.0.1 with a receive timeout, so that a test never hangs.
class Client {
 public:
  explicit Client(int port);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Send(const std::string& bytes);
  // One line with its CR LF; empty at the end of the connection or on timeout.
  std::string Line();
  // Everything up to and with the first CR LF "." CR LF (after the status line was read).
  std::string UpTo(const std::string& end);
  // True when the peer closed the connection (reads until end or timeout).
  bool Closed();
  void Close();
  // Sends the line and returns the reply line.
  std::string Ask(const std::string& line) {
    Send(line + "\r\n");
    return Line();
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

// A free TCP port on the loopback address (free when asked).
int FreePort();

}  // namespace qv::pop3::testing
