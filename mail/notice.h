// Notices to the administrator: a new message in the mailbox AdministratorMailBox.
#pragma once

#include <string_view>

#include "mail/mail_service.h"

namespace qv::mail {

// Kinds of notice.
constexpr int kNoticeUnknownUser = 1;  // mail for an unknown local recipient was rejected
// Made by the forwarder:
constexpr int kNoticeExpired = 2;              // an expired file, without the message
constexpr int kNoticeExpiredWithMessage = 3;   // an expired file, with the message
constexpr int kNoticeProblems = 4;             // a failed conversation, without the message
constexpr int kNoticeProblemsWithMessage = 5;  // a failed conversation, with the message
constexpr int kNoticeLoginRefused = 6;         // a smart host refused the exchange login

// Writes a notice of `kind` about `sender` (empty shows as "<>") and `address` (the recipient,
// or the recipients of a forwarded message). `text` is the transaction text of kinds 4 and 5;
// kinds 3 and 5 carry the queued message read, unmasked, from `queue_fd` at its current
// position (-1 for the other kinds). Kind 6 names the login as `sender`, the smart host as
// `address` and its reply as `text`. Failures are logged in the log of `service`. False when
// the notice could not be written: no usable administrator mailbox, an unknown kind, or a file
// error.
bool WriteAdminNotice(const MailService& service, int kind, std::string_view sender,
                      std::string_view address, std::string_view text, int queue_fd);

}  // namespace qv::mail
