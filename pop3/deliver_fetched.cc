#include "pop3/deliver_fetched.h"

#include <string>

#include "common/address.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "common/version.h"
#include "mail/delivery.h"
#include "mail/lists.h"
#include "mail/mail_texts.h"
#include "mail/mail_util.h"
#include "mail/responder.h"
#include "pop3/collect_texts.h"

namespace qv::pop3 {

namespace {

// Deliveries in progress on this thread, one inside the other (copies, lists, responders).
thread_local int t_depth = 0;

struct DepthGuard {
  DepthGuard() { ++t_depth; }
  ~DepthGuard() { --t_depth; }
};

void Log(const Settings& settings, int level, const std::string& text) {
  WriteLog(settings.system, level, 0, kLogEvent, text, kLogPrefixPop3);
}

std::string FirstDomain(const Settings& settings) {
  std::string_view domains = FieldText(settings.system.Domain);
  return std::string(domains.substr(0, domains.find(';')));
}

// The address of a recipient entry: without its tag and without the given recipient after "!".
std::string EntryAddress(std::string_view entry) {
  if (entry.size() >= 3 && entry[0] == '[' && entry[2] == ']') entry.remove_prefix(3);
  return std::string(entry.substr(0, entry.find('!')));
}

class Delivery {
 public:
  Delivery(const Settings& settings, const mail::MailService& service, std::string_view sender,
           int fd)
      : settings_(settings), service_(service), sender_(sender), fd_(fd) {}

  // False when the file for the address could not be written.
  bool Run(std::string local, std::string domain, bool remote);

 private:
  std::string ReceivedLine(const std::string& local, const std::string& domain) const {
    return Format(mail::kReceivedLine, settings_.system.HostName, kServerVersion, kInstallationText,
                  local.c_str(), domain.c_str(), FormatMailDate());
  }
  // Writes one message file: `head` and then the message copy.
  bool WriteFile(const std::string& directory, std::string_view extension, const std::string& head,
                 std::string_view to_address, std::string_view reverse_path,
                 const std::string& who);
  bool Queue(const std::string& local, const std::string& domain);
  bool ReportUnknown(const std::string& local, const std::string& domain);
  bool User(const USERSTRUCT& user, const std::string& local, const std::string& domain);

  const Settings& settings_;
  const mail::MailService& service_;
  std::string sender_;
  int fd_;
};

bool Delivery::WriteFile(const std::string& directory, std::string_view extension,
                         const std::string& head, std::string_view to_address,
                         std::string_view reverse_path, const std::string& who) {
  MessageFileWriter writer;
  bool ok = writer.Open(directory, extension) == 0 && writer.Write(head) == 0 &&
            mail::CopyMessage(fd_, to_address, reverse_path, mail::NextMessageIdBase(),
                              settings_.system.HostName,
                              [&](std::string_view text) { return writer.Write(text) == 0; }) &&
            writer.Commit() == 0;
  if (!ok) {
    writer.Abandon();
    Log(settings_, kLogLevelFailure, Format(mail::kLogCannotStore, who.c_str()));
  }
  return ok;
}

bool Delivery::Queue(const std::string& local, const std::string& domain) {
  std::string address = local + "@" + domain;
  std::string head = Format(kQueueToAddress, local.c_str(), domain.c_str()) +
                     Format(kQueueFromAddress, settings_.system.AdministratorName,
                            FirstDomain(settings_).c_str()) +
                     ReceivedLine(local, domain);
  return WriteFile(std::string(settings_.system.MailPath) + "/" + kForwardDirectory,
                   kQueueExtension, head, address, "", address);
}

bool Delivery::ReportUnknown(const std::string& local, const std::string& domain) {
  std::string mailbox(FieldText(settings_.system.AdministratorMailBox));
  std::string admin(FieldText(settings_.system.AdministratorName));
  std::string first = FirstDomain(settings_);
  if (!IsSafeMailboxName(mailbox)) {
    Log(settings_, kLogLevelFailure,
        Format(mail::kLogBadMailbox, (admin + "@" + first).c_str(), mailbox.c_str()));
    // A setting to correct, not a passing failure: keeping the mail on the server would hold
    // up every later message of the account.
    return true;
  }
  std::string head = ReceivedLine(admin, first) + kReportFrom +
                     Format(kReportTo, admin.c_str(), first.c_str()) +
                     Format(kReportDate, FormatMailDate()) + kReportSubject + kReportIntro +
                     Format(kReportAddress, local.c_str(), domain.c_str()) + kReportOriginal;
  return WriteFile(std::string(settings_.system.MailPath) + "/" + mailbox, kMailboxExtension, head,
                   "", "", admin + "@" + first);
}

bool Delivery::User(const USERSTRUCT& user, const std::string& local, const std::string& domain) {
  std::string alias(FieldText(user.Alias));
  std::string user_domain(FieldText(user.Domain));
  std::string user_address = alias + "@" + user_domain;
  std::string mailbox(FieldText(user.Mailbox));
  std::string received = ReceivedLine(local, domain);
  bool stored = false;
  if ((user.Options & kUserRemote) != 0) {
    std::string head = Format(kQueueToText, mailbox.c_str()) +
                       Format(kQueueFromAddress, alias.c_str(), user_domain.c_str()) + received;
    stored = WriteFile(std::string(settings_.system.MailPath) + "/" + kForwardDirectory,
                       kQueueExtension, head, user_address, sender_, local + "@" + domain);
  } else {
    if (mailbox.empty()) mailbox = alias;
    if (IsSafeMailboxName(mailbox)) {
      stored = WriteFile(std::string(settings_.system.MailPath) + "/" + mailbox, kMailboxExtension,
                         received, user_address, sender_, local + "@" + domain);
    } else {
      Log(settings_, kLogLevelFailure,
          Format(mail::kLogBadMailbox, (local + "@" + domain).c_str(), mailbox.c_str()));
      stored = true;  // a record to correct (see ReportUnknown)
    }
  }

  for (const std::string& copy : mail::SplitAddressList(FieldText(user.CopyIncoming))) {
    std::string copy_local, copy_domain;
    SplitAddress(copy, &copy_local, &copy_domain);
    USERSTRUCT other{};
    bool is_user =
        !copy_local.empty() && FindRecord(settings_.system, copy_local, copy_domain, &other) == 0;
    Delivery(settings_, service_, sender_, fd_).Run(copy_local, copy_domain, !is_user);
  }
  if ((user.Options & kUserListManager) != 0 && !lists::ListCommandsInProgress())
    lists::ProcessListCommands(service_, sender_, local + "@" + domain, fd_);
  if ((user.Options & kUserRespond) != 0 && sender_.size() >= 2)
    lists::RunResponder(service_, sender_, user_address, FieldText(user.Responder));
  if ((user.Options & kUserJoinList) != 0 && sender_.size() >= 2)
    lists::JoinList(service_, sender_, FieldText(user.MailingList), "");
  return stored;
}

bool Delivery::Run(std::string local, std::string domain, bool remote) {
  DepthGuard depth;
  if (t_depth > mail::kMaxDeliveryDepth) {
    Log(settings_, kLogLevelFailure,
        Format(mail::kLogDeliveryLoop, (local + "@" + domain).c_str(), mail::kMaxDeliveryDepth));
    return true;  // ended on purpose; the first deliveries of the chain were stored
  }
  bool forced = false;
  std::string classified = domain;
  if (!local.empty() &&
      ClassifyAddress(settings_.system, local, &classified, false) == kAddressRoute) {
    ROUTESTRUCT route{};
    if (FindRouteByAddress(settings_.system, local, domain, &route) == 0) {
      std::string destination(FieldText(route.Destination));
      switch (route.Type) {
        case kRouteToMail:
          SplitAddress(destination, &local, &domain);
          break;
        case kRouteToDomain:
          domain = destination;
          break;
        case kRouteToHost:
          if (!EqualsNoCase(destination, FieldText(settings_.system.HostName))) {
            domain = "#" + destination;
            forced = true;
          } else {
            domain.clear();
          }
          break;
        default:
          break;
      }
    }
  }
  if (!forced && !local.empty()) {
    LISTSTRUCT list{};
    if (FindRecord(settings_.system, local, domain, &list) == 0) {
      lists::DistributeToList(service_, list, sender_, fd_, t_depth == 1);
      return true;
    }
  }
  USERSTRUCT user{};
  bool is_user =
      !forced && !local.empty() && FindRecord(settings_.system, local, domain, &user) == 0;
  if (!is_user) {
    return remote || forced ? Queue(local, domain) : ReportUnknown(local, domain);
  }
  return User(user, local, domain);
}

}  // namespace

CollectionDelivery::CollectionDelivery(const Settings& settings) : settings_(settings) {
  service_.log_prefix = std::string(kLogPrefixPop3, sizeof kLogPrefixPop3 - 1);
  service_.settings = &settings_;
  service_.deliver = [this](std::string_view entry, std::string_view reverse_path, int fd,
                            bool local, bool) {
    std::string entry_local, entry_domain;
    SplitAddress(EntryAddress(entry), &entry_local, &entry_domain);
    Deliver(entry_local, entry_domain, reverse_path, fd, !local);
  };
}

bool CollectionDelivery::Deliver(std::string_view local, std::string_view domain,
                                 std::string_view sender, int message_fd, bool remote) {
  return Delivery(settings_, service_, sender, message_fd)
      .Run(std::string(local), std::string(domain), remote);
}

int DeliverFetched(const Settings& settings, std::string_view local, std::string_view domain,
                   std::string_view sender, int message_fd, bool remote) {
  CollectionDelivery delivery(settings);
  delivery.Deliver(local, domain, sender, message_fd, remote);
  return 1;
}

}  // namespace qv::pop3
