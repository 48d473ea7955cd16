// qvsetup: installs the mail server into a folder through libqvinst.so, and removes it again.
//
//   install    copies the programs, writes the settings that are still missing, creates the
//              folders, the initial records, the administrator, the list help file and the PAM
//              service file, then installs and starts the services
//   uninstall  stops and removes the services and the registry keys (and the installed
//              programs); the mail and the records stay unless --purge
//   status     the state of each service
//   start/stop starts the installed services that do not run / stops them
//   show       prints the messages of a mailbox without their mask
//
// Running install again changes nothing that exists: settings already in the registry, records,
// the help file and the PAM file are kept (a setting asked for that differs is reported), and a
// service that runs is restarted only when a program or a setting changed.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace qv::setup {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotRunning = 3;  // status: a service does not run

struct SetupOptions {
  std::string command;  // install, uninstall, status, start, stop, show
  std::string prefix;
  std::string domain;
  std::string hostname;
  std::string admin;
  std::string admin_password;
  int smtp_port = 25;
  int pop3_port = 110;
  int control_port = 32000;
  int password_port = 106;
  bool smtp_port_given = false, pop3_port_given = false, control_port_given = false,
       password_port_given = false;
  std::string system;                  // the system root; empty: QUORVANE_SYSTEM or its default
  std::string from;                    // folder of the built programs; empty: qvsetup's own folder
  std::string pam_dir = "/etc/pam.d";  // "none" or empty: no PAM file
  std::string services;                // presence, systemd, or empty for the machine's choice
  std::string listen_address;          // ListenAddress; empty: every IPv4 address
  bool purge = false;
  // TLS (--tls, or --cert with --key): the certificate files, the extra listeners (0: off) and
  // the networks that may relay without AUTH (empty: loopback). Nothing of it without TLS.
  bool tls = false;
  std::string cert, key;
  std::string relay_networks;
  int submission_port = 587;
  int smtps_port = 465;
  int pop3s_port = 995;
  int control_tls_port = 0;
  bool submission_port_given = false, smtps_port_given = false, pop3s_port_given = false,
       control_tls_port_given = false;
  // The smart host all outgoing mail goes through ("host" or "host:port"), its login, and the
  // TLS of outgoing SMTP (0 none, 1 STARTTLS when offered, 2 required). Nothing written without.
  std::string smart_host, smart_host_user, smart_host_password;
  int tls_outgoing = 0;
  bool tls_outgoing_given = false;
  std::string mailbox;  // show
};

Result<SetupOptions> ParseSetupArguments(const std::vector<std::string>& args);

// The whole program: progress on `out`, failures on `err`; the exit code.
int RunSetup(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// The programs an installation holds, copied from the build when present there.
const std::vector<std::string>& InstalledFileNames();

// The list help file for the list manager's address.
std::string ListHelpText(std::string_view manager_address);

// The PAM service file, including the machine's common stacks when `pam_dir` has them.
std::string PamServiceText(const std::string& pam_dir);

// SMTP option bits of a new installation: DNS lookups through the name server, ESMTP with the
// size limit enforced, EHLO when sending, and a domain without mail exchanger tried as a host.
// With a smart host every message goes to it instead (USEMX, no DNS lookup, no domain as host).
uint32_t InstallSmtpFlags(bool smart_host = false);
inline constexpr int32_t kInstallMaxMessageSize = 10 * 1024 * 1024;

}  // namespace qv::setup
