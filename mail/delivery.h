// Local delivery: carries out recipients for a received or fetched message in a spool file,
// writing mailbox files and forward-queue files, running commands, handing mail to lists and
// responders, and applying the users' options, by the rules of the calling service
// (mail_service.h).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_service.h"
#include "mail/recipient.h"

namespace qv::mail {

// What a delivery could not do, for the caller to act on.
struct DeliveryReport {
  // Mailbox or queue files that could not be written. Fetched mail counts the files of the
  // recipients given only, not those of copies, lists and replies.
  int failures = 0;
};

// Deepest chain of derived deliveries (forwarding, copies, unknown-user forwarding) that delivery
// follows; a forwarding loop in the user table ends here with a log line.
constexpr int kMaxDeliveryDepth = 10;

// How one call of Deliver runs.
struct DeliveryPolicy {
  // A first delivery: options such as copies and responders apply. Derived deliveries, list
  // copies and list replies are not at top level.
  bool top_level = true;
  // Derived deliveries that led to this one.
  int depth = 0;
  // A reply of the list code is being delivered: a list manager reached on the way does not
  // read it for commands.
  bool replying = false;
  // Every recipient is a delivery of its own (the members' copies of a list message), up to
  // `parallel` of them at the same time (parallel.h). Otherwise the recipients are those of one
  // message, delivered one after the other.
  bool separately = false;
  size_t parallel = 1;
};

// Delivers the message of the plain spool file `spool_fd` (read from its start with pread) from
// `reverse_path` to `recipients`, for `service`: its log takes the log lines, and lists and
// responders reached on the way deliver with it. Local recipients are delivered on this host,
// the others go to the forward queue. With the rules of received mail, queued recipients of
// which none holds an "@" go nowhere, and those of a first delivery are followed by the copies
// of the sender's outgoing mail (once, for the last of them). Files that could not be written
// are counted in `report`.
void Deliver(const MailService& service, const std::vector<Recipient>& recipients,
             std::string_view reverse_path, int spool_fd, const DeliveryPolicy& policy = {},
             DeliveryReport* report = nullptr);

// The service that delivers fetched mail with `settings` (which must outlive it): the rules of
// fetched mail and the POP3 service's log "p".
MailService FetchedMailService(const Settings& settings);

// A recipient of fetched mail: `local`@`domain`, looked up at delivery. `remote`: when the
// address is no user it goes to the forward queue (else it is reported to the administrator as
// unknown).
Recipient FetchedRecipient(std::string_view local, std::string_view domain, bool remote);

// The "Received:" line of a stored message for `local`@`domain`, dated `date` (now when empty).
std::string ReceivedLine(const SYSTEMSTRUCT& system, std::string_view local,
                         std::string_view domain, std::string_view date = {});

// The message copy into a stored file: header lines of the spool file (when its first 2048
// bytes hold the empty line that ends them), the missing Date, From, To and Message-Id headers,
// then the body, passed to `write` piece by piece; an added Message-Id names `host_name`. Exposed
// for tests. Returns false on a read error of the spool file or when `write` fails.
bool CopyMessage(int spool_fd, std::string_view to_address, std::string_view reverse_path,
                 std::string_view message_id_base, std::string_view host_name,
                 const std::function<bool(std::string_view)>& write);

}  // namespace qv::mail
