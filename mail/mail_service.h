// The seam between the mail library and the service that runs it. Delivery, notices, mailing
// lists and auto responders are the same code in every mail service; each service passes itself
// as a MailService, so that deliveries go to its own delivery function and log lines to its own
// transaction log. The SMTP service builds one around DeliverRecipients with the log "s"; the
// POP3 service's collection of remote accounts builds its own with the log "p".
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qv::mail {

struct MailService {
  // Carries out one recipient entry ("[U]a@b", "[N]a@b" or a bare address) for the message in
  // the plain file `message_fd`, read from its start with pread. `local`: the entry is
  // delivered on this host, else it goes to the forward queue. `top_level`: the options of a
  // first delivery (copies, responders) apply. Lists call it for their members' copies and
  // their replies.
  std::function<void(std::string_view entry, std::string_view reverse_path, int message_fd,
                     bool local, bool top_level)>
      deliver;
  // The transaction log of the service: "s" or "p".
  std::string log_prefix;
  // How many members' copies of a list message may be delivered at the same time. Above 1,
  // `deliver` is called from that many threads at once and must allow it. Flushing each copy
  // to disk is what a distribution waits for; the file system commits concurrent flushes
  // together.
  size_t parallel_deliveries = 1;
};

}  // namespace qv::mail
