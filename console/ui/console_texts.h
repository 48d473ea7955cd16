// Every text of the console's dialog and its pages, in one place (the account tree and the record
// dialogs keep theirs in accounts_texts.h). Formats are printf-style.
#pragma once

namespace qv::console {

// Identity.
inline constexpr char kProductWord[] = "Quorvane";
inline constexpr char kTitleLocal[] = "Quorvane Console -- <local>";
inline constexpr char kTitleRemote[] = "Quorvane Console -- <%s>";
inline constexpr char kAppletName[] = "Quorvane";
inline constexpr char kAppletInfo[] = "Configures the Quorvane mail server";
inline constexpr char kLoaderTitle[] = "Quorvane";
inline constexpr char kLoaderClass[] = "QuorvaneExe";
inline constexpr char kLoaderCannotLoad[] = "qvrun: cannot load %s: %s\n";
inline constexpr char kLoaderNoEntry[] = "qvrun: %s has no %s\n";

// Tabs, in their order.
inline constexpr char kTabServers[] = "Servers";
inline constexpr char kTabAdministrator[] = "Administrator";
inline constexpr char kTabConnection[] = "Connection";
inline constexpr char kTabAccounts[] = "Accounts";
inline constexpr char kTabForwarding[] = "Forwarding";
inline constexpr char kTabOptions[] = "Options";
inline constexpr char kTabEventLog[] = "Event Log";
inline constexpr char kTabAbout[] = "About";

// Closing and saving.
inline constexpr char kSaveTitle[] = "Save?";
inline constexpr char kSaveQuestion[] = "Save your changes?";
inline constexpr char kErrorTitle[] = "Error";

// Log levels 0 to 5.
inline constexpr const char* kLogLevels[] = {"No Logging",    "Error Level",
                                             "Warning Level", "Information Level",
                                             "Debug Level",   "Extended Debug Level"};

// Interval units.
inline constexpr char kUnitSeconds[] = "Seconds";
inline constexpr char kUnitMinutes[] = "Minutes";
inline constexpr char kUnitHours[] = "Hours";
inline constexpr char kUnitDays[] = "Days";

// Service states and their buttons.
inline constexpr char kStateNotInstalled[] = "Not installed";
inline constexpr char kStateNotStarted[] = "Not started";
inline constexpr char kStateStarted[] = "Started";
inline constexpr char kStatePaused[] = "Paused";
inline constexpr char kStateUnknown[] = "Unknown";
inline constexpr char kButtonInstall[] = "Install";
inline constexpr char kButtonStart[] = "Start";
inline constexpr char kButtonStop[] = "Stop";
inline constexpr char kButtonRemove[] = "Remove";

// File choosers, in the system's "name|patterns" form; QtFilter() turns them into Qt's.
inline constexpr char kChooseMailingLists[] = "Mailing lists (*.mls)|*.mls";
inline constexpr char kChooseTextFiles[] = "Text files (*.txt)|*.txt";
inline constexpr char kChoosePrograms[] = "Program files|*.exe;*.com;*.bat";
// Programs on this system have no extension: every chooser of programs offers all files too.
inline constexpr char kChooseAllFiles[] = "All files (*)";

// Connecting (the Servers page).
inline constexpr char kConnectFailed[] = "The connection to '%s' failed.\n\n%s";
inline constexpr char kConnectionBrokenText[] = "The connection is broken!";
inline constexpr char kHostTitle[] = "Host?";
inline constexpr char kHostPrompt[] = "Please enter a valid host name!";
inline constexpr char kConnectTitle[] = "Connect..";
inline constexpr char kConnectButton[] = "Connect..";
inline constexpr char kLocalButton[] = "Local";
inline constexpr char kLoginLabel[] = "Login name:";
inline constexpr char kPasswordLabel[] = "Password:";
inline constexpr char kPortLabel[] = "Port:";
// The Connect.. dialog's TLS choice and the questions about the server's certificate.
inline constexpr char kUseTls[] = "Use TLS";
inline constexpr char kCertificateTitle[] = "Certificate";
inline constexpr char kTrustCertificate[] =
    "The certificate of '%s' is not signed by an authority this computer trusts.\n\n"
    "SHA-256 fingerprint:\n%s\n\n"
    "Compare it with the fingerprint of the server's certificate. Trust it for '%s'?";
inline constexpr char kCertificateChanged[] =
    "The certificate of '%s' has changed: its SHA-256 fingerprint is now\n%s\n"
    "and not the one trusted before. The connection is refused.";
inline constexpr char kLocationGroup[] = "Location";
inline constexpr char kManagedLocal[] = "This computer";
inline constexpr char kManagedRemote[] = "Remote host: %s";
inline constexpr char kRemoteHostLabel[] = "Host name:";
inline constexpr char kLocationHostLabel[] = "Remote host:";

// Servers page.
inline constexpr char kServerGroup[] = "Server";
inline constexpr char kHostNameLabel[] = "Host name:";
inline constexpr char kDomainGroup[] = "Local domains";
inline constexpr char kNameServerLabel[] = "Name server:";
inline constexpr char kServicesGroup[] = "Services";
inline constexpr char kSmtpService[] = "SMTP server:";
inline constexpr char kPop3Service[] = "POP3 server:";
inline constexpr char kAutostart[] = "Start automatically";
inline constexpr char kAdd[] = "Add";
inline constexpr char kRemove[] = "Remove";
inline constexpr char kListTooLong[] = "The list does not fit: at most %d characters.";

// Administrator page.
inline constexpr char kAdminGroup[] = "Administrator";
inline constexpr char kAdminNameLabel[] = "Name:";
inline constexpr char kAdminMailboxLabel[] = "Mailbox:";
inline constexpr char kNtGroup[] = "Windows NT";
inline constexpr char kNtUserFlag[] = "Use Windows NT Security";
inline constexpr char kNtDomainLabel[] = "Domain:";
inline constexpr char kNtUserLabel[] = "Group:";
inline constexpr char kNoResponseGroup[] = "No Auto Responder for";

// Connection page.
inline constexpr char kConnectionGroup[] = "Connection";
inline constexpr char kNetwork[] = "Local network";
inline constexpr char kDialup[] = "Use Dial-Up connection";
inline constexpr char kRasEntryLabel[] = "Phone-book entry:";
inline constexpr char kRasUserLabel[] = "User name:";
inline constexpr char kRasPasswordLabel[] = "Password:";
inline constexpr char kPingFlag[] = "Connect every";
inline constexpr char kClosingLabel[] = "Hang up when idle for";
inline constexpr char kPortsGroup[] = "Ports";
inline constexpr char kLocalPort[] = "Local";
inline constexpr char kRemotePort[] = "Remote";
inline constexpr char kSmtpPorts[] = "SMTP:";
inline constexpr char kPop3Ports[] = "POP3:";
inline constexpr char kPasswordPortLabel[] = "Password service:";

// Forwarding page.
inline constexpr char kUseDns[] = "Use DNS-Lookup";
inline constexpr char kUseMx[] = "Forward to Smart Host";
inline constexpr char kImmediately[] = "Send immediatelly";
inline constexpr char kRetry[] = "Retry after";
inline constexpr char kUndeliverableGroup[] = "Undeliverable mail";
inline constexpr char kReturnToSender[] = "Return undeliverable mail back to sender";
inline constexpr char kSendInfo[] = "Send info to administrator";
inline constexpr char kAttachMessage[] = "Attach original message";
inline constexpr char kReturnAfter[] = "Undeliverable after";
inline constexpr char kForwardGroup[] = "Outgoing mail";
inline constexpr char kSmartHostUser[] = "Smart host login:";
inline constexpr char kSmartHostPassword[] = "Smart host password:";
inline constexpr char kOutgoingTlsGroup[] = "Encryption";
inline constexpr char kOutgoingTls[] = "Outgoing TLS:";
inline constexpr const char* kOutgoingTlsChoices[] = {"No TLS", "STARTTLS when offered",
                                                      "TLS required"};
inline constexpr char kCheckCertificates[] = "Check certificates";

// Options page.
inline constexpr char kEsmtpGroup[] = "ESMTP";
inline constexpr char kEsmtp[] = "Use ESMTP protocol";
inline constexpr char kMaxSizeLabel[] = "Maximum message size (bytes):";
inline constexpr char kEnforceSize[] = "Reject messages above the maximum size";
inline constexpr char kClientEhlo[] = "Introduce with EHLO to other hosts";
inline constexpr char kEsmtpSize[] = "Use ESMTP SIZE option";
inline constexpr char kUnknownGroup[] = "Unknown users";
inline constexpr char kSearchUnknown[] = "Search unknown users in other local daomains";
inline constexpr char kNotifyUnknown[] = "Reject mail for unknown users";
inline constexpr char kForwardUnknown[] = "Forward mail for unknown users";
inline constexpr char kDnsGroup[] = "DNS";
inline constexpr char kDnsSubdomain[] = "Search for subdomains";
inline constexpr char kDomainAsHost[] = "User domain name as hostname";
inline constexpr char kCollectionGroup[] = "Remote POP accounts";
inline constexpr char kCollectionTls[] = "TLS for collection:";
inline constexpr const char* kCollectionTlsChoices[] = {"No TLS", "STLS when offered",
                                                        "TLS required"};

// Event Log page.
inline constexpr char kLogLevelLabel[] = "Log level:";
inline constexpr char kSmtpLogs[] = "SMTP log files";
inline constexpr char kPop3Logs[] = "POP3 log files";
inline constexpr char kViewLog[] = "View log..";
inline constexpr char kMaxLogTimeLabel[] = "Delete log files after (days):";
inline constexpr char kLogViewerLabel[] = "Log viewer:";
inline constexpr char kBrowse[] = "...";
inline constexpr char kPathsGroup[] = "Directories";
inline constexpr char kLogPathLabel[] = "Log files:";
inline constexpr char kTempPathLabel[] = "Temporary files:";
inline constexpr char kMailPathLabel[] = "Mailboxes:";
inline constexpr char kConfigPathLabel[] = "Tables:";
inline constexpr char kViewerFailed[] = "Cannot open log viewer '%s'!";
inline constexpr char kDefaultLogViewer[] = "xdg-open";

// About page.
inline constexpr char kAboutProduct[] = "Quorvane Mail Server";
inline constexpr char kAboutVersion[] = "Console version %s";
inline constexpr char kAboutCopyright[] = "SMTP, POP3 and administration for small offices";
inline constexpr char kAboutServerGroup[] = "Server";
inline constexpr char kAboutHost[] = "Host name:";
inline constexpr char kAboutAddress[] = "IP address:";
inline constexpr char kAboutDomain[] = "Domain:";
inline constexpr char kAboutProgramsGroup[] = "Programs";
inline constexpr char kAboutSmtp[] = "SMTP service:";
inline constexpr char kAboutPop3[] = "POP3 service:";
inline constexpr char kAboutControl[] = "Control service:";

// Checks of the settings before they are saved: the listening ports by name, and the refusals
// (port's name, port, the other port's name).
inline constexpr char kSmtpPortName[] = "SMTP port";
inline constexpr char kPop3PortName[] = "POP3 port";
inline constexpr char kPasswordPortName[] = "Password service port";
inline constexpr char kControlPortName[] = "Control service port";
inline constexpr char kPortOfAnother[] = "'%s' cannot be %d: the '%s' is %d as well.";
inline constexpr char kPortInUse[] =
    "'%s' cannot be %d: another program on this computer listens on that port.";

// Service states that follow the services, the question before a removal, connecting in the
// background and the console's own log window.
inline constexpr char kRemoveServiceTitle[] = "Remove?";
inline constexpr char kRemoveServiceQuestion[] = "Remove the %s service?";
inline constexpr char kConnectingTitle[] = "Connecting";
inline constexpr char kConnectingText[] = "Connecting to '%s'...";
inline constexpr char kLogWindowTitle[] = "Log file %s";
inline constexpr char kLogFindLabel[] = "Find:";
inline constexpr char kLogFindNext[] = "Find next";
inline constexpr char kLogFindPrevious[] = "Find previous";
inline constexpr char kLogNotFound[] = "'%s' was not found.";
inline constexpr char kLogCut[] = "Only the last %d MB of the file are shown.";
inline constexpr char kLogUnreadable[] = "Cannot read the log file '%s'!";
inline constexpr char kLogClose[] = "Close";

}  // namespace qv::console
