// Every reply, log and trace text of the SMTP service, in one place. Formats are printf-style.
#pragma once

namespace qv::smtp {

// Identity.
inline constexpr char kWindowClass[] = "QuorvaneSmtp";
inline constexpr char kProgramName[] = "qvsmtp95";
inline constexpr char kTrayTip[] = "Quorvane SMTP Server";
inline constexpr char kLogPrefix[] = "s";

// Frame replies (version, installation text, date).
inline constexpr char kGreeting[] =
    "220 Quorvane SMTP Server (v%s %s) for Windows 95 ready at %s\r\n";
inline constexpr char kTooManyConnections[] = "421 %s Too many connections; try again later\r\n";
inline constexpr char kIdleTimeout[] = "421 %s Timeout; closing connection\r\n";
inline constexpr char kLineTooLong[] = "500 Line too long\r\n";
inline constexpr char kTooManyHops[] = "554 Too many hops; mail loop?\r\n";
inline constexpr char kMessageTooLarge[] =
    "552 Message size exceeds fixed maximium message size\r\n";
inline constexpr char kMessageAccepted[] =
    "250 %d bytes received in %s; Message accepted for delivery\r\n";
inline constexpr char kMessageNotStored[] = "451 Message could not be stored; try again later\r\n";
inline constexpr char kElapsedSeconds[] = "%ld,%ld seconds";
inline constexpr char kElapsedMinutes[] = "%ld:%ld minutes";
inline constexpr char kElapsedHours[] = "%ld:%ld:%ld hours";

// Session replies.
inline constexpr char kHelo[] = "250 %s Hello %s\r\n";
inline constexpr char kEhloWithSize[] =
    "250-%s Hello %s\r\n250-EXPN\r\n250-SIZE %d\r\n250 HELP\r\n";
inline constexpr char kEhlo[] = "250-%s Hello %s\r\n250-EXPN\r\n250-SIZE\r\n250 HELP\r\n";
inline constexpr char kNotImplemented[] = "502 Not implemented\r\n";
inline constexpr char kInvalidState[] = "501 invalid Command in this state\r\n";
inline constexpr char kSyntaxError[] = "501 Syntax Error\r\n";
inline constexpr char kSizeExceeded[] =
    "552 Message size exceeds fixed maximium message size of %d bytes\r\n";
inline constexpr char kSenderOk[] = "250 <%s>, sender ok\r\n";
inline constexpr char kStartMailInput[] =
    "354 Start mail input, terminate with '<CRLF>.<CRLF>'\r\n";
inline constexpr char kReset[] = "250 Reset State\r\n";
inline constexpr char kOk[] = "250 OK\r\n";
inline constexpr char kClosing[] = "221 %s closing connection\r\n";
inline constexpr char kNoTurn[] = "502 No need to change roles\r\n";
inline constexpr char kTooManyRecipients[] = "452 Too many recipients\r\n";
inline constexpr char kRecipientFound[] = "250 %s <%s@%s>\r\n";
inline constexpr char kWillForward[] = "250 User not local; will forward to <%s>\r\n";
inline constexpr char kUnknownWillForward[] = "250 User unknown; will forward to <%s>\r\n";
inline constexpr char kRecipientNotHere[] = "550 Recipient not here\r\n";
inline constexpr char kPermissionDenied[] = "550 Permission denied\r\n";
inline constexpr char kIsAList[] = "550 That is a mailing list, not a user name\r\n";
inline constexpr char kIsAUser[] = "550 That is a user name, not a mailing list\r\n";
inline constexpr char kRouteUnreadable[] = "451 Cannot read the route table; try again later\r\n";
inline constexpr char kMemberLine[] = "250-%s <%s>\r\n";
inline constexpr char kNoMembers[] = "550 The list has no members\r\n";

// TLS (offered only with a certificate configured).
inline constexpr char kEhloStartTls[] = "250-STARTTLS\r\n";
inline constexpr char kStartTlsReady[] = "220 2.0.0 Ready to start TLS\r\n";
inline constexpr char kStartTlsArguments[] = "501 5.5.4 STARTTLS takes no parameters\r\n";
inline constexpr char kTlsActive[] = "503 5.5.1 TLS already active\r\n";
inline constexpr char kStartTlsInTransaction[] = "503 5.5.1 STARTTLS not allowed in a mail transaction\r\n";
inline constexpr char kHeloFirst[] = "503 5.5.1 Send EHLO or HELO first\r\n";

// Authenticated submission (AUTH only inside TLS) and relay control.
inline constexpr char kEhloAuth[] = "250-AUTH PLAIN LOGIN\r\n";
inline constexpr char kAuthRequired[] = "530 5.7.0 Authentication required\r\n";
inline constexpr char kAuthNeedsTls[] =
    "538 5.7.11 Encryption required for requested authentication mechanism\r\n";
inline constexpr char kAuthAlready[] = "503 5.5.1 Already authenticated\r\n";
inline constexpr char kAuthInTransaction[] = "503 5.5.1 AUTH not allowed in a mail transaction\r\n";
inline constexpr char kAuthMechanism[] = "504 5.5.4 Unrecognized authentication mechanism\r\n";
inline constexpr char kAuthChallenge[] = "334 \r\n";
inline constexpr char kAuthAskName[] = "334 VXNlcm5hbWU6\r\n";      // "Username:"
inline constexpr char kAuthAskPassword[] = "334 UGFzc3dvcmQ6\r\n";  // "Password:"
inline constexpr char kAuthCancelled[] = "501 5.7.0 Authentication cancelled\r\n";
inline constexpr char kAuthUndecodable[] = "501 5.5.2 Cannot decode response\r\n";
inline constexpr char kAuthSucceeded[] = "235 2.7.0 Authentication successful\r\n";
inline constexpr char kAuthFailed[] = "535 5.7.8 Authentication credentials invalid\r\n";
inline constexpr char kRelayDenied[] = "550 5.7.1 Relaying denied\r\n";

// HELP. Every line carries the reply code: "214-" on each line but the last, "214 " on the last.
inline constexpr char kHelpCommands[] =
    "214-Commands:\r\n"
    "214-          HELO    MAIL    RCPT    DATA    RSET    VRFY\r\n"
    "214-          EXPN    SEND    SAML    SOML    NOOP    QUIT\r\n"
    "214-          For more info use 'HELP <topic>'.\r\n"
    "214 End of Help\r\n";
inline constexpr char kHelpUnknown[] = "214-Command unknown\r\n214 End of Help\r\n";
struct HelpTopic {
  const char* topic;
  const char* text;
};
inline constexpr HelpTopic kHelpTopics[] = {
    {"HELO",
     "214-HELO <hostname>\r\n"
     "214-    Introduce yourself.\r\n"
     "214 End of Help\r\n"},
    {"EHLO",
     "214-EHLO <hostname>\r\n"
     "214-    Introduce yourself, and request extended SMTP mode.\r\n"
     "214 End of Help\r\n"},
    {"MAIL",
     "214-MAIL FROM: <sender>\r\n"
     "214-    Specifies the sender.\r\n"
     "214 End of Help\r\n"},
    {"RCPT",
     "214-RCPT TO: <recipient>\r\n"
     "214-    Specifies the recipient. Can be used any number of times.\r\n"
     "214 End of Help\r\n"},
    {"DATA",
     "214-DATA\r\n"
     "214-    The following text is the mail message, terminated by .<CR/LF>.\r\n"
     "214 End of Help\r\n"},
    {"RSET",
     "214-RSET\r\n"
     "214-    Resets my current State (I forget what you've told me).\r\n"
     "214 End of Help\r\n"},
    {"VRFY",
     "214-VRFY <recipient>\r\n"
     "214-    Verify an address.\r\n"
     "214 End of Help\r\n"},
    {"EXPN",
     "214-EXPN <mailing-list>\r\n"
     "214-    Expand mailing-list members.\r\n"
     "214 End of Help\r\n"},
    {"NOOP",
     "214-NOOP\r\n"
     "214-    Do nothing. !\r\n"
     "214 End of Help\r\n"},
    {"QUIT",
     "214-QUIT\r\n"
     "214-    Exit QUORVANE.\r\n"
     "214 End of Help\r\n"},
    {"TURN",
     "214-TURN\r\n"
     "214-    Change the roles. Server <-> Client.\r\n"
     "214 End of Help\r\n"},
    {"SEND",
     "214-SEND FROM: <sender>\r\n"
     "214-    Send a message directly to the user's terminal.\r\n"
     "214-    Not supported here !\r\n"
     "214 End of Help\r\n"},
    {"SAML",
     "214-SAML FROM: <sender>\r\n"
     "214-    Send a message directly to the user's terminal, and also mail a letter.\r\n"
     "214-    Not supported here !\r\n"
     "214 End of Help\r\n"},
    {"SOML",
     "214-SOML FROM: <sender>\r\n"
     "214-    If the user is logged in, send directly, otherwise mail..\r\n"
     "214-    Not supported here !\r\n"
     "214 End of Help\r\n"},
};

// The stored-message and notice texts of delivery are in mail/mail_texts.h.

// Transaction log texts (the direction tags are those of common/maillog.h).
inline constexpr char kLogConnect[] = "SMTP-User connect\r\n";
inline constexpr char kLogCheckOutgoing[] = "Check outgoing mail\r\n";
inline constexpr char kLogDialupFailed[] = "Could not open dial-up profile '%s';%s\r\n";
inline constexpr char kLogSpoolFailed[] = "Cannot write the message to a temporary file\r\n";
inline constexpr char kLogTlsOff[] = "TLS is off: %s\r\n";
inline constexpr char kLogTlsKept[] = "New certificate not taken; the old one is kept: %s\r\n";
inline constexpr char kLogAuthFailed[] = "Authentication of '%s' from %s failed\r\n";
// The first failure of an address, from which its logons are answered late.
inline constexpr char kLogBackoffStarted[] = "Logons from %s are answered late\r\n";

// Trace texts.
inline constexpr char kTraceStart[] = "SMTPMAIN.WinMain [hMainWindow=x%x]\r\n";
inline constexpr char kTraceExit[] = "SMTPMAIN.WinMain - Exiting\r\n";
inline constexpr char kTracePingCheck[] = " --- Ping Check ---\r\n";
inline constexpr char kTraceTimeToPing[] = " --- Time to Ping ---\r\n";
inline constexpr char kTraceHaveConnection[] = " --- Ping: Have connection ---\r\n";
inline constexpr char kTraceNoConnection[] = " --- Ping: No connection ---\r\n";
inline constexpr char kTraceIdleCheck[] = " --- Idle Check ---\r\n";
inline constexpr char kTraceIdleClose[] = " --- Idle: Close Connection ---\r\n";
inline constexpr char kTraceForwardCheck[] = " --- Forward Check ---\r\n";

}  // namespace qv::smtp
