#include "smtp/service.h"

#include "common/config.h"
#include "common/maillog.h"
#include "common/trace.h"
#include "smtp/connection.h"
#include "smtp/texts.h"
#include "smtp/util.h"

namespace qv::smtp {

SmtpService::SmtpService() {
  dialup_.open = [](const std::string&, std::string* error) {
    *error = kNoDialupLibrary;
    return false;
  };
  dialup_.close = [](const std::string&) { return true; };
  frame_ = std::make_unique<ServiceFrame>(Setup());
  listener_ = &frame_->AddListener(SmtpListener());
}

void SmtpService::SetForwardRun(std::function<void()> start, std::function<bool()> active) {
  start_forward_ = std::move(start);
  forward_active_ = std::move(active);
}

void SmtpService::SetDialup(DialupHooks hooks) {
  dialup_ = std::move(hooks);
}

ServiceSetup SmtpService::Setup() {
  ServiceSetup setup;
  setup.window_class = kWindowClass;
  setup.client_id = kProgramName;
  setup.start_trace = kTraceStart;
  setup.exit_trace = kTraceExit;
  setup.trace_level = kTraceLevelSmtpService;
  setup.tray_tip = kTrayTip;
  setup.load_config = [] { return LoadSmtpConfig(); };
  setup.on_started = [this] { Started(); };
  setup.on_socket_event = [this] { idle_ms_ = 0; };
  setup.extra_activity = [this] { return forward_active_ && forward_active_() ? 1 : 0; };
  setup.log = [](int level, int number, const char* tag, std::string_view text) {
    WriteLog(level, number, tag, text, kLogPrefix);
  };
  return setup;
}

ListenerSetup SmtpService::SmtpListener() {
  ListenerSetup setup;
  setup.name = "SMTP";
  setup.slot_count = kSlotCount;
  setup.read_size = kReadSize;
  setup.port = [] { return static_cast<int>(g_Smtp.Port); };
  setup.greeting = [] {
    return Format(kGreeting, kServerVersion, kInstallationText, FormatMailDate());
  };
  setup.busy_reply = [] { return Format(kTooManyConnections, g_System.HostName); };
  setup.make_handler = [this](ConnectionLink& link, const std::string& peer) {
    return std::make_unique<SmtpConnection>(
        link, peer, [this] { StartForwardRun(); },
        [this](std::function<void()> work, std::function<void()> done) {
          frame_->Offload(std::move(work), std::move(done));
        });
  };
  return setup;
}

void SmtpService::Started() {
  auto& loop = frame_->loop();
  loop.SetTimer(kTimerForward, std::chrono::seconds(g_Smtp.SMTPTimer), [this] { ForwardTick(); });
  loop.SetTimer(kTimerTick, std::chrono::milliseconds(kTickMilliseconds),
                [this] { HousekeepingTick(); });
  ping_countdown_ = g_System.ConnectTime * 1000;
  idle_ms_ = 0;
}

int SmtpService::Run() {
  return frame_->Run();
}

void SmtpService::StartForwardRun() {
  if (start_forward_) start_forward_();
  frame_->UpdateTrayIcon();
}

void SmtpService::ForwardTick() {
  // The run may have ended since the last tick.
  frame_->UpdateTrayIcon();
  if ((g_Smtp.Flags & (kSmtpUseDns | kSmtpUseMx)) == 0) return;
  if (TraceLevel() <= kTraceLevelChecks) TracePrint("%s", kTraceForwardCheck);
  WriteLog(kLogLevelData, 0, kTagEvent, kLogCheckOutgoing, kLogPrefix);
  StartForwardRun();
}

void SmtpService::HousekeepingTick() {
  frame_->UpdateTrayIcon();
  if ((g_System.Flags & kSysDialup) == 0) return;
  bool trace = TraceLevel() <= kTraceLevelChecks;
  bool ping = (g_System.Flags & kSysPing) != 0;
  ping_countdown_ -= kTickMilliseconds;
  idle_ms_ += kTickMilliseconds;
  if (ping_countdown_ <= 0) {
    if (trace) TracePrint("%s", kTracePingCheck);
    ping_countdown_ = g_System.ConnectTime * 1000;
    if (ping && !link_up_) {
      if (trace) TracePrint("%s", kTraceTimeToPing);
      std::string error;
      if (dialup_.open(g_System.RASEntry, &error)) {
        if (trace) TracePrint("%s", kTraceHaveConnection);
        link_up_ = true;
        idle_ms_ = 0;
      } else {
        if (trace) TracePrint("%s", kTraceNoConnection);
        WriteLog(kLogLevelLink, 0, kTagEvent, Format(kLogDialupFailed, g_System.RASEntry, error.c_str()),
                 kLogPrefix);
      }
    }
  }
  if (static_cast<int64_t>(g_System.ClosingTime) * 1000 < idle_ms_) {
    if (trace) TracePrint("%s", kTraceIdleCheck);
    if (ping && link_up_) {
      if (trace) TracePrint("%s", kTraceIdleClose);
      dialup_.close(g_System.RASEntry);
      link_up_ = false;
    }
    idle_ms_ = 0;
  }
}

}  // namespace qv::smtp
