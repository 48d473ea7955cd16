#include "mail/lists.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/accounts.h"
#include "common/address.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/member_path.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "mail/list_texts.h"
#include "mail/list_util.h"
#include "mail/mail_util.h"
#include "mail/parallel.h"
#include "mail/responder.h"
#include "mail/stored_form.h"
#include "platform/fileio.h"
#include "platform/unique_fd.h"

namespace qv::lists {
namespace {

constexpr size_t kCommandWindow = 2048;         // bytes of a message read for commands
constexpr size_t kArgumentWidth = 128;          // the fields of a command's arguments
constexpr size_t kDeliveryHeaderWindow = 2048;  // delivery looks this far for a header

void Log(const MailService& service, int level, const std::string& text) {
  WriteLog(service.system(), level, 0, kLogEvent, text, service.log_prefix);
}

// Characters that would split or retag a recipient entry.
bool HoldsEntrySeparator(std::string_view text) {
  return text.find_first_of(" \t;!\r\n") != std::string_view::npos;
}

int FindList(const SYSTEMSTRUCT& system, std::string_view list_address, LISTSTRUCT* list) {
  Address a = Split(list_address);
  if (a.local.empty()) return 1;
  return FindRecord(system, a.local, a.domain, list);
}

// The list log, open for one operation when the list keeps one.
class ListLog {
 public:
  explicit ListLog(const LISTSTRUCT& list) {
    if ((list.Options & kListLog) != 0) file_.Open(Str(list.LogFile));
  }
  void Write(const std::string& text) { file_.Write(text); }

 private:
  AppendFile file_;
};

// A message composed here: a temporary file in TempPath holding text in the stored form,
// deleted at the end of the scope.
class TempMessage {
 public:
  explicit TempMessage(const SYSTEMSTRUCT& system) : encoder_(true) {
    std::string directory = system.TempPath;
    fd_ = CreateTempFile(&directory, system.MailPath, &name_);
    if (fd_ < 0) name_.clear();
  }
  ~TempMessage() {
    if (fd_ >= 0) close(fd_);
    if (!name_.empty()) unlink(name_.c_str());
  }
  TempMessage(const TempMessage&) = delete;
  TempMessage& operator=(const TempMessage&) = delete;

  bool ok() const { return fd_ >= 0 && !failed_; }
  int fd() const { return fd_; }
  void Write(std::string_view text) {
    std::string out;
    encoder_.Append(text, &out);
    WriteStored(out);
  }
  // Text already in the stored form.
  void WriteStored(std::string_view text) {
    if (!ok() || text.empty()) return;
    if (!platform::WriteAll(fd_, text.data(), text.size())) failed_ = true;
  }

 private:
  StoredFormEncoder encoder_;
  int fd_ = -1;
  bool failed_ = false;
  std::string name_;
};

// Hands recipients to delivery, or to the service's diversion when it has one.
void DeliverFromHere(const MailService& service, const std::vector<mail::Recipient>& recipients,
                     std::string_view sender, int spool_fd, const DeliveryPolicy& policy) {
  if (!service.divert) {
    mail::Deliver(service, recipients, sender, spool_fd, policy);
    return;
  }
  size_t threads = policy.separately ? policy.parallel : 1;
  mail::RunBounded(recipients.size(), threads,
                   [&](size_t i) { service.divert(recipients[i], sender, spool_fd, policy); });
}

// Delivers a reply of the list code (never at top level). Mail from here is not read for
// commands when it reaches a list manager.
void DeliverReply(const MailService& service, const Address& to, std::string_view sender,
                  const TempMessage& message, const DeliveryPolicy& policy) {
  if (!message.ok() || to.local.empty()) return;
  if (HoldsEntrySeparator(to.text())) {
    Log(service, kLogLevelFailure, Format(kLogBadRecipient, to.text().c_str()));
    return;
  }
  DeliveryPolicy reply = policy;
  reply.top_level = false;
  reply.replying = true;
  reply.separately = false;
  reply.parallel = 1;
  DeliverFromHere(service, {mail::ResolveMember(service.system(), to.local, to.domain)}, sender,
                  message.fd(), reply);
}

// A list's member file as it may be opened: empty when the list names none, or one outside the
// configuration folder (MemberFilePath), which then counts as missing.
std::string MemberFile(const MailService& service, const LISTSTRUCT& list) {
  Result<std::string> path = MemberFilePath(service.system(), Str(list.FileName));
  return path ? *path : std::string();
}

// The member records of a members file, read under its shared lock. False when the file
// cannot be opened (a link is not followed) or its lock is refused.
bool ReadMembers(const std::string& path, std::vector<MEMBERSTRUCT>* members) {
  members->clear();
  if (path.empty()) return false;
  FileLock lock(LockPathFor(path), LockMode::kShared);
  if (lock.refused()) return false;
  std::string bytes;
  if (!platform::ReadWholeFile(path, &bytes)) return false;
  for (size_t at = 0; at + sizeof(MEMBERSTRUCT) <= bytes.size(); at += sizeof(MEMBERSTRUCT)) {
    MEMBERSTRUCT m;
    std::memcpy(&m, bytes.data() + at, sizeof m);
    if (m.Address[0] != '\0') members->push_back(m);
  }
  return true;
}

// Writes the members file without the records of `address`, under its exclusive lock: the new
// file is complete and flushed before it is renamed over the old one. Sets *removed to the
// records taken out. 1 when the file does not exist, -1 on a file error (the old file is then
// untouched; also for a link at the file's or its lock's name, which is never followed), else 0.
int RemoveMember(const std::string& path, std::string_view address,
                 std::vector<MEMBERSTRUCT>* removed) {
  removed->clear();
  if (path.empty()) return 1;
  FileLock lock(LockPathFor(path), LockMode::kExclusive);
  if (lock.refused()) return -1;
  int in;
  do in = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  while (in < 0 && errno == EINTR);
  if (in < 0) return errno == ENOENT ? 1 : -1;
  platform::UniqueFd file(in);
  struct stat st {};
  std::string bytes;
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !platform::ReadWholeFd(file.get(), &bytes))
    return -1;
  std::string kept;
  for (size_t at = 0; at + sizeof(MEMBERSTRUCT) <= bytes.size(); at += sizeof(MEMBERSTRUCT)) {
    MEMBERSTRUCT m;
    std::memcpy(&m, bytes.data() + at, sizeof m);
    if (m.Address[0] == '\0') continue;
    if (EqualsNoCase(FieldText(m.Address), address)) {
      removed->push_back(m);
    } else {
      kept.append(bytes, at, sizeof m);
    }
  }
  if (removed->empty()) return 0;
  // The replacement name of the record store ("x.mls" -> "x.ml$"), under the same lock. One left
  // by a crash (the old file then still stands) goes first; the new one is made exclusively, so
  // whatever is planted at the name meanwhile is refused, never written through.
  std::string replacement = path;
  if (replacement.back() == '$') {
    replacement += '$';
  } else {
    replacement.back() = '$';
  }
  if (unlink(replacement.c_str()) != 0 && errno != ENOENT) return -1;
  int fd;
  do
    fd = open(replacement.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
              st.st_mode & 0777);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  bool ok = platform::WriteAll(fd, kept.data(), kept.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(replacement.c_str(), path.c_str()) != 0) {
    unlink(replacement.c_str());
    return -1;
  }
  platform::SyncParentDirectory(path);
  return 0;
}

bool IsMember(const std::string& path, std::string_view address) {
  std::vector<MEMBERSTRUCT> members;
  if (!ReadMembers(path, &members)) return false;
  for (const MEMBERSTRUCT& m : members)
    if (EqualsNoCase(FieldText(m.Address), address)) return true;
  return false;
}

// The display-name rule of a join: with no name given, a name in double quotes (else in single
// quotes) inside the member text is taken out of it, and the address is the text before the
// quote (or, when only the text after the closing quote holds an address, that text).
void TakeQuotedName(std::string* member, std::string* name) {
  if (!name->empty()) return;
  char quote = '"';
  size_t open = member->find(quote);
  if (open == std::string::npos) {
    quote = '\'';
    open = member->find(quote);
  }
  if (open == std::string::npos) return;
  size_t close = member->find(quote, open + 1);
  if (close == std::string::npos) return;
  *name = member->substr(open + 1, close - open - 1);
  std::string before = member->substr(0, open);
  std::string after = member->substr(close + 1);
  if (before.find('@') == std::string::npos && after.find('@') != std::string::npos) {
    *member = Split(after).text();
  } else {
    *member = before;
  }
}

// True when delivery will find a header of its own at the start of a stored text: an empty
// line within the first 2048 bytes, and only header fields (or their continuation lines)
// before it.
bool HasOwnHeader(std::string_view text) {
  size_t end = text.substr(0, kDeliveryHeaderWindow).find("\r\n\r\n");
  if (end == std::string_view::npos || end == 0) return false;
  std::string_view header = text.substr(0, end + 2);
  bool first = true;
  for (size_t pos = 0; pos < header.size(); first = false) {
    size_t eol = header.find("\r\n", pos);
    std::string_view line = header.substr(pos, eol - pos);
    pos = eol + 2;
    if (!first && (line[0] == ' ' || line[0] == '\t')) continue;  // a continuation line
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    for (size_t i = 0; i < colon; ++i) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      if (c <= ' ' || c > '~') return false;
    }
  }
  return true;
}

// Searches `keyword` in `line` without regard to case; "SUBSCRIBE " inside "UNSUBSCRIBE "
// does not count. npos when absent.
size_t FindKeyword(std::string_view line, std::string_view keyword, bool skip_unsubscribe) {
  for (size_t from = 0; from + keyword.size() <= line.size(); ++from) {
    if (!EqualsNoCase(line.substr(from, keyword.size()), keyword)) continue;
    if (skip_unsubscribe && from >= 2 && EqualsNoCase(line.substr(from - 2, 2), "UN")) continue;
    return from;
  }
  return std::string_view::npos;
}

std::string Argument(std::string_view text) {
  size_t end = text.find_first_of("\r\n");
  if (end != std::string_view::npos) text = text.substr(0, end);
  size_t last = text.find_last_not_of(" \t");
  text = last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
  if (text.size() > kArgumentWidth - 1) text = text.substr(0, kArgumentWidth - 1);
  return std::string(text);
}

std::string_view SkipBlanks(std::string_view text) {
  size_t b = text.find_first_not_of(' ');
  return b == std::string_view::npos ? std::string_view() : text.substr(b);
}

}  // namespace

ParsedCommand ParseCommandLine(std::string_view line) {
  struct Keyword {
    const char* text;
    ListCommand command;
  };
  static constexpr Keyword kKeywords[] = {
      {"SUBSCRIBE ", ListCommand::kJoin},    {"JOIN ", ListCommand::kJoin},
      {"UNSUBSCRIBE ", ListCommand::kLeave}, {"LEAVE ", ListCommand::kLeave},
      {"REVIEW", ListCommand::kReview},      {"RECIPIENTS", ListCommand::kReview},
      {"LISTS", ListCommand::kLists},        {"WHICH", ListCommand::kWhich},
      {"HELP", ListCommand::kHelp},
  };
  ParsedCommand parsed;
  size_t at = std::string_view::npos;
  for (const Keyword& k : kKeywords) {
    at = FindKeyword(line, k.text, k.command == ListCommand::kJoin && k.text[0] == 'S');
    if (at != std::string_view::npos) {
      parsed.command = k.command;
      break;
    }
  }
  if (parsed.command == ListCommand::kNone) return parsed;

  // The arguments follow the word that holds the keyword.
  std::string_view rest = line.substr(at);
  size_t end = rest.find_first_of(" \r\n");
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  rest = SkipBlanks(rest);
  size_t comma = rest.find(',');
  parsed.list_address = Argument(rest.substr(0, comma));
  if (comma == std::string_view::npos) return parsed;
  rest = SkipBlanks(rest.substr(comma + 1));
  comma = rest.find(',');
  parsed.member = Argument(rest.substr(0, comma));
  if (comma == std::string_view::npos) return parsed;
  rest = SkipBlanks(rest.substr(comma + 1));
  parsed.name = Argument(rest.substr(0, rest.find(',')));
  return parsed;
}

std::vector<std::string> CommandLines(std::string_view head) {
  if (head.size() > kCommandWindow) head = head.substr(0, kCommandWindow);
  size_t end = head.find("\r\n.\r\n");
  if (end != std::string_view::npos) head = head.substr(0, end);
  size_t body = head.find("\r\n\r\n");
  if (body != std::string_view::npos) head = head.substr(body);
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < head.size()) {
    while (pos < head.size() && (head[pos] == '\r' || head[pos] == '\n')) ++pos;
    if (pos >= head.size()) break;
    size_t cr = head.find('\r', pos);
    if (cr == std::string_view::npos) cr = head.size();
    lines.emplace_back(head.substr(pos, cr - pos));
    pos = cr;
  }
  return lines;
}

void ProcessListCommands(const MailService& service, std::string_view sender,
                         std::string_view manager, int spool_fd, const DeliveryPolicy& policy) {
  Address from = Split(sender);
  if (from.local.empty()) return;
  // Mail from the list manager itself, or from another list manager, is never read for
  // commands: replies of two managers would otherwise answer each other.
  if (EqualsNoCase(from.text(), Split(manager).text())) return;
  USERSTRUCT user;
  if (FindRecord(service.system(), from.local, from.domain, &user) == 0 &&
      (user.Options & kUserListManager) != 0)
    return;

  std::string head(kCommandWindow, '\0');
  int64_t got = platform::ReadUpTo(spool_fd, head.data(), head.size(), 0);
  if (got <= 0) return;
  head.resize(static_cast<size_t>(got));

  for (const std::string& line : CommandLines(head)) {
    ParsedCommand c = ParseCommandLine(line);
    std::string member = c.member.empty() ? std::string(sender) : c.member;
    switch (c.command) {
      case ListCommand::kNone:
        break;
      case ListCommand::kJoin:
        JoinList(service, member, c.list_address, c.name, policy);
        break;
      case ListCommand::kLeave:
        LeaveList(service, member, manager, c.list_address, policy);
        break;
      case ListCommand::kReview:
        ReviewList(service, c.list_address, sender, manager, policy);
        break;
      case ListCommand::kHelp:
        SendListHelp(service, sender, manager, policy);
        break;
      case ListCommand::kWhich:
        SendListsOverview(service, sender, manager, true, policy);
        break;
      case ListCommand::kLists:
        SendListsOverview(service, sender, manager, false, policy);
        break;
    }
  }
}

void JoinList(const MailService& service, std::string_view member, std::string_view list_address,
              std::string_view name, const DeliveryPolicy& policy) {
  LISTSTRUCT list;
  if (FindList(service.system(), list_address, &list) != 0) return;
  std::string given(member);
  std::string display(name);
  TakeQuotedName(&given, &display);
  Address a = Split(given);
  ListLog list_log(list);
  const std::string list_name = Str(list.Name);
  const std::string list_domain = Str(list.Domain);

  if ((list.Options & kListAutoJoin) == 0) {
    // Join by request: the owner decides.
    if (list.OwnerUser[0] == '\0') return;
    TempMessage request(service.system());
    // The empty line keeps the request out of the header that delivery puts before it.
    request.Write("\r\n");
    const SYSTEMSTRUCT& system = service.system();
    request.Write(Format(kJoinRequest, system.AdministratorName, given.c_str(), list_name.c_str(),
                         list_domain.c_str()));
    std::string sender = Str(system.AdministratorName) + "@" + PrimaryDomain(system);
    DeliverReply(service, Address{Str(list.OwnerUser), Str(list.OwnerDomain)}, sender, request,
                 policy);
    return;
  }

  if (a.local.empty() || a.domain.empty() || HoldsEntrySeparator(a.text())) {
    std::string line = Format(kLogInvalidAddress, a.local.c_str(), a.domain.c_str(),
                              list_name.c_str(), list_domain.c_str());
    Log(service, kLogLevelFailure, line);
    list_log.Write(line);
    return;
  }
  // Addresses of the no-response masks are never added, and nothing is reported.
  if (MatchMaskList(a.text(), FieldText(service.system().NoResponse)) == 1) return;
  // A list (this one or another of this host) as a member would bring every post back.
  int added = AddMember(service.system(), Str(list.FileName), a.text(), display);
  if (added == 1) return;  // a member already
  if (added != 0) {
    std::string line =
        Format(added == kMemberIsList ? kLogMemberIsList : kLogCannotAdd, a.local.c_str(),
               a.domain.c_str(), list_name.c_str(), list_domain.c_str());
    Log(service, kLogLevelFailure, line);
    list_log.Write(line);
    return;
  }
  std::string line =
      Format(kLogAdding, a.local.c_str(), a.domain.c_str(), list_name.c_str(), list_domain.c_str());
  Log(service, kLogLevelMail, line);
  list_log.Write(line);
  if ((list.Options & kListRespond) != 0) {
    RunResponder(service, given, Str(list.OwnerUser) + "@" + Str(list.OwnerDomain),
                 Str(list.Responder));
  }
}

void LeaveList(const MailService& service, std::string_view member, std::string_view manager,
               std::string_view list_address, const DeliveryPolicy& policy) {
  LISTSTRUCT list;
  if (FindList(service.system(), list_address, &list) != 0) return;
  Address a = Split(member);
  ListLog list_log(list);
  const std::string list_name = Str(list.Name);
  const std::string list_domain = Str(list.Domain);

  std::vector<MEMBERSTRUCT> removed;
  int result = RemoveMember(MemberFile(service, list), a.text(), &removed);
  if (result == 1) return;  // no members file
  if (result != 0) {
    std::string line = Format(kLogCannotRemove, a.local.c_str(), a.domain.c_str(),
                              list_name.c_str(), list_domain.c_str());
    Log(service, kLogLevelFailure, line);
    list_log.Write(line);
    return;
  }
  for (size_t i = 0; i < removed.size(); ++i) {
    std::string line = Format(kLogRemoving, a.local.c_str(), a.domain.c_str(), list_name.c_str(),
                              list_domain.c_str());
    Log(service, kLogLevelMail, line);
    list_log.Write(line);
  }

  // The notice goes out whether or not the address was a member.
  TempMessage notice(service.system());
  std::string manager_text(manager);
  notice.Write(Format(kNoticeFrom, manager_text.c_str()));
  notice.Write(Format(kNoticeTo, a.local.c_str(), a.domain.c_str()));
  notice.Write(kNoticeSubject);
  notice.Write(Format(kNoticeBody, a.local.c_str(), a.domain.c_str(), list_name.c_str(),
                      list_domain.c_str()));
  DeliverReply(service, a, manager, notice, policy);
}

void ReviewList(const MailService& service, std::string_view list_address,
                std::string_view requester, std::string_view manager,
                const DeliveryPolicy& policy) {
  LISTSTRUCT list;
  if (FindList(service.system(), list_address, &list) != 0) return;
  Address to = Split(requester);
  ListLog list_log(list);
  const std::string list_name = Str(list.Name);
  const std::string list_domain = Str(list.Domain);

  // A list whose members are hidden from EXPN shows them to its owner only.
  if ((list.Options & kListHidden) != 0 &&
      !(EqualsNoCase(to.local, FieldText(list.OwnerUser)) &&
        EqualsNoCase(to.domain, FieldText(list.OwnerDomain)))) {
    Log(service, kLogLevelMail,
        Format(kLogReviewRefused, list_name.c_str(), list_domain.c_str(), to.local.c_str(),
               to.domain.c_str()));
    return;
  }
  std::vector<MEMBERSTRUCT> members;
  if (!ReadMembers(MemberFile(service, list), &members)) return;
  TempMessage review(service.system());
  if (!review.ok()) return;
  std::string line = Format(kLogCreatingReview, to.local.c_str(), to.domain.c_str());
  Log(service, kLogLevelMail, line);
  list_log.Write(line);
  std::string text =
      Format(kReviewHeading, list_name.c_str(), list_domain.c_str(), Str(list.Description).c_str());
  for (const MEMBERSTRUCT& m : members)
    text += Format(kReviewMember, Str(m.Address).c_str(), Str(m.Name).c_str());
  review.Write(text);
  DeliverReply(service, to, manager, review, policy);
}

void SendListHelp(const MailService& service, std::string_view requester, std::string_view manager,
                  const DeliveryPolicy& policy) {
  std::string path = ResolveFileName(Str(service.system().ConfigPath), kHelpFileName);
  std::string help;
  if (!platform::ReadWholeFile(path, &help)) return;
  Address to = Split(requester);
  Log(service, kLogLevelMail, Format(kLogCreatingHelp, to.local.c_str(), to.domain.c_str()));
  std::string stored;
  StoredFormEncoder(true).Append(help, &stored);
  TempMessage message(service.system());
  // A help file without a header of its own is all body: the empty line keeps its first
  // paragraph out of the header that delivery puts before it.
  if (!HasOwnHeader(stored)) message.WriteStored("\r\n");
  message.WriteStored(stored);
  DeliverReply(service, to, manager, message, policy);
}

void SendListsOverview(const MailService& service, std::string_view requester,
                       std::string_view manager, bool joined_only, const DeliveryPolicy& policy) {
  Address to = Split(requester);
  TempMessage overview(service.system());
  if (!overview.ok()) return;
  std::string host = Str(service.system().HostName);
  std::string text;
  if (joined_only) {
    Log(service, kLogLevelMail, Format(kLogCreatingJoined, to.local.c_str(), to.domain.c_str()));
    text = Format(kJoinedHeading, host.c_str(), to.local.c_str(), to.domain.c_str());
  } else {
    Log(service, kLogLevelMail, Format(kLogCreatingPublic, host.c_str()));
    text = Format(kPublicHeading, host.c_str());
  }
  std::vector<LISTSTRUCT> taken;
  ForEachRecord(service.system(), Table::kLists, [&](const void* record) {
    LISTSTRUCT list;
    std::memcpy(&list, record, sizeof list);
    bool take = joined_only ? IsMember(MemberFile(service, list), to.text())
                            : (list.Options & kListPublic) != 0;
    if (take) taken.push_back(list);
    return true;
  });
  for (const LISTSTRUCT& list : taken) {
    text += Format(kOverviewList, Str(list.Name).c_str(), Str(list.Domain).c_str(),
                   Str(list.Description).c_str());
  }
  overview.Write(text);
  DeliverReply(service, to, manager, overview, policy);
}

int DistributeToList(const MailService& service, const LISTSTRUCT& list, std::string_view sender,
                     int spool_fd, bool top_level, const DeliveryPolicy& policy) {
  std::vector<MEMBERSTRUCT> members;
  if (!ReadMembers(MemberFile(service, list), &members)) return 0;
  ListLog list_log(list);
  const std::string list_name = Str(list.Name);
  const std::string list_domain = Str(list.Domain);
  const std::string owner_user = Str(list.OwnerUser);
  const std::string owner_domain = Str(list.OwnerDomain);
  const std::string sender_text(sender);

  // The owner-only rule holds for every way into the list, not only for SMTP recipients.
  if ((list.Options & kListOwnerSends) != 0) {
    Address from = Split(sender);
    if (!EqualsNoCase(from.local, owner_user) || !EqualsNoCase(from.domain, owner_domain)) {
      Log(service, kLogLevelMail,
          Format(kLogSenderRefused, sender_text.c_str(), list_name.c_str(), list_domain.c_str()));
      return 0;
    }
  }

  Log(service, kLogLevelMail, Format(kLogPreparingList, list_name.c_str(), list_domain.c_str()));
  list_log.Write(
      Format(kListLogPreparing, sender_text.c_str(), list_name.c_str(), list_domain.c_str()));
  // Replies and delivery reports of the members' copies go to the owner.
  std::string envelope =
      !owner_user.empty() && !owner_domain.empty() ? owner_user + "@" + owner_domain : sender_text;

  // Every member's copy is a delivery of its own, up to parallel_deliveries at a time.
  DeliveryPolicy copies = policy;
  copies.top_level = top_level;
  copies.separately = true;
  copies.parallel = service.parallel_deliveries;
  // The recipients first, in member order (with the list log), then the deliveries.
  std::vector<mail::Recipient> entries;
  entries.reserve(members.size());
  auto add = [&](const Address& to, std::string_view stored) {
    if (to.local.empty()) return;
    mail::Recipient entry =
        mail::ResolveMember(service.system(), to.local, to.domain, true, stored);
    if (HoldsEntrySeparator(entry.address)) {
      Log(service, kLogLevelFailure, Format(kLogBadRecipient, RecipientText(entry).c_str()));
      return;
    }
    entries.push_back(std::move(entry));
  };
  for (const MEMBERSTRUCT& m : members) {
    Address to = Split(FieldText(m.Address));
    // A list among the members (written in before joins refused them): its copy would come
    // back and be distributed again.
    LISTSTRUCT member_list;
    if (!to.local.empty() && FindRecord(service.system(), to.local, to.domain, &member_list) == 0) {
      std::string line = Format(kLogSkippingListMember, to.local.c_str(), to.domain.c_str(),
                                list_name.c_str(), list_domain.c_str());
      Log(service, kLogLevelFailure, line);
      list_log.Write(line);
      continue;
    }
    list_log.Write(Format(kListLogMember, to.local.c_str(), to.domain.c_str()));
    add(to, FieldText(m.Address));
  }
  DeliverFromHere(service, entries, envelope, spool_fd, copies);
  if ((list.Options & kListCopyOwner) != 0 && !owner_user.empty()) {
    entries.clear();
    add(Address{owner_user, owner_domain}, {});
    DeliverFromHere(service, entries, envelope, spool_fd, copies);
    list_log.Write(Format(kListLogOwner, owner_user.c_str(), owner_domain.c_str()));
  }
  return 0;
}

}  // namespace qv::lists
