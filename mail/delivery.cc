#include "mail/delivery.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "common/address.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/program.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "common/version.h"
#include "mail/delivery_rules.h"
#include "mail/lists.h"
#include "mail/mail_texts.h"
#include "mail/mail_util.h"
#include "mail/notice.h"
#include "mail/parallel.h"
#include "mail/responder.h"
#include "platform/fileio.h"

namespace qv::mail {
namespace {

constexpr size_t kHeaderWindow = 2048;
// End lines in the body are blanked block by block, in blocks of this size from the body's start
// (as stored files always had it); the body is read many blocks at a time.
constexpr size_t kBodyBlock = 2048;
constexpr size_t kBodyRead = 32 * kBodyBlock;

// The given address of a recipient, split and joined again as the Received line names it.
std::string Given(const Recipient& recipient) {
  std::string local, domain;
  SplitAddress(recipient.for_address(), &local, &domain);
  return local + "@" + domain;
}

// Up to `limit` bytes of a file of `size` bytes from `offset` (fewer at its end).
bool ReadPiece(int fd, uint64_t size, uint64_t offset, size_t limit, std::string* out) {
  size_t n = offset < size ? static_cast<size_t>(std::min<uint64_t>(limit, size - offset)) : 0;
  out->resize(n);
  return n == 0 || platform::ReadAt(fd, out->data(), n, static_cast<int64_t>(offset));
}

// The rules of received mail for the recipients of one call of Deliver.
class Delivery {
 public:
  Delivery(const MailService& service, std::string_view reverse_path, int spool_fd,
           const DeliveryPolicy& policy, DeliveryReport* report)
      : service_(service),
        reverse_path_(reverse_path),
        spool_fd_(spool_fd),
        policy_(policy),
        report_(report) {}

  void Run(const std::vector<Recipient>& recipients);

 private:
  void User(const Recipient& recipient);
  void List(const Recipient& recipient);
  void Command(const Recipient& recipient);
  void Account(const Recipient& recipient);
  void CopiesOfOutgoing(const Recipient& recipient);
  // Delivers one derived recipient, not at top level.
  void Derived(const Recipient& recipient);
  void MailboxMessage(const std::string& mailbox, const Recipient& recipient);
  void QueueMessage(const Recipient& recipient);
  // Writes one message file into `directory`: `envelope` (the queue's recipient and sender
  // lines, or nothing), the Received line and the stored message; reports a failure.
  void WriteMessage(const std::string& directory, const char* extension, const Recipient& recipient,
                    const std::string& envelope);
  // What list code reached from here delivers with: a chain of its own.
  DeliveryPolicy ListPolicy() const {
    DeliveryPolicy policy;
    policy.replying = policy_.replying;
    return policy;
  }
  void Log(int level, const std::string& text) const {
    WriteLog(service_.system(), level, 0, kLogEvent, text, service_.log_prefix);
  }

  const MailService& service_;
  std::string reverse_path_;
  int spool_fd_;
  DeliveryPolicy policy_;
  DeliveryReport* report_;
};

void Delivery::Run(const std::vector<Recipient>& recipients) {
  // Queued recipients of which none holds an address go nowhere.
  const bool queue = std::any_of(recipients.begin(), recipients.end(), [](const Recipient& r) {
    return !r.local() &&
           (r.address.find('@') != std::string::npos || r.given.find('@') != std::string::npos);
  });
  const Recipient* last_queued = nullptr;
  for (const Recipient& recipient : recipients) {
    switch (recipient.kind) {
      case RecipientKind::kUser:
        User(recipient);
        break;
      case RecipientKind::kList:
        List(recipient);
        break;
      case RecipientKind::kCommand:
        Command(recipient);
        break;
      case RecipientKind::kAccount:
        Account(recipient);
        break;
      case RecipientKind::kForward:
        if (!queue) break;
        QueueMessage(recipient);
        last_queued = &recipient;
        break;
    }
  }
  if (policy_.top_level && last_queued != nullptr) CopiesOfOutgoing(*last_queued);
}

void Delivery::Derived(const Recipient& recipient) {
  DeliveryPolicy derived = policy_;
  derived.top_level = false;
  derived.depth = policy_.depth + 1;
  derived.separately = false;
  derived.parallel = 1;
  if (!rules::WithinDepth(service_, derived.depth, RecipientText(recipient))) return;
  Delivery(service_, reverse_path_, spool_fd_, derived, report_).Run({recipient});
}

void Delivery::QueueMessage(const Recipient& recipient) {
  WriteMessage(std::string(service_.system().MailPath) + "/" + kForwardDirectory, kQueueExtension,
               recipient, kQueueTo + recipient.address + kQueueFrom + reverse_path_ + "\r\n");
}

void Delivery::WriteMessage(const std::string& directory, const char* extension,
                            const Recipient& recipient, const std::string& envelope) {
  std::string local, domain;
  SplitAddress(recipient.for_address(), &local, &domain);
  if (!rules::WriteMessageFile(service_, directory, extension,
                               envelope + ReceivedLine(service_.system(), local, domain), spool_fd_,
                               recipient.address, reverse_path_, recipient.address) &&
      report_ != nullptr)
    ++report_->failures;
}

void Delivery::User(const Recipient& recipient) {
  std::string local, domain;
  SplitAddress(recipient.address, &local, &domain);
  const std::string given = Given(recipient);
  USERSTRUCT user{};
  if (local.empty() || FindRecord(service_.system(), local, domain, &user) != 0) {
    const SMTPSTRUCT& smtp = service_.smtp();
    if ((smtp.Flags & kSmtpForwardUnknown) == 0) {
      if ((smtp.Flags & kSmtpNotifyUnknown) != 0)
        WriteAdminNotice(service_, kNoticeUnknownUser, reverse_path_, given, "", -1);
      return;
    }
    for (const std::string& target : SplitAddressList(smtp.ForwardUnknown))
      Derived(ResolveTarget(service_.system(), target, given,
                            (smtp.Flags & kSmtpSearchUnknown) != 0, false));
    return;
  }

  std::string user_address = Str(user.Alias) + "@" + Str(user.Domain);
  if ((user.Options & kUserListManager) != 0 && !policy_.replying)
    lists::ProcessListCommands(service_, reverse_path_, user_address, spool_fd_, ListPolicy());

  if ((user.Options & kUserRemote) == 0) {
    std::string mailbox = Str(user.Mailbox);
    if (mailbox.empty()) mailbox = local;
    MailboxMessage(mailbox, recipient);
  } else {
    std::string target = Str(user.Mailbox);
    USERSTRUCT other{};
    if (FindUserByAddress(service_.system(), target, &other)) {
      Derived({RecipientKind::kUser, Str(other.Alias) + "@" + Str(other.Domain), given});
    } else {
      Derived({RecipientKind::kForward, target, given});
    }
  }

  if (!policy_.top_level) return;
  for (const std::string& copy : SplitAddressList(Str(user.CopyIncoming)))
    Derived(ResolveCopy(service_.system(), copy, given));
  if ((user.Options & kUserRespond) != 0 && reverse_path_.size() >= 2)
    lists::RunResponder(service_, reverse_path_, user_address, Str(user.Responder), spool_fd_);
  if ((user.Options & kUserJoinList) != 0 && reverse_path_.size() >= 2)
    lists::JoinList(service_, reverse_path_, Str(user.MailingList), "", ListPolicy());
  CopiesOfOutgoing(recipient);
}

void Delivery::CopiesOfOutgoing(const Recipient& recipient) {
  USERSTRUCT sender{};
  if (reverse_path_.empty() || !FindUserByAddress(service_.system(), reverse_path_, &sender))
    return;
  for (const std::string& copy : SplitAddressList(Str(sender.CopyOutgoing)))
    Derived(ResolveCopy(service_.system(), copy, Given(recipient)));
}

void Delivery::List(const Recipient& recipient) {
  std::string local, domain;
  SplitAddress(recipient.address, &local, &domain);
  LISTSTRUCT list{};
  if (local.empty() || FindRecord(service_.system(), local, domain, &list) != 0) return;
  lists::DistributeToList(service_, list, reverse_path_, spool_fd_, policy_.top_level,
                          ListPolicy());
}

void Delivery::Command(const Recipient& recipient) {
  std::string local, domain;
  SplitAddress(recipient.address, &local, &domain);
  EXECSTRUCT command{};
  if (local.empty() || FindRecord(service_.system(), local, domain, &command) != 0) return;
  std::string description = Str(command.Description);
  Log(kLogLevelMail, Format(kLogPerforming, description.c_str()));
  if (command.Application[0] == '\0') {
    Log(kLogLevelFailure, Format(kLogInvalidFilename, description.c_str()));
    return;
  }
  // The program reads the spool file through this process's open descriptor of it.
  bool started = ExpandCommandLine(CommandFieldsOf(command),
                                   "/proc/self/fd/" + std::to_string(spool_fd_)) != 0;
  Log(kLogLevelFailure, Format(started ? kLogExecuted : kLogNotFound, description.c_str()));
}

void Delivery::Account(const Recipient& recipient) {
  std::string local, domain;
  SplitAddress(recipient.address, &local, &domain);
  MailboxMessage(local, recipient);
}

void Delivery::MailboxMessage(const std::string& mailbox, const Recipient& recipient) {
  if (!IsSafeMailboxName(mailbox)) {
    Log(kLogLevelFailure, Format(kLogBadMailbox, recipient.address.c_str(), mailbox.c_str()));
    return;
  }
  WriteMessage(std::string(service_.system().MailPath) + "/" + mailbox, kMailboxExtension,
               recipient, "");
}

// One part of a call of Deliver: a single recipient when they are delivered separately, else
// all of them.
void DeliverPart(const MailService& service, const std::vector<Recipient>& recipients,
                 std::string_view reverse_path, int spool_fd, const DeliveryPolicy& policy,
                 DeliveryReport* report) {
  if (service.rules == DeliveryRules::kFetched) {
    for (const Recipient& recipient : recipients) {
      if (!rules::DeliverFetched(service, recipient, reverse_path, spool_fd, policy.depth + 1,
                                 policy.replying) &&
          report != nullptr)
        ++report->failures;
    }
    return;
  }
  Delivery(service, reverse_path, spool_fd, policy, report).Run(recipients);
}

}  // namespace

namespace rules {

bool WriteMessageFile(const MailService& service, const std::string& directory,
                      std::string_view extension, const std::string& head, int spool_fd,
                      std::string_view to_address, std::string_view reverse_path,
                      const std::string& who) {
  MessageFileWriter writer;
  bool ok =
      writer.Open(directory, extension) == 0 && writer.Write(head) == 0 &&
      CopyMessage(spool_fd, to_address, reverse_path, NextMessageStem(), service.system().HostName,
                  [&](std::string_view text) { return writer.Write(text) == 0; }) &&
      writer.Commit() == 0;
  if (!ok) {
    writer.Abandon();
    WriteLog(service.system(), kLogLevelFailure, 0, kLogEvent, Format(kLogCannotStore, who.c_str()),
             service.log_prefix);
  }
  return ok;
}

bool WithinDepth(const MailService& service, int depth, const std::string& what) {
  if (depth <= kMaxDeliveryDepth) return true;
  WriteLog(service.system(), kLogLevelFailure, 0, kLogEvent,
           Format(kLogDeliveryLoop, what.c_str(), kMaxDeliveryDepth), service.log_prefix);
  return false;
}

}  // namespace rules

void Deliver(const MailService& service, const std::vector<Recipient>& recipients,
             std::string_view reverse_path, int spool_fd, const DeliveryPolicy& policy,
             DeliveryReport* report) {
  if (!policy.separately) {
    DeliverPart(service, recipients, reverse_path, spool_fd, policy, report);
    return;
  }
  std::mutex mutex;
  RunBounded(recipients.size(), policy.parallel, [&](size_t i) {
    DeliveryReport part;
    DeliverPart(service, {recipients[i]}, reverse_path, spool_fd, policy, &part);
    if (report == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex);
    report->failures += part.failures;
  });
}

MailService FetchedMailService(const Settings& settings) {
  MailService service;
  service.settings = &settings;
  service.log_prefix = std::string(kLogPrefixPop3, sizeof kLogPrefixPop3 - 1);
  service.rules = DeliveryRules::kFetched;
  return service;
}

Recipient FetchedRecipient(std::string_view local, std::string_view domain, bool remote) {
  return Recipient{remote ? RecipientKind::kForward : RecipientKind::kUser,
                   std::string(local) + "@" + std::string(domain), ""};
}

std::string ReceivedLine(const SYSTEMSTRUCT& system, std::string_view local,
                         std::string_view domain, std::string_view date) {
  std::string when = date.empty() ? FormatMailDate() : std::string(date);
  return Format(kReceivedLine, system.HostName, kServerVersion, kInstallationText,
                std::string(local).c_str(), std::string(domain).c_str(), when.c_str());
}

bool CopyMessage(int spool_fd, std::string_view to_address, std::string_view reverse_path,
                 std::string_view message_id_base, std::string_view host_name,
                 const std::function<bool(std::string_view)>& write) {
  const int64_t file_size = platform::FileSizeOf(spool_fd);
  if (file_size < 0) return false;
  const uint64_t size = static_cast<uint64_t>(file_size);

  std::string head;
  if (!ReadPiece(spool_fd, size, 0, kHeaderWindow, &head)) return false;
  uint64_t body_from = 0;
  bool has_date = false, has_from = false, has_to = false, has_id = false;
  size_t header_end = head.find("\r\n\r\n");
  if (header_end != std::string::npos) {
    std::string_view header(head.data(), header_end);
    size_t pos = 0;
    while (pos <= header.size()) {
      size_t end = header.find("\r\n", pos);
      if (end == std::string_view::npos) end = header.size();
      std::string_view line = header.substr(pos, end - pos);
      if (line.empty()) break;
      has_date = has_date || StartsWithNoCase(line, "Date:");
      has_from = has_from || StartsWithNoCase(line, "From:");
      has_to = has_to || StartsWithNoCase(line, "To:");
      has_id = has_id || StartsWithNoCase(line, "Message-Id:");
      if (!write(line) || !write("\r\n")) return false;
      pos = end + 2;
    }
    // The body starts with the empty line that ends the header.
    body_from = header_end + 2;
  }

  std::string added;
  if (!has_date) added += Format(kAddedDate, FormatMailDate());
  if (!has_from) {
    std::string from = reverse_path.empty() ? std::string("<>") : std::string(reverse_path);
    added += Format(kAddedFrom, from.c_str());
  }
  if (!has_to) added += Format(kAddedTo, std::string(to_address).c_str());
  if (!has_id)
    added += Format(kAddedMessageId, std::string(message_id_base).c_str(),
                    std::string(host_name).c_str());
  if (!added.empty() && !write(added)) return false;

  std::string piece;
  for (uint64_t offset = body_from; offset < size; offset += kBodyRead) {
    if (!ReadPiece(spool_fd, size, offset, kBodyRead, &piece)) return false;
    if (piece.empty()) break;
    // A stored end line would end the message early when it is sent on: blank out its dot.
    for (size_t from = 0; from < piece.size(); from += kBodyBlock) {
      std::string_view block(piece.data() + from, std::min(kBodyBlock, piece.size() - from));
      for (size_t at = block.find("\r\n.\r\n"); at != std::string_view::npos;
           at = block.find("\r\n.\r\n", at + 1))
        piece[from + at + 2] = ' ';
    }
    if (!write(piece)) return false;
  }
  return true;
}

}  // namespace qv::mail
