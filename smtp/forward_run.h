// What the conversations of one forward run share: how they are secured (TLSOutgoing, TLSVerify,
// the exchange login), the CA certificates read once for all their handshakes, and the smart
// hosts that refused the login, which the run tries no more. The administrator hears of each
// such refusal once per run.
//
// A run's conversations may go on in several threads at once: every member is safe to use from
// any of them.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "common/config.h"
#include "net/smtp_client.h"
#include "net/tls_channel.h"

namespace qv::smtp {

// The environment variable naming a PEM file of CA certificates to trust instead of the system's
// store (for tests, whose peers have a certificate of their own).
inline constexpr char kForwardCaFileVariable[] = "QV_FORWARD_CA_FILE";

// Conversations sent at once by a run that uses TLS or a login (each takes the next file).
inline constexpr int kForwardWorkers = 4;

// A connection kept open after the peer took a message, for the next message to the same host:
// in a run with TLS or a login each worker sends its messages one after another on it (MAIL FROM
// again, RFC 5321) instead of a handshake and a login for each. QUIT goes out when the next
// message goes to another host and when the worker ends.
struct KeptConnection {
  std::unique_ptr<SmtpClient> client;  // null: none kept
  std::string host;                    // as given to SendToHost
  bool smart = false;                  // a smart host's, logged in where a login is set
  bool ehlo = true;                    // the hello in use
  bool in_tls = false;
};

class ForwardRun {
 public:
  // Reads the choices of the SMTP settings; with TLS on, loads the CA certificates (a failure is
  // logged at level 1, and every handshake of the run then fails).
  explicit ForwardRun(const Settings& settings);
  ForwardRun(const ForwardRun&) = delete;
  ForwardRun& operator=(const ForwardRun&) = delete;

  int tls() const { return tls_; }  // 0: none; 1: STARTTLS when offered; 2: required
  bool verify() const { return verify_; }
  const TlsTrust& trust() const { return trust_; }
  // True when the conversations ask for more than the plain protocol: TLS or a login.
  bool secured() const { return tls_ > 0 || !user_.empty(); }

  // The login for a conversation with `smart_host` true (a host of ExchangeHost, not one found
  // by DNS): false for no login. A login set while TLSOutgoing is 0 is never sent (its password
  // would travel in clear); the first time that matters in the run it is logged at level 1.
  bool LoginFor(bool smart_host, std::string* user, std::string* password);

  // Whether `host` refused the login earlier in this run.
  bool LoginRefused(const std::string& host) const;
  // Notes that `host` refused the login; true the first time for that host in this run (the
  // administrator's notice is then due).
  bool RefuseLogin(const std::string& host);

 private:
  const SYSTEMSTRUCT& system_;
  int tls_ = 0;
  bool verify_ = true;
  std::string user_, password_;
  TlsTrust trust_;
  mutable std::mutex mu_;  // guards the two below
  std::set<std::string> refused_;
  bool clear_login_logged_ = false;
};

}  // namespace qv::smtp
