// The applet libqvcpl.so: its one export, CPlApplet, called by a control panel or by qvrun with
// the messages below. Each call is (window, message, parameter 1, parameter 2).
#pragma once

#include <cstdint>

extern "C" {

// Messages and what CPlApplet answers:
//   1 init: 1 (ready); a QApplication is made when the caller has none
//   2 count: 1 (one applet in the library)
//   3 inquire, 8 new inquire: fills the QvCplInquiry at parameter 2 (when not null); 0
//   5 open (double-click): shows the console modally over the window (a QWidget* or null), or
//     brings an open console of the same system root to the front; 0
//   4 select, 6 stop: 0
//   7 exit: frees the QApplication the applet made; 0
// Any other message: 0.
enum : unsigned {
  kCplInit = 1,
  kCplGetCount = 2,
  kCplInquire = 3,
  kCplSelect = 4,
  kCplOpen = 5,
  kCplStop = 6,
  kCplExit = 7,
  kCplNewInquire = 8,
};

// What the inquire messages give: the applet's name and description (static texts).
struct QvCplInquiry {
  const char* name;
  const char* info;
};

long CPlApplet(void* window, unsigned message, intptr_t parameter1, intptr_t parameter2);
}
