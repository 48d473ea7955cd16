// The POP3 service process qvpop395 on the shared service frame: five connection slots, the
// greeting, the one-minute account timer, the transaction log with prefix "p".
#pragma once

#include <chrono>
#include <memory>

#include "common/config.h"
#include "common/dialup_link.h"
#include "pop3/collect_runner.h"
#include "pop3/schedule.h"
#include "serve/logon_guard.h"
#include "serve/service_frame.h"
#include "serve/tls.h"

namespace qv::pop3 {

inline constexpr char kWindowClass[] = "QuorvanePop3";
constexpr size_t kSlotCount = 5;
constexpr size_t kReadSize = 1024;

struct Pop3ServiceOptions {
  std::chrono::milliseconds idle_limit = std::chrono::minutes(10);
  std::chrono::milliseconds account_period = std::chrono::seconds(kTickSeconds);
  // Where fetched mail goes (empty: mail::DeliverFetchedMessage).
  FetchedDelivery deliver_fetched;
  // The dial-up link a check of a remote account opens around its conversation (account option
  // 0x2); it must outlive the service. The default stands for a machine without dial-up
  // networking.
  DialupLink* dialup = &NoDialupLink();
};

class Pop3Service {
 public:
  explicit Pop3Service(Pop3ServiceOptions options = {});

  // The whole life of the process; the exit code.
  int Run();

  ServiceFrame& frame() { return *frame_; }
  // The POP3 port, and the POP3S port (opened only with a port and a certificate configured).
  Listener& listener() { return *listener_; }
  Listener& pop3s_listener() { return *pop3s_; }
  // Loads the certificate the settings name; without one, or when it cannot be loaded (logged),
  // the service offers no TLS. The frame's start calls it.
  void LoadTls();
  const ServerTls& tls() const { return tls_; }
  // The remote account checks; made when the service has started.
  RemoteCollection* collection() { return collection_.get(); }
  // Starts the account timer, as the start of the service does (for tests that listen
  // themselves).
  void Started();

  // The settings the service runs with: the frame's, loaded at its start.
  const Settings& settings() const { return frame_->settings(); }
  Settings& settings() { return frame_->settings(); }

 private:
  ServiceSetup Setup();
  ListenerSetup Pop3Listener();
  ListenerSetup Pop3sListener();

  Pop3ServiceOptions options_;
  std::unique_ptr<ServiceFrame> frame_;
  Listener* listener_ = nullptr;
  Listener* pop3s_ = nullptr;
  ServerTls tls_;
  std::unique_ptr<RemoteCollection> collection_;
  // One count of failed logons for every connection.
  LogonGuard guard_;
};

}  // namespace qv::pop3
