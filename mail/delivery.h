// Local delivery: carries out recipient entries for a received message in a spool file, writing
// mailbox files and forward-queue files, running commands, handing mail to lists and
// responders, and applying the users' options.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "mail/mail_service.h"

namespace qv::mail {

// What a delivery could not do, for the caller to act on.
struct DeliveryReport {
  int failures = 0;  // mailbox or queue files that could not be written
};

// Deepest chain of derived entries (forwarding, copies, unknown-user forwarding) that delivery
// follows; a forwarding loop in the user table ends here with a log line.
constexpr int kMaxDeliveryDepth = 10;

// Delivers every entry of `list` (recipient entries as the SMTP session writes them) with the
// message of the plain spool file `spool_fd`, for `service`: its log takes the log lines, and
// lists and responders reached on the way deliver through it. `local`: entries are delivered on
// this host; otherwise they go to the forward queue. `top_level`: the list of a session (options
// such as copies and responders apply); derived entries are delivered with top_level false.
// False only when a forward call finds an empty list or one without any "@"; files that could
// not be written are counted in `report`.
bool DeliverRecipients(const MailService& service, std::string_view list,
                       std::string_view reverse_path, int spool_fd, bool local, bool top_level,
                       DeliveryReport* report = nullptr);

// The message copy into a stored file: header lines of the spool file (when its first 2048
// bytes hold the empty line that ends them), the missing Date, From, To and Message-Id headers,
// then the body, passed to `write` piece by piece. Exposed for tests. Returns false on a read
// error of the spool file or when `write` fails.
bool CopyMessage(int spool_fd, std::string_view to_address, std::string_view reverse_path,
                 std::string_view message_id_base,
                 const std::function<bool(std::string_view)>& write);

// A fresh Message-Id base in the form of message file names ("YYMMDDhhmmssNN").
std::string NextMessageIdBase();

}  // namespace qv::mail
