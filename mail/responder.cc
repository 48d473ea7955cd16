#include "mail/responder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/accounts.h"
#include "common/address.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "mail/delivery.h"
#include "mail/list_texts.h"
#include "mail/list_util.h"
#include "mail/mail_texts.h"
#include "mail/stored_form.h"
#include "platform/unique_fd.h"

namespace qv::lists {
namespace {

constexpr size_t kTextBlock = 255;  // the text file is copied in blocks of this size

// Where the reply goes: a mailbox directory, or the forward queue with an envelope recipient.
struct Destination {
  std::string directory;
  bool queue = false;
  std::string queue_to;  // the envelope recipient of a queued reply
};

// False when the sender's mailbox name cannot be a directory under MailPath.
bool ChooseDestination(const SYSTEMSTRUCT& system, const Address& sender, Destination* out) {
  const std::string mail_path = Str(system.MailPath);
  const std::string queue = mail_path + "/" + kForwardDirectory;
  USERSTRUCT user;
  if (FindRecord(system, sender.local, sender.domain, &user) == 0) {
    if ((user.Options & kUserRemote) != 0) {
      *out = Destination{queue, true, Str(user.Mailbox)};
      return true;
    }
    std::string mailbox = Str(user.Mailbox);
    if (mailbox.empty()) mailbox = sender.local;
    if (!IsSafeMailboxName(mailbox)) return false;
    *out = Destination{mail_path + "/" + mailbox, false, {}};
    return true;
  }
  std::string full_name;
  if ((system.Flags & kSysNtUser) != 0 && EqualsNoCase(sender.domain, FieldText(system.NTDomain)) &&
      NtAccountLookup(system.NTUser, sender.local, &full_name)) {
    if (!IsSafeMailboxName(sender.local)) return false;
    *out = Destination{mail_path + "/" + sender.local, false, {}};
    return true;
  }
  *out = Destination{queue, true, sender.text()};
  return true;
}

// The header of the message file: its text up to the first empty line, at most this much.
constexpr size_t kHeaderLimit = 64 * 1024;

std::string ReadHeader(int fd) {
  std::string header;
  char block[4096];
  while (header.size() < kHeaderLimit) {
    ssize_t got = pread(fd, block, sizeof block, static_cast<off_t>(header.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size_t from = header.size() < 3 ? 0 : header.size() - 3;
    header.append(block, static_cast<size_t>(got));
    size_t end = header.find("\r\n\r\n", from);
    if (end == std::string::npos && header.starts_with("\r\n")) end = 0;
    if (end != std::string::npos) {
      header.resize(end + 2);
      break;
    }
  }
  return header;
}

std::string_view Trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

bool SentAutomatically(std::string_view header) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find('\n', pos);
    if (end == std::string_view::npos) end = header.size();
    std::string_view line = header.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the end of the header
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = Trimmed(line.substr(0, colon));
    std::string_view value = Trimmed(line.substr(colon + 1));
    if (EqualsNoCase(name, "Auto-Submitted")) {
      // "no" may carry comments or parameters after it.
      std::string_view keyword = Trimmed(value.substr(0, value.find_first_of(";( \t")));
      if (!EqualsNoCase(keyword, "no")) return true;
    } else if (EqualsNoCase(name, "Precedence")) {
      if (EqualsNoCase(value, "bulk") || EqualsNoCase(value, "list") || EqualsNoCase(value, "junk"))
        return true;
    } else if (EqualsNoCase(name, "List-Id")) {
      return true;
    }
  }
  return false;
}

void RunResponder(const mail::MailService& service, std::string_view sender,
                  std::string_view responding_address, std::string_view responder_name,
                  int message_fd) {
  const std::string_view log_prefix = service.log_prefix;
  const SYSTEMSTRUCT& system = service.system();
  if (responder_name.empty() || sender.size() < 2) return;
  const std::string name(responder_name);
  AUTOSTRUCT responder;
  if (FindRecord(system, name, &responder) != 0) {
    WriteLog(system, kLogLevelFailure, 0, kLogEvent, Format(kLogNoResponder, name.c_str()),
             log_prefix);
    return;
  }
  AppendFile responder_log;
  if ((responder.Options & kAutoLog) != 0) responder_log.Open(Str(responder.LogFile));

  const Address from = Split(sender);
  const std::string address = from.text();
  if (MatchMaskList(address, FieldText(responder.Exceptions)) == 1) {
    responder_log.Write(Format(kResponderLogException, FormatMailDate(), address.c_str()));
    return;
  }
  // Mail sent by a program (another responder, a list, a delivery report) is never answered:
  // two responders would otherwise answer each other without end.
  if (message_fd >= 0 && SentAutomatically(ReadHeader(message_fd))) {
    WriteLog(system, kLogLevelMail, 0, kLogEvent,
             Format(kLogAutomaticMessage, name.c_str(), from.local.c_str(), from.domain.c_str()),
             log_prefix);
    return;
  }

  const std::string text_path = Str(responder.TextFile);
  int fd;
  do fd = open(text_path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  const platform::UniqueFd text(fd);
  if (text_path.empty() || !text.valid()) {
    WriteLog(system, kLogLevelFailure, 0, kLogEvent, Format(kLogCannotOpenText, text_path.c_str()),
             log_prefix);
    responder_log.Write(Format(kResponderLogCannotOpen, FormatMailDate(), text_path.c_str()));
    return;
  }
  WriteLog(system, kLogLevelMail, 0, kLogEvent,
           Format(kLogPreparingResponder, name.c_str(), from.local.c_str(), from.domain.c_str()),
           log_prefix);
  responder_log.Write(Format(kResponderLogPreparing, FormatMailDate(), name.c_str(),
                             from.local.c_str(), from.domain.c_str()));

  const std::string responding(responding_address);
  auto failed = [&] {
    WriteLog(system, kLogLevelFailure, 0, kLogEvent,
             Format(kLogCannotStoreReply, name.c_str(), from.local.c_str(), from.domain.c_str()),
             log_prefix);
  };
  Destination destination;
  if (!ChooseDestination(system, from, &destination)) return failed();

  // Every line of the reply is stored in the transfer form: the writer doubles a leading ".".
  MessageFileWriter writer;
  if (writer.Open(destination.directory, destination.queue ? kQueueExtension : kMailboxExtension,
                  kMessageDotStuff) != 0)
    return failed();
  std::string head;
  if (destination.queue) {
    head += Format(kReplyQueueTo, destination.queue_to.c_str());
    head += kReplyQueueFrom;
  }
  head += mail::ReceivedLine(system, from.local, from.domain);
  head += Format(kReplyDate, FormatMailDate());
  head += Format(kReplyTo, from.local.c_str(), from.domain.c_str());
  head += Format(kReplyFrom, responding.c_str());
  head += Format(kReplySubject, responding.c_str());
  head += kReplyAutoSubmitted;
  bool ok = writer.Write(head) == 0;

  mail::StoredFormEncoder line_ends(false);  // the writer stuffs the dots
  char block[kTextBlock];
  std::string body;
  while (ok) {
    ssize_t got = read(text.get(), block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    body.clear();
    line_ends.Append(std::string_view(block, static_cast<size_t>(got)), &body);
    ok = writer.Write(body) == 0;
  }
  if (!ok || writer.Commit() != 0) {
    writer.Abandon();
    failed();
  }
}

}  // namespace qv::lists
