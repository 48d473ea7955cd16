#include "platform/debugout.h"

#include <dlfcn.h>
#include <unistd.h>

#include <mutex>

namespace qv::platform {
namespace {

using DisplayStringFn = void (*)(const char*);
using DisplayIntFn = void (*)(long, long);

std::mutex g_monitor_mutex;
void* g_monitor = nullptr;
DisplayStringFn g_display_string = nullptr;
DisplayIntFn g_display_int = nullptr;

}  // namespace

void DebugOutput(std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void LoadMonitorLibrary() {
  std::lock_guard<std::mutex> lock(g_monitor_mutex);
  if (g_monitor != nullptr) return;
  g_monitor = dlopen("libcatchlib.so", RTLD_NOW | RTLD_LOCAL);
  if (g_monitor == nullptr) return;
  g_display_string = reinterpret_cast<DisplayStringFn>(dlsym(g_monitor, "CmDisplayString"));
  g_display_int = reinterpret_cast<DisplayIntFn>(dlsym(g_monitor, "CmDisplayInt"));
}

void FreeMonitorLibrary() {
  std::lock_guard<std::mutex> lock(g_monitor_mutex);
  if (g_monitor != nullptr) dlclose(g_monitor);
  g_monitor = nullptr;
  g_display_string = nullptr;
  g_display_int = nullptr;
}

bool MonitorHasDisplayString() {
  std::lock_guard<std::mutex> lock(g_monitor_mutex);
  return g_display_string != nullptr;
}

void MonitorDisplayString(const char* line) {
  std::lock_guard<std::mutex> lock(g_monitor_mutex);
  if (g_display_string != nullptr) g_display_string(line);
}

}  // namespace qv::platform
