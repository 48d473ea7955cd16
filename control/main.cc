// qvctrl95: the control service (remote administration and password changes).
#include "control/service.h"

int main() {
  qv::control::ControlService service;
  return service.Run();
}
