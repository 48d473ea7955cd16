// The record files: the locks of the tables, the names of their files and the operations on
// their records. The index file is in recordstore_index.cc, the kept answers and folder listings
// in recordstore_cache.cc, compaction in recordstore_compaction.cc.
#include "common/recordstore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "common/address.h"
#include "common/recordstore_cache.h"
#include "common/recordstore_io.h"
#include "common/strings.h"
#include "platform/fileio.h"

namespace qv {

using recordstore_io::Fd;
using recordstore_io::IndexFile;
using recordstore_io::Match;
using recordstore_io::OpenFile;
using recordstore_io::RecordKey;
using recordstore_io::RecordReader;
using recordstore_io::UpToNul;

namespace {

// ---- Lock bookkeeping ----------------------------------------------------------------------

// Locks this thread holds, by the lock file's identity, so that nested operations reuse them.
struct HeldLock {
  int fd;
  LockMode mode;
  int count;
};
thread_local std::map<std::pair<uint64_t, uint64_t>, HeldLock> t_held_locks;

std::pair<uint64_t, uint64_t> Identity(int fd) {
  struct stat st {};
  fstat(fd, &st);
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// ---- The record test -----------------------------------------------------------------------

std::string_view RecordDomain(const void* record) {
  return FieldText(static_cast<const char*>(record) + kDomainOffset, kDomainWidth);
}

bool PassesTest(const TableDef& def, const void* record, std::string_view key,
                std::string_view domain) {
  if (!EqualsNoCase(RecordKey(def, record), key)) return false;
  if (!def.has_domain || domain.empty()) return true;
  return MatchMask(RecordDomain(record), domain) == 0;
}

// The domain a stored record must match for a change of `record`: its Domain, for tables that
// have one.
std::string_view DomainOf(const TableDef& def, const void* record) {
  return def.has_domain ? RecordDomain(record) : std::string_view();
}

// Replaces or removes the stored record that `record` names: see ReplaceRecord and RemoveRecord.
Status ChangeRecord(const SYSTEMSTRUCT& system, Table table, const void* record, bool remove) {
  const TableDef& def = GetTableDef(table);
  TablePaths paths = GetTablePaths(system, table);
  FileLock lock(paths.lock, LockMode::kExclusive);
  SettleCompaction(paths);
  Fd data = OpenFile(paths.data, O_RDWR);
  if (!data.valid()) return Fail("cannot open " + paths.data);
  if (remove) {
    if (Status s = recordstore_io::EnsureIndex(def, data.get(), paths.index); !s) return s;
  }
  IndexFile index(OpenFile(paths.index, O_RDWR));
  std::string_view key = RecordKey(def, record);
  std::vector<char> stored(def.record_size);
  std::optional<Match> match =
      recordstore_io::Search(def, data.get(), index, key, DomainOf(def, record), stored);
  if (!match) return Fail("no such record");
  if (!remove) {
    if (!platform::WriteAt(data.get(), record, def.record_size, match->offset))
      return Fail("cannot write " + paths.data);
    return {};
  }

  // Delete the index entry of the record found. A record reached by scanning belongs to the
  // occurrence that points at it, when there is one.
  IndexEntry probe = recordstore_io::MakeEntry(key, 0);
  std::string_view cut = recordstore_io::EntryKey(probe);
  int occurrence = match->occurrence;
  if (match->scanned) {
    for (int i = 0;; ++i) {
      int32_t at = index.Lookup(cut, i);
      if (at < 0) break;
      if (at == match->offset) {
        occurrence = i;
        break;
      }
    }
  }
  std::optional<int64_t> pos = index.Position(cut, occurrence);
  if (!pos) return Fail("no index entry for the record");
  return index.RemoveAt(*pos);
}

}  // namespace

// ---- The search ----------------------------------------------------------------------------

std::string_view recordstore_io::RecordKey(const TableDef& def, const void* record) {
  return FieldText(static_cast<const char*>(record) + def.key_offset, def.key_width);
}

std::optional<Match> recordstore_io::Search(const TableDef& def, int data_fd,
                                            const IndexFile& index, std::string_view key,
                                            std::string_view domain, std::span<char> record) {
  assert(record.size() == def.record_size);
  key = UpToNul(key);
  domain = UpToNul(domain);
  IndexEntry probe = MakeEntry(key, 0);
  std::string_view cut = EntryKey(probe);
  std::vector<char> buffer(def.record_size);
  // The occurrences of the key are adjacent: find the first once, then step through them.
  int64_t first = -1;
  if (index.open()) {
    if (index.count() == 0) return std::nullopt;
    std::optional<int64_t> pos = index.Position(cut, 0);
    if (!pos) return std::nullopt;
    first = *pos;
  }
  for (int occurrence = 0;; ++occurrence) {
    int32_t offset = 0;  // without an index: scan
    if (first >= 0) {
      IndexEntry e;
      if (!index.Get(first + occurrence, &e) || CompareKeys(cut, EntryKey(e)) != 0)
        return std::nullopt;
      offset = e.Offset;
    }
    if (offset < 0) return std::nullopt;
    if (offset == 0) {
      // Scan mode: the data file from its start, to the first record that passes.
      RecordReader reader(data_fd, def.record_size);
      const char* stored;
      int64_t at;
      while (reader.Next(&stored, &at)) {
        if (PassesTest(def, stored, key, domain)) {
          std::memcpy(record.data(), stored, def.record_size);
          return Match{at, occurrence, true};
        }
      }
      return std::nullopt;
    }
    // An offset beyond the data file (or into its torn last record) ends the search.
    if (!platform::ReadAt(data_fd, buffer.data(), def.record_size, offset)) return std::nullopt;
    if (PassesTest(def, buffer.data(), key, domain)) {
      std::memcpy(record.data(), buffer.data(), def.record_size);
      return Match{offset, occurrence, false};
    }
  }
}

// ---- Locks ---------------------------------------------------------------------------------

FileLock::FileLock(const std::string& lock_path, LockMode mode) {
  // Never through a link, and never waiting on a pipe planted at the name.
  constexpr int kNoFollow = O_NOFOLLOW | O_NONBLOCK;
  Fd fd = OpenFile(lock_path, O_RDWR | O_CREAT | kNoFollow, 0600);
  if (!fd.valid() && errno != ELOOP) fd = OpenFile(lock_path, O_RDONLY | kNoFollow);
  if (!fd.valid()) {
    refused_ = errno == ELOOP;
    return;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    refused_ = true;
    return;
  }
  auto id = Identity(fd.get());
  auto it = t_held_locks.find(id);
  if (it != t_held_locks.end()) {
    // Nested: the lock this thread holds covers the operation. Raising a shared lock to an
    // exclusive one could deadlock two readers; callers take the strongest lock first.
    assert(!(it->second.mode == LockMode::kShared && mode == LockMode::kExclusive));
    ++it->second.count;
  } else {
    int op = mode == LockMode::kExclusive ? LOCK_EX : LOCK_SH;
    while (flock(fd.get(), op) != 0) {
      if (errno != EINTR) return;
    }
    // The table of held locks owns the descriptor from here on.
    t_held_locks[id] = HeldLock{fd.get(), mode, 1};
    (void)fd.Release();
  }
  device_ = id.first;
  inode_ = id.second;
  locked_ = true;
}

FileLock::~FileLock() {
  if (!locked_) return;
  auto it = t_held_locks.find({device_, inode_});
  if (it == t_held_locks.end()) return;
  if (--it->second.count == 0) {
    int fd = it->second.fd;
    t_held_locks.erase(it);
    close(fd);  // releases the lock
  }
}

TableLock::TableLock(const SYSTEMSTRUCT& system, Table table, LockMode mode)
    : lock_(GetTablePaths(system, table).lock, mode) {
  SettleCompaction(GetTablePaths(system, table));
}

std::string LockPathFor(const std::string& path) {
  std::string base = recordstore_io::BaseNameOf(path);
  size_t dot = base.find_last_of('.');
  if (dot != std::string::npos) {
    std::string ext = base.substr(dot + 1);
    for (char& c : ext) c = UpperAscii(c);
    if (ext == "DAT" || ext == "IDX" || ext == "DA$" || ext == "ID$") {
      std::string stem = base.substr(0, dot);
      for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return recordstore_io::JoinPath(recordstore_io::DirectoryOf(path), stem + ".lock");
    }
  }
  return path + ".lock";
}

// ---- File names ----------------------------------------------------------------------------

std::string ResolveFileName(const std::string& dir, const std::string& name) {
  return recordstore_cache::ResolveFileNames(dir, {name}).front();
}

TablePaths GetTablePaths(const SYSTEMSTRUCT& system, Table table) {
  const TableDef& def = GetTableDef(table);
  std::string dir = system.ConfigPath;
  std::string name = def.name;
  TablePaths p;
  std::vector<std::string> spelled;
  std::vector<std::string> files = recordstore_cache::ResolveFileNames(
      dir, {name + ".dat", name + ".idx", name + ".cmp"}, &spelled);
  p.data = std::move(files[0]);
  p.index = std::move(files[1]);
  p.lock = recordstore_io::JoinPath(dir, name + ".lock");
  p.marker = recordstore_io::JoinPath(dir, name + ".cmp");
  if (spelled.size() == 3) {
    p.listed = true;
    p.data_listed = !spelled[0].empty();
    p.marker_listed = spelled[2] == name + ".cmp";  // the marker's name is exact
  }
  p.built_data = dir + "/" + name + ".dat";
  p.built_index = dir + "/" + name + ".idx";
  return p;
}

bool TableMissing(const TablePaths& paths) {
  if (paths.listed) return !paths.data_listed && !paths.marker_listed;
  return !platform::Exists(paths.data) && !platform::Exists(paths.marker);
}

std::string PrimaryDomain(const SYSTEMSTRUCT& system) {
  std::string_view domain = FieldText(system.Domain);
  return std::string(domain.substr(0, domain.find(';')));
}

// ---- Record operations ---------------------------------------------------------------------

int FindRecord(const SYSTEMSTRUCT& system, Table table, std::string_view key,
               std::string_view domain, void* record) {
  namespace cache = recordstore_cache;
  const TableDef& def = GetTableDef(table);
  std::span<char> out(static_cast<char*>(record), def.record_size);
  TablePaths paths = GetTablePaths(system, table);
  const std::string answer_key = cache::AnswerKey(key, domain);
  cache::TableLook look = cache::LookAtTable(paths);
  switch (look.state) {
    case cache::TableState::kMissing:
      return -1;
    case cache::TableState::kStamped:
      if (std::optional<bool> kept = cache::KeptAnswer(paths, look.stamp, answer_key, out))
        return *kept ? 0 : 1;
      break;
    case cache::TableState::kUnsettled:
      break;
  }
  FileLock lock(paths.lock, LockMode::kShared);
  SettleCompaction(paths);
  Fd data = OpenFile(paths.data, O_RDONLY);
  if (!data.valid()) return -1;
  IndexFile index(OpenFile(paths.index, O_RDONLY));
  Result<cache::FileStamp> data_stamp = cache::StampFd(data.get());
  Result<cache::FileStamp> index_stamp = cache::StampFd(index.fd());
  std::optional<cache::TableStamp> read;
  if (data_stamp && index_stamp) read = cache::TableStamp{*data_stamp, *index_stamp};
  std::vector<char> found(def.record_size);
  if (!recordstore_io::Search(def, data.get(), index, key, domain, found)) {
    if (read) cache::KeepAnswer(paths, *read, answer_key, {});
    return 1;
  }
  if (read) cache::KeepAnswer(paths, *read, answer_key, found);
  std::memcpy(record, found.data(), def.record_size);
  return 0;
}

int ForEachRecord(const SYSTEMSTRUCT& system, Table table,
                  const std::function<bool(const void* record)>& visit) {
  const TableDef& def = GetTableDef(table);
  TablePaths paths = GetTablePaths(system, table);
  FileLock lock(paths.lock, LockMode::kShared);
  SettleCompaction(paths);
  Fd data = OpenFile(paths.data, O_RDONLY);
  if (!data.valid()) return -1;
  IndexFile index(OpenFile(paths.index, O_RDONLY));
  if (!index.open()) {
    RecordReader reader(data.get(), def.record_size);
    const char* record;
    int64_t at;
    while (reader.Next(&record, &at)) {
      if (!visit(record)) break;
    }
    return 0;
  }
  std::vector<char> buffer(def.record_size);
  for (int64_t i = 0; i < index.count(); ++i) {
    IndexEntry e;
    if (!index.Get(i, &e)) break;
    if (e.Offset < 0) continue;
    bool found = false;
    if (e.Offset == 0) {
      RecordReader reader(data.get(), def.record_size);
      const char* record;
      int64_t at;
      while (!found && reader.Next(&record, &at)) {
        IndexEntry probe = recordstore_io::MakeEntry(RecordKey(def, record), 0);
        if (CompareKeys(recordstore_io::EntryKey(e), recordstore_io::EntryKey(probe)) == 0) {
          std::memcpy(buffer.data(), record, def.record_size);
          found = true;
        }
      }
    } else {
      found = platform::ReadAt(data.get(), buffer.data(), def.record_size, e.Offset);
    }
    if (found && !visit(buffer.data())) break;
  }
  return 0;
}

Result<Inserted> InsertRecord(const SYSTEMSTRUCT& system, Table table, const void* record) {
  const TableDef& def = GetTableDef(table);
  TablePaths paths = GetTablePaths(system, table);
  FileLock lock(paths.lock, LockMode::kExclusive);
  SettleCompaction(paths);
  Fd data = OpenFile(paths.data, O_RDWR | O_CREAT);
  if (!data.valid()) return Fail("cannot open " + paths.data);
  if (Status s = recordstore_io::EnsureIndex(def, data.get(), paths.index); !s)
    return Fail(s.error());
  IndexFile index(OpenFile(paths.index, O_RDWR | O_CREAT));
  if (!index.open()) return Fail("cannot open " + paths.index);
  if (table != Table::kRoutes) {
    std::vector<char> found(def.record_size);
    if (recordstore_io::Search(def, data.get(), index, RecordKey(def, record),
                               DomainOf(def, record), found))
      return Inserted::kExists;
  }
  // Append after the last whole record (a torn last record is overwritten).
  int64_t size = platform::FileSizeOf(data.get());
  if (size < 0) return Fail("cannot look at " + paths.data);
  int64_t offset = size - size % static_cast<int64_t>(def.record_size);
  if (offset > std::numeric_limits<int32_t>::max()) return Fail(paths.data + " is full");
  if (!platform::WriteAt(data.get(), record, def.record_size, offset))
    return Fail("cannot write " + paths.data);
  if (Status s = index.Insert(RecordKey(def, record), static_cast<int32_t>(offset)); !s)
    return Fail(s.error());
  return Inserted::kAdded;
}

Status ReplaceRecord(const SYSTEMSTRUCT& system, Table table, const void* record) {
  return ChangeRecord(system, table, record, false);
}

Status RemoveRecord(const SYSTEMSTRUCT& system, Table table, const void* record) {
  return ChangeRecord(system, table, record, true);
}

}  // namespace qv
