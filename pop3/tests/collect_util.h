// Remote POP3 servers for the tests of the collection: a small server in the test process whose
// faults can be staged, and Debian's dovecot configured on a loopback port.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/service_process.h"
#include "common/testing/test_env.h"

namespace qv::pop3::testing {

// A POP3 server on a free loopback port, one connection at a time, on a thread of its own. Its
// mailbox outlives connections: DELE marks, QUIT deletes, any other end keeps every message.
// Message texts are sent as given, followed by ".\r\n" (the test writes them in transfer form).
class ScriptedPop3Server {
 public:
  struct Faults {
    std::string greeting = "+OK test server ready\r\n";
    // Replies to RETR k in place of the message (e.g. "-ERR gone\r\n").
    std::map<int, std::string> retr_reply;
    // RETR k sends this many bytes of the message, then closes the connection (once).
    std::map<int, size_t> cut_after;
    // Milliseconds to wait before answering RETR (a slow server).
    int retr_delay_ms = 0;
    // Milliseconds to wait before every reply after the greeting (a slow server).
    int reply_delay_ms = 0;
    // RETR sends the message one line at a time, this many milliseconds apart (a trickling
    // server); its lines repeat `trickle_repeat` times.
    int trickle_ms = 0;
    int trickle_repeat = 1;
    // The size LIST gives for message k in place of its own.
    std::map<int, size_t> announced_size;
  };

  ScriptedPop3Server(std::string user, std::string password);
  ~ScriptedPop3Server();

  void AddMessage(std::string text);
  // Another login that the server takes (every login reads the same mailbox).
  void AddLogin(const std::string& user, const std::string& password);
  int port() const { return port_; }
  Faults& faults() { return faults_; }
  // The commands received, in order (without CR LF), over every connection so far.
  std::vector<std::string> Commands();
  void ClearCommands();
  // Messages still in the mailbox.
  size_t MessageCount();
  void ClearMessages();
  int connections() const { return connections_; }

 private:
  void Serve();
  void Conversation(int fd);

  std::map<std::string, std::string> logins_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> ending_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<std::string> messages_;
  std::vector<std::string> commands_;
  Faults faults_;
  std::thread thread_;
};

// Dovecot's POP3 service on a free loopback port with a passwd-file, as the current user (the
// mail processes as "nobody" when that is root, which dovecot refuses for mail access).
class DovecotServer {
 public:
  DovecotServer();
  ~DovecotServer();
  // Before Start: TLS with this certificate and key (PEM files), required before the login
  // (`ssl = required`, `disable_plaintext_auth = yes`), and a POP3S listener.
  void UseTls(const std::string& certificate, const std::string& key);
  // False (with the reason) when dovecot is missing or does not answer.
  bool Start(std::string* error);
  void AddUser(const std::string& user, const std::string& password);
  // Puts a message (plain text with CR LF line ends) into the user's mailbox.
  void AddMessage(const std::string& user, const std::string& text);
  // Messages left in the user's mailbox.
  size_t MessageCount(const std::string& user) const;
  int port() const { return port_; }
  int pop3s_port() const { return pop3s_port_; }  // 0 without UseTls
  // Dovecot's log (its login lines name TLS connections "TLS").
  std::string Log() const;

 private:
  std::string UserDir(const std::string& user) const;

  std::string root_;
  int port_ = 0;
  int pop3s_port_ = 0;
  std::string certificate_, key_;
  qv::testing::ServiceProcess server_;
  std::string passwd_;
  unsigned uid_ = 0, gid_ = 0;
  int counter_ = 0;
};

}  // namespace qv::pop3::testing
