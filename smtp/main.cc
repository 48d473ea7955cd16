// qvsmtp95: the SMTP service.
#include <functional>

#include "smtp/forward.h"
#include "smtp/service.h"

int main() {
  qv::smtp::SmtpService service;
  // Forward runs go on beside the event loop, one at a time; their end is handled on the loop.
  qv::smtp::ForwardRunner runner(
      service.settings(),
      [&service](std::function<void()> fn) { service.frame().loop().Post(std::move(fn)); },
      [&service] { service.frame().UpdateTrayIcon(); });
  service.SetForwardRun([&runner] { runner.Start(); }, [&runner] { return runner.Active(); });
  int code = service.Run();
  runner.Stop();
  return code;
}
