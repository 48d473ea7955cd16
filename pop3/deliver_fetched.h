// Delivery of mail fetched from remote POP accounts: one address per call, with routes applied,
// mailing lists, the users' options on every call (copies, list manager, responder, list join),
// and an unknown local recipient reported to the administrator's mailbox with the message
// attached. The list and responder code of the mail library runs here with this delivery and
// the POP3 service's log ("p").
#pragma once

#include <string_view>

#include "common/config.h"
#include "mail/mail_service.h"

namespace qv::pop3 {

class CollectionDelivery {
 public:
  explicit CollectionDelivery(const Settings& settings);
  CollectionDelivery(const CollectionDelivery&) = delete;
  CollectionDelivery& operator=(const CollectionDelivery&) = delete;

  // Delivers the message in the plain file `message_fd` (read with pread from its start) from
  // `sender` to `local`@`domain`. `remote`: an address that is not a user goes to the forward
  // queue (else it is reported to the administrator as unknown). A chain of derived deliveries
  // (copies that copy on) ends after mail::kMaxDeliveryDepth steps with a log line. False when
  // the file for this address (mailbox, queue or report) could not be written; what derived
  // deliveries fail to write is only logged.
  bool Deliver(std::string_view local, std::string_view domain, std::string_view sender,
               int message_fd, bool remote);

  // What lists and responders deliver through: recipient entries go to Deliver (local entries
  // with remote false, queued ones with remote true), log lines to the POP3 log.
  const mail::MailService& service() const { return service_; }

 private:
  Settings settings_;
  mail::MailService service_;
};

// One delivery of fetched mail with a CollectionDelivery of its own. Returns 1.
int DeliverFetched(const Settings& settings, std::string_view local, std::string_view domain,
                   std::string_view sender, int message_fd, bool remote);

}  // namespace qv::pop3
