#include "setup/install_control.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/records.h"
#include "common/strings.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "platform/svcmgr.h"
#include "platform/winprofile.h"
#include "setup/qvinst.h"

namespace qv::setup {
namespace {

// Waits until the service holds its presence lock (or runs under systemd) and its port answers.
bool WaitStarted(const ServiceRun& run, ServiceMode mode) {
  for (int waited = 0; waited < kStartTimeoutMs; waited += 100) {
    if (Running(*run.info, mode, nullptr) && PortAnswers(run.address, run.port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace

bool PortAnswers(const std::string& address, int port) {
  sockaddr_storage storage{};
  socklen_t size = sizeof(sockaddr_in);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<uint16_t>(port));
  v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!address.empty() && inet_pton(AF_INET, address.c_str(), &v4->sin_addr) != 1) {
    storage = {};
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) != 1) return false;
    size = sizeof(sockaddr_in6);
  }
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&storage), size) == 0;
  close(fd);
  return ok;
}

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
    runs.push_back({&info, program, port, option, std::string(FieldText(s.system.ListenAddress))});
  }
  return runs;
}

bool Running(const ServiceInfo& info, ServiceMode mode, pid_t* pid) {
  if (mode == ServiceMode::kSystemd)
    return platform::ServiceQuery(info.name) == platform::kServiceRunning;
  return platform::FindServiceWindow(info.name, pid);
}

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
    if (!running && PortAnswers(run.address, run.port))
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

}  // namespace qv::setup
