// Notices to the administrator: a new message in the mailbox AdministratorMailBox.
#pragma once

#include <string_view>

namespace qv::smtp {

// Kinds of notice.
constexpr int kNoticeUnknownUser = 1;  // mail for an unknown local recipient was rejected
// Kinds 2 to 5, about forwarded mail, are listed in forward.h.

// Writes a notice of `kind` about `sender` (empty shows as "<>") and `address`; `text` and the
// queue file `queue_fd` (or -1) serve the kinds that carry them. Returns 0, or -1 when the notice
// could not be written (no administrator mailbox, or a file error).
int WriteAdminNotice(int kind, std::string_view sender, std::string_view address,
                     std::string_view text, int queue_fd);

}  // namespace qv::smtp
