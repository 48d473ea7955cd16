#include "control/record_commands.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <mutex>

#include "common/address.h"
#include "common/config.h"
#include "common/member_path.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "control/control_texts.h"
#include "control/options.h"
#include "control/stream_fields.h"
#include "platform/fileio.h"
#include "platform/unique_fd.h"

namespace qv::control {

namespace {

using platform::UniqueFd;

// Why a lookup gave nothing, for the caller's log.
constexpr char kNoListAddress[] = "no list address";
constexpr char kNoSuchList[] = "no such list: ";
constexpr char kNoRecordNumber[] = "not a record number";
constexpr char kUnreadableEntry[] = "index entry %lld of the %s table points at nothing readable";
constexpr char kNoMemberAt[] = "no member %lld in %s";

// The bytes of a record as the table files hold them.
void* RecordBytes(TableRecord& record) {
  return std::visit([](auto& r) -> void* { return &r; }, record);
}

// ---- Arguments of the human commands -------------------------------------------------------

// The parts of a human command line: which sub-command, and the text after it.
struct HumanLine {
  int sub = -1;
  std::string_view rest;
};

std::string_view SkipBlanks(std::string_view text) {
  size_t start = text.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

// After a word: skips to the next blank and past the blanks that follow.
std::string_view AfterWord(std::string_view text) {
  size_t blank = text.find(' ');
  return blank == std::string_view::npos ? std::string_view() : SkipBlanks(text.substr(blank));
}

// The command word must be followed by a blank; the text ends at the first CR; the sub-command
// is compared over its own length, in the order given. Empty gives "Syntax Error".
std::optional<HumanLine> ParseHuman(std::string_view line, size_t word_length,
                                    std::initializer_list<const char*> subs) {
  if (line.size() <= word_length || line[word_length] != ' ') return std::nullopt;
  std::string_view text = SkipBlanks(line.substr(word_length));
  text = text.substr(0, text.find('\r'));
  int index = 0;
  for (const char* sub : subs) {
    if (StartsWithNoCase(text, sub)) return HumanLine{index, AfterWord(text)};
    ++index;
  }
  return std::nullopt;
}

// Comma-separated arguments; blanks after a comma are skipped. Missing ones read as empty.
class Arguments {
 public:
  explicit Arguments(std::string_view text) {
    while (!text.empty()) {
      size_t comma = text.find(',');
      args_.push_back(text.substr(0, comma));
      if (comma == std::string_view::npos) break;
      text = SkipBlanks(text.substr(comma + 1));
    }
  }
  std::string_view operator[](size_t i) const {
    return i < args_.size() ? args_[i] : std::string_view();
  }

 private:
  std::vector<std::string_view> args_;
};

// A text that goes into a field of `width` bytes: it must leave room for the zero and must not
// hold the separator of the records' text form.
bool Fits(std::string_view text, size_t width) {
  return text.size() < width && text.find('|') == std::string_view::npos;
}

template <size_t N>
bool Put(char (&field)[N], std::string_view text) {
  if (!Fits(text, N)) return false;
  std::memset(field, 0, N);
  if (!text.empty()) std::memcpy(field, text.data(), text.size());
  return true;
}

template <size_t N>
std::string Text(const char (&field)[N]) {
  return std::string(FieldText(field));
}

// An address argument split into local part and domain.
struct Address {
  std::string local;
  std::string domain;
};

Address Split(std::string_view text) {
  Address a;
  SplitAddress(text, &a.local, &a.domain);
  return a;
}

std::string TablesDirectory(const SYSTEMSTRUCT& system) {
  return std::string(FieldText(system.ConfigPath));
}

Result<LISTSTRUCT> FindList(const SYSTEMSTRUCT& system, std::string_view address) {
  Address a = Split(address);
  if (a.local.empty()) return Fail(kNoListAddress);
  LISTSTRUCT list{};
  if (FindRecord(system, a.local, a.domain, &list) != 0)
    return Fail(kNoSuchList + std::string(address));
  return list;
}

}  // namespace

// ---- USER ----------------------------------------------------------------------------------

std::string UserCommand(const SYSTEMSTRUCT& system, std::string_view line) {
  std::optional<HumanLine> h = ParseHuman(line, 4, {kSubAdd, kSubDelete, kSubShow});
  if (!h) return kSyntaxError;
  Arguments args(h->rest);
  Address a = Split(args[0]);
  if (a.local.empty()) return kSyntaxError;
  USERSTRUCT user{};
  bool fits = Put(user.Alias, a.local) && Put(user.Domain, a.domain);
  switch (h->sub) {
    case 0:
      if (!fits || !IsSafeMailboxName(a.local) || !Put(user.Mailbox, a.local) ||
          !Put(user.Password, args[1]) || !Put(user.Name, args[2]))
        return kCannotAddUser;
      return AddRecord(system, &user) == 0 ? kUserAdded : kCannotAddUser;
    case 1:
      return fits && UpdateRecord(system, user, true) == 0 ? kUserDeleted : kCannotDeleteUser;
    default:
      if (!fits || FindRecord(system, a.local, a.domain, &user) != 0) return kUserUnknown;
      return Format(kUserShow, Text(user.Alias).c_str(), Text(user.Domain).c_str(),
                    Text(user.Name).c_str(), Text(user.Mailbox).c_str(),
                    Text(user.PopAccount).c_str(), Text(user.CopyIncoming).c_str(),
                    Text(user.CopyOutgoing).c_str(), Text(user.Responder).c_str(),
                    Text(user.MailingList).c_str());
  }
}

// ---- LIST ----------------------------------------------------------------------------------

std::string ListCommand(const SYSTEMSTRUCT& system, std::string_view line) {
  std::optional<HumanLine> h =
      ParseHuman(line, 4, {kSubAddMember, kSubDelMember, kSubAdd, kSubDelete, kSubShow});
  if (!h) return kSyntaxError;
  Arguments args(h->rest);
  if (h->sub == 0 || h->sub == 1) {
    // The first argument is the list's address, taken whole.
    if (args[1].empty()) return kSyntaxError;
    const char* failure = h->sub == 0 ? kCannotAddMember : kCannotDeleteMember;
    MEMBERSTRUCT member{};
    if (!Put(member.Address, args[1]) || !Put(member.Name, args[2])) return failure;
    Result<LISTSTRUCT> list = FindList(system, args[0]);
    if (!list) return failure;
    std::string file(FieldText(list->FileName));
    if (h->sub == 0) return AddMember(system, file, args[1], args[2]) == 0 ? kMemberAdded : failure;
    return UpdateMember(system, file, args[1], {}, {}, true) == 0 ? kMemberDeleted : failure;
  }
  Address a = Split(args[0]);
  if (a.local.empty()) return kSyntaxError;
  LISTSTRUCT list{};
  bool fits = Put(list.Name, a.local) && Put(list.Domain, a.domain);
  switch (h->sub) {
    case 2: {
      Address owner = Split(args[3]);
      std::string file(args[2]);
      if (file.empty())
        file = Format(kDefaultMemberFile, TablesDirectory(system).c_str(), a.local.c_str());
      if (!fits || !Put(list.Description, args[1]) || !Put(list.FileName, file) ||
          !Put(list.OwnerUser, owner.local) || !Put(list.OwnerDomain, owner.domain))
        return kCannotAddList;
      return AddRecord(system, &list) == 0 ? kListAdded : kCannotAddList;
    }
    case 3:
      return fits && UpdateRecord(system, list, true) == 0 ? kListDeleted : kCannotDeleteList;
    default:
      if (!fits || FindRecord(system, a.local, a.domain, &list) != 0) return kListUnknown;
      return Format(kListShow, Text(list.Name).c_str(), Text(list.Domain).c_str(),
                    Text(list.Description).c_str(), Text(list.FileName).c_str(),
                    Text(list.OwnerUser).c_str(), Text(list.OwnerDomain).c_str(),
                    Text(list.Responder).c_str(), Text(list.LogFile).c_str());
  }
}

// ---- AUTO ----------------------------------------------------------------------------------

std::string AutoCommand(const SYSTEMSTRUCT& system, std::string_view line) {
  std::optional<HumanLine> h = ParseHuman(line, 4, {kSubAdd, kSubDelete, kSubShow});
  if (!h) return kSyntaxError;
  Arguments args(h->rest);
  if (args[0].empty()) return kSyntaxError;
  AUTOSTRUCT responder{};
  bool fits = Put(responder.Name, args[0]);
  switch (h->sub) {
    case 0:
      if (args[1].empty()) return kSyntaxError;
      if (!fits || !Put(responder.TextFile, args[1])) return kCannotAddAuto;
      return AddRecord(system, &responder) == 0 ? kAutoAdded : kCannotAddAuto;
    case 1:
      return fits && UpdateRecord(system, responder, true) == 0 ? kAutoDeleted : kCannotDeleteAuto;
    default:
      if (!fits || FindRecord(system, args[0], &responder) != 0) return kAutoUnknown;
      return Format(kAutoShow, Text(responder.Name).c_str(), Text(responder.TextFile).c_str(),
                    Text(responder.LogFile).c_str(), Text(responder.Exceptions).c_str());
  }
}

// ---- EXEC ----------------------------------------------------------------------------------

std::string ExecCommand(const SYSTEMSTRUCT& system, std::string_view line) {
  std::optional<HumanLine> h = ParseHuman(line, 4, {kSubAdd, kSubDelete, kSubShow});
  if (!h) return kSyntaxError;
  Arguments args(h->rest);
  Address a = Split(args[0]);
  if (a.local.empty()) return kSyntaxError;
  EXECSTRUCT command{};
  bool fits = Put(command.Name, a.local) && Put(command.Domain, a.domain);
  switch (h->sub) {
    case 0:
      if (args[1].empty()) return kSyntaxError;
      if (!fits || !Put(command.Application, args[1]) || !Put(command.Description, args[2]))
        return kCannotAddExec;
      return AddRecord(system, &command) == 0 ? kExecAdded : kCannotAddExec;
    case 1:
      return fits && UpdateRecord(system, command, true) == 0 ? kExecDeleted : kCannotDeleteExec;
    default:
      if (!fits || FindRecord(system, a.local, a.domain, &command) != 0) return kExecUnknown;
      return Format(kExecShow, Text(command.Name).c_str(), Text(command.Domain).c_str(),
                    Text(command.Description).c_str(), Text(command.Application).c_str(),
                    Text(command.Parameters).c_str(), Text(command.Keywords).c_str());
  }
}

// ---- ROUTE ---------------------------------------------------------------------------------

std::string RouteCommand(const SYSTEMSTRUCT& system, std::string_view line) {
  std::optional<HumanLine> h = ParseHuman(line, 5, {kSubAdd, kSubDelete, kSubShow});
  if (!h) return kSyntaxError;
  ROUTESTRUCT route{};
  std::string_view rest = h->rest;
  if (h->sub == 0) {
    // The type word is always skipped, known or not.
    std::string_view type = rest.substr(0, rest.find(' '));
    if (EqualsNoCase(type, kWordToHost))
      route.Type = kRouteToHost;
    else if (EqualsNoCase(type, kWordToDomain))
      route.Type = kRouteToDomain;
    else
      route.Type = kRouteToMail;
    rest = AfterWord(rest);
  }
  Arguments args(rest);
  if (args[0].empty()) return kSyntaxError;
  switch (h->sub) {
    case 0:
      if (args[1].empty()) return kSyntaxError;
      if (!Put(route.Masks, args[0]) || !Put(route.Destination, args[1])) return kCannotAddRoute;
      return AddRecord(system, &route) == 0 ? kRouteAdded : kCannotAddRoute;
    case 1:
      // The key is the destination: with only the masks, nothing is removed.
      if (!Put(route.Masks, args[0]) || !Put(route.Destination, args[1])) return kCannotDeleteRoute;
      return UpdateRecord(system, route, true) == 0 ? kRouteDeleted : kCannotDeleteRoute;
    default: {
      if (!Fits(args[0], sizeof route.Destination) || FindRecord(system, args[0], &route) != 0)
        return kRouteUnknown;
      const char* type = route.Type == kRouteToHost     ? kRouteTypeHost
                         : route.Type == kRouteToDomain ? kRouteTypeDomain
                                                        : kRouteTypeMail;
      return Format(kRouteShow, Text(route.Masks).c_str(), type, Text(route.Destination).c_str());
    }
  }
}

// ---- POPA ----------------------------------------------------------------------------------

std::string PopaCommand(const SYSTEMSTRUCT& system, std::string_view line) {
  std::optional<HumanLine> h = ParseHuman(line, 4, {kSubAdd, kSubDelete, kSubShow});
  if (!h) return kSyntaxError;
  Arguments args(h->rest);
  ACCOUNTSTRUCT account{};
  bool fits = Put(account.Name, args[0]);
  switch (h->sub) {
    case 0: {
      if (args[1].empty() || args[2].empty() || args[3].empty()) return kSyntaxError;
      int64_t interval = static_cast<int64_t>(ReadDecimal(args[4])) * 60;
      if (interval <= 0) interval = 7200;
      if (!fits || interval > std::numeric_limits<int32_t>::max() ||
          !Put(account.Server, args[1]) || !Put(account.Account, args[2]) ||
          !Put(account.Password, args[3]) || !Put(account.DialProfile, args[5]))
        return kCannotAddPopa;
      account.Interval = static_cast<int32_t>(interval);
      return AddRecord(system, &account) == 0 ? kPopaAdded : kCannotAddPopa;
    }
    case 1:
      return fits && UpdateRecord(system, account, true) == 0 ? kPopaDeleted : kCannotDeletePopa;
    default: {
      if (!fits || FindRecord(system, args[0], &account) != 0) return kPopaUnknown;
      int number = 0;
      const char* unit = nullptr;
      SplitInterval(account.Interval, IntervalKind::kAccount, &number, &unit);
      return Format(kPopaShow, Text(account.Name).c_str(), Text(account.Server).c_str(),
                    Text(account.Account).c_str(), Text(account.Password).c_str(), number, unit,
                    Text(account.DialProfile).c_str());
    }
  }
}

// ---- Reading by position -------------------------------------------------------------------

std::optional<int64_t> ParseRecordNumber(std::string_view text) {
  if (text.size() < 2 || text[0] != '#' || text.size() > 19) return std::nullopt;
  int64_t value = 0;
  for (char c : text.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

TableRecord EmptyRecord(Table table) {
  switch (table) {
    case Table::kUser:
      return USERSTRUCT{};
    case Table::kLists:
      return LISTSTRUCT{};
    case Table::kCommands:
      return EXECSTRUCT{};
    case Table::kRoutes:
      return ROUTESTRUCT{};
    case Table::kResponder:
      return AUTOSTRUCT{};
    case Table::kAccounts:
      break;
  }
  return ACCOUNTSTRUCT{};
}

Result<std::optional<TableRecord>> ReadRecordAtIndex(const SYSTEMSTRUCT& system, Table table,
                                                     int64_t n) {
  const TableDef& def = GetTableDef(table);
  TablePaths paths = GetTablePaths(system, table);
  TableLock lock(system, table, LockMode::kShared);
  UniqueFd index(::open(paths.index.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd data(::open(paths.data.c_str(), O_RDONLY | O_CLOEXEC));
  const std::optional<TableRecord> past_end;
  if (!index || !data || n < 0) return past_end;
  int64_t count = platform::FileSizeOf(index.get()) / static_cast<int64_t>(sizeof(IndexEntry));
  if (n >= count) return past_end;
  IndexEntry entry;
  if (!platform::ReadAt(index.get(), &entry, sizeof entry, n * static_cast<int64_t>(sizeof entry)))
    return past_end;
  TableRecord record = EmptyRecord(table);
  void* bytes = RecordBytes(record);
  bool read = false;
  if (entry.Offset > 0) {
    read = platform::ReadAt(data.get(), bytes, def.record_size, entry.Offset);
  } else if (entry.Offset == 0) {
    // Offset 0 stands for the first record of the key in the data file: the walk in index order
    // resolves it the same way.
    int64_t at = 0;
    ForEachRecord(system, table, [&](const void* r) {
      if (at++ < n) return true;
      std::memcpy(bytes, r, def.record_size);
      read = true;
      return false;
    });
  }
  if (!read) return Fail(Format(kUnreadableEntry, static_cast<long long>(n), def.name));
  return std::optional<TableRecord>(std::move(record));
}

Result<MEMBERSTRUCT> ReadMemberAt(const SYSTEMSTRUCT& system, const std::string& member_file,
                                  int64_t n) {
  Result<std::string> path = MemberFilePath(system, member_file);
  if (!path) return Fail(path.error());
  FileLock lock(LockPathFor(*path), LockMode::kShared);
  UniqueFd file(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  int64_t count =
      file ? platform::FileSizeOf(file.get()) / static_cast<int64_t>(sizeof(MEMBERSTRUCT)) : 0;
  MEMBERSTRUCT member{};
  if (n < 0 || n >= count ||
      !platform::ReadAt(file.get(), &member, sizeof member,
                        n * static_cast<int64_t>(sizeof member)))
    return Fail(Format(kNoMemberAt, static_cast<long long>(n), member_file.c_str()));
  return member;
}

// ---- GETSTREAM -----------------------------------------------------------------------------

namespace {

struct StreamTable {
  const char* word;
  Table table;
  bool address_key;  // the key argument is an address (local part and domain)
};

const StreamTable kStreamTables[] = {
    {kStreamUser, Table::kUser, true},       {kStreamList, Table::kLists, true},
    {kStreamRoute, Table::kRoutes, false},   {kStreamExec, Table::kCommands, true},
    {kStreamAuto, Table::kResponder, false}, {kStreamAccount, Table::kAccounts, false},
};

const StreamTable* FindStreamTable(std::string_view word) {
  for (const StreamTable& t : kStreamTables)
    if (EqualsNoCase(word, t.word)) return &t;
  return nullptr;
}

// The record that ends a listing by position: empty but for "#" in its first field.
TableRecord EndOfTableRecord(Table table) {
  TableRecord record = EmptyRecord(table);
  std::memcpy(static_cast<char*>(RecordBytes(record)) + GetTableDef(table).fields[0].offset,
              kEndOfTable, sizeof kEndOfTable);
  return record;
}

std::string FormatRecord(const TableRecord& record) {
  return std::visit([](const auto& r) { return FormatRecordLine(r); }, record);
}

std::string GetRecord(const SYSTEMSTRUCT& system, const StreamTable& t, std::string_view argument) {
  if (!argument.empty() && argument[0] == '#') {
    std::optional<TableRecord> record;
    if (std::optional<int64_t> n = ParseRecordNumber(argument)) {
      Result<std::optional<TableRecord>> read = ReadRecordAtIndex(system, t.table, *n);
      if (!read) return {};
      record = std::move(read).value();
    }
    return FormatRecord(record ? *record : EndOfTableRecord(t.table));
  }
  Address key = t.address_key ? Split(argument) : Address{std::string(argument), {}};
  TableRecord record = EmptyRecord(t.table);
  int found =
      std::visit([&](auto& r) { return FindRecord(system, key.local, key.domain, &r); }, record);
  return found == 0 ? FormatRecord(record) : std::string();
}

// A member file is read only when it is the member file of an existing list.
bool IsListMemberFile(const SYSTEMSTRUCT& system, std::string_view file) {
  bool known = false;
  ForEachRecord(system, Table::kLists, [&](const void* r) {
    known = FieldText(static_cast<const LISTSTRUCT*>(r)->FileName) == file;
    return !known;
  });
  return known;
}

std::string GetMember(const SYSTEMSTRUCT& system, std::string_view argument) {
  size_t bar = argument.find('|');
  if (bar == std::string_view::npos) return {};
  std::string_view file = argument.substr(0, bar);
  std::string_view number = argument.substr(bar + 1);
  if (number.empty() || number[0] != '#') return {};
  if (file.empty() || !IsListMemberFile(system, file)) return {};
  std::optional<int64_t> n = ParseRecordNumber(number);
  Result<MEMBERSTRUCT> member =
      n ? ReadMemberAt(system, std::string(file), *n) : Result<MEMBERSTRUCT>(Fail(kNoRecordNumber));
  if (member) return FormatMemberLine(*member);
  MEMBERSTRUCT end{};
  std::memcpy(end.Address, kEndOfTable, sizeof kEndOfTable);
  return FormatMemberLine(end);
}

}  // namespace

std::string ListLogs(const std::string& log_path) {
  std::vector<std::string> smtp, pop3;
  if (DIR* dir = opendir(log_path.c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string_view name = e->d_name;
      if (!EndsWithNoCase(name, kLogSuffix) || name.size() <= std::strlen(kLogSuffix)) continue;
      if (StartsWithNoCase(name, kSmtpLogPrefix))
        smtp.emplace_back(name);
      else if (StartsWithNoCase(name, kPop3LogPrefix))
        pop3.emplace_back(name);
    }
    closedir(dir);
  }
  std::sort(smtp.begin(), smtp.end());
  std::sort(pop3.begin(), pop3.end());
  std::string out;
  for (const auto* names : {&smtp, &pop3})
    for (const std::string& name : *names) out += name + kListSeparator;
  return out;
}

std::string ListGroups() {
  // The group database is walked with one cursor per process.
  static std::mutex mutex;
  std::lock_guard<std::mutex> hold(mutex);
  std::string out;
  std::vector<char> buffer(4096);
  group entry{};
  group* result = nullptr;
  setgrent();
  for (;;) {
    int error = getgrent_r(&entry, buffer.data(), buffer.size(), &result);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || result == nullptr) break;
    out += Format(kGroupEntry, std::string(entry.gr_name).substr(0, 128).c_str(), "");
  }
  endgrent();
  return out;
}

std::string GetStream(const SYSTEMSTRUCT& system, std::string_view line,
                      const StreamSources& sources) {
  std::string_view rest = AfterWord(line);
  std::string_view word = rest.substr(0, rest.find(' '));
  std::string_view argument = AfterWord(rest);
  if (EqualsNoCase(word, kStreamRasEntry)) {
    std::string out;
    if (sources.phone_book)
      for (const std::string& name : sources.phone_book()) out += name + kListSeparator;
    return out.empty() ? std::string(kListSeparator) : out;
  }
  if (EqualsNoCase(word, kStreamLogs)) return ListLogs(sources.log_path);
  if (EqualsNoCase(word, kStreamMember)) return GetMember(system, argument);
  if (EqualsNoCase(word, kStreamNtUsers)) return ListGroups();
  if (const StreamTable* t = FindStreamTable(word)) return GetRecord(system, *t, argument);
  return {};
}

// ---- PUTSTREAM -----------------------------------------------------------------------------

bool PutStreamRecord(const SYSTEMSTRUCT& system, std::string_view word, std::string_view fields) {
  const StreamTable* t = FindStreamTable(word);
  if (t == nullptr) return false;
  StreamFields f(fields);
  char op[32];
  f.Text(op);
  if (t->table == Table::kLists &&
      (EqualsNoCase(op, kOpAddMember) || EqualsNoCase(op, kOpDeleteMember))) {
    char list_address[255];
    MEMBERSTRUCT member{};
    f.Text(list_address);
    f.Text(member.Address);
    f.Text(member.Name);
    Result<LISTSTRUCT> list = FindList(system, list_address);
    if (!list) return true;
    std::string file(FieldText(list->FileName));
    if (EqualsNoCase(op, kOpAddMember))
      AddMember(system, file, FieldText(member.Address), FieldText(member.Name));
    else
      UpdateMember(system, file, FieldText(member.Address), {}, {}, true);
    return true;
  }
  TableRecord record = EmptyRecord(t->table);
  std::visit([&](auto& r) { ParseRecordLine(f.Rest(), &r); }, record);
  // A record without its key could never be found again, only listed.
  if (static_cast<const char*>(RecordBytes(record))[GetTableDef(t->table).key_offset] == '\0')
    return true;
  std::visit(
      [&](auto& r) {
        if (EqualsNoCase(op, kOpAdd))
          AddRecord(system, &r);
        else if (EqualsNoCase(op, kOpDelete))
          UpdateRecord(system, r, true);
        else if (EqualsNoCase(op, kOpEdit))
          UpdateRecord(system, r, false);
      },
      record);
  return true;
}

}  // namespace qv::control
