// The SMTP service as a user of the mail library: the rules of received mail, the "s"
// transaction log, and list copies stored on several threads.
#pragma once

#include "common/config.h"
#include "mail/mail_service.h"

namespace qv::smtp {

// The service passed to delivery, notices, lists and responders by the session and the
// forwarder, running with `settings`, which must outlive it.
mail::MailService SmtpMailService(const Settings& settings);

}  // namespace qv::smtp
