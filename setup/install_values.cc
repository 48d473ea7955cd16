#include "setup/install_values.h"

#include <unistd.h>

#include <cstring>

#include "common/strings.h"
#include "platform/registry.h"
#include "setup/install_tls.h"

namespace qv::setup {
namespace {

// How a value's key is named in progress lines: the SMTP and POP3 keys by their service.
std::string KeyLabel(const SettingDef& def) {
  if (def.record == SettingRecord::kSmtp) return "SMTP ";
  if (def.record == SettingRecord::kPop3) return "POP3 ";
  return "";
}

bool ValueExists(const SettingDef& def) {
  reg::Key key;
  if (reg::OpenKey(SettingKey(def.record), &key) != reg::kSuccess) return false;
  uint32_t type = 0, size = 0;
  return reg::QueryValue(key, def.name, &type, nullptr, &size) == reg::kSuccess;
}

std::string ExistingText(const SettingDef& def) {
  if (def.kind == SettingKind::kText) {
    std::string s;
    return reg::ReadString(SettingKey(def.record), def.name, &s) ? s : std::string();
  }
  uint32_t n = 0;
  return reg::ReadDword(SettingKey(def.record), def.name, &n) ? std::to_string(n) : std::string();
}

const SettingDef* Row(SettingRecord record, const char* name) {
  return FindSetting(record, name);
}

}  // namespace

std::string MachineHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

std::vector<Wanted> WantedValues(const SetupOptions& o, const std::string& prefix,
                                 const std::string& name_server) {
  constexpr SettingRecord kSys = SettingRecord::kSystem;
  constexpr SettingRecord kSmtp = SettingRecord::kSmtp;
  std::vector<Wanted> wanted = {
      {Row(kSys, "InstallPath"), prefix, false},
      {Row(kSys, "MailPath"), prefix + "/mail", false},
      {Row(kSys, "TempPath"), prefix + "/temp", false},
      {Row(kSys, "LogPath"), prefix + "/log", false},
      {Row(kSys, "ConfigPath"), prefix + "/config", false},
      {Row(kSys, "HostName"), o.hostname.empty() ? MachineHostName() : o.hostname,
       !o.hostname.empty()},
      {Row(kSys, "Domain"), o.domain, true},
      {Row(kSys, "Port"), std::to_string(o.control_port), o.control_port_given},
      {Row(kSys, "PasswordPort"), std::to_string(o.password_port), o.password_port_given},
      {Row(kSmtp, "Port"), std::to_string(o.smtp_port), o.smtp_port_given},
      {Row(kSmtp, "ESMTPMaxMsgSize"), std::to_string(kInstallMaxMessageSize), false},
      {Row(kSmtp, "Flags"), std::to_string(InstallSmtpFlags(!o.smart_host.empty())),
       !o.smart_host.empty()},
      {Row(SettingRecord::kPop3, "Port"), std::to_string(o.pop3_port), o.pop3_port_given},
  };
  // The console picks a viewer of its own for an empty one (a new machine has no NOTEPAD.EXE).
  wanted.push_back({Row(kSys, "LogViewer"), "", false});
  if (!o.listen_address.empty())
    wanted.push_back({Row(kSys, "ListenAddress"), o.listen_address, true});
  if (!name_server.empty()) wanted.push_back({Row(kSys, "NameServer"), name_server, false});
  if (!o.admin.empty()) {
    wanted.push_back({Row(kSys, "AdministratorName"), o.admin, true});
    wanted.push_back({Row(kSys, "AdministratorMailBox"), o.admin, true});
  }
  // The smart host and the outgoing TLS only when asked for: absent, mail leaves as it always did.
  if (!o.smart_host.empty()) wanted.push_back({Row(kSmtp, "ExchangeHost"), o.smart_host, true});
  if (!o.smart_host_user.empty()) {
    wanted.push_back({Row(kSmtp, "ExchangeUser"), o.smart_host_user, true});
    wanted.push_back({Row(kSmtp, "ExchangePassword"), o.smart_host_password, true, true});
  }
  if (o.tls_outgoing_given)
    wanted.push_back({Row(kSmtp, "TLSOutgoing"), std::to_string(o.tls_outgoing), true});
  if (o.tls) {
    // Only an installation with TLS writes these: without them the services offer none.
    TlsFiles files = InstallTlsFiles(o);
    constexpr SettingRecord kPop3 = SettingRecord::kPop3;
    bool own_files = !o.cert.empty();
    bool relay_asked = !o.relay_networks.empty();
    wanted.insert(
        wanted.end(),
        {{Row(kSys, "TlsCertificate"), files.certificate, own_files},
         {Row(kSys, "TlsKey"), files.key, own_files},
         {Row(kSys, "TlsControlPort"), std::to_string(o.control_tls_port),
          o.control_tls_port_given},
         {Row(kSmtp, "SubmissionPort"), std::to_string(o.submission_port), o.submission_port_given},
         {Row(kSmtp, "SmtpsPort"), std::to_string(o.smtps_port), o.smtps_port_given},
         {Row(kSmtp, "RelayNetworks"), relay_asked ? o.relay_networks : kDefaultRelayNetworks,
          relay_asked},
         {Row(kPop3, "Pop3sPort"), std::to_string(o.pop3s_port), o.pop3s_port_given}});
  }
  return wanted;
}

int WriteWantedValues(const std::vector<Wanted>& wanted, Reporter& r, bool* changed) {
  for (const Wanted& w : wanted) {
    const SettingDef& def = *w.setting;
    const char* key_path = SettingKey(def.record);
    if (ValueExists(def)) {
      std::string existing = ExistingText(def);
      if (w.asked && existing != w.value)
        std::fprintf(r.out(), kKeptDiffers, (KeyLabel(def) + def.name).c_str(),
                     w.secret ? kHiddenValue : existing.c_str(),
                     w.secret ? kHiddenValue : w.value.c_str());
      continue;
    }
    reg::Key key;
    long rc = reg::CreateKey(key_path, "", &key);
    if (rc == reg::kSuccess)
      rc = def.kind == SettingKind::kText
               ? reg::SetString(&key, def.name, w.value)
               : reg::SetDword(&key, def.name, static_cast<uint32_t>(std::stoul(w.value)));
    reg::CloseKey(&key);
    if (rc != reg::kSuccess) return r.Fail(Format(kErrValue, def.name, key_path));
    *changed = true;
    std::string shown = w.secret                          ? std::string(kHiddenValue)
                        : def.kind == SettingKind::kFlags ? Format("0x%04lX", std::stoul(w.value))
                                                          : w.value;
    r.Line("set", KeyLabel(def) + def.name + " = " + shown);
  }
  return kExitOk;
}

}  // namespace qv::setup
