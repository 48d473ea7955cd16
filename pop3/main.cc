// qvpop395: the POP3 service.
#include "common/config.h"
#include "dialup/link_manager.h"
#include "pop3/service.h"

int main() {
  // The dial-up link manager loads the link share library now, for the life of the process; the
  // dial-up layer loads at the first use of the link.
  qv::Settings settings;
  qv::LoadSystemConfig(settings);
  qv::dialup::LinkManager dialup(qv::dialup::LinkSettingsOf(settings.system));
  qv::pop3::Pop3ServiceOptions options;
  options.dialup = &dialup;
  qv::pop3::Pop3Service service(options);
  return service.Run();
}
