// A control host that records what the sessions ask of it, with mail services whose states
// the test sets.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/config.h"
#include "control/control_host.h"
#include "platform/svcmgr.h"

namespace qv::control::testing {

// Settings with the loader's defaults and a few texts, without touching the registry.
inline Settings SampleSettings() {
  Settings s;
  CopyField(s.system.HostName, "mail.example.com");
  CopyField(s.system.Domain, "example.com;example.org");
  CopyField(s.system.MailPath, "/srv/mail");
  CopyField(s.system.TempPath, "/srv/temp");
  CopyField(s.system.LogPath, "/srv/log");
  CopyField(s.system.ConfigPath, "/srv/config");
  CopyField(s.system.LogViewer, "NOTEPAD.EXE");
  s.system.LogLevel = 4;
  s.system.MaxLogTime = 7;
  s.system.Port = 32000;
  s.system.PasswordPort = 106;
  s.system.ConnectTime = 3600;
  s.system.ClosingTime = 90;
  s.smtp.SMTPTimer = 900;
  s.smtp.ReturnTimer = 259200;
  s.smtp.Port = 25;
  s.smtp.PortEx = 25;
  s.smtp.Flags = kSmtpUseDns;
  s.smtp.ESMTPMaxMsgSize = 5000;
  s.pop3.Port = 110;
  s.pop3.PortEx = 110;
  s.smtp.TLSVerify = s.pop3.TLSVerify = 1;
  CopyField(s.net.Description, "Linux sockets");
  CopyField(s.net.SystemStatus, "Running");
  CopyField(s.net.Address, "127.0.0.1");
  return s;
}

class FakeHost : public ControlHost {
 public:
  FakeHost() : current(SampleSettings()), stored(current) {}

  Settings CurrentSettings() override { return current; }
  // Merges as the registry does: the changes of `mine` into what is stored.
  Result<Settings> SaveChanges(const Settings& mine, const SettingChanges& changes) override {
    ++saves;
    log.push_back("save");
    if (!save_works) return Fail("read-only");
    Settings merged = stored;
    merged.net = mine.net;
    changes.ApplyTo(mine, merged);
    current = merged;
    stored = merged;
    return merged;
  }
  Settings ReloadedSettings(const Settings& settings) override {
    Settings reloaded = stored;
    reloaded.net = settings.net;
    log.push_back("reload");
    return reloaded;
  }
  int ServiceCommand(int service, int command) override {
    calls.emplace_back(service, command);
    log.push_back("service " + std::to_string(service) + " " + std::to_string(command));
    if (command == kCommandStart && start_works) states[service] = platform::kServiceRunning;
    if (command == kCommandStop && stop_works) states[service] = platform::kServiceStopped;
    if (command == kCommandQuery) {
      auto it = states.find(service);
      return it == states.end() ? platform::kServiceStopped : it->second;
    }
    return -1;
  }
  void SyncMailboxDirectories() override { log.push_back("sync"); }
  OptionsExtras Extras() override { return extras; }
  void SetExtras(const OptionsExtras& e) override { extras = e; }
  std::vector<std::string> PhoneBookEntries() override { return phone_book; }

  Settings current;
  Settings stored;  // what the registry holds
  OptionsExtras extras;
  std::vector<std::string> phone_book;
  std::map<int, int> states;
  bool start_works = true;
  bool stop_works = true;
  bool save_works = true;
  int saves = 0;
  std::vector<std::pair<int, int>> calls;
  std::vector<std::string> log;
};

}  // namespace qv::control::testing
