// Every log and report text of the outgoing forwarder, in one place (the commands of its client
// conversation are in net/client_commands.h). Formats are printf-style.
#pragma once

namespace qv::smtp {

// Log lines.
inline constexpr char kLogNoDestination[] =
    "Cannot forward message; No destination address is given\r\n";
inline constexpr char kLogInvalidAddress[] =
    "Cannot forward message; Invalid mail address <%s@%s>\r\n";
inline constexpr char kLogInvalidFormat[] = "Cannot forward message; Invalid file format\r\n";
inline constexpr char kLogSendingForward[] = "Sending SMTP-Mail forward to <%s@%s>\r\n";
inline constexpr char kLogReturnToSender[] = "Return SMTP-Mail back to sender <%s@%s>\r\n";
inline constexpr char kLogMxNoResponse[] = "The MX-Host does not respond\r\n";
inline constexpr char kLogNoMxHost[] = "There is no MX-Host available\r\n";
inline constexpr char kLogConnecting[] = "Connecting to %s\r\n";
inline constexpr char kLogConnectTimedOut[] = "Connection timed out\r\n";
inline constexpr char kLogConnectionClosed[] = "Connection closed\r\n";
inline constexpr char kLogCannotResolve[] = "Cannot resolve host %s\r\n";

// Log lines of TLS and the login at a smart host (level 1, but the last). Each names the host;
// a reply is logged as received, with its line end.
inline constexpr char kLogTlsTrust[] = "Outgoing TLS: %s\r\n";
inline constexpr char kLogLoginWithoutTls[] =
    "The login at the smart host is not used: TLSOutgoing is 0, and a password is never sent in "
    "clear\r\n";
inline constexpr char kLogNoStartTls[] =
    "%s offers no STARTTLS and TLS is required: nothing was sent\r\n";
inline constexpr char kLogLoginNeedsTls[] =
    "%s offers no STARTTLS and a password is never sent in clear: nothing was sent\r\n";
inline constexpr char kLogNoAuth[] = "%s offers no AUTH PLAIN or LOGIN: nothing was sent\r\n";
inline constexpr char kLogStartTlsRefused[] = "%s refused STARTTLS: %s";
inline constexpr char kLogTlsFailed[] = "TLS with %s failed, nothing was sent: %s\r\n";
inline constexpr char kLogCertificateRefused[] = "TLS with %s refused, nothing was sent: %s\r\n";
inline constexpr char kLogLoginRefused[] = "%s refused the login: %s";
// Stands for the login's name and password in a logged AUTH command.
inline constexpr char kLogHiddenSecret[] = "********\r\n";
inline constexpr char kSmtpAuthPlainVerb[] = "AUTH PLAIN ";
inline constexpr char kLogLoginRefusedEarlier[] =
    "%s refused the login earlier in this run: not tried again\r\n";  // level 3

// The return of an expired message (date, sender local part and domain, unreachable address).
inline constexpr char kReturnText[] =
    "Date: %s\r\nFrom: <>\r\nSubject: Delivery unsuccesful: Host unreachable\r\nTo: <%s@%s>\r\n"
    "\r\nThe following mail address is unreachable: <%s>\r\n\r\n*** Original Message ***\r\n";

// The part of a failed conversation (last command, last reply), for the report and notice 5.
inline constexpr char kTransactionText[] =
    "---------------\r\nPart of transaction follows:\r\n--> %s<-- %s\r\n---------------\r\n\r\n"
    "Original Message:\r\n";
// The same for notice 4, which carries no message.
inline constexpr char kTransactionShortText[] =
    "---------------\r\nPart of transaction follows:\r\n--> %s<-- %s\r\n\r\n";

// The delivery report to the sender.
inline constexpr char kReportFrom[] = "From: %s@%s\r\n";
inline constexpr char kReportTo[] = "To: %s\r\n";
inline constexpr char kReportDate[] = "Date: %s\r\n";
inline constexpr char kReportSubject[] = "Subject: Delivery unsuccesful: Delivery problems\r\n\r\n";
// Its introduction and recipients lines, kReportIntro and kReportRecipients, are shared with
// the administrator's notices in mail/mail_texts.h.

}  // namespace qv::smtp
