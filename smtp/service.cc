#include "smtp/service.h"

#include "common/config.h"
#include "common/maillog.h"
#include "common/member_path.h"
#include "common/records.h"
#include "common/strings.h"
#include "common/trace.h"
#include "smtp/connection.h"
#include "smtp/texts.h"
#include "smtp/util.h"

namespace qv::smtp {

SmtpService::SmtpService() {
  frame_ = std::make_unique<ServiceFrame>(Setup());
  listener_ = &frame_->AddListener(SmtpListener());
  submission_ = &frame_->AddListener(SubmissionListener(false));
  smtps_ = &frame_->AddListener(SubmissionListener(true));
}

void SmtpService::LoadTls() {
  const SYSTEMSTRUCT& system = settings().system;
  tls_.OnRefused([this](const std::string& why) {
    WriteLog(settings().system, kLogLevelFailure, 0, kLogEvent, Format(kLogTlsKept, why.c_str()),
             kLogPrefix);
  });
  Status loaded = tls_.Load(std::string(FieldText(system.TlsCertificate)),
                            std::string(FieldText(system.TlsKey)));
  if (!loaded)
    WriteLog(system, kLogLevelFailure, 0, kLogEvent, Format(kLogTlsOff, loaded.error().c_str()),
             kLogPrefix);
}

ListenerSetup SmtpService::SubmissionListener(bool implicit_tls) {
  ListenerSetup setup = SmtpListener();
  setup.name = implicit_tls ? "SMTPS" : "submission";
  setup.port = [this, implicit_tls] {
    return static_cast<int>(implicit_tls ? settings().smtp.SmtpsPort
                                         : settings().smtp.SubmissionPort);
  };
  setup.enabled = [this, port = setup.port] { return port() != 0 && tls_.enabled(); };
  setup.implicit_tls = implicit_tls;
  setup.make_handler = [this](ConnectionLink& link, const std::string& peer) {
    return MakeConnection(link, peer, true);
  };
  return setup;
}

void SmtpService::SetForwardRun(std::function<void()> start, std::function<bool()> active) {
  start_forward_ = std::move(start);
  forward_active_ = std::move(active);
}

ServiceSetup SmtpService::Setup() {
  ServiceSetup setup;
  setup.window_class = kWindowClass;
  setup.client_id = kProgramName;
  setup.start_trace = kTraceStart;
  setup.exit_trace = kTraceExit;
  setup.trace_level = kTraceLevelSmtpService;
  setup.tray_tip = kTrayTip;
  // Every connection's message may be flushing at once: concurrent flushes are what lets the
  // disk commit many messages together, so no received message waits for a thread.
  setup.worker_threads = kSlotCount;
  setup.load_config = [this] {
    LoadTls();
    return true;
  };
  // The SMTP port is the service; the others are extras it may go without.
  setup.listen_failed = [](const Listener& listener) { return listener.name() != "SMTP"; };
  setup.on_started = [this] { Started(); };
  setup.on_socket_event = [this] { idle_ms_ = 0; };
  setup.extra_activity = [this] { return forward_active_ && forward_active_() ? 1 : 0; };
  setup.log = [this](int level, int number, const char* tag, std::string_view text) {
    WriteLog(settings().system, level, number, tag, text, kLogPrefix);
  };
  return setup;
}

ListenerSetup SmtpService::SmtpListener() {
  ListenerSetup setup;
  setup.name = "SMTP";
  setup.slot_count = kSlotCount;
  setup.read_size = kReadSize;
  setup.port = [this] { return static_cast<int>(settings().smtp.Port); };
  setup.address = [this] { return ListenAddress(settings()); };
  setup.greeting = [] {
    return Format(kGreeting, kServerVersion, kInstallationText, FormatMailDate());
  };
  setup.busy_reply = [this] { return Format(kTooManyConnections, settings().system.HostName); };
  setup.tls = [this] { return tls_.context(); };
  setup.make_handler = [this](ConnectionLink& link, const std::string& peer) {
    return MakeConnection(link, peer, false);
  };
  return setup;
}

std::unique_ptr<ConnectionHandler> SmtpService::MakeConnection(ConnectionLink& link,
                                                               const std::string& peer,
                                                               bool submission) {
  auto connection = std::make_unique<SmtpConnection>(
      settings(), link, peer, [this] { StartForwardRun(); },
      [this](std::function<void()> work, std::function<void()> done) {
        frame_->Offload(std::move(work), std::move(done));
      },
      spools_, submission);
  connection->SetLogonGuard(&guard_,
                            [this](std::chrono::milliseconds delay, std::function<void()> fn) {
                              frame_->loop().After(delay, std::move(fn));
                            });
  return connection;
}

void SmtpService::Started() {
  auto& loop = frame_->loop();
  loop.SetTimer(kTimerForward, std::chrono::seconds(settings().smtp.SMTPTimer),
                [this] { ForwardTick(); });
  loop.SetTimer(kTimerTick, std::chrono::milliseconds(kTickMilliseconds),
                [this] { HousekeepingTick(); });
  ping_countdown_ = settings().system.ConnectTime * 1000;
  idle_ms_ = 0;
  ReportRefusedMemberFiles(settings().system, kLogPrefix);
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
  if ((settings().smtp.Flags & (kSmtpUseDns | kSmtpUseMx)) == 0) return;
  if (TraceLevel() <= kTraceLevelChecks) TracePrint("%s", kTraceForwardCheck);
  WriteLog(settings().system, kLogLevelData, 0, kLogEvent, kLogCheckOutgoing, kLogPrefix);
  StartForwardRun();
}

void SmtpService::HousekeepingTick() {
  frame_->UpdateTrayIcon();
  if ((settings().system.Flags & kSysDialup) == 0) return;
  bool trace = TraceLevel() <= kTraceLevelChecks;
  bool ping = (settings().system.Flags & kSysPing) != 0;
  ping_countdown_ -= kTickMilliseconds;
  idle_ms_ += kTickMilliseconds;
  if (ping_countdown_ <= 0) {
    if (trace) TracePrint("%s", kTracePingCheck);
    ping_countdown_ = settings().system.ConnectTime * 1000;
    if (ping && !link_up_ && !link_busy_) {
      if (trace) TracePrint("%s", kTraceTimeToPing);
      // A dial may take a minute (and the wait for another process's dial longer): it runs on
      // the worker pool while the loop goes on serving, and its end comes back to the loop.
      struct Opening {
        std::string entry;
        std::string error;
        bool ok = false;
      };
      auto opening = std::make_shared<Opening>();
      opening->entry = settings().system.RASEntry;
      link_busy_ = true;
      DialupLink* link = dialup_;
      frame_->Offload(
          [link, opening] { opening->ok = link->Open(opening->entry, &opening->error); },
          [this, opening] {
            link_busy_ = false;
            bool trace = TraceLevel() <= kTraceLevelChecks;
            if (opening->ok) {
              if (trace) TracePrint("%s", kTraceHaveConnection);
              link_up_ = true;
              idle_ms_ = 0;
            } else {
              if (trace) TracePrint("%s", kTraceNoConnection);
              WriteLog(settings().system, kLogLevelLink, 0, kLogEvent,
                       Format(kLogDialupFailed, opening->entry.c_str(), opening->error.c_str()),
                       kLogPrefix);
            }
          });
    }
  }
  if (static_cast<int64_t>(settings().system.ClosingTime) * 1000 < idle_ms_) {
    if (trace) TracePrint("%s", kTraceIdleCheck);
    if (ping && link_up_ && !link_busy_) {
      if (trace) TracePrint("%s", kTraceIdleClose);
      // The hang-up may wait many seconds for the link to go: on the worker pool too.
      link_up_ = false;
      link_busy_ = true;
      DialupLink* link = dialup_;
      std::string entry = settings().system.RASEntry;
      frame_->Offload([link, entry] { link->Close(entry); }, [this] { link_busy_ = false; });
    }
    idle_ms_ = 0;
  }
}

}  // namespace qv::smtp
