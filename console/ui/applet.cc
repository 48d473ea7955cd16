// libqvcpl.so: CPlApplet, the one export (see applet.h).
#include "console/ui/applet.h"

#include <QApplication>
#include <memory>

#include "console/ui/console_instance.h"
#include "console/ui/console_texts.h"

namespace {

// The QApplication the applet made for a caller that had none.
std::unique_ptr<QApplication>& OwnApplication() {
  static std::unique_ptr<QApplication> app;
  return app;
}

void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "qvcpl";
  static char* argv[] = {name, nullptr};
  OwnApplication() = std::make_unique<QApplication>(argc, argv);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) long CPlApplet(void* window, unsigned message,
                                                                 intptr_t, intptr_t parameter2) {
  switch (message) {
    case kCplInit:
      EnsureApplication();
      return 1;
    case kCplGetCount:
      return 1;
    case kCplInquire:
    case kCplNewInquire:
      if (parameter2 != 0) {
        auto* inquiry = reinterpret_cast<QvCplInquiry*>(parameter2);
        inquiry->name = qv::console::kAppletName;
        inquiry->info = qv::console::kAppletInfo;
      }
      return 0;
    case kCplOpen:
      EnsureApplication();
      qv::console::OpenConsole(static_cast<QWidget*>(window));
      return 0;
    case kCplExit:
      OwnApplication().reset();
      return 0;
    default:
      return 0;
  }
}
