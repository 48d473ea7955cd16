// The one QApplication of the console's test program, made on first use. Tests run with
// QT_QPA_PLATFORM=offscreen (set by CTest; set here too when missing) so no display is needed.
#pragma once

#include <QApplication>

namespace qv::console::testing {

QApplication& TestApp();

}  // namespace qv::console::testing
