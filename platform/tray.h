// The notification-area icon. A server has no desktop, so this only keeps the state the icon
// would show (which icon, which tip) for tests and diagnostics.
#pragma once

#include <string>

namespace qv::platform {

constexpr int kIconIdle = 2000;
constexpr int kIconBusy = 3000;

struct TrayState {
  bool shown = false;
  int icon = 0;
  std::string tip;
};

void TrayAdd(int icon, const std::string& tip);
void TraySetIcon(int icon);
void TraySetTip(const std::string& tip);
void TrayRemove();
TrayState TrayCurrent();

}  // namespace qv::platform
