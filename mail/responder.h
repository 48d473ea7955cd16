// Auto responders: a reply with the text of a responder's file, written straight into the
// sender's mailbox or into the forward queue. Both mail services run this code; the calling
// service's transaction log takes the log lines.
#pragma once

#include <string_view>

#include "mail/mail_service.h"

namespace qv::lists {

// Answers `sender` with the responder `responder_name` on behalf of `responding_address` (the
// user who has the responder, or the owner of a list that welcomes a new member). Nothing is
// done for an empty name or a sender shorter than 2 characters; a sender that matches one of
// the responder's exception masks gets no reply (only a line in the responder log); a message
// `message_fd` (the plain file of the mail being answered, -1 when there is none) that was sent
// automatically (SentAutomatically) gets no reply either (a line in the transaction log). The
// reply goes to the sender's mailbox when the sender is a local user or account, to the forward
// queue otherwise (for a local user whose mail is routed away: to that remote address), there
// with an empty envelope sender so that no responder answers it in turn; its header says
// "Auto-Submitted: auto-replied". The responder keeps no state.
void RunResponder(const mail::MailService& service, std::string_view sender,
                  std::string_view responding_address, std::string_view responder_name,
                  int message_fd = -1);

// True when a message header (its text up to the empty line) marks the message as sent
// automatically (RFC 3834): an "Auto-Submitted:" field with any value but "no", a
// "Precedence:" of "bulk", "list" or "junk", or a "List-Id:" field. Field names and values
// compare without regard to case.
bool SentAutomatically(std::string_view header);

}  // namespace qv::lists
