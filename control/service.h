// The control service process: one frame with two listeners, the control port
// (25 slots) and the password port (5 slots), on the common ListenAddress. Without
// the control listener the service ends; a missing password listener does not stop
// it. A connection must log on within PreLogonTime (a minute) of its start, and one
// address holds at most PreLogonPerAddress (5) control and PasswordPreLogonPerAddress
// (2) password slots with connections that have not logged on; the three are read at
// start. Failed logons of both ports are counted per address by one guard and logged
// ("c" log, level 1), and so is a start refused for the listen address. A tick every
// 60 seconds prunes old logs during the first minute of each hour.
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
// The slots one address may hold with connections that have not logged on, and the time
// from the start of a connection to its logon, while their settings are not set.
constexpr size_t kControlSlotsPerPeer = 5;
constexpr size_t kPasswordSlotsPerPeer = 2;
constexpr std::chrono::seconds kPreLogonTime{60};
constexpr size_t kReadSize = 1024;
constexpr int kTimerCleanup = 1001;
// The file prefix of the control service's log, which holds only failed logons.
inline constexpr char kLogPrefixControl[] = "c";

struct ControlServiceOptions {
  std::chrono::milliseconds idle_limit{std::chrono::minutes(10)};
  std::chrono::milliseconds failure_delay{kFailureDelayMs};
  std::chrono::milliseconds cleanup_period{std::chrono::seconds(60)};
  // A connection that has not logged on this long after it was made is closed; unset: the
  // PreLogonTime setting.
  std::optional<std::chrono::milliseconds> logon_deadline;
};

// The limits before a logon that the settings give (their defaults where not set).
struct PreLogonLimits {
  std::chrono::seconds deadline = kPreLogonTime;
  size_t control_per_peer = kControlSlotsPerPeer;
  size_t password_per_peer = kPasswordSlotsPerPeer;
};
PreLogonLimits PreLogonLimitsOf(const Settings& settings);

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
  // The connections of each port that have not logged on, per address; made with the settings,
  // before the first connection, and outliving the frame, whose connections hold places in them.
  std::optional<PeerCount> control_peers_;
  std::optional<PeerCount> password_peers_;
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
