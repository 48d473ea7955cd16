// The SMTP service as a user of the mail library: its deliveries go to DeliverRecipients and its
// log lines to the "s" transaction log.
#pragma once

#include "mail/mail_service.h"

namespace qv::smtp {

// The service passed to delivery, notices, lists and responders by the session and the
// forwarder.
const mail::MailService& SmtpMailService();

}  // namespace qv::smtp
