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
// A message still coming at its time limit: its number and the limit in seconds. The
// conversation ends without QUIT.
inline constexpr char kLogMessageTimeLimit[] =
    "Message %d not received within %lld seconds; mail left on the server for the next check\r\n";
// The conversation reached its time limit (seconds): it ends with QUIT before message k.
inline constexpr char kLogConversationTimeLimit[] =
    "Conversation time limit of %lld seconds reached; messages from %d on left for the next "
    "check\r\n";
// A message larger than its limit: its number, the limit and the size the server announced. It
// stays on the server.
inline constexpr char kLogMessageTooLarge[] =
    "Message %d larger than %llu bytes (announced as %llu); dropped and left on the server\r\n";
// A shared account message that names addresses it is not delivered to: its number, how many,
// and the most local recipients a message is delivered to.
inline constexpr char kLogRecipientsSkipped[] =
    "Message %d names %zu addresses that are foreign or beyond the first %zu; not delivered to "
    "them\r\n";
// A fetched message could not be stored: the server keeps the mail for the next check.
inline constexpr char kLogNotStored[] =
    "A fetched message could not be stored; mail left on the server for the next check\r\n";
// TLS is required and not to be had, so the login was not sent: the server as written, the
// account's name; then the server's reply to STLS, or why the handshake failed or its
// certificate was refused.
inline constexpr char kLogNoStls[] =
    "POP server %s does not offer STLS and TLS is required; account '%s' not logged on to\r\n";
inline constexpr char kLogStlsRefused[] =
    "POP server %s refused STLS and TLS is required; account '%s' not logged on to: %s\r\n";
inline constexpr char kLogTlsFailed[] =
    "TLS with POP server %s failed; account '%s' not logged on to: %s\r\n";
// The server's host name could not be looked up.
inline constexpr char kLogUnknownServer[] = "Cannot resolve POP server %s\r\n";

}  // namespace qv::pop3
