// What the record store keeps between operations: folder listings (for ResolveFileName) and the
// answers of FindRecord, each with the stamp of the files it came from, given again only while
// they are unchanged. Process-wide and safe for any thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/recordstore.h"
#include "common/result.h"

namespace qv::recordstore_cache {

// ---- File stamps ---------------------------------------------------------------------------

// The stamp of a file: device, inode, size and change and modification times. Any change to a
// file, or to the names of a folder, sets those times, but only to the granularity of the file
// system's clock; so nothing is kept that was read from a file changed less than kSettled
// before, and a change made later always shows as a different time.
struct FileStamp {
  bool exists = false;
  uint64_t device = 0, inode = 0;
  int64_t size = 0, modified_s = 0, modified_ns = 0, changed_s = 0, changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at `path` (exists false when there is none); an error when it cannot be
// looked at for another reason.
Result<FileStamp> StampPath(const std::string& path);

// The stamp of an open file (exists false for an invalid descriptor).
Result<FileStamp> StampFd(int fd);

// True when the file's last change lies far enough back that any later one shows in its times.
bool Settled(const FileStamp& stamp);

// ---- Folder listings -----------------------------------------------------------------------

// The paths of `names` in the folder `dir` as the folder spells them: the name itself, else the
// first equal to it without regard to case. A name the folder does not hold, or every name of a
// folder that cannot be read, keeps its own spelling. The folder is read once for all of them,
// or not at all while its kept listing is valid. With `spelled`, it gets each name as the folder
// holds it, or "" for a name it does not hold; it is left empty when the folder cannot be read.
std::vector<std::string> ResolveFileNames(const std::string& dir,
                                          std::initializer_list<std::string> names,
                                          std::vector<std::string>* spelled = nullptr);

// ---- Kept answers of FindRecord ------------------------------------------------------------

struct TableStamp {
  FileStamp data, index;
  bool operator==(const TableStamp&) const = default;
};

// How a table's files stand before it is read.
enum class TableState {
  kMissing,   // no data file and no compaction marker: nothing to read
  kStamped,   // a data file and no marker: the stamp tells the files
  kUnsettled  // a compaction marker, or files that cannot be looked at: read under the lock
};

struct TableLook {
  TableState state = TableState::kUnsettled;
  TableStamp stamp;  // for kStamped
};

TableLook LookAtTable(const TablePaths& paths);

// The key of an answer: the key and domain FindRecord was given.
std::string AnswerKey(std::string_view key, std::string_view domain);

// A kept answer for the table as stamped: true found (copied to `record`), false none; nullopt
// when no answer is kept.
std::optional<bool> KeptAnswer(const TablePaths& paths, const TableStamp& stamp,
                               const std::string& key, std::span<char> record);

// Keeps an answer (`record` empty: none) read under the table's lock from files of the stamp
// `read`.
void KeepAnswer(const TablePaths& paths, const TableStamp& read, const std::string& key,
                std::span<const char> record);

}  // namespace qv::recordstore_cache
