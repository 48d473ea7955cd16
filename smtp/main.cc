// qvsmtp95: the SMTP service.
#include "smtp/service.h"

int main() {
  qv::smtp::SmtpService service;
  return service.Run();
}
