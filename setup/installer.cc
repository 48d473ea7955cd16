#include "setup/installer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "platform/fileio.h"
#include "platform/netinfo.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "platform/svcmgr.h"
#include "platform/sysroot.h"
#include "platform/winprofile.h"
#include "setup/qvinst.h"
#include "setup/services.h"
#include "setup/setup_texts.h"

namespace qv::setup {
namespace fs = std::filesystem;

namespace {

constexpr char kManifestName[] = "installed-files.txt";
constexpr char kPamServiceName[] = "quorvane";  // the POP3 service's PAM service
constexpr int kStartTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 10000;

// Progress and failure lines.
class Reporter {
 public:
  Reporter(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
  void Line(const char* word, const std::string& what) {
    std::fprintf(out_, kLine, word, what.c_str());
  }
  void Status(const char* service, const std::string& what) {
    std::fprintf(out_, kStatusLine, service, what.c_str());
  }
  void Text(const std::string& text) { std::fputs(text.c_str(), out_); }
  int Fail(const std::string& text) {
    std::fflush(out_);
    std::fprintf(err_, "%s%s\n", kErrPrefix, text.c_str());
    return kExitFailed;
  }
  std::FILE* out() { return out_; }

 private:
  std::FILE* out_;
  std::FILE* err_;
};

std::string ErrnoText() {
  return std::strerror(errno);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  std::string out = fs::absolute(path, ec).lexically_normal().string();
  if (ec) out = path;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string SelfDirectory() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  return path.substr(0, path.find_last_of('/'));
}

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  int n = std::atoi(text.c_str());
  if (n < 1 || n > 65535) return false;
  *port = n;
  return true;
}

// True when something accepts connections on the loopback port.
bool PortAnswers(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

std::string MachineHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

bool ValidDomain(const std::string& domain) {
  if (domain.empty() || domain.size() >= sizeof(SYSTEMSTRUCT::Domain)) return false;
  return std::all_of(domain.begin(), domain.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ';';
  });
}

bool ValidAlias(const std::string& alias) {
  if (alias.empty() || alias.size() >= sizeof(USERSTRUCT::Alias) || !IsSafeMailboxName(alias))
    return false;
  return std::none_of(alias.begin(), alias.end(), [](char c) {
    return c == '@' || c == ' ' || c == '\t' || c == '|' || c == ';' || c == ',' ||
           static_cast<unsigned char>(c) < 0x20;
  });
}

bool ValidPassword(const std::string& password) {
  if (password.empty() || password.size() >= sizeof(USERSTRUCT::Password)) return false;
  return std::none_of(password.begin(), password.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '|'; });
}

// ---- Programs -------------------------------------------------------------------------------

std::vector<std::string> ReadManifest(const std::string& prefix) {
  std::vector<std::string> names;
  std::ifstream in(prefix + "/" + kManifestName);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line.find('/') == std::string::npos && line != "." && line != "..")
      names.push_back(line);
  return names;
}

bool WriteManifest(const std::string& prefix, std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::string text;
  for (const auto& n : names) text += n + "\n";
  return platform::WriteFileAtomically(prefix + "/" + kManifestName, text, 0644);
}

// Copies a program unless the same bytes are there already; the new file replaces the old one
// by rename, so a running program is never overwritten in place. True in *changed when copied.
Status CopyProgram(const std::string& from, const std::string& to, bool* changed) {
  std::string bytes, old;
  if (!platform::ReadWholeFile(from, &bytes)) return Fail(ErrnoText());
  if (platform::ReadWholeFile(to, &old) && old == bytes) {
    *changed = false;
    return {};
  }
  if (!platform::WriteFileAtomically(to, bytes, 0755)) return Fail(ErrnoText());
  *changed = true;
  return {};
}

// ---- Registry -------------------------------------------------------------------------------

struct Wanted {
  const char* key;
  const char* name;
  bool text;
  std::string value;  // text, or the number in decimal
  bool asked;         // given on the command line (a kept differing value is reported)
};

// How a value's key is named in progress lines: the SMTP and POP3 keys by their service.
std::string KeyLabel(const char* key) {
  if (std::strcmp(key, kSmtpKey) == 0) return "SMTP ";
  if (std::strcmp(key, kPop3Key) == 0) return "POP3 ";
  return "";
}

bool ValueExists(const char* key_path, const char* name) {
  reg::Key key;
  if (reg::OpenKey(key_path, &key) != reg::kSuccess) return false;
  uint32_t type = 0, size = 0;
  return reg::QueryValue(key, name, &type, nullptr, &size) == reg::kSuccess;
}

std::string ExistingText(const Wanted& w) {
  if (w.text) {
    std::string s;
    return reg::ReadString(w.key, w.name, &s) ? s : std::string();
  }
  uint32_t n = 0;
  return reg::ReadDword(w.key, w.name, &n) ? std::to_string(n) : std::string();
}

// ---- Services -------------------------------------------------------------------------------

struct ServiceRun {
  const ServiceInfo* info;
  std::string program;
  int port;
  const char* port_option;
};

std::vector<ServiceRun> ServiceRuns(const Settings& s, ServiceMode mode) {
  std::vector<ServiceRun> runs;
  size_t count = 0;
  const ServiceInfo* all = Services(&count);
  for (size_t i = 0; i < count; ++i) {
    const ServiceInfo& info = all[i];
    std::string program = std::string(s.system.InstallPath) + "/" +
                          (mode == ServiceMode::kSystemd ? info.managed : info.program);
    int port = info.service == 1 ? s.smtp.Port : info.service == 2 ? s.pop3.Port : s.system.Port;
    const char* option = info.service == 1   ? "--smtp-port"
                         : info.service == 2 ? "--pop3-port"
                                             : "--control-port";
    runs.push_back({&info, program, port, option});
  }
  return runs;
}

bool Running(const ServiceInfo& info, ServiceMode mode, pid_t* pid) {
  if (mode == ServiceMode::kSystemd)
    return platform::ServiceQuery(info.name) == platform::kServiceRunning;
  return platform::FindServiceWindow(info.name, pid);
}

// Waits until the service holds its presence lock (or runs under systemd) and its port answers.
bool WaitStarted(const ServiceRun& run, ServiceMode mode) {
  for (int waited = 0; waited < kStartTimeoutMs; waited += 100) {
    if (Running(*run.info, mode, nullptr) && PortAnswers(run.port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Starts (or, with `restart`, restarts) the services whose programs are installed.
int StartServices(const Settings& s, ServiceMode mode, bool restart, Reporter& r) {
  for (const ServiceRun& run : ServiceRuns(s, mode)) {
    if (access(run.program.c_str(), X_OK) != 0) {
      if (run.info->service == 3) {
        r.Line("skipped", std::string(run.info->name) + ": no program " + run.program);
        continue;
      }
      return r.Fail(Format(kErrNoProgram, run.program.c_str(), s.system.InstallPath));
    }
    pid_t pid = 0;
    bool running = Running(*run.info, mode, &pid);
    if (running && !restart) {
      r.Line("running", Format("%s (%s%s)", run.info->name, run.program.c_str(),
                               pid > 0 ? Format(", pid %d", static_cast<int>(pid)).c_str() : ""));
      continue;
    }
    if (!running && PortAnswers(run.port))
      return r.Fail(Format(kErrPortBusy, run.port, run.info->name, run.port_option));
    if (_HandleService(2, run.program.c_str()) == 0 || !WaitStarted(run, mode))
      return r.Fail(Format(kErrStart, run.info->name, run.program.c_str(), s.system.LogPath));
    pid = 0;
    Running(*run.info, mode, &pid);
    r.Line(running ? "restarted" : "started",
           Format("%s (%s%s), port %d", run.info->name, run.program.c_str(),
                  pid > 0 ? Format(", pid %d", static_cast<int>(pid)).c_str() : "", run.port));
  }
  return kExitOk;
}

int StopServices(const Settings& s, ServiceMode mode, Reporter& r) {
  for (const ServiceRun& run : ServiceRuns(s, mode)) {
    if (!Running(*run.info, mode, nullptr)) continue;
    bool stopped = mode == ServiceMode::kSystemd
                       ? platform::ServiceStop(run.info->name) == platform::kServiceStopped
                       : StopPresenceService(*run.info, kStopTimeoutMs);
    if (!stopped) return r.Fail(Format(kErrStop, run.info->name));
    r.Line("stopped", run.info->name);
  }
  return kExitOk;
}

// The start entry holds (or no longer holds) the three presence-lock programs.
void SetStartEntry(const std::string& install_path, bool wanted) {
  char buffer[1024] = {};
  platform::GetProfileString("windows", "run", "", buffer, sizeof buffer);
  std::string entry = buffer, adjusted = entry;
  size_t count = 0;
  const ServiceInfo* all = Services(&count);
  for (size_t i = 0; i < count; ++i) {
    bool present = access((install_path + "/" + all[i].program).c_str(), X_OK) == 0;
    adjusted = AdjustStartEntry(adjusted, install_path, all[i].program, wanted && present);
  }
  if (adjusted != entry) platform::WriteProfileString("windows", "run", adjusted);
}

ServiceMode ChooseMode(const SetupOptions& o) {
  if (o.services == "systemd") return ServiceMode::kSystemd;
  if (o.services == "presence") return ServiceMode::kPresence;
  const char* env = std::getenv(kServiceModeVariable);
  if (env != nullptr && *env != '\0') return CurrentServiceMode();
  // Installing system units needs root; anyone else gets presence-lock services.
  return platform::ServiceManagerAvailable() && geteuid() == 0 ? ServiceMode::kSystemd
                                                               : ServiceMode::kPresence;
}

void UseMode(ServiceMode mode) {
  setenv(kServiceModeVariable, mode == ServiceMode::kSystemd ? "systemd" : "presence", 1);
}

// A mode for the commands after install: systemd when our units are there.
ServiceMode InstalledMode() {
  const char* env = std::getenv(kServiceModeVariable);
  if (env != nullptr && *env != '\0') return CurrentServiceMode();
  struct stat st {};
  if (platform::ServiceManagerAvailable() && stat(UnitPath(*ServiceByNumber(1)).c_str(), &st) == 0)
    return ServiceMode::kSystemd;
  return ServiceMode::kPresence;
}

bool Installed() {
  reg::Key key;
  return reg::OpenKey(kControlKey, &key) == reg::kSuccess;
}

Settings LoadInstalled() {
  Settings s;
  LoadSettings(s);
  return s;
}

// ---- Commands -------------------------------------------------------------------------------

// One run of "install": the steps in order, each returning kExitOk or the failure's exit code.
class Installation {
 public:
  Installation(const SetupOptions& o, Reporter& r)
      : o_(o),
        r_(r),
        prefix_(Absolute(o.prefix)),
        from_(o.from.empty() ? SelfDirectory() : Absolute(o.from)) {}

  int Run() {
    for (int (Installation::*step)() :
         {&Installation::Detect, &Installation::CheckPorts, &Installation::CopyPrograms,
          &Installation::WriteSettings, &Installation::MakeFolders, &Installation::WriteRecords,
          &Installation::WritePamFile, &Installation::Start}) {
      int code = (this->*step)();
      if (code != kExitOk) return code;
    }
    Summary();
    return kExitOk;
  }

 private:
  int Detect() {
    if (_DetectTCP() != 1) return r_.Fail(kErrNoTcp);
    mode_ = ChooseMode(o_);
    if (mode_ == ServiceMode::kSystemd && !platform::ServiceManagerAvailable())
      return r_.Fail(kErrNoSystemd);
    UseMode(mode_);
    char os[16] = {};
    _GetOsVersion(os);
    r_.Line("services", mode_ == ServiceMode::kSystemd
                            ? Format("systemd units in %s (%s)", kUnitDirectory, os)
                            : Format("processes with presence locks (%s)", os));
    return kExitOk;
  }

  // Before anything is written: a port that another program answers on, for a service that
  // does not run yet, fails the installation (the port kept in the registry, else the asked one).
  int CheckPorts() {
    struct Port {
      int service;
      const char* key;
      const char* name;
      int asked;
      const char* option;
    } ports[] = {
        {1, kSmtpKey, "Port", o_.smtp_port, "--smtp-port"},
        {2, kPop3Key, "Port", o_.pop3_port, "--pop3-port"},
        {3, kControlKey, "Port", o_.control_port, "--control-port"},
    };
    for (const Port& p : ports) {
      const ServiceInfo& info = *ServiceByNumber(p.service);
      if (access((from_ + "/" + info.program).c_str(), X_OK) != 0 &&
          access((prefix_ + "/" + info.program).c_str(), X_OK) != 0)
        continue;  // not installed
      uint32_t kept = 0;
      int port = reg::ReadDword(p.key, p.name, &kept) ? static_cast<int>(kept) : p.asked;
      if (!Running(info, mode_, nullptr) && PortAnswers(port))
        return r_.Fail(Format(kErrPortBusy, port, info.name, p.option));
    }
    return kExitOk;
  }

  int CopyPrograms() {
    const std::string& from = from_;
    for (const char* required : {"qvsmtp95", "qvpop395"})
      if (access((from + "/" + required).c_str(), X_OK) != 0)
        return r_.Fail(Format(kErrNoProgram, required, from.c_str()));
    if (!platform::MakeDirectories(prefix_))
      return r_.Fail(Format(kErrDirectory, prefix_.c_str(), ErrnoText().c_str()));
    std::vector<std::string> manifest = ReadManifest(prefix_);
    if (!SameFile(from, prefix_)) {
      for (const std::string& name : InstalledFileNames()) {
        std::string source = from + "/" + name, target = prefix_ + "/" + name;
        if (access(source.c_str(), R_OK) != 0) continue;
        bool copied = false;
        Status st = CopyProgram(source, target, &copied);
        if (!st)
          return r_.Fail(Format(kErrCopy, source.c_str(), target.c_str(), st.error().c_str()));
        manifest.push_back(name);
        if (copied) {
          changed_ = true;
          r_.Line("installed", target);
        }
      }
    }
    if (mode_ == ServiceMode::kSystemd) {
      // The service manager runs the programs under their own names.
      size_t count = 0;
      const ServiceInfo* all = Services(&count);
      for (size_t i = 0; i < count; ++i) {
        std::string link = prefix_ + "/" + all[i].managed;
        if (access((prefix_ + "/" + all[i].program).c_str(), X_OK) != 0 || Exists(link)) continue;
        if (symlink(all[i].program, link.c_str()) != 0)
          return r_.Fail(Format(kErrCopy, all[i].program, link.c_str(), ErrnoText().c_str()));
        manifest.push_back(all[i].managed);
        changed_ = true;
        r_.Line("linked", link + " -> " + all[i].program);
      }
    }
    if (!manifest.empty() && !WriteManifest(prefix_, manifest))
      return r_.Fail(
          Format(kErrWrite, (prefix_ + "/" + kManifestName).c_str(), ErrnoText().c_str()));
    return kExitOk;
  }

  // Only the values the registry does not hold yet are written.
  int WriteSettings() {
    if (!platform::MakeDirectories(platform::SystemRoot()))
      return r_.Fail(Format(kErrDirectory, platform::SystemRoot().c_str(), ErrnoText().c_str()));
    for (const char* key : {kControlKey, kSmtpKey, kPop3Key})
      if (_CreateSystemKey(key) != 1)
        return r_.Fail(Format(kErrKey, key, reg::RegistryFilePath().c_str()));
    std::string name_server = platform::SystemNameServer();
    for (const Wanted& w : WantedValues(name_server)) {
      if (ValueExists(w.key, w.name)) {
        std::string existing = ExistingText(w);
        if (w.asked && existing != w.value)
          std::fprintf(r_.out(), kKeptDiffers, (KeyLabel(w.key) + w.name).c_str(), existing.c_str(),
                       w.value.c_str());
        continue;
      }
      reg::Key key;
      long rc = reg::CreateKey(w.key, "", &key);
      if (rc == reg::kSuccess)
        rc = w.text ? reg::SetString(&key, w.name, w.value)
                    : reg::SetDword(&key, w.name, static_cast<uint32_t>(std::stoul(w.value)));
      reg::CloseKey(&key);
      if (rc != reg::kSuccess) return r_.Fail(Format(kErrValue, w.name, w.key));
      changed_ = true;
      std::string shown =
          std::string(w.name) == "Flags" ? Format("0x%04lX", std::stoul(w.value)) : w.value;
      r_.Line("set", KeyLabel(w.key) + w.name + " = " + shown);
    }
    if (name_server.empty())
      r_.Line("note", "no name server in /etc/resolv.conf: set NameServer to send mail out");
    settings_ = LoadInstalled();
    primary_ = PrimaryDomain(settings_.system);
    return kExitOk;
  }

  std::vector<Wanted> WantedValues(const std::string& name_server) const {
    std::vector<Wanted> wanted = {
        {kControlKey, "InstallPath", true, prefix_, false},
        {kControlKey, "MailPath", true, prefix_ + "/mail", false},
        {kControlKey, "TempPath", true, prefix_ + "/temp", false},
        {kControlKey, "LogPath", true, prefix_ + "/log", false},
        {kControlKey, "ConfigPath", true, prefix_ + "/config", false},
        {kControlKey, "HostName", true, o_.hostname.empty() ? MachineHostName() : o_.hostname,
         !o_.hostname.empty()},
        {kControlKey, "Domain", true, o_.domain, true},
        {kControlKey, "Port", false, std::to_string(o_.control_port), o_.control_port_given},
        {kControlKey, "PasswordPort", false, std::to_string(o_.password_port),
         o_.password_port_given},
        {kSmtpKey, "Port", false, std::to_string(o_.smtp_port), o_.smtp_port_given},
        {kSmtpKey, "ESMTPMaxMsgSize", false, std::to_string(kInstallMaxMessageSize), false},
        {kSmtpKey, "Flags", false, std::to_string(InstallSmtpFlags()), false},
        {kPop3Key, "Port", false, std::to_string(o_.pop3_port), o_.pop3_port_given},
    };
    if (!name_server.empty())
      wanted.push_back({kControlKey, "NameServer", true, name_server, false});
    if (!o_.admin.empty()) {
      wanted.push_back({kControlKey, "AdministratorName", true, o_.admin, true});
      wanted.push_back({kControlKey, "AdministratorMailBox", true, o_.admin, true});
    }
    return wanted;
  }

  // Mail, spool files and records are for the services' eyes only.
  int MakeFolders() {
    const SYSTEMSTRUCT& sys = settings_.system;
    for (const char* dir : {sys.MailPath, sys.TempPath, sys.LogPath, sys.ConfigPath}) {
      if (IsDirectory(dir)) continue;
      if (!platform::MakeDirectories(dir) || chmod(dir, 0700) != 0)
        return r_.Fail(Format(kErrDirectory, dir, ErrnoText().c_str()));
      r_.Line("created", dir);
    }
    return kExitOk;
  }

  // The initial records, the administrator and the list help file.
  int WriteRecords() {
    const SYSTEMSTRUCT& sys = settings_.system;
    int records = _CreateDemoUser(primary_.c_str(), sys.InstallPath, sys.ConfigPath);
    if (records < 0) return r_.Fail(Format(kErrRecords, sys.ConfigPath));
    r_.Line(records > 0 ? "created" : "kept", "the command changepass and the user listserver");
    if (!o_.admin.empty()) {
      USERSTRUCT admin{};
      CopyField(admin.Alias, o_.admin);
      CopyField(admin.Domain, primary_);
      CopyField(admin.Password, o_.admin_password);
      CopyField(admin.Name, "Administrator");
      CopyField(admin.Mailbox, o_.admin);
      admin.Options = kUserAdmin | kUserListManager;
      int added = AddRecord(sys, &admin);
      if (added < 0) return r_.Fail(Format(kErrAdmin, o_.admin.c_str(), sys.ConfigPath));
      r_.Line(added == 0 ? "added" : "kept", Format("the user %s@%s (administrator, list manager)",
                                                    o_.admin.c_str(), primary_.c_str()));
      std::string mailbox = std::string(sys.MailPath) + "/" + o_.admin;
      if (!IsDirectory(mailbox) &&
          (!platform::MakeDirectories(mailbox) || chmod(mailbox.c_str(), 0700) != 0))
        return r_.Fail(Format(kErrDirectory, mailbox.c_str(), ErrnoText().c_str()));
    }
    std::string help = ResolveFileName(sys.ConfigPath, "LISTHELP.TXT");
    if (!Exists(help)) {
      if (!platform::WriteFileAtomically(help, ListHelpText("listserver@" + primary_), 0644))
        return r_.Fail(Format(kErrWrite, help.c_str(), ErrnoText().c_str()));
      r_.Line("created", help);
    }
    return kExitOk;
  }

  // The PAM service of operating-system logons; an administrator's own file stays.
  int WritePamFile() {
    if (o_.pam_dir.empty() || o_.pam_dir == "none" || !IsDirectory(o_.pam_dir)) return kExitOk;
    std::string pam = o_.pam_dir + "/" + kPamServiceName;
    if (Exists(pam)) return kExitOk;
    if (!platform::WriteFileAtomically(pam, PamServiceText(o_.pam_dir), 0644))
      return r_.Fail(Format(kErrWrite, pam.c_str(), ErrnoText().c_str()) + " (or --pam-dir none)");
    r_.Line("created", pam);
    return kExitOk;
  }

  int Start() {
    if (mode_ == ServiceMode::kPresence) SetStartEntry(settings_.system.InstallPath, true);
    return StartServices(settings_, mode_, changed_, r_);
  }

  void Summary() {
    const SYSTEMSTRUCT& sys = settings_.system;
    r_.Text("\n");
    r_.Line("SMTP", Format("127.0.0.1 port %d, mail for %s", settings_.smtp.Port, sys.Domain));
    r_.Line("POP3",
            Format("127.0.0.1 port %d, users log on with their alias", settings_.pop3.Port));
    std::string control = std::string(sys.InstallPath) + "/" +
                          (mode_ == ServiceMode::kSystemd ? "qvctrl" : "qvctrl95");
    if (access(control.c_str(), X_OK) == 0)
      r_.Line("control", Format("127.0.0.1 port %d (qvctl), password changes on port %d", sys.Port,
                                sys.PasswordPort));
    if (sys.AdministratorName[0] != '\0')
      r_.Line("admin", Format("%s@%s, mailbox %s/%s", sys.AdministratorName, primary_.c_str(),
                              sys.MailPath, sys.AdministratorMailBox));
    r_.Line("settings", reg::RegistryFilePath());
    r_.Line("logs", sys.LogPath);
  }

  const SetupOptions& o_;
  Reporter& r_;
  const std::string prefix_;
  const std::string from_;  // where the programs are taken from
  ServiceMode mode_ = ServiceMode::kPresence;
  bool changed_ = false;  // a program or a setting changed: running services restart
  Settings settings_;
  std::string primary_;
};

int Uninstall(const SetupOptions& o, Reporter& r) {
  if (!Installed()) {
    r.Line("nothing", Format(kErrNotInstalled, platform::SystemRoot().c_str()));
    return kExitOk;
  }
  Settings s = LoadInstalled();
  const std::string install = s.system.InstallPath;
  size_t count = 0;
  const ServiceInfo* all = Services(&count);
  for (size_t i = 0; i < count; ++i) {
    if (platform::FindServiceWindow(all[i].name)) {
      if (!StopPresenceService(all[i], kStopTimeoutMs))
        return r.Fail(Format(kErrStop, all[i].name));
      r.Line("stopped", all[i].name);
    }
    struct stat st {};
    if (platform::ServiceManagerAvailable() && stat(UnitPath(all[i]).c_str(), &st) == 0) {
      if (!RemoveSystemdService(all[i]))
        return r.Fail(Format(kErrRemove, UnitPath(all[i]).c_str(), "unit still there"));
      r.Line("removed", UnitPath(all[i]));
    }
    unlink(platform::PresencePath(all[i].name).c_str());
  }
  SetStartEntry(install, false);

  if (o.purge) {
    for (const char* dir :
         {s.system.MailPath, s.system.TempPath, s.system.LogPath, s.system.ConfigPath}) {
      std::string path = Absolute(dir);
      if (!IsDirectory(path)) continue;
      // Only what lies inside the installation folder is ours to remove.
      if (path.size() <= install.size() + 1 ||
          path.compare(0, install.size() + 1, install + "/") != 0) {
        r.Line("left", path + " (outside " + install + ")");
        continue;
      }
      std::error_code ec;
      fs::remove_all(path, ec);
      if (ec) return r.Fail(Format(kErrRemove, path.c_str(), ec.message().c_str()));
      r.Line("removed", path);
    }
  } else {
    r.Line("kept", Format("%s, %s and %s (--purge removes them)", s.system.MailPath,
                          s.system.ConfigPath, s.system.LogPath));
  }

  for (const std::string& name : ReadManifest(install)) {
    std::string path = install + "/" + name;
    if (unlink(path.c_str()) == 0) r.Line("removed", path);
  }
  unlink((install + "/" + kManifestName).c_str());
  if (rmdir(install.c_str()) == 0) r.Line("removed", install);

  if (!o.pam_dir.empty() && o.pam_dir != "none") {
    std::string pam = o.pam_dir + "/" + kPamServiceName, text;
    if (platform::ReadWholeFile(pam, &text) && text == PamServiceText(o.pam_dir) &&
        unlink(pam.c_str()) == 0)
      r.Line("removed", pam);
  }

  // The keys go in one replacement of the registry file.
  reg::Batch batch;
  for (const char* key : {"System\\CurrentControlSet\\Services\\QuorvaneControl",
                          "System\\CurrentControlSet\\Services\\QuorvaneSmtp",
                          "System\\CurrentControlSet\\Services\\QuorvanePop3"}) {
    long rc = reg::DeleteKey(key);
    if (rc != reg::kSuccess && rc != reg::kFileNotFound) return r.Fail(Format(kErrRemoveKey, key));
  }
  if (o.purge) reg::DeleteKey(kProductKey);
  if (batch.Commit() != reg::kSuccess)
    return r.Fail(Format(kErrRemoveKey, "System\\CurrentControlSet\\Services\\Quorvane*"));
  r.Line("removed", "the registry keys of the services");
  return kExitOk;
}

int ShowStatus(Reporter& r) {
  if (!Installed()) return r.Fail(Format(kErrNotInstalled, platform::SystemRoot().c_str()));
  Settings s = LoadInstalled();
  ServiceMode mode = InstalledMode();
  int code = kExitOk;
  for (const ServiceRun& run : ServiceRuns(s, mode)) {
    if (access(run.program.c_str(), X_OK) != 0) {
      r.Status(run.info->name, "not installed (" + run.program + ")");
      continue;
    }
    pid_t pid = 0;
    if (Running(*run.info, mode, &pid)) {
      r.Status(run.info->name,
               Format("running%s, port %d",
                      pid > 0 ? Format(", pid %d", static_cast<int>(pid)).c_str() : "", run.port));
    } else {
      r.Status(run.info->name, Format("stopped, port %d", run.port));
      code = kExitNotRunning;
    }
  }
  return code;
}

int ShowMailbox(const SetupOptions& o, Reporter& r) {
  if (!Installed()) return r.Fail(Format(kErrNotInstalled, platform::SystemRoot().c_str()));
  Settings s = LoadInstalled();
  std::string dir = std::string(s.system.MailPath) + "/" + o.mailbox;
  if (!IsSafeMailboxName(o.mailbox) || !IsDirectory(dir))
    return r.Fail(Format(kErrMailbox, o.mailbox.c_str()));
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name[0] != '.' && EndsWithNoCase(name, ".in")) files.push_back(name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) r.Line("empty", dir);
  for (const std::string& name : files) {
    std::string text;
    if (ReadMessageFile(dir + "/" + name, 0, &text) != 0) continue;
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
    r.Text("==== " + dir + "/" + name + "\n" + plain +
           (plain.empty() || plain.back() == '\n' ? "" : "\n"));
  }
  return kExitOk;
}

}  // namespace

const std::vector<std::string>& InstalledFileNames() {
  static const std::vector<std::string> kNames = {
      "qvsmtp95", "qvpop395", "qvctrl95", "qvctl",   "qvpass",       "qvuser",
      "qvsend",   "qvreg",    "qvreorg",  "qvsetup", "libqvinst.so", "libbrasshr.so",
      "qvrun",    "libqvcpl.so"};
  return kNames;
}

uint32_t InstallSmtpFlags() {
  return kSmtpUseDns | kSmtpEsmtp | kSmtpEnforceSize | kSmtpClientEhlo | kSmtpDomainAsHost;
}

std::string ListHelpText(std::string_view manager_address) {
  return Format(kListHelp, std::string(manager_address).c_str());
}

std::string PamServiceText(const std::string& pam_dir) {
  std::string text = kPamHeader;
  struct stat st {};
  if (stat((pam_dir + "/common-auth").c_str(), &st) == 0)
    return text + "auth     include  common-auth\naccount  include  common-account\n";
  if (stat((pam_dir + "/system-auth").c_str(), &st) == 0)
    return text + "auth     include  system-auth\naccount  include  system-auth\n";
  return text + "auth     required  pam_unix.so\naccount  required  pam_unix.so\n";
}

namespace {

struct TextOption {
  const char* name;
  std::string SetupOptions::*field;
  bool install_only;
};
const TextOption kTextOptions[] = {
    {"--system", &SetupOptions::system, false},
    {"--pam-dir", &SetupOptions::pam_dir, false},
    {"--prefix", &SetupOptions::prefix, true},
    {"--domain", &SetupOptions::domain, true},
    {"--hostname", &SetupOptions::hostname, true},
    {"--admin", &SetupOptions::admin, true},
    {"--admin-password", &SetupOptions::admin_password, true},
    {"--from", &SetupOptions::from, true},
    {"--services", &SetupOptions::services, true},
};

struct PortOption {
  const char* name;
  int SetupOptions::*field;
  bool SetupOptions::*given;
};
const PortOption kPortOptions[] = {
    {"--smtp-port", &SetupOptions::smtp_port, &SetupOptions::smtp_port_given},
    {"--pop3-port", &SetupOptions::pop3_port, &SetupOptions::pop3_port_given},
    {"--control-port", &SetupOptions::control_port, &SetupOptions::control_port_given},
    {"--password-port", &SetupOptions::password_port, &SetupOptions::password_port_given},
};

template <typename T, size_t N>
const T* FindOption(const T (&table)[N], const std::string& name) {
  for (const T& option : table)
    if (name == option.name) return &option;
  return nullptr;
}

}  // namespace

Result<SetupOptions> ParseSetupArguments(const std::vector<std::string>& args) {
  SetupOptions o;
  if (args.empty()) return Fail("a command is missing");
  o.command = args[0];
  static const char* const kCommands[] = {"install", "uninstall", "status",
                                          "start",   "stop",      "show"};
  if (std::none_of(std::begin(kCommands), std::end(kCommands),
                   [&](const char* c) { return o.command == c; }))
    return Fail("unknown command '" + o.command + "'");
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--purge" && o.command == "uninstall") {
      o.purge = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) {
      if (o.command == "show" && o.mailbox.empty()) {
        o.mailbox = a;
        continue;
      }
      return Fail("unexpected argument '" + a + "'");
    }
    const TextOption* text = FindOption(kTextOptions, a);
    const PortOption* port = FindOption(kPortOptions, a);
    bool known = text != nullptr || port != nullptr;
    bool allowed = (text != nullptr && !text->install_only) || o.command == "install";
    if (!known || !allowed) return Fail("unknown option '" + a + "' for " + o.command);
    if (i + 1 >= args.size()) return Fail(a + " needs a value");
    const std::string& v = args[++i];
    if (text != nullptr) {
      o.*(text->field) = v;
    } else if (!ParsePort(v, &(o.*(port->field)))) {
      return Fail(a + " needs a port number from 1 to 65535");
    } else {
      o.*(port->given) = true;
    }
  }
  if (o.command == "install") {
    if (o.prefix.empty()) return Fail("install needs --prefix");
    if (!ValidDomain(o.domain)) return Fail("install needs --domain with a mail domain name");
    if (!o.hostname.empty() && (o.hostname.size() >= sizeof(SYSTEMSTRUCT::HostName) ||
                                o.hostname.find_first_of(" \t;") != std::string::npos))
      return Fail("--hostname is not a host name");
    if (o.admin.empty() != o.admin_password.empty())
      return Fail("--admin and --admin-password go together");
    if (!o.admin.empty() && !ValidAlias(o.admin))
      return Fail("--admin is not a usable alias: '" + o.admin + "'");
    if (!o.admin.empty() && !ValidPassword(o.admin_password))
      return Fail("--admin-password must be 1 to 80 printable characters");
    if (!o.services.empty() && o.services != "presence" && o.services != "systemd")
      return Fail("--services takes presence or systemd");
    std::vector<int> ports = {o.smtp_port, o.pop3_port, o.control_port, o.password_port};
    std::sort(ports.begin(), ports.end());
    if (std::adjacent_find(ports.begin(), ports.end()) != ports.end())
      return Fail("the four ports must differ");
  }
  if (o.command == "show" && o.mailbox.empty()) return Fail("show needs a mailbox");
  return o;
}

int RunSetup(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  Result<SetupOptions> parsed = ParseSetupArguments(args);
  if (!parsed) {
    std::fprintf(err, "%s%s\n%s", kErrPrefix, parsed.error().c_str(), kUsage);
    return kExitUsage;
  }
  const SetupOptions& o = *parsed;
  if (!o.system.empty()) setenv("QUORVANE_SYSTEM", Absolute(o.system).c_str(), 1);
  Reporter r(out, err);
  if (o.command == "install") return Installation(o, r).Run();
  if (o.command == "uninstall") return Uninstall(o, r);
  if (o.command == "status") return ShowStatus(r);
  if (o.command == "show") return ShowMailbox(o, r);
  if (!Installed()) return r.Fail(Format(kErrNotInstalled, platform::SystemRoot().c_str()));
  Settings s = LoadInstalled();
  ServiceMode mode = InstalledMode();
  UseMode(mode);
  if (o.command == "start") return StartServices(s, mode, false, r);
  return StopServices(s, mode, r);
}

}  // namespace qv::setup
