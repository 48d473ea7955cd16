#include "common/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/netinfo.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "platform/spawn.h"
#include "platform/svcmgr.h"
#include "platform/sysroot.h"
#include "platform/winprofile.h"

namespace qv {

namespace {

struct ServiceNames {
  const char* name;
  const char* display;
  const char* program;     // the program the presence-lock mode starts
  const char* nt_program;  // the program installed under the service manager
  const char* key;
  const char* key_class;
};

const ServiceNames kServices[] = {
    {"QuorvaneSmtp", "Quorvane Smtp-Service", "qvsmtp95", "qvsmtp", kSmtpKey, "QuorvaneSmtp"},
    {"QuorvanePop3", "Quorvane POP3-Service", "qvpop395", "qvpop3", kPop3Key, "QuorvanePop3"},
    {"QuorvaneControl", "Quorvane Control-Service", "qvctrl95", "qvctrl", kControlKey,
     "QuorvaneControl"},
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

// Queries a text value into a field; true when the query succeeded. `want_sz` also demands the
// text type. The field is left untouched on failure.
bool QueryText(const reg::Key& key, const char* name, char* field, size_t width, bool want_sz,
               bool want_non_empty) {
  std::string buffer(width, '\0');
  uint32_t type = 0, size = static_cast<uint32_t>(width);
  if (reg::QueryValue(key, name, &type, buffer.data(), &size) != reg::kSuccess) return false;
  if (want_sz && type != reg::kSz) return false;
  if (want_non_empty && (size == 0 || buffer[0] == '\0')) return false;
  std::memset(field, 0, width);
  std::memcpy(field, buffer.data(), std::min<size_t>(size, width));
  field[width - 1] = '\0';
  return true;
}

// A number with the type test: true when present as a 32-bit number.
bool QueryNumber(const reg::Key& key, const char* name, int32_t* out) {
  uint32_t type = 0, value = 0, size = sizeof value;
  if (reg::QueryValue(key, name, &type, &value, &size) != reg::kSuccess) return false;
  if (type != reg::kDword || size != sizeof value) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// A number read without a test: whatever bytes are stored, if they fit.
void QueryRawNumber(const reg::Key& key, const char* name, int32_t* out) {
  int32_t value = 0;
  uint32_t type = 0, size = sizeof value;
  if (reg::QueryValue(key, name, &type, &value, &size) == reg::kSuccess) {
    int32_t result = 0;
    std::memcpy(&result, &value, std::min<uint32_t>(size, sizeof result));
    *out = result;
  }
}

void DropTrailingSlash(char* path) {
  size_t n = std::strlen(path);
  if (n > 0 && path[n - 1] == '/') path[n - 1] = '\0';
}

std::string ToLower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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

// Writes values into one key, created when missing; remembers whether the key could be opened
// and every value was stored.
class KeyWriter {
 public:
  KeyWriter(const char* path, const char* key_class)
      : ok_(reg::CreateKey(path, key_class, &key_) == reg::kSuccess) {}
  ~KeyWriter() {
    if (key_.valid()) reg::CloseKey(&key_);
  }
  KeyWriter(const KeyWriter&) = delete;
  KeyWriter& operator=(const KeyWriter&) = delete;

  void Text(const char* name, const char* text) {
    if (key_.valid()) ok_ = reg::SetString(&key_, name, text) == reg::kSuccess && ok_;
  }
  void Number(const char* name, int32_t n) {
    if (key_.valid())
      ok_ = reg::SetDword(&key_, name, static_cast<uint32_t>(n)) == reg::kSuccess && ok_;
  }
  bool ok() const { return ok_; }

 private:
  reg::Key key_;
  bool ok_;
};

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
  SYSTEMSTRUCT& s = settings.system;
  std::memset(&s, 0, sizeof s);
  CopyField(s.HostName, settings.net.HostName);
  CopyField(s.LogViewer, "NOTEPAD.EXE");
  s.LogLevel = 1;
  s.MaxLogTime = 7;
  s.ConnectTime = 3600;
  s.ClosingTime = 90;
  s.Port = 32000;
  s.PasswordPort = 106;

  {
    reg::Key winlogon;
    char name[128] = {};
    if (reg::OpenKey(kWinlogonKey, &winlogon) == reg::kSuccess) {
      uint32_t type = 0, size = sizeof name;
      if (reg::QueryValue(winlogon, "DefaultDomainName", &type, name, &size) != reg::kSuccess)
        name[0] = '\0';
      name[sizeof name - 1] = '\0';
    }
    CopyField(s.Domain, name);
    CopyField(s.NTDomain, name);
  }

  reg::Key key;
  if (reg::OpenKey(kControlKey, &key) != reg::kSuccess) {
    if (settings.nt_mode)
      s.Flags |= kSysNtMode;
    else
      settings.autostart_control = InStartEntry("qvctrl95");
    return;
  }

  if (!QueryText(key, "HostName", s.HostName, sizeof s.HostName, true, true))
    CopyField(s.HostName, settings.net.HostName);
  QueryText(key, "Domain", s.Domain, sizeof s.Domain, true, true);
  QueryText(key, "NameServer", s.NameServer, sizeof s.NameServer, false, false);
  if (!QueryText(key, "InstallPath", s.InstallPath, sizeof s.InstallPath, true, false))
    CopyField(s.InstallPath, kDefaultInstallPath);
  if (!QueryText(key, "MailPath", s.MailPath, sizeof s.MailPath, true, false))
    CopyField(s.MailPath, std::string(s.InstallPath) + "/mail");
  if (!QueryText(key, "TempPath", s.TempPath, sizeof s.TempPath, true, false))
    CopyField(s.TempPath, std::string(s.InstallPath) + "/temp");
  if (!QueryText(key, "LogPath", s.LogPath, sizeof s.LogPath, true, false))
    CopyField(s.LogPath, kDefaultLogPath);
  if (!QueryText(key, "ConfigPath", s.ConfigPath, sizeof s.ConfigPath, true, false))
    CopyField(s.ConfigPath, kDefaultConfigPath);
  if (!QueryNumber(key, "LogLevel", &s.LogLevel)) s.LogLevel = 4;
  if (!QueryText(key, "LogViewer", s.LogViewer, sizeof s.LogViewer, true, true))
    CopyField(s.LogViewer, "NOTEPAD.EXE");
  if (!QueryNumber(key, "MaxLogTime", &s.MaxLogTime)) s.MaxLogTime = 7;
  if (!QueryNumber(key, "Port", &s.Port)) s.Port = 32000;
  if (!QueryNumber(key, "PasswordPort", &s.PasswordPort)) s.PasswordPort = 106;
  int32_t flags = 0;
  s.Flags = QueryNumber(key, "Flags", &flags) ? static_cast<uint32_t>(flags) : 0;
  QueryText(key, "RASEntry", s.RASEntry, sizeof s.RASEntry, false, false);
  QueryText(key, "RASUser", s.RASUser, sizeof s.RASUser, false, false);
  QueryText(key, "RASPassword", s.RASPassword, sizeof s.RASPassword, false, false);
  if (!QueryNumber(key, "ConnectTime", &s.ConnectTime)) s.ConnectTime = 3600;
  if (!QueryNumber(key, "ClosingTime", &s.ClosingTime)) s.ClosingTime = 90;
  QueryText(key, "RemoteServer", s.RemoteServer, sizeof s.RemoteServer, false, false);
  QueryText(key, "NTUser", s.NTUser, sizeof s.NTUser, false, false);
  if (!QueryText(key, "NTDomain", s.NTDomain, sizeof s.NTDomain, true, true)) {
    std::string domain = s.Domain;
    CopyField(s.NTDomain, domain.substr(0, domain.find(';')));
  }
  QueryText(key, "AdministratorName", s.AdministratorName, sizeof s.AdministratorName, false,
            false);
  QueryText(key, "AdministratorMailBox", s.AdministratorMailBox, sizeof s.AdministratorMailBox,
            false, false);
  QueryText(key, "NoResponse", s.NoResponse, sizeof s.NoResponse, false, false);
  QueryText(key, "RemoteLogin", s.RemoteLogin, sizeof s.RemoteLogin, false, false);
  reg::CloseKey(&key);

  DropTrailingSlash(s.InstallPath);
  DropTrailingSlash(s.MailPath);
  DropTrailingSlash(s.TempPath);
  size_t log_length = std::strlen(s.LogPath);
  if (log_length > 0 && s.LogPath[log_length - 1] == '/')
    CopyField(s.LogPath, std::string(s.InstallPath) + "/log");
  if (s.ConnectTime < 60) s.ConnectTime = 60;

  if (settings.nt_mode)
    s.Flags |= kSysNtMode;
  else
    settings.autostart_control = InStartEntry("qvctrl95");
}

bool SaveSystemConfig(const Settings& settings) {
  const SYSTEMSTRUCT& s = settings.system;
  KeyWriter key(kControlKey, "QuorvaneControl");
  key.Text("HostName", s.HostName);
  key.Text("Domain", s.Domain);
  key.Text("NameServer", s.NameServer);
  key.Text("AdministratorName", s.AdministratorName);
  key.Text("AdministratorMailBox", s.AdministratorMailBox);
  key.Text("MailPath", s.MailPath);
  key.Text("TempPath", s.TempPath);
  key.Text("LogPath", s.LogPath);
  key.Text("ConfigPath", s.ConfigPath);
  key.Text("LogViewer", s.LogViewer);
  key.Number("Port", s.Port);
  key.Number("PasswordPort", s.PasswordPort);
  key.Number("LogLevel", s.LogLevel);
  key.Number("MaxLogTime", s.MaxLogTime);
  key.Number("Flags", static_cast<int32_t>(s.Flags));
  key.Text("RASEntry", s.RASEntry);
  key.Text("RASUser", s.RASUser);
  key.Text("RASPassword", s.RASPassword);
  key.Number("ConnectTime", s.ConnectTime);
  key.Number("ClosingTime", s.ClosingTime);
  key.Text("RemoteServer", s.RemoteServer);
  key.Text("RemoteLogin", s.RemoteLogin);
  key.Text("NTUser", s.NTUser);
  key.Text("NTDomain", s.NTDomain);
  key.Text("NoResponse", s.NoResponse);
  MakeDirectoryIfMissing(s.TempPath);
  MakeDirectoryIfMissing(s.LogPath);
  MakeDirectoryIfMissing(s.MailPath);
  if (!settings.nt_mode) ApplyStartEntry(settings.system.InstallPath, "qvctrl95", settings.autostart_control);
  return key.ok();
}

bool SaveRemoteConfig(const Settings& settings) {
  KeyWriter key(kControlKey, "QuorvaneControl");
  key.Number("Port", settings.system.Port);
  key.Text("RemoteServer", settings.system.RemoteServer);
  key.Text("RemoteLogin", settings.system.RemoteLogin);
  return key.ok();
}

void LoadSmtpConfig(Settings& settings) {
  SMTPSTRUCT& s = settings.smtp;
  std::memset(&s, 0, sizeof s);
  s.SMTPTimer = 900;
  s.ReturnTimer = 259200;
  s.ESMTPMaxMsgSize = 5000;
  s.Port = 25;
  s.PortEx = 25;
  s.Flags = 1;
  reg::Key key;
  if (reg::OpenKey(kSmtpKey, &key) != reg::kSuccess) {
    if (!settings.nt_mode) settings.autostart_smtp = InStartEntry("qvsmtp95");
    return;
  }
  QueryText(key, "ExchangeHost", s.ExchangeHost, sizeof s.ExchangeHost, false, false);
  QueryText(key, "ForwardUnknown", s.ForwardUnknown, sizeof s.ForwardUnknown, false, false);
  QueryRawNumber(key, "ESMTPMaxMsgSize", &s.ESMTPMaxMsgSize);
  if (!QueryNumber(key, "SMTPTimer", &s.SMTPTimer)) s.SMTPTimer = 900;
  if (!QueryNumber(key, "ReturnTimer", &s.ReturnTimer)) s.ReturnTimer = 259200;
  if (!QueryNumber(key, "Port", &s.Port)) s.Port = 25;
  if (!QueryNumber(key, "PortEx", &s.PortEx)) s.PortEx = 25;
  int32_t flags = 0;
  s.Flags = QueryNumber(key, "Flags", &flags) ? static_cast<uint32_t>(flags) : 0;
  reg::CloseKey(&key);
  if (s.SMTPTimer < 60) s.SMTPTimer = 60;
  if (s.ReturnTimer < 60) s.ReturnTimer = 60;
  if (!settings.nt_mode) settings.autostart_smtp = InStartEntry("qvsmtp95");
}

bool SaveSmtpConfig(const Settings& settings) {
  const SMTPSTRUCT& s = settings.smtp;
  KeyWriter key(kSmtpKey, "QuorvaneSmtp");
  key.Text("ExchangeHost", s.ExchangeHost);
  key.Text("ForwardUnknown", s.ForwardUnknown);
  key.Number("SMTPTimer", s.SMTPTimer);
  key.Number("Port", s.Port);
  key.Number("PortEx", s.PortEx);
  key.Number("ESMTPMaxMsgSize", s.ESMTPMaxMsgSize);
  key.Number("ReturnTimer", s.ReturnTimer);
  key.Number("Flags", static_cast<int32_t>(s.Flags));
  if (!settings.nt_mode) ApplyStartEntry(settings.system.InstallPath, "qvsmtp95", settings.autostart_smtp);
  return key.ok();
}

void LoadPop3Config(Settings& settings) {
  POP3STRUCT& s = settings.pop3;
  s.Port = 110;
  s.PortEx = 110;
  s.Flags = 0;
  reg::Key key;
  if (reg::OpenKey(kPop3Key, &key) == reg::kSuccess) {
    if (!QueryNumber(key, "Port", &s.Port)) s.Port = 110;
    if (!QueryNumber(key, "PortEx", &s.PortEx)) s.PortEx = 110;
    int32_t flags = 0;
    s.Flags = QueryNumber(key, "Flags", &flags) ? static_cast<uint32_t>(flags) : 0;
    reg::CloseKey(&key);
  }
  if (!settings.nt_mode) settings.autostart_pop3 = InStartEntry("qvpop395");
}

bool SavePop3Config(const Settings& settings) {
  const POP3STRUCT& s = settings.pop3;
  KeyWriter key(kPop3Key, "QuorvanePop3");
  key.Number("Port", s.Port);
  key.Number("PortEx", s.PortEx);
  key.Number("Flags", static_cast<int32_t>(s.Flags));
  if (!settings.nt_mode) ApplyStartEntry(settings.system.InstallPath, "qvpop395", settings.autostart_pop3);
  return key.ok();
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
