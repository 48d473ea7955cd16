// qvpop395: the POP3 service.
#include "pop3/service.h"

int main() {
  qv::pop3::Pop3Service service;
  return service.Run();
}
