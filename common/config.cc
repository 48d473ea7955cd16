#include "common/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/settings_table.h"
#include "platform/netinfo.h"
#include "platform/presence.h"
#include "platform/spawn.h"
#include "platform/svcmgr.h"
#include "platform/sysroot.h"
#include "platform/text.h"
#include "platform/winprofile.h"

namespace qv {

namespace {

struct ServiceNames {
  const char* name;
  const char* display;
  const char* program;     // the program the presence-lock mode starts
  const char* nt_program;  // the program installed under the service manager
};

const ServiceNames kServices[] = {
    {"QuorvaneSmtp", "Quorvane Smtp-Service", "qvsmtp95", "qvsmtp"},
    {"QuorvanePop3", "Quorvane POP3-Service", "qvpop395", "qvpop3"},
    {"QuorvaneControl", "Quorvane Control-Service", "qvctrl95", "qvctrl"},
};

// A start or stop takes a moment to show in the presence lock. A command that follows one of
// this process's starts or stops within half a second waits out the rest of that half second,
// so that its answer sees the result; any other command is answered at once.
constexpr std::chrono::milliseconds kSettleTime{500};
std::atomic<std::chrono::steady_clock::rep> g_last_change{0};

void WaitForSettle() {
  using Clock = std::chrono::steady_clock;
  auto last = Clock::time_point(Clock::duration(g_last_change.load()));
  auto since = Clock::now() - last;
  if (since >= Clock::duration::zero() && since < kSettleTime)
    std::this_thread::sleep_for(kSettleTime - since);
}

void NoteChange() {
  g_last_change.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

const ServiceNames* Names(int service) {
  if (service < 1 || service > 3) return nullptr;
  return &kServices[service - 1];
}

std::string ToLower(std::string s) {
  for (char& c : s) c = LowerAscii(c);
  return s;
}

std::string ReadStartEntry() {
  char buffer[256] = {};
  platform::GetProfileString("windows", "run", "", buffer, sizeof buffer);
  return buffer;
}

bool InStartEntry(const char* program) {
  return ToLower(ReadStartEntry()).find(ToLower(program)) != std::string::npos;
}

void ApplyStartEntry(const char* install_path, const char* program, bool wanted) {
  std::string entry = ReadStartEntry();
  std::string adjusted = AdjustStartEntry(entry, install_path, program, wanted);
  if (adjusted != entry) platform::WriteProfileString("windows", "run", adjusted);
}

void MakeDirectoryIfMissing(const char* path) {
  struct stat st {};
  if (path[0] != '\0' && stat(path, &st) != 0) mkdir(path, 0755);
}

}  // namespace

void CopyField(char* field, size_t width, const std::string& text) {
  if (width == 0) return;
  size_t n = std::min(text.size(), width - 1);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, width - n);
}

const char* ServiceName(int service) {
  const ServiceNames* n = Names(service);
  return n ? n->name : "";
}
const char* ServiceDisplayName(int service) {
  const ServiceNames* n = Names(service);
  return n ? n->display : "";
}
const char* ServiceProgram(int service) {
  const ServiceNames* n = Names(service);
  return n ? n->program : "";
}
std::string ServiceProgramPath(const Settings& settings, int service) {
  const ServiceNames* n = Names(service);
  if (n == nullptr) return {};
  return std::string(settings.system.InstallPath) + "/" +
         (settings.nt_mode ? n->nt_program : n->program);
}

std::string AdjustStartEntry(const std::string& entry, const std::string& install_path,
                             const std::string& program, bool wanted) {
  std::string lower = ToLower(entry);
  std::string name = ToLower(program);
  size_t at = lower.find(name);
  if (wanted && at == std::string::npos) {
    if (!lower.empty()) lower += ' ';
    lower += ToLower(install_path + "/" + program);
  } else if (!wanted && at != std::string::npos) {
    size_t begin = lower.find_last_of(" \t", at);
    begin = begin == std::string::npos ? 0 : begin;
    size_t end = lower.find_first_of(" \t", at + name.size());
    if (end == std::string::npos) end = lower.size();
    lower.erase(begin, end - begin);
  }
  return lower;
}

void GetNetworkInfo(NETINFO& net) {
  std::memset(&net, 0, sizeof net);
  platform::NetworkFacts facts = platform::GatherNetworkFacts();
  CopyField(net.Description, facts.description);
  CopyField(net.SystemStatus, facts.status);
  CopyField(net.HostName, facts.host_name);
  CopyField(net.Address, facts.address);
}

void LoadSystemConfig(Settings& settings) {
  LoadSettingsRecord(settings, SettingRecord::kSystem);
  if (settings.nt_mode)
    settings.system.Flags |= kSysNtMode;
  else
    settings.autostart_control = InStartEntry("qvctrl95");
}

bool SaveSystemConfig(const Settings& settings) {
  const SYSTEMSTRUCT& s = settings.system;
  bool ok = SaveSettingsRecord(settings, SettingRecord::kSystem);
  MakeServiceFolders(s);
  if (!settings.nt_mode)
    ApplyStartEntry(settings.system.InstallPath, "qvctrl95", settings.autostart_control);
  return ok;
}

void MakeServiceFolders(const SYSTEMSTRUCT& system) {
  MakeDirectoryIfMissing(system.TempPath);
  MakeDirectoryIfMissing(system.LogPath);
  MakeDirectoryIfMissing(system.MailPath);
}

bool SaveRemoteConfig(const Settings& settings) {
  return SaveSettingValues(settings, SettingRecord::kSystem,
                           {"Port", "RemoteServer", "RemoteLogin"});
}

void LoadSmtpConfig(Settings& settings) {
  LoadSettingsRecord(settings, SettingRecord::kSmtp);
  if (!settings.nt_mode) settings.autostart_smtp = InStartEntry("qvsmtp95");
}

bool SaveSmtpConfig(const Settings& settings) {
  bool ok = SaveSettingsRecord(settings, SettingRecord::kSmtp);
  if (!settings.nt_mode)
    ApplyStartEntry(settings.system.InstallPath, "qvsmtp95", settings.autostart_smtp);
  return ok;
}

void LoadPop3Config(Settings& settings) {
  LoadSettingsRecord(settings, SettingRecord::kPop3);
  if (!settings.nt_mode) settings.autostart_pop3 = InStartEntry("qvpop395");
}

bool SavePop3Config(const Settings& settings) {
  bool ok = SaveSettingsRecord(settings, SettingRecord::kPop3);
  if (!settings.nt_mode)
    ApplyStartEntry(settings.system.InstallPath, "qvpop395", settings.autostart_pop3);
  return ok;
}

int ServiceCommand(const Settings& settings, int service, int command) {
  const ServiceNames* n = Names(service);
  if (n == nullptr) return -1;
  std::string program = ServiceProgramPath(settings, service);
  if (settings.nt_mode) {
    switch (command) {
      case kCommandQuery:
        return platform::ServiceQuery(n->name);
      case kCommandInstall:
        return platform::ServiceInstall(n->name, n->display, program);
      case kCommandStart:
        return platform::ServiceStart(n->name);
      case kCommandStop:
        return platform::ServiceStop(n->name);
      case kCommandRemove:
        return platform::ServiceRemove(n->name);
      case kCommandInterrogate: {
        int state = platform::ServiceQuery(n->name);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return state < 0 ? -1 : platform::ServiceQuery(n->name);
      }
      default:
        return -1;
    }
  }
  WaitForSettle();
  bool exists = platform::FindServiceWindow(n->name);
  if (command != kCommandQuery && command != kCommandInstall) NoteChange();
  switch (command) {
    case kCommandQuery:
    case kCommandInstall:
      return exists ? platform::kServiceRunning : platform::kServiceStopped;
    case kCommandStop:
      if (exists) platform::SendDestroy(n->name);
      return -1;
    case kCommandRemove:
      if (exists) platform::SendDestroy(n->name);
      return exists ? platform::kServiceRunning : platform::kServiceStopped;
    case kCommandStart:
      platform::StartDetached(program);
      return -1;
    case kCommandInterrogate:
      if (exists) {
        platform::SendDestroy(n->name);
        // The new process can only take the presence lock once the old one has let it go:
        // wait (bounded) for the old service to end before starting the new one.
        for (int i = 0; i < 200 && platform::FindServiceWindow(n->name); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      platform::StartDetached(program);
      return -1;
    default:
      return -1;
  }
}

void LoadSettings(Settings& settings) {
  GetNetworkInfo(settings.net);
  LoadSystemConfig(settings);
  LoadSmtpConfig(settings);
  LoadPop3Config(settings);
}

}  // namespace qv
