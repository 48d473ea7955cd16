#include "pop3/service.h"

#include <cstdio>

#include "common/config.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/strings.h"
#include "pop3/connection.h"
#include "pop3/pop3_texts.h"

namespace qv::pop3 {

Pop3Service::Pop3Service(Pop3ServiceOptions options) : options_(options) {
  frame_ = std::make_unique<ServiceFrame>(Setup());
  listener_ = &frame_->AddListener(Pop3Listener());
  pop3s_ = &frame_->AddListener(Pop3sListener());
}

void Pop3Service::LoadTls() {
  const SYSTEMSTRUCT& system = settings().system;
  tls_.OnRefused([this](const std::string& why) {
    WriteLog(settings().system, kLogLevelFailure, 0, kLogEvent, Format(kLogTlsKept, why.c_str()),
             kLogPrefixPop3);
  });
  Status loaded = tls_.Load(std::string(FieldText(system.TlsCertificate)),
                            std::string(FieldText(system.TlsKey)));
  if (!loaded)
    WriteLog(system, kLogLevelFailure, 0, kLogEvent, Format(kLogTlsOff, loaded.error().c_str()),
             kLogPrefixPop3);
}

ListenerSetup Pop3Service::Pop3sListener() {
  ListenerSetup setup = Pop3Listener();
  setup.name = "POP3S";
  setup.port = [this] { return static_cast<int>(settings().pop3.Pop3sPort); };
  setup.enabled = [this] { return settings().pop3.Pop3sPort != 0 && tls_.enabled(); };
  setup.implicit_tls = true;
  return setup;
}

ServiceSetup Pop3Service::Setup() {
  ServiceSetup setup;
  setup.window_class = kWindowClass;
  setup.client_id = kTraceClientName;
  setup.start_trace = kTraceStart;
  setup.exit_trace = kTraceExit;
  setup.trace_level = kTraceLevelPop3Service;
  setup.tray_tip = kTrayTip;
  setup.load_config = [this] {
    LoadTls();
    return true;
  };
  // The POP3 port is the service; POP3S is an extra it may go without.
  setup.listen_failed = [](const Listener& listener) { return listener.name() != "POP3"; };
  setup.on_started = [this] { Started(); };
  setup.extra_activity = [this] { return collection_ ? collection_->active() : 0; };
  setup.on_stopping = [this] {
    if (collection_) collection_->Stop();
  };
  setup.log = [this](int level, int number, const char* tag, std::string_view text) {
    WriteLog(settings().system, level, number, tag, text, kLogPrefixPop3);
  };
  return setup;
}

ListenerSetup Pop3Service::Pop3Listener() {
  ListenerSetup setup;
  setup.name = "POP3";
  setup.slot_count = kSlotCount;
  setup.read_size = kReadSize;
  setup.port = [this] { return static_cast<int>(settings().pop3.Port); };
  setup.address = [this] { return ListenAddress(settings()); };
  setup.greeting = [] {
    return Format(kGreeting, kServerVersion, kInstallationText, FormatMailDate());
  };
  setup.busy_reply = [] { return std::string(kErrTooManyConnections); };
  setup.tls = [this] { return tls_.context(); };
  setup.make_handler = [this](ConnectionLink& link, const std::string& peer) {
    LoopTools tools;
    tools.defer = [this](std::function<void()> fn) { frame_->loop().Post(std::move(fn)); };
    tools.after = [this](std::chrono::milliseconds delay, std::function<void()> fn) {
      frame_->loop().After(delay, std::move(fn));
    };
    tools.offload = [this](std::function<void()> work, std::function<void()> done) {
      frame_->Offload(std::move(work), std::move(done));
    };
    tools.guard = &guard_;
    return std::make_unique<POPCONNSTRUCT>(settings(), link, peer, std::move(tools),
                                           options_.idle_limit);
  };
  return setup;
}

void Pop3Service::Started() {
  // The checks run beside the loop; their start and end reach the tray through the loop.
  collection_ = MakeRemoteCollection(
      settings(), [this](std::function<void()> fn) { frame_->loop().Post(std::move(fn)); },
      [this] { frame_->UpdateTrayIcon(); }, options_.deliver_fetched, options_.dialup);
  collection_->Load();
  frame_->loop().SetTimer(kTimerAccounts, options_.account_period, [this] { collection_->Tick(); });
}

int Pop3Service::Run() {
  return frame_->Run();
}

}  // namespace qv::pop3
