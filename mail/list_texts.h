// Every message, log and list-log text of the mailing lists and the auto responders, in one
// place. Formats are printf-style.
#pragma once

namespace qv::lists {

// The help file of the list manager, in ConfigPath.
inline constexpr char kHelpFileName[] = "LISTHELP.TXT";

// Join by request: the text mailed to the list owner.
inline constexpr char kJoinRequest[] =
    "Message from %s:\r\nThe user <%s> want to join mailing list '%s@%s'\r\n";

// The removal notice.
inline constexpr char kNoticeFrom[] = "From: %s\r\n";
inline constexpr char kNoticeTo[] = "To: %s@%s\r\n";
inline constexpr char kNoticeSubject[] = "Subject: Removed from mailing list\r\n\r\n";
inline constexpr char kNoticeBody[] =
    "The member <%s@%s> has been removed from mailing list '%s@%s'\r\n";

// The members review.
inline constexpr char kReviewHeading[] = "\r\nMembers of mailing list '%s@%s (%s)':\r\n";
inline constexpr char kReviewMember[] = "   %s (%s)\r\n";

// The lists overviews.
inline constexpr char kJoinedHeading[] =
    "\r\nMailing lists on server %s to which '%s@%s' has subscribed:\r\n";
inline constexpr char kPublicHeading[] = "\r\nPublic mailing lists on server '%s':\r\n";
inline constexpr char kOverviewList[] = "   %s@%s (%s)\r\n";

// Transaction log and list log lines.
inline constexpr char kLogInvalidAddress[] =
    "Cannot add mail address <%s@%s> to mailing list '%s@%s'; Invalid address\r\n";
inline constexpr char kLogAdding[] = "Adding mail address <%s@%s> to mailing list '%s@%s'\r\n";
inline constexpr char kLogMemberIsList[] =
    "Cannot add mail address <%s@%s> to mailing list '%s@%s'; Address is a mailing list\r\n";
inline constexpr char kLogCannotAdd[] =
    "Cannot add mail address <%s@%s> to mailing list '%s@%s'; Cannot write the members file\r\n";
inline constexpr char kLogRemoving[] =
    "Removing mail address <%s@%s> from mailing list '%s@%s'\r\n";
inline constexpr char kLogCannotRemove[] =
    "Cannot remove mail address <%s@%s> from mailing list '%s@%s'; Cannot write the members "
    "file\r\n";
inline constexpr char kLogCreatingReview[] =
    "Creating list of mailing list members for '%s@%s'\r\n";
inline constexpr char kLogReviewRefused[] =
    "Members of mailing list '%s@%s' are not visible to '%s@%s'\r\n";
inline constexpr char kLogCreatingHelp[] = "Creating mailing list help message for '%s@%s'\r\n";
inline constexpr char kLogCreatingJoined[] =
    "Creating list of joined mailing lists for '%s@%s'\r\n";
inline constexpr char kLogCreatingPublic[] =
    "Creating list of public mailing lists on server '%s'\r\n";
inline constexpr char kLogPreparingList[] =
    "Preparing outgoing messages for mailing list <%s@%s>\r\n";
inline constexpr char kLogSenderRefused[] =
    "Message from '%s' for mailing list <%s@%s> not sent; only the list owner may send\r\n";
inline constexpr char kListLogPreparing[] =
    "Preparing message from '%s' for mailing list <%s@%s>\r\n";
inline constexpr char kListLogMember[] = "Sending message to mailing list member <%s@%s>\r\n";
inline constexpr char kListLogOwner[] = "Sending message to mailing list owner <%s@%s>\r\n";
inline constexpr char kLogSkippingListMember[] =
    "Skipping member <%s@%s> of mailing list '%s@%s'; Address is a mailing list\r\n";
inline constexpr char kLogBadRecipient[] =
    "Cannot send list mail to <%s>; the address holds a blank, ';' or '!'\r\n";

// Auto responders: the reply (its "Received:" line is delivery's kReceivedLine).
inline constexpr char kReplyQueueTo[] = "To: %s\r\n";
inline constexpr char kReplyQueueFrom[] = "From: \r\n";  // empty: no reply to a reply
inline constexpr char kReplyDate[] = "Date: %s\r\n";
inline constexpr char kReplyTo[] = "To: <%s@%s>\r\n";
inline constexpr char kReplyFrom[] = "From: <%s>\r\n";
inline constexpr char kReplySubject[] = "Subject: Reply from %s\r\n";
inline constexpr char kReplyAutoSubmitted[] = "Auto-Submitted: auto-replied\r\n\r\n";

// Auto responders: transaction log and responder log lines (the latter after the date text).
inline constexpr char kLogNoResponder[] = "Auto responder '%s' does not exist\r\n";
inline constexpr char kLogCannotOpenText[] = "Cannot open responder file '%s'\r\n";
inline constexpr char kLogPreparingResponder[] = "Preparing responder '%s' for <%s@%s>\r\n";
inline constexpr char kLogAutomaticMessage[] =
    "No reply of responder '%s' for <%s@%s>; The message was sent automatically\r\n";
inline constexpr char kLogCannotStoreReply[] =
    "Cannot store the reply of responder '%s' for <%s@%s>\r\n";
inline constexpr char kResponderLogException[] =
    "%s  No responder created for <%s>; Address does not match with responder mask\r\n";
inline constexpr char kResponderLogCannotOpen[] = "%s  Cannot open responder file '%s'\r\n";
inline constexpr char kResponderLogPreparing[] = "%s  Preparing responder '%s' for <%s@%s>\r\n";

}  // namespace qv::lists
