// The rules of fetched mail (DeliveryRules::kFetched): one address per delivery, with routes
// applied, mailing lists, the users' options on every delivery (copies, list manager,
// responder, list join), and the unknown local recipients of a message reported to the
// administrator's mailbox in one notice with the message attached.
#include "mail/fetched_delivery.h"

#include <string>
#include <utility>
#include <vector>

#include "common/address.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "mail/delivery_rules.h"
#include "mail/lists.h"
#include "mail/mail_texts.h"
#include "mail/mail_util.h"
#include "mail/responder.h"

namespace qv::mail::rules {
namespace {

class FetchedDelivery {
 public:
  FetchedDelivery(const MailService& service, std::string_view sender, int fd, bool replying)
      : service_(service),
        system_(service.system()),
        sender_(sender),
        fd_(fd),
        replying_(replying) {}

  // Delivers to `local`@`domain` at `depth`. False when the file for the address could not be
  // written.
  bool Run(std::string local, std::string domain, bool remote, int depth);

  // From now on unknown recipients are gathered into `unknown` (local part and domain) instead
  // of being reported one by one; Report then writes one notice for all of them.
  void GatherUnknown(std::vector<std::pair<std::string, std::string>>* unknown) {
    unknown_ = unknown;
  }
  bool Report(const std::vector<std::pair<std::string, std::string>>& addresses);

 private:
  void Log(int level, const std::string& text) const {
    WriteLog(system_, level, 0, kLogEvent, text, service_.log_prefix);
  }
  std::string MailPath(const std::string& folder) const {
    return std::string(system_.MailPath) + "/" + folder;
  }
  // What list code reached from here delivers with: the chain goes on.
  DeliveryPolicy ListPolicy(int depth) const {
    DeliveryPolicy policy;
    policy.depth = depth;
    policy.replying = replying_;
    return policy;
  }
  bool Queue(const std::string& local, const std::string& domain);
  bool ReportUnknown(const std::string& local, const std::string& domain);
  bool User(const USERSTRUCT& user, const std::string& local, const std::string& domain, int depth);

  const MailService& service_;
  const SYSTEMSTRUCT& system_;
  std::string sender_;
  int fd_;
  bool replying_;
  std::vector<std::pair<std::string, std::string>>* unknown_ = nullptr;
};

bool FetchedDelivery::Queue(const std::string& local, const std::string& domain) {
  std::string address = local + "@" + domain;
  std::string head =
      Format(kFetchedQueueToAddress, local.c_str(), domain.c_str()) +
      Format(kFetchedQueueFromAddress, system_.AdministratorName, PrimaryDomain(system_).c_str()) +
      ReceivedLine(system_, local, domain);
  return WriteMessageFile(service_, MailPath(kForwardDirectory), kQueueExtension, head, fd_,
                          address, "", address);
}

bool FetchedDelivery::ReportUnknown(const std::string& local, const std::string& domain) {
  if (unknown_ != nullptr) {
    unknown_->emplace_back(local, domain);
    return true;
  }
  return Report({{local, domain}});
}

bool FetchedDelivery::Report(const std::vector<std::pair<std::string, std::string>>& addresses) {
  std::string mailbox(FieldText(system_.AdministratorMailBox));
  std::string admin(FieldText(system_.AdministratorName));
  std::string first = PrimaryDomain(system_);
  if (!IsSafeMailboxName(mailbox)) {
    Log(kLogLevelFailure, Format(kLogBadMailbox, (admin + "@" + first).c_str(), mailbox.c_str()));
    // A setting to correct, not a passing failure: keeping the mail on the server would hold
    // up every later message of the account.
    return true;
  }
  std::string head = ReceivedLine(system_, admin, first) + kNoticeFrom +
                     Format(kNoticeTo, admin.c_str(), first.c_str()) +
                     Format(kNoticeDate, FormatMailDate()) + kNoticeUnknownSubject +
                     kUnknownReportIntro;
  // One line per address; the blank line that follows an address comes after the last only.
  for (size_t i = 0; i < addresses.size(); ++i) {
    std::string line =
        Format(kUnknownReportAddress, addresses[i].first.c_str(), addresses[i].second.c_str());
    if (i + 1 < addresses.size() && line.size() >= 4 && line.ends_with("\r\n\r\n"))
      line.resize(line.size() - 2);
    head += line;
  }
  head += kUnknownReportOriginal;
  return WriteMessageFile(service_, MailPath(mailbox), kMailboxExtension, head, fd_, "", "",
                          admin + "@" + first);
}

bool FetchedDelivery::User(const USERSTRUCT& user, const std::string& local,
                           const std::string& domain, int depth) {
  std::string alias(FieldText(user.Alias));
  std::string user_domain(FieldText(user.Domain));
  std::string user_address = alias + "@" + user_domain;
  std::string mailbox(FieldText(user.Mailbox));
  std::string received = ReceivedLine(system_, local, domain);
  bool stored = false;
  if ((user.Options & kUserRemote) != 0) {
    std::string head = Format(kFetchedQueueToText, mailbox.c_str()) +
                       Format(kFetchedQueueFromAddress, alias.c_str(), user_domain.c_str()) +
                       received;
    stored = WriteMessageFile(service_, MailPath(kForwardDirectory), kQueueExtension, head, fd_,
                              user_address, sender_, local + "@" + domain);
  } else {
    if (mailbox.empty()) mailbox = alias;
    if (IsSafeMailboxName(mailbox)) {
      stored = WriteMessageFile(service_, MailPath(mailbox), kMailboxExtension, received, fd_,
                                user_address, sender_, local + "@" + domain);
    } else {
      Log(kLogLevelFailure,
          Format(kLogBadMailbox, (local + "@" + domain).c_str(), mailbox.c_str()));
      stored = true;  // a record to correct (see ReportUnknown)
    }
  }

  for (const std::string& copy : SplitAddressList(FieldText(user.CopyIncoming))) {
    std::string copy_local, copy_domain;
    SplitAddress(copy, &copy_local, &copy_domain);
    USERSTRUCT other{};
    bool is_user = !copy_local.empty() && FindRecord(system_, copy_local, copy_domain, &other) == 0;
    Run(copy_local, copy_domain, !is_user, depth + 1);
  }
  if ((user.Options & kUserListManager) != 0 && !replying_)
    lists::ProcessListCommands(service_, sender_, local + "@" + domain, fd_, ListPolicy(depth));
  if ((user.Options & kUserRespond) != 0 && sender_.size() >= 2)
    lists::RunResponder(service_, sender_, user_address, FieldText(user.Responder));
  if ((user.Options & kUserJoinList) != 0 && sender_.size() >= 2)
    lists::JoinList(service_, sender_, FieldText(user.MailingList), "", ListPolicy(depth));
  return stored;
}

bool FetchedDelivery::Run(std::string local, std::string domain, bool remote, int depth) {
  if (!WithinDepth(service_, depth, local + "@" + domain))
    return true;  // ended on purpose; the first deliveries of the chain were stored
  bool forced = false;
  std::string classified = domain;
  if (!local.empty() && ClassifyAddress(system_, local, &classified, false) == kAddressRoute) {
    ROUTESTRUCT route{};
    if (FindRouteByAddress(system_, local, domain, &route) == 0) {
      std::string destination(FieldText(route.Destination));
      switch (route.Type) {
        case kRouteToMail:
          SplitAddress(destination, &local, &domain);
          break;
        case kRouteToDomain:
          domain = destination;
          break;
        case kRouteToHost:
          if (!EqualsNoCase(destination, FieldText(system_.HostName))) {
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
    if (FindRecord(system_, local, domain, &list) == 0) {
      lists::DistributeToList(service_, list, sender_, fd_, depth == 1, ListPolicy(depth));
      return true;
    }
  }
  USERSTRUCT user{};
  bool is_user = !forced && !local.empty() && FindRecord(system_, local, domain, &user) == 0;
  if (!is_user) return remote || forced ? Queue(local, domain) : ReportUnknown(local, domain);
  return User(user, local, domain, depth);
}

}  // namespace

bool DeliverFetched(const MailService& service, const Recipient& recipient,
                    std::string_view reverse_path, int spool_fd, int depth, bool replying) {
  std::string local, domain;
  SplitAddress(recipient.address, &local, &domain);
  return FetchedDelivery(service, reverse_path, spool_fd, replying)
      .Run(local, domain, !recipient.local(), depth);
}

}  // namespace qv::mail::rules

namespace qv::mail {

bool DeliverFetchedMessage(const MailService& service, const std::vector<std::string>& addresses,
                           std::string_view reverse_path, int spool_fd) {
  rules::FetchedDelivery delivery(service, reverse_path, spool_fd, false);
  std::vector<std::pair<std::string, std::string>> unknown;
  delivery.GatherUnknown(&unknown);
  bool stored = true;
  if (addresses.empty()) stored = delivery.Run("", "", false, 1);
  for (const std::string& address : addresses) {
    std::string local, domain;
    SplitAddress(address, &local, &domain);
    if (!delivery.Run(local, domain, false, 1)) stored = false;
  }
  if (!unknown.empty() && !delivery.Report(unknown)) stored = false;
  return stored;
}

}  // namespace qv::mail
