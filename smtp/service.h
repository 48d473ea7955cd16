// The SMTP service process: the shared frame with the SMTP connections, the forward timer and
// the housekeeping timer of the dial-up ping and idle checks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/config.h"
#include "common/dialup_link.h"
#include "common/mailfile.h"
#include "serve/logon_guard.h"
#include "serve/service_frame.h"
#include "serve/tls.h"

namespace qv::smtp {

// Timer ids.
constexpr int kTimerForward = 1001;
constexpr int kTimerTick = 1002;
constexpr int kTickMilliseconds = 5000;

// The SMTP port's slot table and reads. A read takes what has arrived up to 64 KB, so that a large
// message is received (and spooled) in a few reads rather than one per kilobyte.
constexpr size_t kSlotCount = 25;
constexpr size_t kReadSize = 64 * 1024;

class SmtpService {
 public:
  SmtpService();

  // The outgoing forwarder: `start` starts a forward run unless one is running (it must not
  // block the loop); `active` tells whether a run is in progress (it counts as activity).
  void SetForwardRun(std::function<void()> start, std::function<bool()> active);
  // The dial-up link of the ping and idle checks; it must outlive the service. Without it the
  // service behaves as on a machine without dial-up networking.
  void SetDialup(DialupLink& link) { dialup_ = &link; }

  // The life of the service process; returns the exit code.
  int Run();

  ServiceFrame& frame() { return *frame_; }
  // The SMTP port, the submission port and the SMTPS port (the last two opened only with a port
  // and a certificate configured).
  Listener& listener() { return *listener_; }
  Listener& submission_listener() { return *submission_; }
  Listener& smtps_listener() { return *smtps_; }

  // The timers' work, also called by tests.
  void ForwardTick();
  void HousekeepingTick();
  // A forward run right now (the send-immediately path).
  void StartForwardRun();

  int32_t ping_countdown() const { return ping_countdown_; }
  int32_t idle_time() const { return idle_ms_; }
  bool link_up() const { return link_up_; }
  // An open or close of the link is running on the worker pool.
  bool link_busy() const { return link_busy_; }
  // What the service gives the frame and its listener (for tests that run the frame on their
  // own).
  ServiceSetup Setup();
  ListenerSetup SmtpListener();
  // The submission listener (STARTTLS, then AUTH before MAIL) or, with `implicit_tls`, SMTPS.
  ListenerSetup SubmissionListener(bool implicit_tls);
  // Loads the certificate the settings name; without one, or when it cannot be loaded (logged),
  // the service offers no TLS. The frame's start calls it.
  void LoadTls();
  // A connection of the SMTP port or (`submission`) of the submission and SMTPS ports.
  std::unique_ptr<ConnectionHandler> MakeConnection(ConnectionLink& link, const std::string& peer,
                                                    bool submission);
  const ServerTls& tls() const { return tls_; }
  // After the configuration is loaded: timers and counters.
  void Started();

  // The settings the service runs with: the frame's, loaded at its start.
  const Settings& settings() const { return frame_->settings(); }
  Settings& settings() { return frame_->settings(); }

 private:
  // The spool files of received messages, one kept per slot.
  std::shared_ptr<TempFilePool> spools_ = std::make_shared<TempFilePool>(kSlotCount);
  std::unique_ptr<ServiceFrame> frame_;
  Listener* listener_ = nullptr;
  Listener* submission_ = nullptr;
  Listener* smtps_ = nullptr;
  ServerTls tls_;
  // One count of failed AUTH logons for every connection.
  LogonGuard guard_;
  std::function<void()> start_forward_;
  std::function<bool()> forward_active_;
  DialupLink* dialup_ = &NoDialupLink();
  int32_t ping_countdown_ = 0;
  int32_t idle_ms_ = 0;
  bool link_up_ = false;
  bool link_busy_ = false;
};

}  // namespace qv::smtp
