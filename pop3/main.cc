// qvpop395: the POP3 service.
#include <memory>

#include "common/config.h"
#include "common/dialup_link.h"
#include "pop3/service.h"

int main() {
  qv::Settings settings;
  qv::LoadSystemConfig(settings);
  std::unique_ptr<qv::SystemDialupLink> dialup = qv::MakeSystemDialupLink(settings.system);
  qv::pop3::Pop3ServiceOptions options;
  options.dialup = dialup.get();
  qv::pop3::Pop3Service service(options);
  // The link share library loads as the loop's first work, once the service has set up its trace.
  service.frame().loop().Post([&dialup] { dialup->Start(); });
  return service.Run();
}
