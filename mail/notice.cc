#include "mail/notice.h"

#include <string>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "mail/delivery.h"
#include "mail/mail_texts.h"

namespace qv::mail {
namespace {

// Appends the stored message from the queue file's current position, unmasked.
bool AppendUnmasked(int queue_fd, std::string* text) {
  return queue_fd >= 0 && ReadUnmasked(queue_fd, [text](std::string_view piece) {
           text->append(piece);
           return true;
         });
}

// The lines of the forwarder's notices (kinds 2 to 6) after the common lines. False for another
// kind or when the message cannot be read.
bool AppendForwardNotice(int kind, std::string_view sender, std::string_view address,
                         std::string_view text, int queue_fd, std::string* notice) {
  std::string from = sender.empty() ? std::string("<>") : std::string(sender);
  std::string to(address);
  switch (kind) {
    case kNoticeExpired:
      *notice += kNoticeUnreachableSubject;
      *notice += Format(kNoticeUndeliverableLine, from.c_str(), to.c_str());
      return true;
    case kNoticeExpiredWithMessage:
      *notice += kNoticeUnreachableSubject;
      *notice += kNoticeUndeliverableIntro;
      return AppendUnmasked(queue_fd, notice);
    case kNoticeProblems:
    case kNoticeProblemsWithMessage:
      *notice += kNoticeProblemsSubject;
      *notice += kReportIntro;
      *notice += Format(kReportRecipients, to.c_str());
      *notice += text;
      return kind == kNoticeProblems || AppendUnmasked(queue_fd, notice);
    case kNoticeLoginRefused: {
      std::string reply(text);
      while (!reply.empty() && (reply.back() == '\r' || reply.back() == '\n')) reply.pop_back();
      *notice += kNoticeLoginSubject;
      *notice += Format(kNoticeLoginBody, to.c_str(), std::string(sender).c_str(), reply.c_str());
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

bool WriteAdminNotice(const MailService& service, int kind, std::string_view sender,
                      std::string_view address, std::string_view text, int queue_fd) {
  const SYSTEMSTRUCT& system = service.system();
  std::string mailbox = system.AdministratorMailBox;
  std::string admin = system.AdministratorName;
  std::string domain = PrimaryDomain(system);
  if (!IsSafeMailboxName(mailbox)) {
    WriteLog(system, kLogLevelFailure, 0, kLogEvent,
             Format(kLogBadMailbox, (admin + "@" + domain).c_str(), mailbox.c_str()),
             service.log_prefix);
    return false;
  }
  std::string date = FormatMailDate();
  std::string notice = ReceivedLine(system, admin, domain, date);
  notice += kNoticeFrom;
  notice += Format(kNoticeTo, admin.c_str(), domain.c_str());
  notice += Format(kNoticeDate, date.c_str());
  std::string from = sender.empty() ? std::string("<>") : std::string(sender);
  switch (kind) {
    case kNoticeUnknownUser:
      notice += kNoticeUnknownSubject;
      notice += kNoticeUnknownBody;
      notice += Format(kNoticeUnknownLines, from.c_str(), std::string(address).c_str());
      break;
    default:
      if (!AppendForwardNotice(kind, sender, address, text, queue_fd, &notice)) return false;
      break;
  }
  std::string directory = std::string(system.MailPath) + "/" + mailbox;
  if (WriteMessageFile(directory, kMailboxExtension, notice) != 0) {
    WriteLog(system, kLogLevelFailure, 0, kLogEvent,
             Format(kLogCannotStore, (admin + "@" + domain).c_str()), service.log_prefix);
    return false;
  }
  return true;
}

}  // namespace qv::mail
