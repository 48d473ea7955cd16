#include "common/tables.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/accounts.h"
#include "common/address.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/member_path.h"
#include "common/settings_table.h"
#include "common/strings.h"
#include "platform/fileio.h"
#include "platform/registry.h"
#include "platform/unique_fd.h"

namespace qv {
namespace {

// The temporary folder that installations keep under MailPath beside the forward queue.
constexpr std::string_view kTempDirectory = "temp";

platform::UniqueFd OpenFile(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do fd = open(path.c_str(), flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return platform::UniqueFd(fd);
}

platform::UniqueFd OpenRead(const std::string& path) {
  return OpenFile(path, O_RDONLY);
}

std::string_view UpToNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// The entries of `Domain`, in order, without blanks around them; empty entries are skipped
// (an empty entry would make every domain local).
std::vector<std::string> LocalDomains(const SYSTEMSTRUCT& system) {
  std::vector<std::string> out;
  std::string_view list = FieldText(system.Domain);
  while (!list.empty()) {
    size_t semi = list.find(';');
    std::string_view item = Trim(list.substr(0, semi));
    if (!item.empty()) out.emplace_back(item);
    if (semi == std::string_view::npos) break;
    list.remove_prefix(semi + 1);
  }
  return out;
}

// The tables in the order of the classification; -2 when none names the address.
int ClassifyInTables(const SYSTEMSTRUCT& system, std::string_view local,
                     const std::string& domain) {
  ROUTESTRUCT route;
  if (FindRouteByAddress(system, local, domain, &route) == 0) return kAddressRoute;
  LISTSTRUCT list;
  if (FindRecord(system, local, domain, &list) == 0) return kAddressList;
  EXECSTRUCT command;
  if (FindRecord(system, local, domain, &command) == 0) return kAddressCommand;
  USERSTRUCT user;
  if (FindRecord(system, local, domain, &user) == 0) return kAddressUser;
  return -2;
}

// Reads the member records of an open file: calls `visit(record, offset)` for each non-empty
// one until it returns false.
template <class Visit>
void ForEachMember(int fd, Visit&& visit) {
  std::vector<MEMBERSTRUCT> block(64);
  int64_t offset = 0;
  for (;;) {
    ssize_t got = platform::ReadUpTo(fd, block.data(), block.size() * sizeof(MEMBERSTRUCT), offset);
    if (got <= 0) return;
    size_t whole = static_cast<size_t>(got) / sizeof(MEMBERSTRUCT);
    if (whole == 0) return;  // a torn last record is not read
    for (size_t i = 0; i < whole; ++i) {
      int64_t at = offset + static_cast<int64_t>(i * sizeof(MEMBERSTRUCT));
      if (block[i].Address[0] != '\0' && !visit(block[i], at)) return;
    }
    offset += static_cast<int64_t>(whole * sizeof(MEMBERSTRUCT));
  }
}

int FindList(const SYSTEMSTRUCT& system, std::string_view list_address, LISTSTRUCT* list) {
  std::string local, domain;
  SplitAddress(list_address, &local, &domain);
  return FindRecord(system, local, domain, list);
}

// A text value of at most `width` - 1 characters; false when missing or not a text.
bool QueryTextValue(const reg::Key& key, const char* name, char* field, size_t width) {
  uint32_t type = 0, size = 0;
  if (reg::QueryValue(key, name, &type, nullptr, &size) != reg::kSuccess || type != reg::kSz)
    return false;
  std::string buffer(size, '\0');
  if (reg::QueryValue(key, name, &type, buffer.data(), &size) != reg::kSuccess) return false;
  buffer.resize(std::min<size_t>(size, buffer.size()));
  CopyField(field, width, std::string(UpToNul(buffer)));
  return true;
}

}  // namespace

bool LoadTableSettings(SYSTEMSTRUCT& system) {
  reg::Key key;
  if (reg::OpenKey(kControlKey, &key) != reg::kSuccess) return false;
  std::memset(system.Domain, 0, sizeof system.Domain);
  QueryTextValue(key, "Domain", system.Domain, sizeof system.Domain);
  bool ok = QueryTextValue(key, "ConfigPath", system.ConfigPath, sizeof system.ConfigPath) &&
            system.ConfigPath[0] != '\0';
  reg::CloseKey(&key);
  return ok;
}

bool IsLocalDomain(const SYSTEMSTRUCT& system, std::string_view domain) {
  domain = UpToNul(domain);
  for (const std::string& entry : LocalDomains(system)) {
    if (EqualsNoCase(domain, entry)) return true;
  }
  return false;
}

int ClassifyAddress(const SYSTEMSTRUCT& system, std::string_view local_part, std::string* domain,
                    bool search_other_domains, std::string* full_name) {
  local_part = UpToNul(local_part);
  const std::string original = *domain;
  const bool local = IsLocalDomain(system, original);
  std::string_view nt_domain = FieldText(system.NTDomain);
  const bool is_nt_domain = !nt_domain.empty() && EqualsNoCase(UpToNul(original), nt_domain);
  if ((system.Flags & kSysNtUser) && is_nt_domain &&
      NtAccountLookup(system.NTUser, local_part, full_name))
    return kAddressAccount;

  std::vector<std::string> others;
  // Only a name of a local domain is looked for in the other local domains: a foreign
  // address is never taken for a local one.
  if (search_other_domains && !original.empty() && local) {
    for (std::string& d : LocalDomains(system))
      if (!EqualsNoCase(d, original)) others.push_back(std::move(d));
  }
  std::string current = original;
  for (size_t next = 0;; ++next) {
    int found = ClassifyInTables(system, local_part, current);
    if (found != -2) {
      *domain = current;
      return found;
    }
    if (next >= others.size()) break;
    current = others[next];
  }
  *domain = original;
  return (local || is_nt_domain) ? kAddressUser : kAddressForeign;
}

int FindRouteByAddress(const SYSTEMSTRUCT& system, std::string_view local_part,
                       std::string_view domain, ROUTESTRUCT* route) {
  std::string address = std::string(UpToNul(local_part)) + "@" + std::string(UpToNul(domain));
  TablePaths paths = GetTablePaths(system, Table::kRoutes);
  if (TableMissing(paths)) return -1;
  FileLock lock(paths.lock, LockMode::kShared);
  SettleCompaction(paths);
  platform::UniqueFd data = OpenRead(paths.data);
  if (!data) return -1;
  platform::UniqueFd index = OpenRead(paths.index);
  ROUTESTRUCT candidate;
  auto matches = [&](int64_t offset) {
    return platform::ReadAt(data.get(), &candidate, sizeof candidate, offset) &&
           MatchMaskList(address, FieldText(candidate.Masks)) == 1;
  };
  if (index.get() < 0) {
    // Without an index the routes are taken in file order.
    for (int64_t at = 0; platform::ReadAt(data.get(), &candidate, sizeof candidate, at);
         at += static_cast<int64_t>(sizeof candidate)) {
      if (MatchMaskList(address, FieldText(candidate.Masks)) == 1) {
        *route = candidate;
        return 0;
      }
    }
    return 1;
  }
  int64_t count = platform::FileSizeOf(index.get()) / static_cast<int64_t>(sizeof(IndexEntry));
  std::vector<IndexEntry> entries(static_cast<size_t>(count > 0 ? count : 0));
  if (count > 0 &&
      !platform::ReadAt(index.get(), entries.data(), entries.size() * sizeof(IndexEntry), 0))
    return -1;
  for (const IndexEntry& e : entries) {
    if (e.Offset >= 0 && matches(e.Offset)) {
      *route = candidate;
      return 0;
    }
  }
  return 1;
}

bool IsServiceFolder(std::string_view name) {
  return EqualsNoCase(name, kForwardDirectory) || EqualsNoCase(name, kTempDirectory);
}

bool IsSafeMailboxName(std::string_view mailbox) {
  if (mailbox.empty() || mailbox == "." || mailbox == "..") return false;
  if (IsServiceFolder(mailbox)) return false;
  return mailbox.find('/') == std::string_view::npos &&
         mailbox.find('\0') == std::string_view::npos;
}

// ---- The add rules -------------------------------------------------------------------------

namespace {

void TrimTrailingBlanks(char* field, size_t width) {
  size_t n = strnlen(field, width);
  while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == '\t')) field[--n] = '\0';
}

// A user whose mail stays here never gets a service folder for its mailbox: it would receive
// into the forward queue, and its POP3 logon would read other people's outgoing mail.
bool UserMailboxAllowed(const USERSTRUCT& user) {
  return (user.Options & kUserRemote) != 0 || !IsServiceFolder(FieldText(user.Mailbox));
}

// The add rules. False when the record is refused.
bool ApplyAddRules(const SYSTEMSTRUCT& system, const TableDef& def, void* record) {
  char* bytes = static_cast<char*>(record);
  if (def.has_domain) {
    TrimTrailingBlanks(bytes + def.key_offset, def.key_width);
    char* domain = bytes + kDomainOffset;
    TrimTrailingBlanks(domain, kDomainWidth);
    if (domain[0] == '\0') CopyField(domain, kDomainWidth, PrimaryDomain(system));
    if (def.table == Table::kUser) {
      auto* user = static_cast<USERSTRUCT*>(record);
      TrimTrailingBlanks(user->Password, sizeof user->Password);
      TrimTrailingBlanks(user->Name, sizeof user->Name);
      if (user->Mailbox[0] == '\0') CopyField(user->Mailbox, std::string(FieldText(user->Alias)));
      return UserMailboxAllowed(*user);
    }
    return true;
  }
  // Routes, responders and accounts: the first field must not be empty.
  return bytes[def.fields[0].offset] != '\0';
}

}  // namespace

// A list's member file, when it names one, lies inside the configuration folder.
bool ListFileAllowed(const SYSTEMSTRUCT& system, Table table, const void* record) {
  if (table != Table::kLists) return true;
  std::string_view file = FieldText(static_cast<const LISTSTRUCT*>(record)->FileName);
  return file.empty() || MemberFilePath(system, file).ok();
}

int AddRecord(const SYSTEMSTRUCT& system, Table table, void* record) {
  if (!ListFileAllowed(system, table, record)) return -1;
  if (!ApplyAddRules(system, GetTableDef(table), record)) return -1;
  Result<Inserted> inserted = InsertRecord(system, table, record);
  if (!inserted) return -1;
  return *inserted == Inserted::kAdded ? 0 : 1;
}

int UpdateRecord(const SYSTEMSTRUCT& system, Table table, const void* record, bool remove) {
  if (remove) return RemoveRecord(system, table, record) ? 0 : -1;
  if (table == Table::kUser && !UserMailboxAllowed(*static_cast<const USERSTRUCT*>(record)))
    return -1;
  if (!ListFileAllowed(system, table, record)) return -1;
  return ReplaceRecord(system, table, record) ? 0 : -1;
}

bool ParseImportLine(std::string_view line, USERSTRUCT* user) {
  std::memset(user, 0, sizeof *user);
  struct Target {
    char* field;
    size_t width;
  };
  const Target targets[] = {
      {user->Alias, sizeof user->Alias},
      {user->Domain, sizeof user->Domain},
      {user->Name, sizeof user->Name},
      {user->Password, sizeof user->Password},
      {user->Mailbox, sizeof user->Mailbox},
      {user->CopyIncoming, sizeof user->CopyIncoming},
      {user->CopyOutgoing, sizeof user->CopyOutgoing},
      {user->Responder, sizeof user->Responder},
      {user->MailingList, sizeof user->MailingList},
  };
  size_t n = line.find('\n');
  if (n != std::string_view::npos) line = line.substr(0, n);
  size_t pos = 0;
  for (const Target& t : targets) {
    if (pos > line.size()) break;
    size_t sep = line.find_first_of(";,", pos);
    std::string_view value =
        line.substr(pos, sep == std::string_view::npos ? std::string_view::npos : sep - pos);
    // Blanks after a separator; blanks and CR before one (or before the line end).
    size_t b = value.find_first_not_of(' ');
    value = b == std::string_view::npos ? std::string_view() : value.substr(b);
    size_t e = value.find_last_not_of(" \r");
    value = e == std::string_view::npos ? std::string_view() : value.substr(0, e + 1);
    CopyField(t.field, t.width, std::string(value));
    if (sep == std::string_view::npos) break;
    pos = sep + 1;
  }
  if (std::strchr(user->Mailbox, '@') != nullptr) user->Options |= kUserRemote;
  if (user->Responder[0] != '\0') user->Options |= kUserRespond;
  if (user->MailingList[0] != '\0') user->Options |= kUserJoinList;
  return user->Alias[0] != '\0' && user->Domain[0] != '\0';
}

int ImportUsers(const SYSTEMSTRUCT& system, const std::string& file_name, std::FILE* progress) {
  platform::UniqueFd file = OpenRead(file_name);
  if (!file) return -1;
  int not_added = 0;
  long lines = 0;
  auto read = [&](char* buffer, size_t size, long long position) -> long long {
    return platform::ReadUpTo(file.get(), buffer, size, position);
  };
  auto line = [&](std::string_view text) {
    USERSTRUCT user;
    if (!ParseImportLine(text, &user) || AddRecord(system, &user) != 0) ++not_added;
    if (progress) {
      std::fputc('.', progress);
      if (++lines % 50 == 0) std::fputc('\n', progress);
      std::fflush(progress);
    }
  };
  ForEachImportLine(read, line);
  if (progress) std::fputs("\n\n", progress);
  return not_added;
}

int SyncMailboxDirectories(const SYSTEMSTRUCT& system) {
  std::string mail = FieldText(system.MailPath).empty() ? "." : system.MailPath;
  // The root or a system folder, however the path reaches it, is never cleaned up.
  char resolved[PATH_MAX];
  if (IsSystemFolder(mail) || (::realpath(mail.c_str(), resolved) && IsSystemFolder(resolved)))
    return -1;

  std::vector<std::string> mailboxes;
  {
    TablePaths paths = GetTablePaths(system, Table::kUser);
    FileLock lock(paths.lock, LockMode::kShared);
    SettleCompaction(paths);
    platform::UniqueFd index = OpenRead(paths.index);
    if (!index) return -1;
    platform::UniqueFd data = OpenRead(paths.data);
    int64_t count = platform::FileSizeOf(index.get()) / static_cast<int64_t>(sizeof(IndexEntry));
    for (int64_t i = 0; data.get() >= 0 && i < count; ++i) {
      IndexEntry e;
      USERSTRUCT user;
      if (!platform::ReadAt(index.get(), &e, sizeof e, i * static_cast<int64_t>(sizeof e))) break;
      if (e.Offset < 0 || !platform::ReadAt(data.get(), &user, sizeof user, e.Offset)) continue;
      if (user.Options & kUserRemote) continue;
      mailboxes.emplace_back(FieldText(user.Mailbox));
    }
  }

  // Empty folders directly inside the mail folder that are no user's mailbox; names are taken
  // relative to the folder opened once, and a symbolic link is never followed.
  platform::UniqueFd folder(::open(mail.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) {
    std::vector<std::string> names;
    if (DIR* d = ::fdopendir(::dup(folder.get()))) {
      while (dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
      ::closedir(d);
    }
    for (const std::string& name : names) {
      if (name == "." || name == ".." || IsServiceFolder(name)) continue;
      if (std::find(mailboxes.begin(), mailboxes.end(), name) != mailboxes.end()) continue;
      struct stat st {};
      if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISDIR(st.st_mode))
        ::unlinkat(folder.get(), name.c_str(), AT_REMOVEDIR);  // only if empty
    }
  }

  for (const std::string& mailbox : mailboxes) {
    if (!IsSafeMailboxName(mailbox)) continue;
    std::string path = mail + "/" + mailbox;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) mkdir(path.c_str(), 0755);
  }
  return 0;
}

bool IsListAddress(const SYSTEMSTRUCT& system, std::string_view address) {
  std::string local, domain;
  SplitAddress(UpToNul(address), &local, &domain);
  if (local.empty()) return false;
  LISTSTRUCT list;
  if (FindRecord(system, local, domain, &list) == 0) return true;
  int kind = ClassifyAddress(system, local, &domain, false);
  if (kind == kAddressList) return true;
  ROUTESTRUCT route;
  if (kind != kAddressRoute || FindRouteByAddress(system, local, domain, &route) != 0) return false;
  std::string destination(FieldText(route.Destination));
  if (route.Type == kRouteToMail) {
    SplitAddress(destination, &local, &domain);
  } else if (route.Type == kRouteToDomain) {
    domain = destination;
  } else {
    return false;
  }
  return !local.empty() && ClassifyAddress(system, local, &domain, false) == kAddressList;
}

int AddMember(const SYSTEMSTRUCT& system, const std::string& member_file, std::string_view address,
              std::string_view name) {
  if (IsListAddress(system, address)) return kMemberIsList;
  MEMBERSTRUCT member{};
  CopyField(member.Address, std::string(UpToNul(address)));
  CopyField(member.Name, std::string(UpToNul(name)));
  if (member.Address[0] == '\0') return -1;
  Result<std::string> path = MemberFilePath(system, member_file);
  if (!path) return -1;
  FileLock lock(LockPathFor(*path), LockMode::kExclusive);
  if (lock.refused()) return -1;
  platform::UniqueFd file = OpenFile(*path, O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
  if (!file) return -1;
  bool present = false;
  std::string_view wanted = FieldText(member.Address);
  ForEachMember(file.get(), [&](const MEMBERSTRUCT& m, int64_t) {
    present = EqualsNoCase(FieldText(m.Address), wanted);
    return !present;
  });
  if (present) return 1;
  int64_t size = platform::FileSizeOf(file.get());
  if (size < 0) return -1;
  int64_t offset = size - size % static_cast<int64_t>(sizeof member);  // over a torn last record
  return platform::WriteAt(file.get(), &member, sizeof member, offset) ? 0 : -1;
}

int UpdateMember(const SYSTEMSTRUCT& system, const std::string& member_file,
                 std::string_view address, std::string_view new_address, std::string_view new_name,
                 bool remove) {
  if (!remove && IsListAddress(system, new_address)) return kMemberIsList;
  Result<std::string> path = MemberFilePath(system, member_file);
  if (!path) return -1;
  FileLock lock(LockPathFor(*path), LockMode::kExclusive);
  if (lock.refused()) return -1;
  platform::UniqueFd file = OpenFile(*path, O_RDWR | O_NOFOLLOW);
  if (!file) return -1;
  address = UpToNul(address);
  int64_t found = -1;
  ForEachMember(file.get(), [&](const MEMBERSTRUCT& m, int64_t at) {
    if (MatchMask(FieldText(m.Address), address) != 0) return true;
    found = at;
    return false;
  });
  if (found < 0) return -1;
  MEMBERSTRUCT member{};
  if (!remove) {
    CopyField(member.Address, std::string(UpToNul(new_address)));
    CopyField(member.Name, std::string(UpToNul(new_name)));
  }
  if (!platform::WriteAt(file.get(), &member, sizeof member, found)) return -1;
  if (remove) return CompactFile(*path, sizeof(MEMBERSTRUCT));
  return 0;
}

int AddListMember(const SYSTEMSTRUCT& system, std::string_view list_address,
                  std::string_view address, std::string_view name) {
  LISTSTRUCT list;
  if (FindList(system, list_address, &list) != 0) return -1;
  return AddMember(system, std::string(FieldText(list.FileName)), address, name) == kMemberIsList
             ? kMemberIsList
             : 0;
}

int UpdateListMember(const SYSTEMSTRUCT& system, std::string_view list_address,
                     std::string_view address, std::string_view new_address,
                     std::string_view new_name, bool remove) {
  LISTSTRUCT list;
  if (FindList(system, list_address, &list) != 0) return -1;
  return UpdateMember(system, std::string(FieldText(list.FileName)), address, new_address, new_name,
                      remove) == kMemberIsList
             ? kMemberIsList
             : 0;
}

int CompactMemberFile(const std::string& member_file) {
  return CompactFile(member_file, sizeof(MEMBERSTRUCT));
}

std::string ExpandMembers(const SYSTEMSTRUCT& system, const LISTSTRUCT& list) {
  std::string file_name(FieldText(list.FileName));
  if (file_name.empty()) return {};
  Result<std::string> path = MemberFilePath(system, file_name);
  if (!path) return {};
  FileLock lock(LockPathFor(*path), LockMode::kShared);
  platform::UniqueFd file = OpenFile(*path, O_RDONLY | O_NOFOLLOW);
  if (!file) return {};
  std::string out;
  // A CR or LF kept in a member file would split the line and end the reply early: blanks.
  auto append = [&out](std::string_view text) {
    for (char c : text) out += (c == '\r' || c == '\n') ? ' ' : c;
  };
  ForEachMember(file.get(), [&](const MEMBERSTRUCT& m, int64_t) {
    out += "250-";
    append(FieldText(m.Name));
    out += " <";
    append(FieldText(m.Address));
    out += ">\r\n";
    return true;
  });
  return out;
}

}  // namespace qv
