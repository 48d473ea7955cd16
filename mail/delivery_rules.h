// Inside delivery: the two rule sets behind Deliver (mail_service.h, DeliveryRules) and what they
// share. Not for use outside delivery.cc and fetched_delivery.cc.
#pragma once

#include <string>
#include <string_view>

#include "mail/delivery.h"

namespace qv::mail::rules {

// Writes one message file into `directory`: `head` (envelope lines, Received line and whatever
// comes before the message), then the message copy addressed to `to_address`. On failure the
// file is abandoned and the log says that the message for `who` could not be stored.
bool WriteMessageFile(const MailService& service, const std::string& directory,
                      std::string_view extension, const std::string& head, int spool_fd,
                      std::string_view to_address, std::string_view reverse_path,
                      const std::string& who);

// The depth guard of every chain of deliveries: true while `depth` is within
// kMaxDeliveryDepth, else the loop is logged with `what`.
bool WithinDepth(const MailService& service, int depth, const std::string& what);

// The rules of fetched mail for one recipient at `depth` (1 for a recipient given to Deliver).
// False when the file for it could not be written.
bool DeliverFetched(const MailService& service, const Recipient& recipient,
                    std::string_view reverse_path, int spool_fd, int depth, bool replying);

}  // namespace qv::mail::rules
