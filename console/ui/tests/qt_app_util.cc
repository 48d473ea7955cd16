#include "console/ui/tests/qt_app_util.h"

#include <cstdlib>

namespace qv::console::testing {

QApplication& TestApp() {
  static int argc = 1;
  static char name[] = "console_ui_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Lives as long as the process: Qt's own objects are torn down at exit.
    static QApplication instance(argc, argv);
    return &instance;
  }();
  return *app;
}

}  // namespace qv::console::testing
