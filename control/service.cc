#include "control/service.h"

#include <asio/steady_timer.hpp>

#include "common/config.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/strings.h"
#include "control/control_texts.h"

namespace qv::control {

namespace {

constexpr char kControlListenerName[] = "control";
constexpr char kPasswordListenerName[] = "password";

}  // namespace

std::optional<int> PurgeOldLogs(const std::tm& local_now, const std::string& log_path,
                                int max_log_time) {
  if (local_now.tm_min != 0) return std::nullopt;
  return PruneLogFiles(log_path, max_log_time);
}

PreLogonLimits PreLogonLimitsOf(const Settings& settings) {
  const SYSTEMSTRUCT& sys = settings.system;
  PreLogonLimits limits;
  if (sys.PreLogonTime > 0) limits.deadline = std::chrono::seconds(sys.PreLogonTime);
  if (sys.PreLogonPerAddress > 0)
    limits.control_per_peer = static_cast<size_t>(sys.PreLogonPerAddress);
  if (sys.PasswordPreLogonPerAddress > 0)
    limits.password_per_peer = static_cast<size_t>(sys.PasswordPreLogonPerAddress);
  return limits;
}

ControlService::ControlService(ControlServiceOptions options) : options_(options) {
  frame_ = std::make_unique<ServiceFrame>(Setup());
  frame_->AddListener(ControlListener());
  frame_->AddListener(PasswordListener());
  frame_->AddListener(ControlTlsListener());
  context_.idle_limit = options_.idle_limit;
  context_.failure_delay = options_.failure_delay;
  guard_ = std::make_unique<LogonGuard>(LogonGuardLimits{.first_pause = options_.failure_delay});
  context_.guard = guard_.get();
  context_.log_failure = [this](std::string_view text) {
    SYSTEMSTRUCT system = frame_->settings().system;
    system.LogLevel = failure_log_level_;
    WriteLog(system, kLogLevelFailure, 0, kLogEvent, text, kLogPrefixControl);
  };
  context_.offload = [this](std::function<void()> work, std::function<void()> done) {
    frame_->Offload(std::move(work), std::move(done));
  };
  context_.after = [this](std::chrono::milliseconds delay, std::function<void()> fn) {
    auto timer = std::make_shared<asio::steady_timer>(frame_->loop().context(), delay);
    timer->async_wait([timer, fn = std::move(fn)](const std::error_code& ec) {
      if (!ec) fn();
    });
  };
}

ServiceSetup ControlService::Setup() {
  ServiceSetup setup;
  setup.window_class = kWindowClass;
  setup.client_id = kProgramName;
  setup.start_trace = kTraceStart;
  setup.exit_trace = kTraceExit;
  setup.tray_tip = kTrayTip;
  setup.load_config = [this] { return LoadConfig(); };
  setup.listen_failed = [](const Listener& listener) {
    return listener.name() != kControlListenerName;
  };
  setup.on_started = [this] { Started(); };
  setup.log = [](int, int, const char*, std::string_view) {};  // no transaction log
  setup.start_refused = [this](std::string_view text) { context_.log_failure(text); };
  return setup;
}

bool ControlService::LoadConfig() {
  host_ = std::make_unique<SystemControlHost>(frame_->settings());
  // The tables are read through the process's settings; the transaction log is
  // not written, failed logons aside.
  failure_log_level_ = frame_->settings().system.LogLevel;
  frame_->settings().system.LogLevel = -1;
  const PreLogonLimits limits = PreLogonLimitsOf(frame_->settings());
  context_.logon_deadline = options_.logon_deadline.value_or(limits.deadline);
  control_peers_.emplace(limits.control_per_peer);
  password_peers_.emplace(limits.password_per_peer);
  return true;
}

ListenerSetup ControlService::ControlListener() {
  ListenerSetup setup;
  setup.name = kControlListenerName;
  setup.slot_count = kControlSlots;
  setup.read_size = kReadSize;
  setup.port = [this] { return static_cast<int>(host_->CurrentSettings().system.Port); };
  setup.address = [this] { return ListenAddress(host_->CurrentSettings()); };
  setup.greeting = [] {
    return Format(kGreeting, kServerVersion, kInstallationText, FormatMailDate());
  };
  setup.busy_reply = [] { return std::string(kTooManyConnections); };
  setup.admit = [this](const std::string& peer) { return control_peers_->Admits(peer); };
  setup.make_handler = [this](ConnectionLink& link, const std::string& peer) {
    auto connection =
        std::make_unique<ControlConnection>(frame_->settings(), link, peer, *host_, context_);
    connection->HoldPreLogonPlace(control_peers_->Take(peer));
    return connection;
  };
  return setup;
}

ListenerSetup ControlService::PasswordListener() {
  ListenerSetup setup;
  setup.name = kPasswordListenerName;
  setup.slot_count = kPasswordSlots;
  setup.read_size = kReadSize;
  setup.port = [this] { return static_cast<int>(host_->CurrentSettings().system.PasswordPort); };
  setup.address = [this] { return ListenAddress(host_->CurrentSettings()); };
  setup.greeting = [] { return std::string(kPwGreeting); };
  setup.busy_reply = [] { return std::string(kPwTooManyConnections); };
  setup.admit = [this](const std::string& peer) { return password_peers_->Admits(peer); };
  setup.make_handler = [this](ConnectionLink& link, const std::string& peer) {
    auto connection =
        std::make_unique<PasswordConnection>(frame_->settings(), link, context_, peer);
    connection->HoldPreLogonPlace(password_peers_->Take(peer));
    return connection;
  };
  return setup;
}

// The control port inside TLS, for remote administration: opened with a port and a certificate
// configured; the protocol inside is the control port's.
ListenerSetup ControlService::ControlTlsListener() {
  ListenerSetup setup = ControlListener();
  setup.name = "control TLS";
  setup.port = [this] { return static_cast<int>(frame_->settings().system.TlsControlPort); };
  setup.enabled = [this] { return frame_->settings().system.TlsControlPort != 0 && LoadTls(); };
  setup.tls = [this] { return tls_.context(); };
  setup.implicit_tls = true;
  return setup;
}

bool ControlService::LoadTls() {
  const SYSTEMSTRUCT& system = frame_->settings().system;
  tls_.OnRefused(
      [this](const std::string& why) { context_.log_failure(Format(kLogTlsKept, why.c_str())); });
  Status loaded = tls_.Load(std::string(FieldText(system.TlsCertificate)),
                            std::string(FieldText(system.TlsKey)));
  if (!loaded) context_.log_failure(Format(kLogTlsOff, loaded.error().c_str()));
  return tls_.enabled();
}

void ControlService::Started() {
  frame_->loop().SetTimer(kTimerCleanup, options_.cleanup_period, [this] { Tick(); });
}

void ControlService::Tick() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  Settings settings = host_->CurrentSettings();
  PurgeOldLogs(local, std::string(FieldText(settings.system.LogPath)), settings.system.MaxLogTime);
}

int ControlService::Run() {
  return frame_->Run();
}

}  // namespace qv::control
