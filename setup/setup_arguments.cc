#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/settings_table.h"
#include "common/tables.h"
#include "setup/install_tls.h"
#include "setup/installer.h"

namespace qv::setup {
namespace {

bool ParsePort(const std::string& text, int* port, int lowest = 1) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  int n = std::atoi(text.c_str());
  if (n < lowest || n > 65535) return false;
  *port = n;
  return true;
}

bool ValidDomain(const std::string& domain) {
  if (domain.empty() || domain.size() >= sizeof(SYSTEMSTRUCT::Domain)) return false;
  return std::all_of(domain.begin(), domain.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ';';
  });
}

bool ValidAlias(const std::string& alias) {
  if (alias.empty() || alias.size() >= sizeof(USERSTRUCT::Alias) || !IsSafeMailboxName(alias))
    return false;
  return std::none_of(alias.begin(), alias.end(), [](char c) {
    return c == '@' || c == ' ' || c == '\t' || c == '|' || c == ';' || c == ',' ||
           static_cast<unsigned char>(c) < 0x20;
  });
}

bool ValidPassword(const std::string& password) {
  if (password.empty() || password.size() >= sizeof(USERSTRUCT::Password)) return false;
  return std::none_of(password.begin(), password.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '|'; });
}

// A smart host as the forwarder takes it: a host name or IPv4 address, optionally ":port".
bool ValidSmartHost(const std::string& text) {
  if (text.empty() || text.size() >= sizeof(SMTPSTRUCT::ExchangeHost)) return false;
  const size_t colon = text.find(':');
  const std::string host = text.substr(0, colon);
  int port = 0;
  if (colon != std::string::npos && !ParsePort(text.substr(colon + 1), &port)) return false;
  return !host.empty() && host.front() != '-' && host.front() != '.' &&
         std::all_of(host.begin(), host.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
         });
}

// A login text the registry and the control protocol's lines can carry.
bool ValidLoginText(const std::string& text, size_t width) {
  return !text.empty() && text.size() < width && std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '|';
  });
}

Status CheckSmartHostOptions(const SetupOptions& o) {
  if (!o.smart_host.empty() && !ValidSmartHost(o.smart_host))
    return Fail(
        "--smart-host needs HOST or HOST:PORT (a host name or IPv4 address, port 1 to "
        "65535), such as smtp.isp.example:587");
  if (o.smart_host_user.empty() != o.smart_host_password.empty())
    return Fail("--smart-host-user and --smart-host-password go together");
  if (!o.smart_host_user.empty() && o.smart_host.empty())
    return Fail("--smart-host-user needs --smart-host");
  if (!o.smart_host_user.empty() &&
      (!ValidLoginText(o.smart_host_user, sizeof(SMTPSTRUCT::ExchangeUser)) ||
       !ValidLoginText(o.smart_host_password, sizeof(SMTPSTRUCT::ExchangePassword))))
    return Fail(
        "--smart-host-user and --smart-host-password must be 1 to 127 printable "
        "characters without '|'");
  return {};
}

struct TextOption {
  const char* name;
  std::string SetupOptions::*field;
  bool install_only;
};
const TextOption kTextOptions[] = {
    {"--system", &SetupOptions::system, false},
    {"--pam-dir", &SetupOptions::pam_dir, false},
    {"--prefix", &SetupOptions::prefix, true},
    {"--domain", &SetupOptions::domain, true},
    {"--hostname", &SetupOptions::hostname, true},
    {"--admin", &SetupOptions::admin, true},
    {"--admin-password", &SetupOptions::admin_password, true},
    {"--from", &SetupOptions::from, true},
    {"--services", &SetupOptions::services, true},
    {"--listen-address", &SetupOptions::listen_address, true},
    {"--cert", &SetupOptions::cert, true},
    {"--key", &SetupOptions::key, true},
    {"--relay-networks", &SetupOptions::relay_networks, true},
    {"--smart-host", &SetupOptions::smart_host, true},
    {"--smart-host-user", &SetupOptions::smart_host_user, true},
    {"--smart-host-password", &SetupOptions::smart_host_password, true},
};

struct PortOption {
  const char* name;
  int SetupOptions::*field;
  bool SetupOptions::*given;
  bool tls = false;  // a TLS listener: 0 turns it off
};
const PortOption kPortOptions[] = {
    {"--smtp-port", &SetupOptions::smtp_port, &SetupOptions::smtp_port_given},
    {"--pop3-port", &SetupOptions::pop3_port, &SetupOptions::pop3_port_given},
    {"--control-port", &SetupOptions::control_port, &SetupOptions::control_port_given},
    {"--password-port", &SetupOptions::password_port, &SetupOptions::password_port_given},
    {"--submission-port", &SetupOptions::submission_port, &SetupOptions::submission_port_given,
     true},
    {"--smtps-port", &SetupOptions::smtps_port, &SetupOptions::smtps_port_given, true},
    {"--pop3s-port", &SetupOptions::pop3s_port, &SetupOptions::pop3s_port_given, true},
    {"--control-tls-port", &SetupOptions::control_tls_port, &SetupOptions::control_tls_port_given,
     true},
};

// The TLS options of install: they need --tls (or --cert and --key) and ports of their own.
Status CheckTlsOptions(const SetupOptions& o) {
  bool any = !o.relay_networks.empty() || o.submission_port_given || o.smtps_port_given ||
             o.pop3s_port_given || o.control_tls_port_given;
  if (o.cert.empty() != o.key.empty()) return Fail("--cert and --key go together");
  if (any && !o.tls) return Fail("the TLS ports and --relay-networks need --tls");
  if (!o.tls) return {};
  if (!o.cert.empty() && (o.cert.size() >= sizeof(SYSTEMSTRUCT::TlsCertificate) ||
                          o.key.size() >= sizeof(SYSTEMSTRUCT::TlsKey)))
    return Fail("--cert and --key need shorter file names");
  if (!o.relay_networks.empty() && !ValidRelayNetworks(o.relay_networks))
    return Fail("--relay-networks takes none or addresses and prefixes, such as \"" +
                std::string(kDefaultRelayNetworks) + " 192.168.1.0/24\"");
  std::vector<int> ports = {o.smtp_port, o.pop3_port, o.control_port, o.password_port};
  for (int port : {o.submission_port, o.smtps_port, o.pop3s_port, o.control_tls_port})
    if (port != 0) ports.push_back(port);
  std::sort(ports.begin(), ports.end());
  if (std::adjacent_find(ports.begin(), ports.end()) != ports.end())
    return Fail("the ports must differ, the TLS ports too");
  return {};
}

template <typename T, size_t N>
const T* FindOption(const T (&table)[N], const std::string& name) {
  for (const T& option : table)
    if (name == option.name) return &option;
  return nullptr;
}

}  // namespace

Result<SetupOptions> ParseSetupArguments(const std::vector<std::string>& args) {
  SetupOptions o;
  if (args.empty()) return Fail("a command is missing");
  o.command = args[0];
  static const char* const kCommands[] = {"install", "uninstall", "status",
                                          "start",   "stop",      "show"};
  if (std::none_of(std::begin(kCommands), std::end(kCommands),
                   [&](const char* c) { return o.command == c; }))
    return Fail("unknown command '" + o.command + "'");
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--purge" && o.command == "uninstall") {
      o.purge = true;
      continue;
    }
    if (a == "--tls" && o.command == "install") {
      o.tls = true;
      continue;
    }
    if (a == "--tls-outgoing" && o.command == "install") {
      const std::string v = i + 1 < args.size() ? args[++i] : std::string();
      if (v.size() != 1 || v[0] < '0' || v[0] > '2')
        return Fail(
            "--tls-outgoing takes 0 (no TLS), 1 (STARTTLS when offered) or 2 (TLS "
            "required)");
      o.tls_outgoing = v[0] - '0';
      o.tls_outgoing_given = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) {
      if (o.command == "show" && o.mailbox.empty()) {
        o.mailbox = a;
        continue;
      }
      return Fail("unexpected argument '" + a + "'");
    }
    const TextOption* text = FindOption(kTextOptions, a);
    const PortOption* port = FindOption(kPortOptions, a);
    bool known = text != nullptr || port != nullptr;
    bool allowed = (text != nullptr && !text->install_only) || o.command == "install";
    if (!known || !allowed) return Fail("unknown option '" + a + "' for " + o.command);
    if (i + 1 >= args.size()) return Fail(a + " needs a value");
    const std::string& v = args[++i];
    if (text != nullptr) {
      o.*(text->field) = v;
    } else if (!ParsePort(v, &(o.*(port->field)), port->tls ? 0 : 1)) {
      return Fail(a + (port->tls ? " needs a port number from 0 (off) to 65535"
                                 : " needs a port number from 1 to 65535"));
    } else {
      o.*(port->given) = true;
    }
  }
  if (o.command == "install") {
    if (o.prefix.empty()) return Fail("install needs --prefix");
    if (!ValidDomain(o.domain)) return Fail("install needs --domain with a mail domain name");
    if (!o.hostname.empty() && (o.hostname.size() >= sizeof(SYSTEMSTRUCT::HostName) ||
                                o.hostname.find_first_of(" \t;") != std::string::npos))
      return Fail("--hostname is not a host name");
    if (o.admin.empty() != o.admin_password.empty())
      return Fail("--admin and --admin-password go together");
    if (!o.admin.empty() && !ValidAlias(o.admin))
      return Fail("--admin is not a usable alias: '" + o.admin + "'");
    if (!o.admin.empty() && !ValidPassword(o.admin_password))
      return Fail("--admin-password must be 1 to 80 printable characters");
    if (!o.listen_address.empty() && !IsAddressLiteral(o.listen_address))
      return Fail("--listen-address needs an IPv4 or IPv6 address, such as 127.0.0.1 or ::1");
    if (!o.services.empty() && o.services != "presence" && o.services != "systemd")
      return Fail("--services takes presence or systemd");
    std::vector<int> ports = {o.smtp_port, o.pop3_port, o.control_port, o.password_port};
    std::sort(ports.begin(), ports.end());
    if (std::adjacent_find(ports.begin(), ports.end()) != ports.end())
      return Fail("the four ports must differ");
    if (!o.cert.empty()) o.tls = true;
    if (Status tls = CheckTlsOptions(o); !tls) return Fail(tls.error());
    if (Status smart = CheckSmartHostOptions(o); !smart) return Fail(smart.error());
  }
  if (o.command == "show" && o.mailbox.empty()) return Fail("show needs a mailbox");
  return o;
}

}  // namespace qv::setup
