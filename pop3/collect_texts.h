// Every text of the collection of remote POP accounts: the lines it writes to the POP3 service's
// transaction log (prefix "p") and the texts it makes, in one place (the commands its client
// sends are in net/client_commands.h). Log lines end with CR LF; the formats are filled with
// snprintf.
#pragma once

namespace qv::pop3 {

// The line that ends a message.
inline constexpr char kMessageEnd[] = ".\r\n";

// ---- Transaction log ---------------------------------------------------------------------------

// Server, account name.
inline constexpr char kLogConnectShared[] = "Connecting to %s for shared POP account '%s'\r\n";
// Account name.
inline constexpr char kLogCheckingAccount[] = "Checking POP account '%s'\r\n";
// Server, the user's alias and domain.
inline constexpr char kLogConnectUser[] = "Connecting to %s for user <%s@%s>\r\n";
inline constexpr char kLogConnectionTimedOut[] = "Connection timed out\r\n";
inline constexpr char kLogConnectionClosed[] = "Connection closed\r\n";
// Profile, the dial-up error text.
inline constexpr char kLogDialupFailed[] = "Could not open dial-up profile '%s';%s\r\n";
// A message whose end line never arrived: its number. It stays on the server.
inline constexpr char kLogMessageCut[] =
    "Message %d not complete; left on the server for the next check\r\n";
// A fetched message could not be stored: the server keeps the mail for the next check.
inline constexpr char kLogNotStored[] =
    "A fetched message could not be stored; mail left on the server for the next check\r\n";
// The server's host name could not be looked up.
inline constexpr char kLogUnknownServer[] = "Cannot resolve POP server %s\r\n";

// ---- The report of a message for an unknown local recipient ---------------------------------

// Administrator name and first domain.
inline constexpr char kReportFrom[] = "From: <>\r\n";
inline constexpr char kReportTo[] = "To: %s@%s\r\n";
inline constexpr char kReportDate[] = "Date: %s\r\n";
inline constexpr char kReportSubject[] = "Subject: Message for unknown user\r\n\r\n";
inline constexpr char kReportIntro[] =
    "---------------\r\nThe following user address is unknown:\r\n";
// Local part and domain of the unknown address.
inline constexpr char kReportAddress[] = " --> %s@%s\r\n\r\n";
inline constexpr char kReportOriginal[] = "---------------\r\nOriginal Message follows:\r\n";

// Envelope of a queue file made by the collection: the recipient, then the sender.
inline constexpr char kQueueToAddress[] = "To: %s@%s\r\n";
inline constexpr char kQueueToText[] = "To: %s\r\n";
inline constexpr char kQueueFromAddress[] = "From: %s@%s\r\n";

}  // namespace qv::pop3
