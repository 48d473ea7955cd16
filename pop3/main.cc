// qvpop395: the POP3 service.
#include <memory>

#include "common/config.h"
#include "dialup/system_link.h"
#include "pop3/service.h"

int main() {
  qv::Settings settings;
  qv::LoadSystemConfig(settings);
  std::unique_ptr<qv::DialupLink> dialup = qv::MakeSystemDialupLink(settings.system);
  qv::pop3::Pop3ServiceOptions options;
  options.dialup = dialup.get();
  qv::pop3::Pop3Service service(options);
  return service.Run();
}
