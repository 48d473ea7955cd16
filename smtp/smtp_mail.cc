#include "smtp/smtp_mail.h"

#include "smtp/texts.h"

namespace qv::smtp {
namespace {

// Members' copies of a list message stored at the same time: delivery is safe on several
// threads, and concurrent flushes of the copies share the file system's commits.
constexpr size_t kListDeliveryThreads = 16;

}  // namespace

mail::MailService SmtpMailService(const Settings& settings) {
  mail::MailService service;
  service.settings = &settings;
  service.log_prefix = std::string(kLogPrefix, sizeof kLogPrefix - 1);
  service.parallel_deliveries = kListDeliveryThreads;
  service.rules = mail::DeliveryRules::kReceived;
  return service;
}

}  // namespace qv::smtp
