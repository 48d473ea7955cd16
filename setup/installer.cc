#include "setup/installer.h"

#include <sys/stat.h>

#include <cstdlib>

#include "common/config.h"
#include "common/strings.h"
#include "platform/presence.h"
#include "platform/sysroot.h"
#include "setup/install_control.h"
#include "setup/install_files.h"
#include "setup/installation.h"
#include "setup/setup_texts.h"

namespace qv::setup {

const std::vector<std::string>& InstalledFileNames() {
  static const std::vector<std::string> kNames = {
      "qvsmtp95", "qvpop395", "qvctrl95", "qvctl",        "qvpass",        "qvuser", "qvsend",
      "qvreg",    "qvreorg",  "qvsetup",  "libqvinst.so", "libbrasshr.so", "qvrun",  "libqvcpl.so"};
  return kNames;
}

uint32_t InstallSmtpFlags(bool smart_host) {
  constexpr uint32_t kEsmtp = kSmtpEsmtp | kSmtpEnforceSize | kSmtpClientEhlo;
  return smart_host ? kSmtpUseMx | kEsmtp : kSmtpUseDns | kEsmtp | kSmtpDomainAsHost;
}

std::string ListHelpText(std::string_view manager_address) {
  return Format(kListHelp, std::string(manager_address).c_str());
}

std::string PamServiceText(const std::string& pam_dir) {
  std::string text = kPamHeader;
  struct stat st {};
  if (stat((pam_dir + "/common-auth").c_str(), &st) == 0)
    return text + "auth     include  common-auth\naccount  include  common-account\n";
  if (stat((pam_dir + "/system-auth").c_str(), &st) == 0)
    return text + "auth     include  system-auth\naccount  include  system-auth\n";
  return text + "auth     required  pam_unix.so\naccount  required  pam_unix.so\n";
}

int RunSetup(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  Result<SetupOptions> parsed = ParseSetupArguments(args);
  if (!parsed) {
    std::fprintf(err, "%s%s\n%s", kErrPrefix, parsed.error().c_str(), kUsage);
    return kExitUsage;
  }
  const SetupOptions& o = *parsed;
  if (!o.system.empty()) setenv("QUORVANE_SYSTEM", Absolute(o.system).c_str(), 1);
  Reporter r(out, err);
  if (o.command == "install") return Install(o, r);
  if (o.command == "uninstall") return Uninstall(o, r);
  if (o.command == "status") return ShowStatus(r);
  if (o.command == "show") return ShowMailbox(o, r);
  if (!Installed()) return r.Fail(Format(kErrNotInstalled, platform::SystemRoot().c_str()));
  Settings s = LoadInstalled();
  ServiceMode mode = InstalledMode();
  UseMode(mode);
  if (o.command == "start") return StartServices(s, mode, false, r);
  return StopServices(s, mode, r);
}

}  // namespace qv::setup
