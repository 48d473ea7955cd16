// The installer's control of the services: which mode they run in, their programs and ports,
// starting and stopping them and waiting until they answer, and the start entry of the
// presence-lock mode.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "setup/install_files.h"
#include "setup/installer.h"
#include "setup/services.h"

namespace qv::setup {

inline constexpr int kStartTimeoutMs = 20000;
inline constexpr int kStopTimeoutMs = 10000;

// A service as this installation runs it.
struct ServiceRun {
  const ServiceInfo* info;
  std::string program;
  int port;
  const char* port_option;
  std::string address;  // where it listens; empty: every IPv4 address
};

std::vector<ServiceRun> ServiceRuns(const Settings& s, ServiceMode mode);

// True when something accepts connections on the port of `address` (an IPv4 or IPv6 literal;
// empty: the loopback address, for a service on every IPv4 address).
bool PortAnswers(const std::string& address, int port);
// Whether the service runs; its process in *pid when known.
bool Running(const ServiceInfo& info, ServiceMode mode, pid_t* pid);

// Starts (or, with `restart`, restarts) the services whose programs are installed.
int StartServices(const Settings& s, ServiceMode mode, bool restart, Reporter& r);
int StopServices(const Settings& s, ServiceMode mode, Reporter& r);

// The start entry holds (or no longer holds) the three presence-lock programs.
void SetStartEntry(const std::string& install_path, bool wanted);

// The mode asked for, else the environment's, else systemd for root where it runs.
ServiceMode ChooseMode(const SetupOptions& o);
void UseMode(ServiceMode mode);
// A mode for the commands after install: systemd when our units are there.
ServiceMode InstalledMode();

bool Installed();
Settings LoadInstalled();

}  // namespace qv::setup
