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
