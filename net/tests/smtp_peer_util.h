// Test helpers for outgoing mail: SMTP peers on loopback ports.
//  - FakeSmtpPeer: a small scripted server in a thread, for the failure replies and odd replies
//    that a real server does not give on request.
//  - RealSmtpPeer: Debian's aiosmtpd, a real SMTP server, storing every message it accepts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv::testing {

class FakeSmtpPeer {
 public:
  // Given a command line (without CR LF), returns the reply to send (any number of lines, each
  // with CR LF); an empty reply closes the connection. A reply starting "354" switches to
  // message data, which is read to the end line and answered with `data_reply`.
  using Replier = std::function<std::string(const std::string& line)>;

  struct Script {
    std::string greeting = "220 peer.test ESMTP ready\r\n";
    Replier reply;  // default: StandardReply
    std::string data_reply = "250 2.0.0 queued\r\n";
    // Each reply line goes out in a write of its own, so that a client sees multi-line replies
    // arrive in pieces.
    bool split_lines = false;
  };

  // The replies of a willing server: 250 to EHLO, HELO, MAIL, RCPT; 354 to DATA; 221 to QUIT.
  static std::string StandardReply(const std::string& line);

  explicit FakeSmtpPeer(Script script);
  FakeSmtpPeer() : FakeSmtpPeer(Script{}) {}
  ~FakeSmtpPeer();
  FakeSmtpPeer(const FakeSmtpPeer&) = delete;
  FakeSmtpPeer& operator=(const FakeSmtpPeer&) = delete;

  uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Every command line received, over all connections, without CR LF.
  std::vector<std::string> commands() const;
  // The message text of every completed DATA, as sent (dot-stuffing kept, end line removed).
  std::vector<std::string> messages() const;
  int connections() const;

 private:
  void Serve();
  void Session(int fd);
  bool SendReply(int fd, const std::string& reply);

  Script script_;
  int listen_fd_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  mutable std::mutex mu_;
  std::vector<std::string> commands_;
  std::vector<std::string> messages_;
  int connections_ = 0;
  std::thread thread_;
};

// aiosmtpd on a free loopback port, run by the Debian python3 with the helper script
// net/tests/smtp_sink.py; every accepted message lands as one file in a folder.
class RealSmtpPeer {
 public:
  struct Message {
    std::string mail_from;
    std::vector<std::string> rcpt_to;
    bool tls = false;     // it came inside TLS
    std::string login;    // the AUTH login it came with; empty: none
    std::string content;  // as received, after the transfer's dot-stuffing was removed
  };

  // A provider's smart host: TLS with the certificate (STARTTLS, required before anything else;
  // or from the first byte), and AUTH required with the login.
  struct Security {
    std::string certificate, key;  // PEM files; empty: no TLS
    bool implicit_tls = false;
    std::string login;  // "user:password"; empty: no AUTH
  };

  RealSmtpPeer();
  explicit RealSmtpPeer(const Security& security);
  ~RealSmtpPeer();
  RealSmtpPeer(const RealSmtpPeer&) = delete;
  RealSmtpPeer& operator=(const RealSmtpPeer&) = delete;

  // False when aiosmtpd is not installed or did not start (the reason in why()).
  bool ok() const { return port_ != 0; }
  const std::string& why() const { return why_; }
  uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // The messages stored so far, in arrival order.
  std::vector<Message> Messages() const;
  // Waits (bounded) until at least n messages are stored.
  std::vector<Message> WaitForMessages(size_t n) const;

 private:
  std::string dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string why_;
};

// A free TCP port on 127.0.0.1 at the time of the call.
uint16_t FreeTcpPort();

}  // namespace qv::testing
