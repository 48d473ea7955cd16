// The SMTP service's side of the list and responder code: its deliveries go to
// DeliverRecipients and its log lines to the "s" transaction log.
#include "smtp/listhooks.h"

#include "smtp/delivery.h"
#include "smtp/lists.h"
#include "smtp/responder.h"
#include "smtp/texts.h"

namespace qv::smtp {
namespace {

// Members' copies of a list message stored at the same time: delivery is safe on several
// threads, and concurrent flushes of the copies share the file system's commits.
constexpr size_t kListDeliveryThreads = 16;

const lists::MailService& SmtpService() {
  static const lists::MailService service{
      [](std::string_view entry, std::string_view reverse_path, int message_fd, bool local,
         bool top_level) { DeliverRecipients(entry, reverse_path, message_fd, local, top_level); },
      kLogPrefix, kListDeliveryThreads};
  return service;
}

}  // namespace

int DistributeToList(const LISTSTRUCT& list, std::string_view reverse_path, int spool_fd,
                     bool top_level) {
  return lists::DistributeToList(SmtpService(), list, reverse_path, spool_fd, top_level);
}

int ProcessListCommands(std::string_view reverse_path, std::string_view manager_address,
                        int spool_fd) {
  return lists::ProcessListCommands(SmtpService(), reverse_path, manager_address, spool_fd);
}

bool ListCommandsInProgress() {
  return lists::ListCommandsInProgress();
}

int JoinList(std::string_view sender, std::string_view list_name, std::string_view name) {
  lists::JoinList(SmtpService(), sender, list_name, name);
  return 0;
}

int RunResponder(std::string_view sender, std::string_view user_address,
                 std::string_view responder) {
  lists::RunResponder(kLogPrefix, sender, user_address, responder);
  return 0;
}

}  // namespace qv::smtp
