// The installer's texts: usage, progress and failure lines, and the files it writes.
#pragma once

namespace qv::setup {

inline constexpr char kUsage[] =
    "Usage: qvsetup install --prefix DIR --domain NAME [--hostname NAME]\n"
    "                       [--admin ALIAS --admin-password PASSWORD]\n"
    "                       [--smtp-port N] [--pop3-port N] [--control-port N]\n"
    "                       [--password-port N] [--system DIR] [--from DIR]\n"
    "                       [--pam-dir DIR|none] [--services presence|systemd]\n"
    "                       [--listen-address ADDRESS]\n"
    "                       [--tls [--cert FILE --key FILE] [--submission-port N]\n"
    "                        [--smtps-port N] [--pop3s-port N] [--control-tls-port N]\n"
    "                        [--relay-networks LIST|none]]\n"
    "                       [--smart-host HOST[:PORT] [--smart-host-user USER\n"
    "                        --smart-host-password PASSWORD]] [--tls-outgoing 0|1|2]\n"
    "       qvsetup uninstall [--system DIR] [--purge]\n"
    "       qvsetup status [--system DIR]\n"
    "       qvsetup start [--system DIR]\n"
    "       qvsetup stop [--system DIR]\n"
    "       qvsetup show MAILBOX [--system DIR]\n";

// Progress: a word for what happened and the thing it happened to.
inline constexpr char kLine[] = "%-10s %s\n";
inline constexpr char kStatusLine[] = "%-16s %s\n";
// What progress lines show for a password.
inline constexpr char kHiddenValue[] = "(hidden)";
inline constexpr char kKeptDiffers[] =
    "kept       %s = %s (asked for %s; change it with qvctl or qvreg)\n";

// Failures (on standard error, prefixed with "qvsetup: ").
inline constexpr char kErrPrefix[] = "qvsetup: ";
inline constexpr char kErrNoTcp[] =
    "TCP is not in the protocol database (/etc/protocols, Debian package netbase)";
inline constexpr char kErrNoSystemd[] = "--services systemd: this machine does not run systemd";
inline constexpr char kErrNoProgram[] = "%s is missing in %s (build it first)";
inline constexpr char kErrCopy[] = "cannot install %s as %s: %s";
inline constexpr char kErrDirectory[] = "cannot create the folder %s: %s";
inline constexpr char kErrKey[] = "cannot create the registry key %s in %s";
inline constexpr char kErrValue[] = "cannot write the registry value %s of %s";
inline constexpr char kErrRecords[] = "cannot write the initial records in %s";
inline constexpr char kErrAdmin[] = "cannot add the administrator %s to the user table in %s";
inline constexpr char kErrWrite[] = "cannot write %s: %s";
inline constexpr char kErrPortBusy[] =
    "port %d, wanted by %s, is in use by another program (choose another with %s)";
inline constexpr char kErrStart[] = "%s did not start (program %s); see the logs in %s";
inline constexpr char kErrStop[] = "%s did not stop";
inline constexpr char kErrNotInstalled[] = "nothing is installed under the system root %s";
inline constexpr char kErrRemoveKey[] = "cannot remove the registry key %s";
inline constexpr char kErrRemove[] = "cannot remove %s: %s";
inline constexpr char kErrMailbox[] = "no such mailbox: %s";
inline constexpr char kErrSystemFolder[] =
    "%s is a folder of the machine's own; choose a folder of the installation's own";
inline constexpr char kErrNotAFolder[] = "%s is not a folder (a symbolic link or a file)";
inline constexpr char kErrFolderOwner[] =
    "the folder %s belongs to another user (uid %u); remove it or choose another";

inline constexpr char kErrTls[] = "the certificate cannot be used: %s";
inline constexpr char kTlsCreated[] = "%s (self-signed for %s, with its key beside it)";
inline constexpr char kTlsKept[] = "%s and %s";

inline constexpr char kErrServiceUser[] = "cannot create the system user %s: %s";

inline constexpr char kNotePam[] =
    "logons of operating-system accounts (NTUSER) are on: QuorvanePop3 runs with the group %s "
    "to check their passwords; install again after switching NTUSER on or off";
inline constexpr char kNotePamNoGroup[] =
    "logons of operating-system accounts (NTUSER) are on, but this machine has no group %s: "
    "QuorvanePop3 runs as its own user and cannot check their passwords";

// The install summary: where the services listen. They listen on every IPv4 address, or on the
// one address of ListenAddress (--listen-address).
inline constexpr char kSummaryListen[] = "every IPv4 address (0.0.0.0)";
inline constexpr char kSummaryListenAddress[] = "address %s";
inline constexpr char kSummarySmtp[] = "%s port %d, mail for %s";
inline constexpr char kSummaryPop3[] = "%s port %d, users log on with their alias";
inline constexpr char kSummaryControl[] = "%s port %d (qvctl), password changes on port %d";
// With TLS: its listeners, the files and who may relay.
inline constexpr char kSummarySubmission[] = "%s port %d, STARTTLS, AUTH before MAIL";
inline constexpr char kSummarySmtps[] = "%s port %d, TLS, AUTH before MAIL";
inline constexpr char kSummaryPop3s[] = "%s port %d, TLS";
inline constexpr char kSummaryControlTls[] = "%s port %d with TLS (qvctl --tls)";
inline constexpr char kSummaryTls[] =
    "certificate %s, key %s (STARTTLS on SMTP, STLS on POP3; SIGHUP reloads them)";
inline constexpr char kSummaryRelay[] = "without AUTH from %s only";
inline constexpr char kSummaryRelayNone[] = "after AUTH only";
inline constexpr char kSummaryRelayAll[] = "from every client";

// The PAM service of operating-system logons (the POP3 service's NTUSER option).
inline constexpr char kPamHeader[] =
    "# Logons of operating-system accounts to the Quorvane mail services.\n";

// The help file of the list manager. %s: the list manager's address.
inline constexpr char kListHelp[] =
    "Mailing lists on this server\r\n"
    "\r\n"
    "Send your commands in the body of a message to %s, one\r\n"
    "command on each line. The subject line is not read. Replies come back to the address\r\n"
    "you send from.\r\n"
    "\r\n"
    "  SUBSCRIBE list@domain             join a list with the address you send from\r\n"
    "  SUBSCRIBE list@domain, address    join a list with another address\r\n"
    "  UNSUBSCRIBE list@domain           leave a list (LEAVE does the same)\r\n"
    "  REVIEW list@domain                show the members of a list\r\n"
    "  LISTS                             show the public lists of this server\r\n"
    "  WHICH                             show the lists you belong to\r\n"
    "  HELP                              send this text\r\n"
    "\r\n"
    "JOIN works like SUBSCRIBE. A list may ask its owner to agree before you are added; you\r\n"
    "get a message when that is done. Some lists show their members to the owner only.\r\n";

}  // namespace qv::setup
