#include "smtp/tests/smtp_env_util.h"

#include "platform/registry.h"

namespace qv::smtp::testing {

SmtpEnv::SmtpEnv() {
  SYSTEMSTRUCT& sys = system();
  sys.ConnectTime = 3600;
  sys.ClosingTime = 90;
  CopyField(net().Address, "192.0.2.1");
  CopyField(net().HostName, "mx.example.test");
  smtp().ESMTPMaxMsgSize = 5000;
  smtp().Port = 25;
  smtp().PortEx = 25;
}

void SmtpEnv::WriteServiceKeys(int port, uint32_t flags) {
  reg::Key control;
  reg::CreateKey(kControlKey, "QuorvaneControl", &control);
  reg::SetString(&control, "HostName", "mx.example.test");
  reg::SetString(&control, "Domain", "example.test");
  reg::SetString(&control, "InstallPath", qv::testing::BinDir());
  reg::SetString(&control, "MailPath", mail());
  reg::SetString(&control, "TempPath", temp());
  reg::SetString(&control, "LogPath", log());
  reg::SetString(&control, "ConfigPath", tables().config());
  reg::SetDword(&control, "LogLevel", 5);
  reg::CloseKey(&control);
  reg::Key smtp;
  reg::CreateKey(kSmtpKey, "QuorvaneSmtp", &smtp);
  reg::SetDword(&smtp, "Port", static_cast<uint32_t>(port));
  reg::SetDword(&smtp, "Flags", flags);
  reg::CloseKey(&smtp);
}

}  // namespace qv::smtp::testing
