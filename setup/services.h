// How the setup library installs and starts the three services: under systemd (the service
// manager mode) or as presence-lock processes started hidden (see docs/system-root.md), with the
// unit text the service manager gets.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace qv::setup {

enum class ServiceMode { kPresence, kSystemd };

// QUORVANE_SERVICES=presence or =systemd chooses; otherwise systemd when the machine runs it.
ServiceMode CurrentServiceMode();
inline constexpr char kServiceModeVariable[] = "QUORVANE_SERVICES";

struct ServiceInfo {
  int service;          // 1 SMTP, 2 POP3, 3 control (as ServiceCommand numbers them)
  const char* name;     // service name and presence class
  const char* display;  // display name of the service manager
  const char* program;  // presence-lock program
  const char* managed;  // program under the service manager
};

// The three services in the order they are installed.
const ServiceInfo* Services(size_t* count);
const ServiceInfo* ServiceByNumber(int service);

// The service a program path names in the mode: its file name without directory and extension,
// upper-cased, must equal the mode's program name exactly ("QVSMTP95", or "QVSMTP" under the
// service manager). Null for any other name.
const ServiceInfo* ServiceByProgramPath(std::string_view path, ServiceMode mode);

struct UnitAccount;

// The unit file of a service under systemd: a simple service running the program, with the
// system root in its environment, restarted when it fails. With an account, the service runs
// as that user, may bind the privileged ports and nothing more, sees the machine read-only but
// for the account's folders, and has a temporary folder of its own.
std::string UnitText(const ServiceInfo& info, const std::string& program,
                     const std::string& system_root, const UnitAccount* account = nullptr);
inline constexpr char kUnitDirectory[] = "/etc/systemd/system";
std::string UnitPath(const ServiceInfo& info);

// Starts a service program hidden: detached, in its own session, with no terminal and no
// inherited standard error (so a caller that collects the installer's output is not held open
// by the service). True when the program started.
bool StartHidden(const std::string& program);

// Sends the stop signal to a running presence-lock service and waits up to `timeout_ms` for it
// to let its lock go. True when it runs no longer (also when it did not run).
bool StopPresenceService(const ServiceInfo& info, int timeout_ms);

// Installs or updates the unit of a service, enables it, and with `start` starts it (stopping a
// running one first, so the new program runs). True when every step succeeded.
bool InstallSystemdService(const ServiceInfo& info, const std::string& program, bool start);

// Stops and disables the unit and removes its file. True when no unit file is left.
bool RemoveSystemdService(const ServiceInfo& info);

// Runs a program with arguments and waits for it; its exit code, or -1.
int RunAndWait(const std::string& program, const std::vector<std::string>& args);

}  // namespace qv::setup
