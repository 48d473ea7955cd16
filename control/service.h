// The control service process: one frame with two listeners, the control port
// (25 slots) and the password port (5 slots). Without the control listener the
// service ends; a missing password listener does not stop it. A connection must
// log on within a minute of its start, and one address holds at most 5 control
// and 2 password slots with connections that have not logged on. Failed logons of
// both ports are counted per address by one guard and logged ("c" log, level 1). A tick every 60
// seconds prunes old logs during the first minute of each hour.
#pragma once

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "control/connection.h"
#include "control/control_host.h"
#include "serve/service_frame.h"
#include "serve/tls.h"

namespace qv::control {

constexpr size_t kControlSlots = 25;
constexpr size_t kPasswordSlots = 5;
// The slots one address may hold with connections that have not logged on.
constexpr size_t kControlSlotsPerPeer = 5;
constexpr size_t kPasswordSlotsPerPeer = 2;
constexpr size_t kReadSize = 1024;
constexpr int kTimerCleanup = 1001;
// The file prefix of the control service's log, which holds only failed logons.
inline constexpr char kLogPrefixControl[] = "c";

struct ControlServiceOptions {
  std::chrono::milliseconds idle_limit{std::chrono::minutes(10)};
  std::chrono::milliseconds failure_delay{kFailureDelayMs};
  std::chrono::milliseconds cleanup_period{std::chrono::seconds(60)};
  // A connection that has not logged on this long after it was made is closed.
  std::chrono::milliseconds logon_deadline{std::chrono::seconds(60)};
};

// The hourly log pruning of the cleanup tick: prunes `log_path` when the local
// time is in the first minute of an hour. The number of files deleted; empty
// when it was not the time.
std::optional<int> PurgeOldLogs(const std::tm& local_now, const std::string& log_path,
                                int max_log_time);

class ControlService {
 public:
  explicit ControlService(ControlServiceOptions options = {});
  int Run();
  ServiceFrame& frame() { return *frame_; }

 private:
  ServiceSetup Setup();
  ListenerSetup ControlListener();
  ListenerSetup PasswordListener();
  ListenerSetup ControlTlsListener();
  // Loads the certificate of the TLS control port; false (a failure logged) without one.
  bool LoadTls();
  bool LoadConfig();
  void Started();
  void Tick();

  ControlServiceOptions options_;
  // The connections of each port that have not logged on, per address; made before the frame,
  // whose connections hold places in them.
  PeerCount control_peers_{kControlSlotsPerPeer};
  PeerCount password_peers_{kPasswordSlotsPerPeer};
  std::unique_ptr<ServiceFrame> frame_;
  std::unique_ptr<SystemControlHost> host_;
  ConnectionContext context_;
  // One count of failed logons for both ports.
  std::unique_ptr<LogonGuard> guard_;
  // The configured log level: the control service writes only failed logons.
  int failure_log_level_ = -1;
  ServerTls tls_;
};

}  // namespace qv::control
