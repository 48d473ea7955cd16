// The seam between the mail library and the service that runs it. Delivery, notices, mailing
// lists and auto responders are the same code in every mail service; each service passes itself
// as a MailService, so that log lines go to its own transaction log and deliveries follow its
// rules: the SMTP service delivers received mail with the log "s", the POP3 service's
// collection of remote accounts delivers fetched mail with the log "p".
#pragma once

#include <cassert>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "common/config.h"

namespace qv::mail {

struct Recipient;
struct DeliveryPolicy;

// How delivery treats a recipient and the users' options (delivery.h).
enum class DeliveryRules {
  // Mail received by the SMTP service: recipients resolved by the session, the options of a
  // user applied to a first delivery only.
  kReceived,
  // Mail fetched from remote POP accounts: routes, lists and users looked up at delivery, the
  // options of a user applied on every delivery, unknown local recipients reported to the
  // administrator.
  kFetched,
};

struct MailService {
  // The transaction log of the service: "s" or "p".
  std::string log_prefix;
  // How many members' copies of a list message may be delivered at the same time. Flushing each
  // copy to disk is what a distribution waits for; the file system commits concurrent flushes
  // together.
  size_t parallel_deliveries = 1;
  // The settings of the process, owned by the service and alive as long as it runs.
  const Settings* settings = nullptr;
  DeliveryRules rules = DeliveryRules::kReceived;
  // When set, the deliveries that lists and list replies make go here instead of being carried
  // out (from parallel_deliveries threads at once when that is above 1). For tests.
  std::function<void(const Recipient& recipient, std::string_view reverse_path, int message_fd,
                     const DeliveryPolicy& policy)>
      divert;

  const SYSTEMSTRUCT& system() const {
    assert(settings != nullptr);
    return settings->system;
  }
  const SMTPSTRUCT& smtp() const {
    assert(settings != nullptr);
    return settings->smtp;
  }
};

}  // namespace qv::mail
