#include "console/ui/tests/qt_app_util.h"

#include <cstdlib>

namespace qv::console::testing {

QApplication& TestApp() {
  static int argc = 1;
  static char name[] = "console_ui_tests";
  static char* argv[] = {name, nullptr};
  // Made once and never destroyed: destroyed at exit, it would outlive Qt's own globals and
  // crash after a widget was shown.
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(argc, argv);  // NOLINT: lives as long as the process
  }();
  return *app;
}

}  // namespace qv::console::testing
