// qvsmtp95: the SMTP service.
#include <functional>

#include "common/config.h"
#include "dialup/link_manager.h"
#include "smtp/forward.h"
#include "smtp/service.h"

int main() {
  // The dial-up link manager loads the link share library now, for the life of the process; the
  // dial-up layer loads at the first use of the link.
  qv::Settings settings;
  qv::LoadSystemConfig(settings);
  qv::dialup::LinkManager dialup(qv::dialup::LinkSettingsOf(settings.system));
  qv::smtp::SmtpService service;
  service.SetDialup(dialup);
  qv::smtp::ForwardOptions forward;
  forward.dialup = &dialup;
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
