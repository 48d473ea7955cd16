// qvsmtp95: the SMTP service.
#include <functional>
#include <memory>

#include "common/config.h"
#include "common/dialup_link.h"
#include "smtp/forward.h"
#include "smtp/service.h"

int main() {
  qv::Settings settings;
  qv::LoadSystemConfig(settings);
  std::unique_ptr<qv::SystemDialupLink> dialup = qv::MakeSystemDialupLink(settings.system);
  qv::smtp::SmtpService service;
  // The link share library loads as the loop's first work, once the service has set up its trace.
  service.frame().loop().Post([&dialup] { dialup->Start(); });
  service.SetDialup(*dialup);
  qv::smtp::ForwardOptions forward;
  forward.dialup = dialup.get();
  // Forward runs go on beside the event loop, one at a time; their end is handled on the loop.
  qv::smtp::ForwardRunner runner(
      service.settings(),
      [&service](std::function<void()> fn) { service.frame().loop().Post(std::move(fn)); },
      [&service] { service.frame().UpdateTrayIcon(); }, forward);
  service.SetForwardRun([&runner] { runner.Start(); }, [&runner] { return runner.Active(); });
  int code = service.Run();
  runner.Stop();
  return code;
}
