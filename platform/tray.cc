#include "platform/tray.h"

#include <mutex>

namespace qv::platform {
namespace {
std::mutex g_mutex;
TrayState g_state;
}  // namespace

void TrayAdd(int icon, const std::string& tip) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state = {true, icon, tip};
}

void TraySetIcon(int icon) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.icon = icon;
}

void TraySetTip(const std::string& tip) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.tip = tip;
}

void TrayRemove() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state = {};
}

TrayState TrayCurrent() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state;
}

}  // namespace qv::platform
