// Every text the POP3 service sends to a client or writes to its log and trace, in one place.
// Replies end with CR LF; the formats are filled with snprintf.
#pragma once

namespace qv::pop3 {

// ---- Replies -------------------------------------------------------------------------------

// Greeting: version, installation text (the service frame's), date text.
inline constexpr char kGreeting[] =
    "+OK Quorvane POP3 Server (v%s %s) for Windows 95 ready at %s\r\n";

inline constexpr char kReplyOk[] = "+OK\r\n";
// HELO: host name, the client's dotted address.
inline constexpr char kReplyHello[] = "+OK %s Hello %s\r\n";
// USER: the name as given.
inline constexpr char kReplyUser[] = "+OK <%s>\r\n";
// STAT and the first line of a full LIST or UIDL: count, octets.
inline constexpr char kReplyCountOctets[] = "+OK %d %lld\r\n";
// LIST n: number, size.
inline constexpr char kReplyListOne[] = "+OK %d %lld\r\n";
// UIDL n: number, file name.
inline constexpr char kReplyUidlOne[] = "+OK %d %s\r\n";
// Lines of a full LIST and UIDL, and their end.
inline constexpr char kListLine[] = "%d %lld\r\n";
inline constexpr char kUidlLine[] = "%d %s\r\n";
inline constexpr char kListEnd[] = ".\r\n";
// RETR: the size from the listing.
inline constexpr char kReplyRetr[] = "+OK %lld octets\r\n";
// LAST: the highest message number retrieved.
inline constexpr char kReplyLast[] = "+OK %d\r\n";
// The end of a message transfer.
inline constexpr char kEndOfMessage[] = "\r\n.\r\n";

inline constexpr char kErrUnknownMessage[] = "-ERR Unknown message\r\n";
inline constexpr char kErrInvalidState[] = "-ERR invalid Command in this state\r\n";
inline constexpr char kErrInvalidUsername[] = "-ERR invalid Username\r\n";
inline constexpr char kErrInvalidPassword[] = "-ERR invalid Password\r\n";
inline constexpr char kErrNoPrivileges[] = "-ERR No privileges to logon\r\n";
// An operating-system logon that failed: the error number.
inline constexpr char kErrLoginFailed[] = "-ERR Login failed (%ld)\r\n";
inline constexpr char kErrCannotReadDirectory[] = "-ERR Cannot read directory\r\n";
inline constexpr char kErrGeneralFailure[] = "-ERR General failure on server\r\n";
inline constexpr char kErrLineTooLong[] = "-ERR Line too long\r\n";
inline constexpr char kErrTooManyConnections[] = "-ERR Too many connections; try again later\r\n";

// TLS (only with a certificate configured): CAPA before and inside TLS, STLS and its refusals.
inline constexpr char kReplyCapa[] =
    "+OK Capability list follows\r\nSTLS\r\nUSER\r\nTOP\r\nUIDL\r\n.\r\n";
inline constexpr char kReplyCapaInTls[] =
    "+OK Capability list follows\r\nUSER\r\nTOP\r\nUIDL\r\n.\r\n";
inline constexpr char kReplyStls[] = "+OK Begin TLS negotiation\r\n";
inline constexpr char kErrTlsActive[] = "-ERR Command not permitted when TLS active\r\n";
inline constexpr char kErrStlsState[] = "-ERR STLS only before logon\r\n";
inline constexpr char kErrStlsArgument[] = "-ERR STLS takes no argument\r\n";

// The error number of a failed operating-system logon (bad name or password), given in
// kErrLoginFailed for every failure that is not a missing privilege.
constexpr long kLogonFailureNumber = 1326;

// ---- Transaction log (prefix "p"; the tags are the mail library's) -------------------------

inline constexpr char kLogConnect[] = "POP3-User connect\r\n";
inline constexpr char kLogLineTooLong[] = "Line too long; connection closed\r\n";
inline constexpr char kLogLogonFailed[] = "Logon of user '%s' from %s failed\r\n";
// The first failure of an address, from which its logons are answered late.
inline constexpr char kLogBackoffStarted[] = "Logons from %s are answered late\r\n";
inline constexpr char kLogIdle[] = "No command for %d seconds; connection closed\r\n";
inline constexpr char kLogTlsOff[] = "TLS is off: %s\r\n";
inline constexpr char kLogTlsKept[] = "New certificate not taken; the old one is kept: %s\r\n";

// ---- Trace and tray (the sixth connection and failed accepts are logged by the service frame)

inline constexpr char kTraceClientName[] = "qvpop395";
inline constexpr char kTraceStart[] = "POP3MAIN.WinMain [hMainWindow=x%x]\r\n";
inline constexpr char kTraceExit[] = "POP3MAIN.WinMain - Exiting\r\n";
inline constexpr char kTrayTip[] = "Quorvane POP3 Server";

}  // namespace qv::pop3
