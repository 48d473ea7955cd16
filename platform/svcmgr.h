// The machine's service manager (systemd), which stands for the NT service control manager.
// Available only when the machine runs systemd; otherwise every call answers -1.
#pragma once

#include <string>

namespace qv::platform {

constexpr int kServiceStopped = 1;
constexpr int kServiceStartPending = 2;
constexpr int kServiceStopPending = 3;
constexpr int kServiceRunning = 4;

bool ServiceManagerAvailable();

// Each returns a service state or -1.
int ServiceQuery(const std::string& name);
int ServiceInstall(const std::string& name, const std::string& display_name,
                   const std::string& program);
int ServiceStart(const std::string& name);
int ServiceStop(const std::string& name);
int ServiceRemove(const std::string& name);

}  // namespace qv::platform
