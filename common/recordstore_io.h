// What the parts of the record store share and nothing else uses: opening and replacing files,
// the index file opened for one operation, reading and writing runs of fixed records, and the
// search of a table. recordstore.h is the record store's interface.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"
#include "common/recordstore.h"
#include "platform/unique_fd.h"

namespace qv::recordstore_io {

// ---- Files ---------------------------------------------------------------------------------

using Fd = platform::UniqueFd;

// open(2) with O_CLOEXEC, retried on EINTR; an invalid descriptor when it fails. Files are
// created for the owner alone: the tables hold passwords.
Fd OpenFile(const std::string& path, int flags, mode_t mode = 0600);

// The folder of a path ("." without one) and its last name; a folder and a name joined by one "/".
std::string DirectoryOf(const std::string& path);
std::string BaseNameOf(const std::string& path);
std::string JoinPath(std::string dir, const std::string& name);

// The name of a replacement file: the last character becomes "$" (user.dat -> user.da$).
std::string ReplacementName(const std::string& path);

// Creates a replacement file (or marker) afresh, write-only, under the lock of the file it
// replaces: what stands at the name is removed first (a left-over of a crash), and the new file
// is made exclusively without following links, so a link planted at the predictable name can
// never redirect the write.
Fd CreateReplacement(const std::string& tmp);

// Flushes a finished replacement file and renames it over the file it replaces.
bool PutInPlace(int fd, const std::string& tmp, const std::string& path);

// A text argument read as a zero-terminated text.
std::string_view UpToNul(std::string_view text);

// ---- Index entries -------------------------------------------------------------------------

// The entry of a key (cut to kIndexKeyLength) and an offset, and the key an entry holds.
IndexEntry MakeEntry(std::string_view key, int32_t offset);
std::string_view EntryKey(const IndexEntry& e);

// An index file opened for one operation. A missing file is not open() and has no entries.
class IndexFile {
 public:
  explicit IndexFile(Fd fd);
  bool open() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  int64_t count() const { return count_; }
  // Entry i; false when it cannot be read or lies outside the index.
  bool Get(int64_t i, IndexEntry* e) const;

  // See IndexLookup.
  int32_t Lookup(std::string_view key, int occurrence) const;
  // The position of the given occurrence of the (cut) key; nullopt when it is absent or an entry
  // cannot be read.
  std::optional<int64_t> Position(std::string_view key, int occurrence) const;
  // Inserts an entry at its sorted place, after the equal keys the search meets.
  Status Insert(std::string_view key, int32_t offset);
  // Removes the entry at `pos`: the following entries move one place towards the start.
  Status RemoveAt(int64_t pos);
  // See IndexDelete.
  bool Delete(std::string_view key, int occurrence);

 private:
  Fd fd_;
  int64_t count_ = 0;
};

// ---- Runs of fixed records -----------------------------------------------------------------

// Reads a file of fixed records from the start in large blocks.
class RecordReader {
 public:
  RecordReader(int fd, size_t record_size) : fd_(fd), size_(record_size) {}
  // The next whole record and its offset; false at the end (a last partial record is not read).
  bool Next(const char** record, int64_t* offset);

 private:
  int fd_;
  size_t size_;
  std::vector<char> buffer_;
  size_t filled_ = 0, pos_ = 0;
  int64_t base_ = 0;
};

// Writes records through a buffer.
class BufferedWriter {
 public:
  explicit BufferedWriter(int fd) : fd_(fd) {}
  bool Write(const void* data, size_t size);
  bool Flush();

 private:
  int fd_;
  std::vector<char> buffer_;
};

// ---- Tables --------------------------------------------------------------------------------

// The key field of a record of the table.
std::string_view RecordKey(const TableDef& def, const void* record);

// Where a search ended.
struct Match {
  int64_t offset = -1;
  int occurrence = 0;  // the index occurrence that led to the record
  bool scanned = false;
};

// FindRecord's search on open files: the record found is copied to `record` (the table's record
// size); nullopt when there is none.
std::optional<Match> Search(const TableDef& def, int data_fd, const IndexFile& index,
                            std::string_view key, std::string_view domain, std::span<char> record);

// A fresh index of every whole record of the data file, written to the replacement name and
// renamed over `index_path`. `each_record` (may be empty) is called once per record indexed.
Status WriteRebuiltIndex(const TableDef& def, int data_fd, const std::string& index_path,
                         const std::function<void()>& each_record);

// A table whose index file is missing is read by scanning; before the first change that needs
// the index, EnsureIndex builds it from the data file so that no record drops out of reach.
Status EnsureIndex(const TableDef& def, int data_fd, const std::string& index_path);

}  // namespace qv::recordstore_io
