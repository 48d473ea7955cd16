// Every command the SMTP and POP3 clients send, in one place. Commands end with CR LF; the
// formats are filled with Format (common/strings.h).
#pragma once

namespace qv {

// ---- SMTP (the forwarder and qvsend) ----------------------------------------------------------

inline constexpr char kSmtpCmdEhlo[] = "EHLO %s\r\n";
inline constexpr char kSmtpCmdHelo[] = "HELO %s\r\n";
inline constexpr char kSmtpCmdMailFromSize[] = "MAIL FROM: <%s> SIZE=%d\r\n";
inline constexpr char kSmtpCmdMailFrom[] = "MAIL FROM: <%s>\r\n";
inline constexpr char kSmtpCmdRcptTo[] = "RCPT TO: <%s>\r\n";
inline constexpr char kSmtpCmdData[] = "DATA\r\n";
inline constexpr char kSmtpCmdQuit[] = "QUIT\r\n";
inline constexpr char kSmtpCmdStartTls[] = "STARTTLS\r\n";
inline constexpr char kSmtpCmdAuthPlain[] = "AUTH PLAIN %s\r\n";
inline constexpr char kSmtpCmdAuthLogin[] = "AUTH LOGIN\r\n";
inline constexpr char kSmtpCmdAuthLine[] = "%s\r\n";  // a base64 answer to a 334 challenge

// ---- POP3 (the collection of remote accounts) -------------------------------------------------

inline constexpr char kPop3CmdUser[] = "USER %s\r\n";
inline constexpr char kPop3CmdPass[] = "PASS %s\r\n";
inline constexpr char kPop3CmdStat[] = "STAT\r\n";
inline constexpr char kPop3CmdList[] = "LIST %d\r\n";
inline constexpr char kPop3CmdRetr[] = "RETR %d\r\n";
inline constexpr char kPop3CmdDele[] = "DELE %d\r\n";
inline constexpr char kPop3CmdQuit[] = "QUIT\r\n";
// Asked before the login when TLS is wanted (RFC 2449, RFC 2595).
inline constexpr char kPop3CmdCapa[] = "CAPA\r\n";
inline constexpr char kPop3CmdStls[] = "STLS\r\n";

// A positive POP3 reply begins with this (compared without regard to case).
inline constexpr char kPop3ReplyPositive[] = "+OK";

}  // namespace qv
