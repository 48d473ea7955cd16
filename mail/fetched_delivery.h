// Delivery of one message fetched from a remote POP3 account (the rules of DeliveryRules::kFetched,
// mail/fetched_delivery.cc).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_service.h"

namespace qv::mail {

// Delivers the message in `spool_fd` to each of `addresses` ("local@domain"; none: the
// administrator is told of a message without a recipient). The addresses that are no user, list
// or route are reported to the administrator's mailbox in one notice that lists them all, with
// the message attached once. False when a mailbox or queue file of an address given, or the
// notice, could not be written.
bool DeliverFetchedMessage(const MailService& service, const std::vector<std::string>& addresses,
                           std::string_view reverse_path, int spool_fd);

}  // namespace qv::mail
