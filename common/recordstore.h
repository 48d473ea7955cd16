// The record store: each directory table is a data file of fixed-size records ("<table>.dat")
// and an index file of sorted 36-byte key entries pointing into it ("<table>.idx"), both in
// `ConfigPath`. Every program opens the files for each operation and closes them at its end;
// FindRecord may instead give an answer it read before, while the table's files are unchanged
// (see docs/record-files.md), and answers a table without a data file without its lock.
//
// Every operation holds an advisory lock for its whole run: shared for reads, exclusive for
// changes, on the lock file "<table>.lock" beside the table (or "<file>.lock" beside a side
// file). So a reader never sees a half-moved index and two writers never interleave. A thread
// that already holds a lock may take it again (nested operations and read-modify-write
// sequences under one TableLock); a shared lock cannot be raised to an exclusive one.
//
// The record store has three parts, all reached through this header: the record files (locks,
// file names and records in recordstore.cc, the index file in recordstore_index.cc), the answers
// and folder listings it keeps between operations (recordstore_cache.h) and compaction
// (recordstore_compaction.cc). It knows nothing of what the records mean: the add rules
// (tables.h) are applied before a record reaches it.
//
// The functions the services and tools call keep the library's convention: 0 success, 1 not
// found / already exists, -1 file error. The changes below them report a Result or Status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "common/config.h"
#include "common/records.h"
#include "common/result.h"

namespace qv {

#pragma pack(push, 1)
struct IndexEntry {
  char Key[32];    // cut to 31 characters, zero-terminated, zero-filled
  int32_t Offset;  // byte offset of the record in the data file; 0 means "scan the data file"
};
#pragma pack(pop)
static_assert(sizeof(IndexEntry) == 36);
static_assert(offsetof(IndexEntry, Offset) == 32);

constexpr size_t kIndexKeyLength = 31;

// Key order: byte by byte after folding a-z to upper case, as unsigned bytes, up to the
// terminating zero (or the end of the views). <0, 0, >0.
int CompareKeys(std::string_view a, std::string_view b);

// ---- Locks -------------------------------------------------------------------------------

enum class LockMode { kShared, kExclusive };

// Holds the advisory lock of a lock file for its lifetime (see above). When the lock file can
// be neither created nor opened the operation goes on unlocked: locked() is then false. The lock
// file is opened without following a symbolic link: a link, or anything but a plain file, at its
// name is refused (refused(), and nothing locked); an operation on a file that another user may
// reach (a list's member file) then fails instead of going on.
class FileLock {
 public:
  FileLock(const std::string& lock_path, LockMode mode);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool locked() const { return locked_; }
  bool refused() const { return refused_; }

 private:
  uint64_t device_ = 0, inode_ = 0;  // identity of the lock file
  bool locked_ = false;
  bool refused_ = false;
};

// The lock of a table, for a sequence of operations that must not be interleaved with others
// (read a record, change a field, write it back).
class TableLock {
 public:
  TableLock(const SYSTEMSTRUCT& system, Table table, LockMode mode);

 private:
  FileLock lock_;
};

// The lock file that guards a file: "<dir>/<table>.lock" for a table's .dat/.idx (whatever the
// case of their names, also for their "$" replacements), else "<file>.lock".
std::string LockPathFor(const std::string& path);

// ---- File names --------------------------------------------------------------------------

// The existing file of `dir` whose name equals `name` without regard to case ("USER.DAT" for
// "user.dat"); "<dir>/<name>" as given when there is none.
std::string ResolveFileName(const std::string& dir, const std::string& name);

struct TablePaths {
  std::string data;  // the existing file's path, whatever its case
  std::string index;
  std::string lock;
  std::string marker;       // "<table>.cmp": the step of a compaction under way (see CompactTable)
  std::string built_data;   // "%s/%s.dat" of ConfigPath and the table name, for messages
  std::string built_index;  // "%s/%s.idx"
  // What the folder held when the paths were made (listed false when it could not be read):
  // whether it held the data file and the compaction marker.
  bool listed = false;
  bool data_listed = false;
  bool marker_listed = false;
};

// The files of a table in the ConfigPath of `system`.
TablePaths GetTablePaths(const SYSTEMSTRUCT& system, Table table);

// True when the table has no data file and no cut-off compaction waits to be settled, as the
// folder stood when `paths` were made: a read finds nothing there, and answers so without taking
// the table's lock. (A table made a moment later is seen by the next read.)
bool TableMissing(const TablePaths& paths);

// ---- Index operations (keys are cut to 31 characters first) ------------------------------

// The offset of the given occurrence (0 = first) of the key; -1 when the key or that occurrence
// is absent, or the index exists but holds no entry; 0 when the index file cannot be opened
// (the caller then scans the data file).
int32_t IndexLookup(std::string_view key, const std::string& index_path, int occurrence);

// Inserts an entry at its sorted place (creating the file when it does not exist).
bool IndexInsert(std::string_view key, int32_t offset, const std::string& index_path);

// Removes the given occurrence. True when removed or the key is absent; false when that
// occurrence does not exist, or the index cannot be opened or is empty.
bool IndexDelete(std::string_view key, const std::string& index_path, int occurrence);

// ---- Record operations (on the tables in the ConfigPath of `system`) -----------------------

// Finds the record whose key field equals `key` (without regard to case) and, for tables with a
// Domain field and a non-empty `domain`, whose Domain mask matches `domain`. 0 found (copied to
// `record`, which has the table's record size), 1 not found, -1 the data file cannot be opened.
// An answer read before is given again while the table's files are unchanged.
int FindRecord(const SYSTEMSTRUCT& system, Table table, std::string_view key,
               std::string_view domain, void* record);

// What InsertRecord did.
enum class Inserted {
  kAdded,
  kExists,  // a record of the same key and a matching domain is stored already (routes never)
};

// Appends the record as it is (tables.h's AddRecord applies the add rules first) and indexes it,
// unless a record of the same key whose Domain mask matches the record's Domain is stored
// already. A missing index is rebuilt from the data file first.
Result<Inserted> InsertRecord(const SYSTEMSTRUCT& system, Table table, const void* record);

// Replaces the stored record whose key equals the given record's key and whose Domain mask
// matches the given record's Domain (an empty Domain matches any); an error when there is none.
Status ReplaceRecord(const SYSTEMSTRUCT& system, Table table, const void* record);

// Deletes the index entry of that stored record (the record stays in the data file until the
// table is compacted); an error when there is none.
Status RemoveRecord(const SYSTEMSTRUCT& system, Table table, const void* record);

// Calls `visit` with each record of the table in index order (a table without an index file:
// every whole record of the data file in file order) until it returns false, all under one
// shared lock. An index entry with offset 0 stands for the first record of its key in the data
// file. 0, or -1 when the data file cannot be opened.
int ForEachRecord(const SYSTEMSTRUCT& system, Table table,
                  const std::function<bool(const void* record)>& visit);

// Rewrites a side file of fixed records without those whose first byte is zero; the new file
// replaces the old one by rename only once it is complete and flushed. 0 done, -1 error.
int CompactFile(const std::string& path, size_t record_size);

// Keeps only the records the index reaches, in index order, with dense offsets. With `out`,
// prints "Compacting datafile: %s\n", a "." per record (a line feed after every 51) and "\n\n".
// 0 done, -1 a file could not be opened or created (nothing is printed then).
//
// The new index and data files replace the old ones together, also across a crash: the marker
// file names the step ("build" while the replacements are written, "swap" once both are complete
// and flushed), and the next operation on the table finishes a "swap" (renames what is left) or
// rolls back anything else (deletes the replacements) before it reads. See docs/record-files.md.
int CompactTable(const SYSTEMSTRUCT& system, Table table, std::FILE* out);

// Finishes or rolls back a compaction of the table that was cut off, as the marker says. Every
// operation of the record store does it under the table's lock before opening the table; code
// that opens a table's files itself calls it after taking the lock. Cheap when there is no marker.
void SettleCompaction(const TablePaths& paths);

// The steps of CompactTable in order, at which a test may stop the process.
enum class CompactionStep {
  kBuilding,             // marker "build" written; half the records copied
  kReplacementsWritten,  // both replacement files complete and flushed
  kSwapDecided,          // marker "swap" written
  kIndexReplaced,        // the new index renamed over the old one
  kDataReplaced,         // the new data file renamed over the old one
  kFinished,             // marker removed
};
// Called at each step of every later CompactTable in this process; null for none. For tests.
void SetCompactionStepHook(void (*hook)(CompactionStep step));

// A fresh index of every record in the data file (deleted records come back). With `out`,
// prints "Rebuilding indexfile: %s\n", the dots and "\n\n". 0 done, -1 error.
int RebuildIndex(const SYSTEMSTRUCT& system, Table table, std::FILE* out);

// Typed forms: the table follows from the record type.
template <class R>
int FindRecord(const SYSTEMSTRUCT& system, std::string_view key, std::string_view domain,
               R* record) {
  return FindRecord(system, RecordTraits<R>::kTable, key, domain, record);
}
template <class R>
int FindRecord(const SYSTEMSTRUCT& system, std::string_view key, R* record) {
  return FindRecord(system, RecordTraits<R>::kTable, key, {}, record);
}
template <class R>
Result<Inserted> InsertRecord(const SYSTEMSTRUCT& system, const R& record) {
  return InsertRecord(system, RecordTraits<R>::kTable, &record);
}

// The primary local domain: `Domain` up to its first ";".
std::string PrimaryDomain(const SYSTEMSTRUCT& system);

}  // namespace qv
