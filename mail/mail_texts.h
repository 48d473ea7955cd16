// Every stored-message, notice and log text of delivery and the administrator's notices, in one
// place. Formats are printf-style. The texts of lists and responders are in list_texts.h.
#pragma once

namespace qv::mail {

// Stored message texts.
inline constexpr char kReceivedLine[] =
    "Received: by %s with Quorvane-SMTP/POP3-Server (v%s %s) for <%s@%s> at %s\r\n";
inline constexpr char kQueueTo[] = "To: ";
inline constexpr char kQueueFrom[] = "\r\nFrom: ";
inline constexpr char kAddedDate[] = "Date: %s\r\n";
inline constexpr char kAddedFrom[] = "From: %s\r\n";
inline constexpr char kAddedTo[] = "To: <%s>\r\n";
inline constexpr char kAddedMessageId[] = "Message-Id: <%s@%s>\r\n";

// Fetched mail: the envelope of a queue file (the recipient, then the sender), and the report of
// a message for an unknown local recipient to the administrator's mailbox (after the common
// lines of a notice with the subject of kind 1).
inline constexpr char kFetchedQueueToAddress[] = "To: %s@%s\r\n";
inline constexpr char kFetchedQueueToText[] = "To: %s\r\n";
inline constexpr char kFetchedQueueFromAddress[] = "From: %s@%s\r\n";
inline constexpr char kUnknownReportIntro[] =
    "---------------\r\nThe following user address is unknown:\r\n";
// Local part and domain of the unknown address.
inline constexpr char kUnknownReportAddress[] = " --> %s@%s\r\n\r\n";
inline constexpr char kUnknownReportOriginal[] = "---------------\r\nOriginal Message follows:\r\n";

// The common lines of every administrator's notice, and kind 1.
inline constexpr char kNoticeFrom[] = "From: <>\r\n";
inline constexpr char kNoticeTo[] = "To: %s@%s\r\n";
inline constexpr char kNoticeDate[] = "Date: %s\r\n";
inline constexpr char kNoticeUnknownSubject[] = "Subject: Message for unknown user\r\n\r\n";
inline constexpr char kNoticeUnknownBody[] =
    "---------------\r\nThe following user address is unknown and was rejected:\r\n";
inline constexpr char kNoticeUnknownLines[] = " --> From: %s\r\n --> To:   %s\r\n";

// The notices about forwarded mail (kinds 2 to 5), after the common lines.
inline constexpr char kNoticeUnreachableSubject[] =
    "Subject: Delivery unsuccesful: Host unreachable\r\n\r\n";
inline constexpr char kNoticeUndeliverableLine[] =
    "---------------\r\nA message from '%s' to '%s' is undeliverable.\r\n";
inline constexpr char kNoticeUndeliverableIntro[] =
    "---------------\r\nThe following message is undeliverable:\r\n\r\n";
inline constexpr char kNoticeProblemsSubject[] =
    "Subject: Delivery unsuccesful: Delivery problems\r\n\r\n";
// Shared by notices 4 and 5 and the forwarder's delivery report to the sender.
inline constexpr char kReportIntro[] =
    "---------------\r\nThe following address has delivery problems:\r\n";
inline constexpr char kReportRecipients[] = "  %s\r\n\r\n";
// Kind 6: a smart host refused the exchange login (host, login, the host's reply).
inline constexpr char kNoticeLoginSubject[] = "Subject: Smart host refused the login\r\n\r\n";
inline constexpr char kNoticeLoginBody[] =
    "---------------\r\nThe smart host %s refused the login '%s':\r\n  %s\r\n\r\n"
    "Mail for it stays queued until ExchangeUser and ExchangePassword are corrected or the\r\n"
    "messages expire. The host is not tried again until the next forward run.\r\n";

// Transaction log texts of delivery and notices.
inline constexpr char kLogPerforming[] = "Performing execution of '%s'\r\n";
inline constexpr char kLogInvalidFilename[] = "Cannot execute '%s'; Invalid filename\r\n";
inline constexpr char kLogExecuted[] = "Execution of '%s' succesful\r\n";
inline constexpr char kLogNotFound[] = "Cannot execute '%s'; File not found\r\n";
inline constexpr char kLogCannotStore[] = "Cannot store message for <%s>\r\n";
inline constexpr char kLogDeliveryLoop[] =
    "Delivery to <%s> not done; forwarding loops more than %d times\r\n";
inline constexpr char kLogBadMailbox[] = "Cannot deliver to <%s>; invalid mailbox name '%s'\r\n";

}  // namespace qv::mail
