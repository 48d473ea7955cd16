#include "pop3/session.h"

#include <dirent.h>
#include <fcntl.h>
#include <security/pam_appl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <list>
#include <mutex>

#include "common/accounts.h"
#include "common/address.h"
#include "common/config.h"
#include "common/recordstore.h"
#include "common/recordstore_cache.h"
#include "common/strings.h"
#include "common/tables.h"
#include "platform/sysroot.h"
#include "pop3/logon.h"
#include "pop3/pop3_texts.h"

namespace qv::pop3 {

namespace {

constexpr uint32_t kInAuthorization = StateBit(Pop3State::kAuthorization);
constexpr uint32_t kInUserGiven = StateBit(Pop3State::kUserGiven);
constexpr uint32_t kInTransaction = StateBit(Pop3State::kTransaction);
constexpr uint32_t kInClosing = StateBit(Pop3State::kClosing);
constexpr uint32_t kInAnyState = 0x1f;

constexpr const char* kStateNames[] = {"Authorization", "UserGiven", "Transaction", "Update",
                                       "Closing"};

Pop3Reply Answer(int result, std::string text) {
  Pop3Reply reply;
  reply.code = result;
  reply.text = std::move(text);
  return reply;
}

// The text up to the first CR or LF.
std::string_view ToLineEnd(std::string_view text) {
  size_t end = text.find_first_of("\r\n");
  return end == std::string_view::npos ? text : text.substr(0, end);
}

// The argument of a command: the text after the command word and the blanks that follow, up
// to the first CR, LF or the end.
std::string_view Argument(std::string_view line, size_t word_length) {
  if (line.size() <= word_length) return {};
  std::string_view rest = line.substr(word_length);
  size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  return ToLineEnd(rest.substr(start));
}

// A decimal count read like a C program's atoi: leading blanks, an optional sign, digits;
// anything else ends it. Saturates instead of overflowing.
long long ReadCount(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX);
  return negative ? -value : value;
}

// The last listings of a few mailbox folders, shared by the process's sessions, so that a logon
// to an unchanged folder skips the look at every file. A listing is given only while its folder
// has the same stamp (device, inode, times) and that stamp had settled when it was read: any
// delivery, removal or rename in the folder changes its times, and message files are never
// changed in place (delivery writes a hidden file and renames it). Kept in memory only; the
// files stay the truth.
class FolderListings {
 public:
  // Copies the kept listing of `folder` into `out` when its stamp is `stamp`.
  bool Find(const std::string& folder, const recordstore_cache::FileStamp& stamp,
            MessageList* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->folder != folder) continue;
      if (it->stamp != stamp) {
        messages_ -= it->list.size();
        kept_.erase(it);
        return false;
      }
      kept_.splice(kept_.begin(), kept_, it);  // the most recently used first
      *out = it->list;
      return true;
    }
    return false;
  }

  // Keeps a listing (without deleted marks) read while the folder had the settled `stamp`.
  void Keep(const std::string& folder, const recordstore_cache::FileStamp& stamp,
            const MessageList& list) {
    if (list.size() > kMaxMessages) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->folder != folder) continue;
      messages_ -= it->list.size();
      kept_.erase(it);
      break;
    }
    while (!kept_.empty() &&
           (kept_.size() >= kMaxFolders || messages_ + list.size() > kMaxMessages)) {
      messages_ -= kept_.back().list.size();
      kept_.pop_back();
    }
    kept_.push_front(Kept{folder, stamp, list});
    messages_ += list.size();
  }

 private:
  // Bounds of what is kept: about 31 bytes a message.
  static constexpr size_t kMaxFolders = 8;
  static constexpr size_t kMaxMessages = 250'000;

  struct Kept {
    std::string folder;
    recordstore_cache::FileStamp stamp;
    MessageList list;
  };
  std::mutex mutex_;
  std::list<Kept> kept_;
  size_t messages_ = 0;
};

FolderListings& Listings() {
  static FolderListings* listings = new FolderListings;  // alive while the process ends
  return *listings;
}

}  // namespace

const Pop3Session::Commands::Row Pop3Session::kRows[] = {
    {"HELO", &Pop3Session::Helo, kInAuthorization | kInUserGiven | kInClosing},
    {"USER", &Pop3Session::User, kInAuthorization},
    {"PASS", &Pop3Session::Pass, kInUserGiven},
    {"QUIT", &Pop3Session::Quit, kInAnyState},
    {"STAT", &Pop3Session::Stat, kInTransaction},
    {"LIST", &Pop3Session::List, kInTransaction},
    {"RETR", &Pop3Session::Retr, kInTransaction},
    {"DELE", &Pop3Session::Dele, kInTransaction},
    {"NOOP", &Pop3Session::Noop, kInTransaction},
    {"LAST", &Pop3Session::Last, kInTransaction},
    {"RSET", &Pop3Session::Rset, kInTransaction},
    {"UIDL", &Pop3Session::Uidl, kInTransaction},
    {"TOP", &Pop3Session::Top, kInTransaction},
    {"NEWPASS", &Pop3Session::NewPass, kInTransaction},
    // Unknown commands unless a certificate is configured.
    {"STLS", &Pop3Session::Stls, kInAnyState},
    {"CAPA", &Pop3Session::Capa, kInAnyState},
};

// A line runs the first row, in this order, whose verb it begins with.
const Pop3Session::Commands Pop3Session::kCommands = {
    .names = {"POP3", kStateNames, kTraceLevelPop3Service},
    .match = VerbMatch::kPrefix,
    .rows = kRows,
    .unknown = {kResultError, kErrUnknownMessage},
    .wrong_state = {kResultError, kErrInvalidState},
    .closing = Pop3State::kClosing,
};

Pop3Session::Pop3Session(const Settings& settings, std::string_view peer_address)
    : system_(settings.system) {
  s_.PeerAddress = std::string(peer_address.substr(0, peer_address.find('\0')));
}

Pop3Reply Pop3Session::Dispatch(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return kCommands.Dispatch(*this, state_, line);
}

int DispatchPop3Command(Pop3Session* session, const char* line, size_t length, Pop3Reply* reply) {
  if (session == nullptr) {
    reply->code = kResultNoSession;
    reply->text.clear();
    return kResultNoSession;
  }
  *reply = session->Dispatch(std::string_view(line, line == nullptr ? 0 : length));
  return reply->code;
}

Pop3Reply Pop3Session::Helo(std::string_view) {
  EnterState(Pop3State::kAuthorization);
  return Answer(kResultPositive, Format(kReplyHello, system_.HostName, s_.PeerAddress.c_str()));
}

Pop3Reply Pop3Session::User(std::string_view line) {
  if (line.size() < 5 || line.size() > kMaxUserLine)
    return Answer(kResultError, kErrInvalidUsername);
  s_.UserName = std::string(ToLineEnd(line.substr(5)));
  EnterState(Pop3State::kUserGiven);
  return Answer(kResultPositive, Format(kReplyUser, s_.UserName.c_str()));
}

Pop3Reply Pop3Session::Pass(std::string_view line) {
  std::string password(Argument(line, 4));
  std::string alias, domain;
  SplitAddress(s_.UserName, &alias, &domain);

  USERSTRUCT user{};
  if (FindRecord(system_, alias, domain, &user) == 0) {
    if ((user.Options & kUserRemote) != 0) {
      return FailLogon(Pop3State::kAuthorization, kErrInvalidUsername);
    }
    if (!PasswordMatches(FieldText(user.Password), password)) {
      // The state stays: PASS may be sent again.
      return FailLogon(Pop3State::kUserGiven, kErrInvalidPassword);
    }
    return EnterTransaction(std::string(FieldText(user.Mailbox)));
  }
  if ((system_.Flags & kSysNtUser) != 0 && system_.NTUser[0] != '\0' &&
      NtAccountLookup(system_.NTUser, alias, nullptr)) {
    // The operating system's logon may take seconds: the caller runs it away from the loop.
    logon_mailbox_ = alias;
    Pop3Reply reply;
    reply.code = kResultLogon;
    reply.logon = LogonRequest{alias, std::move(password), s_.PeerAddress};
    return reply;
  }
  return FailLogon(Pop3State::kAuthorization, kErrInvalidUsername);
}

Pop3Reply Pop3Session::FinishSystemLogon(int pam_result) {
  std::string mailbox;
  mailbox.swap(logon_mailbox_);
  if (pam_result == PAM_SUCCESS) return EnterTransaction(mailbox);
  if (pam_result == PAM_PERM_DENIED || pam_result == PAM_AUTHINFO_UNAVAIL)
    return FailLogon(Pop3State::kAuthorization, kErrNoPrivileges);
  return FailLogon(Pop3State::kAuthorization, Format(kErrLoginFailed, kLogonFailureNumber));
}

Pop3Reply Pop3Session::FailLogon(Pop3State state, std::string text) {
  EnterState(state);
  Pop3Reply reply = Answer(kResultError, std::move(text));
  reply.delayed = true;
  reply.failed_logon = true;
  return reply;
}

Pop3Reply Pop3Session::EnterTransaction(const std::string& mailbox) {
  if (!OpenMailbox(mailbox)) {
    EnterState(Pop3State::kAuthorization);
    return Answer(kResultError, kErrCannotReadDirectory);
  }
  EnterState(Pop3State::kTransaction);
  return Answer(kResultPositive, kReplyOk);
}

Pop3Reply Pop3Session::Stls(std::string_view line) {
  if (!tls_offered_ && !secure_) return Answer(kResultError, kErrUnknownMessage);
  if (secure_) return Answer(kResultError, kErrTlsActive);
  if (state_.get() != Pop3State::kAuthorization) return Answer(kResultError, kErrStlsState);
  if (!Argument(line, 4).empty()) return Answer(kResultError, kErrStlsArgument);
  return Answer(kResultStartTls, kReplyStls);
}

Pop3Reply Pop3Session::Capa(std::string_view) {
  if (!tls_offered_ && !secure_) return Answer(kResultError, kErrUnknownMessage);
  return Answer(kResultPositive, secure_ ? kReplyCapaInTls : kReplyCapa);
}

Pop3Reply Pop3Session::Quit(std::string_view) {
  if (state_.get() == Pop3State::kTransaction) {
    EnterState(Pop3State::kUpdate);
    ApplyDeletions();
    s_.Messages.Clear();
  }
  EnterState(Pop3State::kClosing);
  return Answer(kResultPositive, kReplyOk);
}

Pop3Reply Pop3Session::Stat(std::string_view) {
  return Answer(kResultPositive, Format(kReplyCountOctets, s_.CurrentCount,
                                        static_cast<long long>(s_.CurrentOctets)));
}

Pop3Reply Pop3Session::List(std::string_view line) {
  return Listing(line, false);
}

Pop3Reply Pop3Session::Uidl(std::string_view line) {
  return Listing(line, true);
}

Pop3Reply Pop3Session::Listing(std::string_view line, bool names) {
  if (line.size() < 6) {
    Pop3Reply reply;
    std::string& text = reply.text;
    text.reserve(24 + s_.Messages.size() * (names ? 28 : 22));
    text = Format(kReplyCountOctets, s_.CurrentCount, static_cast<long long>(s_.CurrentOctets));
    char row[320];
    const MessageList& list = s_.Messages;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list.Deleted(i)) continue;
      int n = names ? std::snprintf(row, sizeof row, kUidlLine, static_cast<int>(i + 1),
                                    list.Name(i).data())
                    : std::snprintf(row, sizeof row, kListLine, static_cast<int>(i + 1),
                                    static_cast<long long>(list.Size(i)));
      text.append(row, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof row) - 1)));
    }
    text += kListEnd;
    reply.code = kResultPositive;
    return reply;
  }
  uint32_t n = MessageNumber(line.substr(5));
  if (n == 0) return Answer(kResultError, kErrUnknownMessage);
  const MessageList& list = s_.Messages;
  return Answer(
      kResultPositive,
      names ? Format(kReplyUidlOne, static_cast<int>(n), list.Name(n - 1).data())
            : Format(kReplyListOne, static_cast<int>(n), static_cast<long long>(list.Size(n - 1))));
}

uint32_t Pop3Session::MessageNumber(std::string_view text) const {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  size_t digits = i;
  uint64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(text[i] - '0'), UINT32_MAX);
    ++i;
  }
  if (i == digits) return 0;                                           // no number
  if (i < text.size() && text[i] != ' ' && text[i] != '\t') return 0;  // "1x"
  if (value < 1 || value > s_.Messages.size()) return 0;
  if (s_.Messages.Deleted(value - 1)) return 0;
  return static_cast<uint32_t>(value);
}

bool Pop3Session::OpenMessage(uint32_t n, Pop3Reply* reply) {
  reply->code = kResultError;
  reply->text = kErrGeneralFailure;
  // The message is sent straight from its file, unmasked on the way; the file stays held until
  // the transfer ends.
  UniqueFd message =
      OpenMessageExclusive(s_.MailboxDirectory + "/" + std::string(s_.Messages.Name(n - 1)));
  if (!message.valid()) return false;
  reply->file = std::move(message);
  return true;
}

Pop3Reply Pop3Session::Retr(std::string_view line) {
  uint32_t n = MessageNumber(line.substr(std::min<size_t>(5, line.size())));
  if (n == 0) return Answer(kResultError, kErrUnknownMessage);
  Pop3Reply reply;
  if (!OpenMessage(n, &reply)) return reply;
  s_.HighestRetrieved = std::max(s_.HighestRetrieved, n);
  reply.code = kResultMessage;
  reply.text = Format(kReplyRetr, static_cast<long long>(s_.Messages.Size(n - 1)));
  return reply;
}

Pop3Reply Pop3Session::Top(std::string_view line) {
  Pop3Reply reply = Answer(kResultError, kErrUnknownMessage);
  size_t first = line.find(' ');
  if (line.size() < 5 || first == std::string_view::npos) return reply;
  std::string_view rest = line.substr(first + 1);
  size_t second = rest.find(' ');
  std::string_view number = rest.substr(0, second);
  int lines = 0;
  if (second != std::string_view::npos)
    lines = static_cast<int>(std::max<long long>(0, ReadCount(rest.substr(second + 1))));
  // The number is the text between the two blanks, nothing else.
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos)
    return reply;
  uint32_t n = MessageNumber(number);
  if (n == 0) return reply;
  if (!OpenMessage(n, &reply)) return reply;
  reply.code = kResultTop;
  reply.text = kReplyOk;
  reply.top_lines = lines;
  return reply;
}

Pop3Reply Pop3Session::Dele(std::string_view line) {
  uint32_t n = MessageNumber(line.substr(std::min<size_t>(5, line.size())));
  if (n == 0) return Answer(kResultError, kErrUnknownMessage);
  s_.Messages.MarkDeleted(n - 1);
  s_.CurrentCount -= 1;
  s_.CurrentOctets -= s_.Messages.Size(n - 1);
  return Answer(kResultPositive, kReplyOk);
}

Pop3Reply Pop3Session::Noop(std::string_view) {
  return Answer(kResultPositive, kReplyOk);
}

Pop3Reply Pop3Session::Last(std::string_view) {
  return Answer(kResultPositive, Format(kReplyLast, static_cast<int>(s_.HighestRetrieved)));
}

Pop3Reply Pop3Session::Rset(std::string_view) {
  s_.Messages.UnmarkAll();
  s_.HighestRetrieved = 0;
  s_.CurrentCount = static_cast<int32_t>(s_.MessageCount);
  s_.CurrentOctets = s_.TotalOctets;
  return Answer(kResultPositive, kReplyOk);
}

Pop3Reply Pop3Session::NewPass(std::string_view line) {
  std::string_view password = Argument(line, 7);
  std::string alias, domain;
  SplitAddress(s_.UserName, &alias, &domain);
  USERSTRUCT user{};
  // Every refusal is answered late, as a failed PASS is.
  auto refuse = [](const char* text) {
    Pop3Reply reply = Answer(kResultError, text);
    reply.delayed = true;
    return reply;
  };
  if (FindRecord(system_, alias, domain, &user) != 0) {
    EnterState(Pop3State::kAuthorization);
    return refuse(kErrInvalidUsername);
  }
  // A password the record cannot hold whole, or none at all, would lock the user out or open
  // the mailbox to anyone: refused, the old one stays.
  if (password.empty() || password.size() > kMaxPasswordLength) return refuse(kErrInvalidPassword);
  CopyField(user.Password, std::string(password));
  if (UpdateRecord(system_, user, false) != 0) return refuse(kErrGeneralFailure);
  return Answer(kResultPositive, kReplyOk);
}

bool Pop3Session::OpenMailbox(std::string_view mailbox) {
  if (!IsSafeMailboxName(mailbox)) return false;
  std::string directory = std::string(system_.MailPath) + "/" + std::string(mailbox);
  struct stat st;
  if (lstat(directory.c_str(), &st) != 0) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  s_.MailboxDirectory = directory;
  s_.Messages.Clear();
  s_.MessageCount = 0;
  s_.TotalOctets = 0;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;
  int dir_fd = dirfd(dir);
  Result<recordstore_cache::FileStamp> before = recordstore_cache::StampFd(dir_fd);
  bool settled = before.ok() && recordstore_cache::Settled(*before);
  bool walk = !settled || !Listings().Find(directory, *before, &s_.Messages);
  while (const dirent* entry = walk ? readdir(dir) : nullptr) {
    std::string_view name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;  // hidden
    if (name.size() < 4 || name.substr(name.size() - 3) != ".in") continue;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    s_.Messages.Add(name, st.st_size);
  }
  if (walk) {
    s_.Messages.Trim();
    Result<recordstore_cache::FileStamp> after = recordstore_cache::StampFd(dir_fd);
    if (settled && after.ok() && *after == *before)
      Listings().Keep(directory, *before, s_.Messages);
  }
  closedir(dir);
  for (size_t i = 0; i < s_.Messages.size(); ++i) s_.TotalOctets += s_.Messages.Size(i);
  s_.MessageCount = static_cast<uint32_t>(s_.Messages.size());
  s_.CurrentCount = static_cast<int32_t>(s_.MessageCount);
  s_.CurrentOctets = s_.TotalOctets;
  s_.HighestRetrieved = 0;
  return true;
}

void Pop3Session::ApplyDeletions() {
  const MessageList& list = s_.Messages;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list.Deleted(i)) unlink((s_.MailboxDirectory + "/" + std::string(list.Name(i))).c_str());
  }
}

bool MessageList::Add(std::string_view name, int64_t size) {
  if (names_.size() + name.size() + 1 > UINT32_MAX) return false;
  names_.append(name);
  name_ends_.push_back(static_cast<uint32_t>(names_.size()));
  names_.push_back('\0');
  sizes_.push_back(size);
  deleted_.push_back(0);
  return true;
}

void MessageList::Trim() {
  names_.shrink_to_fit();
  name_ends_.shrink_to_fit();
  sizes_.shrink_to_fit();
  deleted_.shrink_to_fit();
}

void MessageList::Clear() {
  *this = MessageList();
}

std::string_view MessageList::Name(size_t i) const {
  size_t start = i == 0 ? 0 : name_ends_[i - 1] + 1;
  return std::string_view(names_.data() + start, name_ends_[i] - start);
}

void MessageList::UnmarkAll() {
  std::fill(deleted_.begin(), deleted_.end(), uint8_t{0});
}

POPMSGSTRUCT MessageList::operator[](size_t i) const {
  POPMSGSTRUCT m;
  m.Deleted = deleted_[i];
  m.Size = sizes_[i];
  m.FileName = std::string(Name(i));
  return m;
}

}  // namespace qv::pop3
