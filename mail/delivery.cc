#include "mail/delivery.h"

#include <algorithm>
#include <ctime>
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
#include "mail/lists.h"
#include "mail/mail_texts.h"
#include "mail/mail_util.h"
#include "mail/notice.h"
#include "mail/responder.h"
#include "platform/fileio.h"

namespace qv::mail {
namespace {

constexpr size_t kHeaderWindow = 2048;
// End lines in the body are blanked block by block, in blocks of this size from the body's start
// (as stored files always had it); the body is read many blocks at a time.
constexpr size_t kBodyBlock = 2048;
constexpr size_t kBodyRead = 32 * kBodyBlock;

// One recipient entry: tag, delivery address (up to "!"), and the given recipient (after "!",
// or the address itself).
struct Entry {
  std::string tag;
  std::string address;
  std::string given_local;
  std::string given_domain;
};

Entry ParseEntry(std::string_view text) {
  Entry entry;
  if (!text.empty() && text[0] == '[') {
    entry.tag = std::string(text.substr(0, 3));
    text.remove_prefix(entry.tag.size());
  }
  size_t bang = text.find('!');
  entry.address = std::string(text.substr(0, bang));
  std::string_view given = bang == std::string_view::npos ? text : text.substr(bang + 1);
  SplitAddress(given, &entry.given_local, &entry.given_domain);
  return entry;
}

std::string Given(const Entry& entry) {
  return entry.given_local + "@" + entry.given_domain;
}

// Up to `limit` bytes of a file of `size` bytes from `offset` (fewer at its end).
bool ReadPiece(int fd, uint64_t size, uint64_t offset, size_t limit, std::string* out) {
  size_t n = offset < size ? static_cast<size_t>(std::min<uint64_t>(limit, size - offset)) : 0;
  out->resize(n);
  return n == 0 || platform::ReadAt(fd, out->data(), n, static_cast<int64_t>(offset));
}

std::string ReceivedLine(const SYSTEMSTRUCT& system, const Entry& entry) {
  return Format(kReceivedLine, system.HostName, kServerVersion, kInstallationText,
                entry.given_local.c_str(), entry.given_domain.c_str(), FormatMailDate());
}

class Delivery {
 public:
  Delivery(const MailService& service, std::string_view reverse_path, int spool_fd, int depth,
           DeliveryReport* report)
      : service_(service),
        reverse_path_(reverse_path),
        spool_fd_(spool_fd),
        depth_(depth),
        report_(report) {}

  bool Forward(std::string_view list, bool top_level);
  void Local(std::string_view list, bool top_level);

 private:
  void User(const Entry& entry, bool top_level);
  void List(const Entry& entry, bool top_level);
  void Command(const Entry& entry);
  void Account(const Entry& entry);
  void CopiesOfOutgoing(const Entry& entry);
  // Delivers one derived entry, not at top level.
  void Derived(const std::string& entry, bool local);
  void MailboxMessage(const std::string& mailbox, const Entry& entry);
  void QueueMessage(const Entry& entry);
  // Writes one message file into `directory`: `envelope` (the queue's recipient and sender
  // lines, or nothing), the Received line and the stored message; reports a failure.
  void WriteMessage(const std::string& directory, const char* extension, const Entry& entry,
                    const std::string& envelope);
  void Failed(const std::string& address);
  void Log(int level, const std::string& text) const {
    WriteLog(service_.system(), level, 0, kLogEvent, text, service_.log_prefix);
  }

  const MailService& service_;
  std::string reverse_path_;
  int spool_fd_;
  int depth_;
  DeliveryReport* report_;
};

void Delivery::Failed(const std::string& address) {
  if (report_ != nullptr) ++report_->failures;
  Log(kLogLevelFailure, Format(kLogCannotStore, address.c_str()));
}

void Delivery::Derived(const std::string& entry, bool local) {
  if (depth_ + 1 > kMaxDeliveryDepth) {
    Log(kLogLevelFailure, Format(kLogDeliveryLoop, entry.c_str(), kMaxDeliveryDepth));
    return;
  }
  Delivery derived(service_, reverse_path_, spool_fd_, depth_ + 1, report_);
  if (local) {
    derived.Local(entry, false);
  } else {
    derived.Forward(entry, false);
  }
}

bool Delivery::Forward(std::string_view list, bool top_level) {
  if (list.find('@') == std::string_view::npos) return false;
  Entry last;
  bool any = false;
  size_t pos = 0;
  while (pos < list.size()) {
    while (pos < list.size() && list[pos] == ' ') ++pos;
    size_t end = list.find(' ', pos);
    if (end == std::string_view::npos) end = list.size();
    if (end > pos) {
      Entry entry = ParseEntry(list.substr(pos, end - pos));
      entry.tag.clear();
      QueueMessage(entry);
      last = entry;
      any = true;
    }
    pos = end;
  }
  if (top_level && any) CopiesOfOutgoing(last);
  return true;
}

void Delivery::QueueMessage(const Entry& entry) {
  WriteMessage(std::string(service_.system().MailPath) + "/" + kForwardDirectory, kQueueExtension,
               entry, kQueueTo + entry.address + kQueueFrom + reverse_path_ + "\r\n");
}

void Delivery::WriteMessage(const std::string& directory, const char* extension,
                            const Entry& entry, const std::string& envelope) {
  MessageFileWriter writer;
  bool ok = writer.Open(directory, extension) == 0 &&
            (envelope.empty() || writer.Write(envelope) == 0) &&
            writer.Write(ReceivedLine(service_.system(), entry)) == 0 &&
            CopyMessage(spool_fd_, entry.address, reverse_path_, NextMessageIdBase(),
                        service_.system().HostName,
                        [&](std::string_view text) { return writer.Write(text) == 0; }) &&
            writer.Commit() == 0;
  if (!ok) {
    writer.Abandon();
    Failed(entry.address);
  }
}

void Delivery::Local(std::string_view list, bool top_level) {
  size_t pos = 0;
  while (pos < list.size()) {
    while (pos < list.size() && (list[pos] == ' ' || list[pos] == ';')) ++pos;
    size_t end = list.find_first_of(" ;", pos);
    if (end == std::string_view::npos) end = list.size();
    if (end > pos) {
      Entry entry = ParseEntry(list.substr(pos, end - pos));
      if (entry.tag.empty() || EqualsNoCase(entry.tag, "[U]")) {
        User(entry, top_level);
      } else if (EqualsNoCase(entry.tag, "[L]")) {
        List(entry, top_level);
      } else if (EqualsNoCase(entry.tag, "[X]")) {
        Command(entry);
      } else if (EqualsNoCase(entry.tag, "[N]")) {
        Account(entry);
      }
    }
    pos = end;
  }
}

void Delivery::User(const Entry& entry, bool top_level) {
  std::string local, domain;
  SplitAddress(entry.address, &local, &domain);
  USERSTRUCT user{};
  if (local.empty() || FindRecord(service_.system(), local, domain, &user) != 0) {
    const SMTPSTRUCT& smtp = service_.smtp();
    if ((smtp.Flags & kSmtpForwardUnknown) == 0) {
      if ((smtp.Flags & kSmtpNotifyUnknown) != 0)
        WriteAdminNotice(service_, kNoticeUnknownUser, reverse_path_, Given(entry), "", -1);
      return;
    }
    for (const std::string& target : SplitAddressList(smtp.ForwardUnknown)) {
      std::string target_local, target_domain;
      SplitAddress(target, &target_local, &target_domain);
      int kind = ClassifyAddress(service_.system(), target_local, &target_domain,
                                 (smtp.Flags & kSmtpSearchUnknown) != 0);
      const char* tag = kind == kAddressUser      ? "[U]"
                        : kind == kAddressList    ? "[L]"
                        : kind == kAddressCommand ? "[X]"
                                                  : nullptr;
      if (tag != nullptr) {
        Derived(tag + target + "!" + Given(entry), true);
      } else {
        Derived(target + "!" + Given(entry), false);
      }
    }
    return;
  }

  std::string user_address = Str(user.Alias) + "@" + Str(user.Domain);
  if ((user.Options & kUserListManager) != 0 && !lists::ListCommandsInProgress())
    lists::ProcessListCommands(service_, reverse_path_, user_address, spool_fd_);

  if ((user.Options & kUserRemote) == 0) {
    std::string mailbox = Str(user.Mailbox);
    if (mailbox.empty()) mailbox = local;
    MailboxMessage(mailbox, entry);
  } else {
    std::string target = Str(user.Mailbox);
    USERSTRUCT other{};
    if (FindUserByAddress(service_.system(), target, &other)) {
      Derived("[U]" + Str(other.Alias) + "@" + Str(other.Domain) + "!" + Given(entry), true);
    } else {
      Derived(target + "!" + Given(entry), false);
    }
  }

  if (!top_level) return;
  for (const std::string& copy : SplitAddressList(Str(user.CopyIncoming))) {
    USERSTRUCT other{};
    if (FindUserByAddress(service_.system(), copy, &other)) {
      Derived("[U]" + copy + "!" + Given(entry), true);
    } else {
      Derived(copy + "!" + Given(entry), false);
    }
  }
  if ((user.Options & kUserRespond) != 0 && reverse_path_.size() >= 2)
    lists::RunResponder(service_, reverse_path_, user_address, Str(user.Responder), spool_fd_);
  if ((user.Options & kUserJoinList) != 0 && reverse_path_.size() >= 2)
    lists::JoinList(service_, reverse_path_, Str(user.MailingList), "");
  CopiesOfOutgoing(entry);
}

void Delivery::CopiesOfOutgoing(const Entry& entry) {
  USERSTRUCT sender{};
  if (reverse_path_.empty() || !FindUserByAddress(service_.system(), reverse_path_, &sender))
    return;
  for (const std::string& copy : SplitAddressList(Str(sender.CopyOutgoing))) {
    USERSTRUCT other{};
    if (FindUserByAddress(service_.system(), copy, &other)) {
      Derived("[U]" + copy + "!" + Given(entry), true);
    } else {
      Derived(copy + "!" + Given(entry), false);
    }
  }
}

void Delivery::List(const Entry& entry, bool top_level) {
  std::string local, domain;
  SplitAddress(entry.address, &local, &domain);
  LISTSTRUCT list{};
  if (local.empty() || FindRecord(service_.system(), local, domain, &list) != 0) return;
  lists::DistributeToList(service_, list, reverse_path_, spool_fd_, top_level);
}

void Delivery::Command(const Entry& entry) {
  std::string local, domain;
  SplitAddress(entry.address, &local, &domain);
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

void Delivery::Account(const Entry& entry) {
  std::string local, domain;
  SplitAddress(entry.address, &local, &domain);
  MailboxMessage(local, entry);
}

void Delivery::MailboxMessage(const std::string& mailbox, const Entry& entry) {
  if (!IsSafeMailboxName(mailbox)) {
    Log(kLogLevelFailure, Format(kLogBadMailbox, entry.address.c_str(), mailbox.c_str()));
    return;
  }
  WriteMessage(std::string(service_.system().MailPath) + "/" + mailbox, kMailboxExtension, entry,
               "");
}

}  // namespace

bool DeliverRecipients(const MailService& service, std::string_view list,
                       std::string_view reverse_path, int spool_fd, bool local, bool top_level,
                       DeliveryReport* report) {
  Delivery delivery(service, reverse_path, spool_fd, 0, report);
  if (!local) return delivery.Forward(list, top_level);
  delivery.Local(list, top_level);
  return true;
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

std::string NextMessageIdBase() {
  // Messages are stored on several threads: the storing pool and the forwarder's worker.
  // The counter starts again every second, so that bases stay distinct up to the number of
  // message names a second has.
  static std::mutex mutex;
  static std::time_t second = 0;
  static int next = 0;
  std::time_t now = std::time(nullptr);
  int counter = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (now != second) {
      second = now;
      next = 0;
    }
    counter = next;
    next = (next + 1) % kMessageNamesPerSecond;
  }
  std::tm local{};
  localtime_r(&now, &local);
  return MessageNameStem(local, counter);
}

}  // namespace qv::mail
