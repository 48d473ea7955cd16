#include "setup/services.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/strings.h"
#include "platform/fileio.h"
#include "platform/presence.h"
#include "platform/spawn.h"
#include "platform/svcmgr.h"
#include "setup/service_account.h"

namespace qv::setup {
namespace {

const ServiceInfo kServices[] = {
    {1, "QuorvaneSmtp", "Quorvane SMTP - Service", "qvsmtp95", "qvsmtp"},
    {2, "QuorvanePop3", "Quorvane POP3 - Service", "qvpop395", "qvpop3"},
    {3, "QuorvaneControl", "Quorvane Control - Service", "qvctrl95", "qvctrl"},
};

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

// A word of a unit file's command or assignment: quoted when it holds blanks or quotes, with
// the specifier sign doubled (and, in a command, the variable sign).
std::string UnitWord(const std::string& text, bool command) {
  std::string out;
  bool quote = text.empty();
  for (char c : text) {
    if (c == '%') {
      out += "%%";
    } else if (c == '$' && command) {
      out += "$$";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
      quote = true;
    } else {
      if (c == ' ' || c == '\t' || c == '\'') quote = true;
      out += c;
    }
  }
  return quote ? "\"" + out + "\"" : out;
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

ServiceMode CurrentServiceMode() {
  const char* chosen = std::getenv(kServiceModeVariable);
  if (chosen != nullptr && EqualsNoCase(chosen, "presence")) return ServiceMode::kPresence;
  if (chosen != nullptr && EqualsNoCase(chosen, "systemd")) return ServiceMode::kSystemd;
  return platform::ServiceManagerAvailable() ? ServiceMode::kSystemd : ServiceMode::kPresence;
}

const ServiceInfo* Services(size_t* count) {
  *count = sizeof kServices / sizeof kServices[0];
  return kServices;
}

const ServiceInfo* ServiceByNumber(int service) {
  for (const ServiceInfo& info : kServices)
    if (info.service == service) return &info;
  return nullptr;
}

const ServiceInfo* ServiceByProgramPath(std::string_view path, ServiceMode mode) {
  size_t slash = path.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  std::string upper = Upper(name);
  for (const ServiceInfo& info : kServices) {
    const char* wanted = mode == ServiceMode::kSystemd ? info.managed : info.program;
    if (upper == Upper(wanted)) return &info;
  }
  return nullptr;
}

std::string UnitText(const ServiceInfo& info, const std::string& program,
                     const std::string& system_root, const UnitAccount* account) {
  std::string confinement;
  if (account != nullptr) {
    std::string paths;
    for (const std::string& path : account->write_paths)
      paths += (paths.empty() ? "" : " ") + UnitWord(path, false);
    confinement = Format(
        "User=%s\n"
        "Group=%s\n"
        "%s"
        "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
        "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
        "NoNewPrivileges=yes\n"
        "ProtectSystem=strict\n"
        "ReadWritePaths=%s\n"
        "PrivateTmp=yes\n"
        "ProtectHome=%s\n",
        UnitWord(account->user, false).c_str(), UnitWord(account->group, false).c_str(),
        account->pam_group.empty()
            ? ""
            : Format("SupplementaryGroups=%s\n", UnitWord(account->pam_group, false).c_str())
                  .c_str(),
        paths.c_str(), account->home_inside ? "read-only" : "yes");
  }
  return Format(
      "[Unit]\n"
      "Description=%s\n"
      "After=network.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "ExecStart=%s\n"
      "Environment=%s\n"
      "%s"
      "Restart=on-failure\n"
      "RestartSec=5\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      info.display, UnitWord(program, true).c_str(),
      UnitWord("QUORVANE_SYSTEM=" + system_root, false).c_str(), confinement.c_str());
}

std::string UnitPath(const ServiceInfo& info) {
  return std::string(kUnitDirectory) + "/" + info.name + ".service";
}

bool StartHidden(const std::string& program) {
  // The detached start keeps standard error; point it at /dev/null for the start only.
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return false;
  int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  dup2(null, STDERR_FILENO);
  close(null);
  bool started = platform::StartDetached(program);
  if (saved >= 0) {
    dup2(saved, STDERR_FILENO);
    close(saved);
  } else {
    close(STDERR_FILENO);
  }
  return started;
}

bool StopPresenceService(const ServiceInfo& info, int timeout_ms) {
  if (!platform::FindServiceWindow(info.name)) return true;
  platform::SendDestroy(info.name);
  for (int waited = 0; waited < timeout_ms; waited += 50) {
    if (!platform::FindServiceWindow(info.name)) return true;
    SleepMs(50);
  }
  return !platform::FindServiceWindow(info.name);
}

int RunAndWait(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = 0;
  if (!platform::StartProgram(argv, &pid)) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool InstallSystemdService(const ServiceInfo& info, const std::string& program, bool start) {
  if (!platform::ServiceManagerAvailable()) return false;  // chosen, but systemd does not run
  const char* root = std::getenv("QUORVANE_SYSTEM");
  std::string system_root = root != nullptr && *root != '\0' ? root : "/etc/quorvane";
  if (platform::ServiceQuery(info.name) == platform::kServiceRunning)
    platform::ServiceStop(info.name);
  UnitAccount account;
  bool confined = UnitAccountFor(info, system_root, &account);
  if (!platform::WriteFileAtomically(
          UnitPath(info), UnitText(info, program, system_root, confined ? &account : nullptr),
          0644))
    return false;
  const std::string systemctl = "/bin/systemctl";
  if (RunAndWait(systemctl, {"daemon-reload"}) != 0) return false;
  if (RunAndWait(systemctl, {"enable", "--quiet", std::string(info.name) + ".service"}) != 0)
    return false;
  if (!start) return true;
  return platform::ServiceStart(info.name) == platform::kServiceRunning;
}

bool RemoveSystemdService(const ServiceInfo& info) {
  const std::string systemctl = "/bin/systemctl";
  RunAndWait(systemctl, {"disable", "--quiet", std::string(info.name) + ".service"});
  platform::ServiceRemove(info.name);
  struct stat st {};
  return stat(UnitPath(info).c_str(), &st) != 0;
}

}  // namespace qv::setup
