#include "smtp/notice.h"

#include <string>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/service_frame.h"
#include "common/tables.h"
#include "smtp/forward.h"
#include "smtp/texts.h"
#include "smtp/util.h"

namespace qv::smtp {

int WriteAdminNotice(int kind, std::string_view sender, std::string_view address,
                     std::string_view text, int queue_fd) {
  std::string mailbox = g_System.AdministratorMailBox;
  std::string admin = g_System.AdministratorName;
  std::string domain = PrimaryDomain();
  if (!IsSafeMailboxName(mailbox)) {
    WriteLog(1, 0, kTagEvent,
             Format(kLogBadMailbox, (admin + "@" + domain).c_str(), mailbox.c_str()), kLogPrefix);
    return -1;
  }
  std::string date = FormatMailDate();
  std::string notice = Format(kReceivedLine, g_System.HostName, kServerVersion, kInstallationText,
                              admin.c_str(), domain.c_str(), date.c_str());
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
      // The forwarder's notices about expired and refused messages.
      if (!AppendForwardNotice(kind, sender, address, text, queue_fd, &notice)) return -1;
      break;
  }
  std::string directory = std::string(g_System.MailPath) + "/" + mailbox;
  if (WriteMessageFile(directory, kMailboxExtension, notice) != 0) {
    WriteLog(1, 0, kTagEvent, Format(kLogCannotStore, (admin + "@" + domain).c_str()), kLogPrefix);
    return -1;
  }
  return 0;
}

}  // namespace qv::smtp
