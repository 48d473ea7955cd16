#include "common/recordstore.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "common/address.h"
#include "common/config.h"
#include "common/strings.h"
#include "common/tables.h"
#include "platform/fileio.h"
#include "platform/unique_fd.h"

namespace qv {
namespace {

// ---- Small file helpers -------------------------------------------------------------------

using Fd = platform::UniqueFd;

Fd OpenFile(const std::string& path, int flags, mode_t mode = 0644) {
  for (;;) {
    int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EINTR) return Fd(fd);
  }
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JoinPath(std::string dir, const std::string& name) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return name;
  if (dir == "/") return "/" + name;
  return dir + "/" + name;
}

// The name of a replacement file: the last character becomes "$" (user.dat -> user.da$).
std::string ReplacementName(const std::string& path) {
  std::string tmp = path;
  if (tmp.empty() || tmp.back() == '$') return tmp + "$";
  tmp.back() = '$';
  return tmp;
}

// Flushes a finished replacement file and renames it over the file it replaces.
bool PutInPlace(int fd, const std::string& tmp, const std::string& path) {
  if (fsync(fd) != 0) return false;
  if (rename(tmp.c_str(), path.c_str()) != 0) return false;
  platform::SyncParentDirectory(path);
  return true;
}

// A text argument read as a zero-terminated text.
std::string_view UpToNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// ---- File stamps ---------------------------------------------------------------------------

// What the record store keeps between operations (folder listings, answers of FindRecord) it
// keeps together with the stamp of the files it came from, and gives it again only while they
// are unchanged: the same device, inode, size and change and modification times. Any change to
// a file, or to the names of a folder, sets those times, but only to the granularity of the file
// system's clock; so nothing is kept that was read from a file changed less than kSettled
// before, and a change made later always shows as a different time.
constexpr std::chrono::seconds kSettled{2};

struct FileStamp {
  bool exists = false;
  uint64_t device = 0, inode = 0;
  int64_t size = 0, modified_s = 0, modified_ns = 0, changed_s = 0, changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOfStat(const struct stat& st) {
  return FileStamp{true,
                   static_cast<uint64_t>(st.st_dev),
                   static_cast<uint64_t>(st.st_ino),
                   static_cast<int64_t>(st.st_size),
                   st.st_mtim.tv_sec,
                   st.st_mtim.tv_nsec,
                   st.st_ctim.tv_sec,
                   st.st_ctim.tv_nsec};
}

// The stamp of the file at `path` (exists false when there is none); false when it cannot be
// looked at for another reason.
bool StampPath(const std::string& path, FileStamp* stamp) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    *stamp = StampOfStat(st);
    return true;
  }
  *stamp = FileStamp{};
  return errno == ENOENT;
}

// The stamp of an open file (exists false for an invalid descriptor).
bool StampFd(int fd, FileStamp* stamp) {
  *stamp = FileStamp{};
  if (fd < 0) return true;
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  *stamp = StampOfStat(st);
  return true;
}

// True when the file's last change lies far enough back that any later one shows in its times.
bool Settled(const FileStamp& stamp) {
  if (!stamp.exists) return true;
  std::time_t now = std::time(nullptr);
  return now - std::max(stamp.modified_s, stamp.changed_s) > kSettled.count();
}

// ---- Folder listings ---------------------------------------------------------------------

// ResolveFileName looks for a name without regard to case, which means reading the whole folder
// whenever the exact name is missing (on every look at a table that does not exist). The names
// read are kept while the folder is unchanged (see File stamps).
constexpr size_t kListingsKept = 16;

struct FolderListing {
  FileStamp stamp;
  std::vector<std::string> names;  // in the order the folder gives them
};

std::mutex g_listings_mutex;  // guards g_listings
std::map<std::string, FolderListing> g_listings;

// The name among `names` that stands for `name`: itself, else the first equal to it without
// regard to case; null when there is none.
const std::string* PickName(const std::vector<std::string>& names, const std::string& name) {
  const std::string* found = nullptr;
  for (const std::string& entry : names) {
    if (entry == name) return &entry;
    if (found == nullptr && EqualsNoCase(entry, name)) found = &entry;
  }
  return found;
}

// The paths of `names` in the folder `dir` as the folder spells them (see PickName); a name the
// folder does not hold, or every name of a folder that cannot be read, keeps its own spelling.
// The folder is read once for all of them, or not at all while its kept listing is valid. With
// `spelled`, it gets each name as the folder holds it, or "" for a name it does not hold; it is
// left empty when the folder cannot be read.
std::vector<std::string> ResolveFileNames(const std::string& dir,
                                          std::initializer_list<std::string> names,
                                          std::vector<std::string>* spelled = nullptr) {
  const std::string folder = dir.empty() ? "." : dir;
  std::vector<std::string> paths;
  auto resolve = [&](const std::vector<std::string>* listing) {
    for (const std::string& name : names) {
      const std::string* picked = listing == nullptr ? nullptr : PickName(*listing, name);
      paths.push_back(JoinPath(dir, picked == nullptr ? name : *picked));
      if (spelled != nullptr && listing != nullptr)
        spelled->push_back(picked == nullptr ? std::string() : *picked);
    }
    return paths;
  };
  FileStamp stamp;
  if (!StampPath(folder, &stamp) || !stamp.exists) return resolve(nullptr);
  {
    std::lock_guard<std::mutex> lock(g_listings_mutex);
    auto it = g_listings.find(folder);
    if (it != g_listings.end() && it->second.stamp == stamp) return resolve(&it->second.names);
  }
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return resolve(nullptr);
  std::vector<std::string> listing;
  while (dirent* e = readdir(d)) listing.emplace_back(e->d_name);
  closedir(d);
  resolve(&listing);
  if (Settled(stamp)) {
    std::lock_guard<std::mutex> lock(g_listings_mutex);
    if (g_listings.size() >= kListingsKept && g_listings.count(folder) == 0) g_listings.clear();
    g_listings[folder] = FolderListing{stamp, std::move(listing)};
  }
  return paths;
}

// ---- Kept answers of FindRecord ------------------------------------------------------------

// A service looks up the same few records for every message (the recipient when RCPT names it
// and again when the message is delivered, the sender for its copies). The answer of FindRecord
// (the record, or that there is none) is kept while the table's data and index files are
// unchanged (see File stamps) and no compaction is under way; it was read under the table's
// lock from files of that stamp.
constexpr size_t kAnswersKept = 256;  // per table; more and the table's answers start afresh

struct TableStamp {
  FileStamp data, index;
  bool operator==(const TableStamp&) const = default;
};

struct TableAnswers {
  TableStamp stamp;
  std::map<std::string, std::string> answers;  // key and domain -> the record, or "" for none
};

std::mutex g_answers_mutex;  // guards g_answers
std::map<std::string, TableAnswers> g_answers;  // by the data file's path

std::string AnswerKey(std::string_view key, std::string_view domain) {
  std::string text(key);
  text += '\0';
  text += domain;
  return text;
}

// How a table's files stand before it is read.
enum class TableState {
  kMissing,   // no data file and no compaction marker: nothing to read
  kStamped,   // a data file and no marker: *stamp tells the files
  kUnsettled  // a compaction marker, or files that cannot be looked at: read under the lock
};

TableState StampTable(const TablePaths& paths, TableStamp* stamp) {
  if (paths.listed && paths.marker_listed) return TableState::kUnsettled;
  if (paths.listed && !paths.data_listed) return TableState::kMissing;
  FileStamp marker;
  if (!StampPath(paths.data, &stamp->data) ||
      (!paths.listed && (!StampPath(paths.marker, &marker) || marker.exists)))
    return TableState::kUnsettled;
  if (!stamp->data.exists) return paths.listed ? TableState::kUnsettled : TableState::kMissing;
  return StampPath(paths.index, &stamp->index) ? TableState::kStamped : TableState::kUnsettled;
}

// A kept answer for the table as stamped: 0 found (copied to `record`), 1 none, -2 no answer
// kept.
int KeptAnswer(const TablePaths& paths, const TableStamp& stamp, const std::string& key,
               void* record, size_t record_size) {
  std::lock_guard<std::mutex> lock(g_answers_mutex);
  auto table = g_answers.find(paths.data);
  if (table == g_answers.end() || !(table->second.stamp == stamp)) return -2;
  auto it = table->second.answers.find(key);
  if (it == table->second.answers.end()) return -2;
  if (it->second.empty()) return 1;
  assert(it->second.size() == record_size);
  std::memcpy(record, it->second.data(), record_size);
  return 0;
}

// Keeps an answer (`record` null: none) read under the table's lock from files of the stamp
// `read`.
void KeepAnswer(const TablePaths& paths, const TableStamp& read, const std::string& key,
                const void* record, size_t record_size) {
  if (!Settled(read.data) || !Settled(read.index)) return;
  std::lock_guard<std::mutex> lock(g_answers_mutex);
  TableAnswers& table = g_answers[paths.data];
  if (!(table.stamp == read) || table.answers.size() >= kAnswersKept) {
    table.stamp = read;
    table.answers.clear();
  }
  table.answers[key] =
      record == nullptr ? std::string() : std::string(static_cast<const char*>(record), record_size);
}

// ---- Lock bookkeeping ---------------------------------------------------------------------

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

// ---- Index entries ------------------------------------------------------------------------

IndexEntry MakeEntry(std::string_view key, int32_t offset) {
  IndexEntry e{};
  key = UpToNul(key);
  size_t n = key.size() < kIndexKeyLength ? key.size() : kIndexKeyLength;
  std::memcpy(e.Key, key.data(), n);
  e.Offset = offset;
  return e;
}

std::string_view EntryKey(const IndexEntry& e) {
  return FieldText(e.Key, sizeof e.Key);
}

// The binary search of the index: low = 0, high = count, stop when the middle repeats. Ends at an
// equal entry (`found`, `pos` is that entry) or with the insert position (before the repeated
// middle when the key sorts before it: `low`, else `high`). `get(i, &entry)` reads entry i.
struct SearchResult {
  bool ok = true;  // false when an entry could not be read
  bool found = false;
  int64_t pos = 0;
};

template <class Get>
SearchResult BinarySearch(std::string_view key, int64_t count, Get&& get) {
  SearchResult r;
  if (count <= 0) return r;
  int64_t low = 0, high = count, previous = -1;
  int last = 0;
  for (;;) {
    int64_t middle = (low + high) / 2;
    if (middle == previous) {
      r.pos = last < 0 ? low : high;
      return r;
    }
    IndexEntry e;
    if (!get(middle, &e)) {
      r.ok = false;
      return r;
    }
    last = CompareKeys(key, EntryKey(e));
    if (last < 0) {
      high = middle;
    } else if (last > 0) {
      low = middle;
    } else {
      r.found = true;
      r.pos = middle;
      return r;
    }
    previous = middle;
  }
}

// The position of the given occurrence of the key: -1 absent, -2 read error.
template <class Get>
int64_t FindOccurrence(std::string_view key, int64_t count, int occurrence, Get&& get) {
  SearchResult r = BinarySearch(key, count, get);
  if (!r.ok) return -2;
  if (!r.found) return -1;
  int64_t pos = r.pos;
  IndexEntry e;
  while (pos > 0) {
    if (!get(pos - 1, &e)) return -2;
    if (CompareKeys(key, EntryKey(e)) != 0) break;
    --pos;
  }
  if (occurrence < 0) return -1;
  pos += occurrence;
  if (pos >= count) return -1;
  if (!get(pos, &e)) return -2;
  return CompareKeys(key, EntryKey(e)) == 0 ? pos : -1;
}

// An index file opened for one operation.
class IndexFile {
 public:
  explicit IndexFile(Fd fd) : fd_(std::move(fd)) {
    int64_t size = fd_.valid() ? platform::FileSizeOf(fd_.get()) : -1;
    count_ = size < 0 ? 0 : size / static_cast<int64_t>(sizeof(IndexEntry));
  }
  bool open() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  int64_t count() const { return count_; }
  bool Get(int64_t i, IndexEntry* e) const {
    return i >= 0 && i < count_ &&
           platform::ReadAt(fd_.get(), e, sizeof *e, i * sizeof(IndexEntry));
  }
  auto Getter() const {
    return [this](int64_t i, IndexEntry* e) { return Get(i, e); };
  }

  // See IndexLookup.
  int32_t Lookup(std::string_view key, int occurrence) const {
    if (!open()) return 0;
    if (count_ == 0) return -1;
    int64_t pos = FindOccurrence(key, count_, occurrence, Getter());
    IndexEntry e;
    if (pos < 0 || !Get(pos, &e)) return -1;
    return e.Offset;
  }

  bool Insert(std::string_view key, int32_t offset) {
    IndexEntry entry = MakeEntry(key, offset);
    key = EntryKey(entry);
    int64_t pos = count_;
    if (count_ > 0) {
      IndexEntry last;
      if (!Get(count_ - 1, &last)) return false;
      if (CompareKeys(key, EntryKey(last)) < 0) {
        SearchResult r = BinarySearch(key, count_, Getter());
        if (!r.ok) return false;
        pos = r.pos;
      }
    }
    // Move the tail one entry towards the end in large blocks, last block first.
    constexpr int64_t kBlock = 4096;  // entries per move
    std::vector<char> buffer;
    for (int64_t end = count_; end > pos;) {
      int64_t begin = end - kBlock > pos ? end - kBlock : pos;
      size_t bytes = static_cast<size_t>(end - begin) * sizeof(IndexEntry);
      buffer.resize(bytes);
      if (!platform::ReadAt(fd(), buffer.data(), bytes, begin * sizeof(IndexEntry))) return false;
      if (!platform::WriteAt(fd(), buffer.data(), bytes, (begin + 1) * sizeof(IndexEntry)))
        return false;
      end = begin;
    }
    if (!platform::WriteAt(fd(), &entry, sizeof entry, pos * sizeof(IndexEntry))) return false;
    ++count_;
    return true;
  }

  // Removes the entry at `pos`: the following entries move one place towards the start.
  bool RemoveAt(int64_t pos) {
    constexpr int64_t kBlock = 4096;
    std::vector<char> buffer;
    for (int64_t begin = pos + 1; begin < count_;) {
      int64_t end = begin + kBlock < count_ ? begin + kBlock : count_;
      size_t bytes = static_cast<size_t>(end - begin) * sizeof(IndexEntry);
      buffer.resize(bytes);
      if (!platform::ReadAt(fd(), buffer.data(), bytes, begin * sizeof(IndexEntry))) return false;
      if (!platform::WriteAt(fd(), buffer.data(), bytes, (begin - 1) * sizeof(IndexEntry)))
        return false;
      begin = end;
    }
    --count_;
    return ftruncate(fd(), count_ * static_cast<off_t>(sizeof(IndexEntry))) == 0;
  }

  // See IndexDelete.
  bool Delete(std::string_view key, int occurrence) {
    if (!open() || count_ == 0) return false;
    IndexEntry probe = MakeEntry(key, 0);
    key = EntryKey(probe);
    SearchResult r = BinarySearch(key, count_, Getter());
    if (!r.ok) return false;
    if (!r.found) return true;
    int64_t pos = FindOccurrence(key, count_, occurrence, Getter());
    if (pos < 0) return false;
    return RemoveAt(pos);
  }

 private:
  Fd fd_;
  int64_t count_ = 0;
};

// An index held in memory while it is built, with the insert of the file form (same binary
// search, so the same order of equal keys), in logarithmic time per entry: an implicit treap.
class IndexBuilder {
 public:
  void Insert(std::string_view key, int32_t offset) {
    IndexEntry entry = MakeEntry(key, offset);
    key = EntryKey(entry);
    int64_t count = Size(root_);
    int64_t pos = count;
    if (count > 0 && CompareKeys(key, EntryKey(At(count - 1))) < 0) {
      auto get = [this](int64_t i, IndexEntry* e) {
        *e = At(i);
        return true;
      };
      pos = BinarySearch(key, count, get).pos;
    }
    nodes_.push_back(Node{entry, -1, -1, 1, static_cast<uint32_t>(rng_())});
    int node = static_cast<int>(nodes_.size() - 1);
    auto [left, right] = Split(root_, pos);
    root_ = Merge(Merge(left, node), right);
  }

  std::vector<IndexEntry> Entries() const {
    std::vector<IndexEntry> out;
    out.reserve(nodes_.size());
    Collect(root_, &out);
    return out;
  }

 private:
  struct Node {
    IndexEntry entry;
    int left, right;
    int64_t size;
    uint32_t priority;
  };

  int64_t Size(int n) const { return n < 0 ? 0 : nodes_[n].size; }
  void Update(int n) { nodes_[n].size = 1 + Size(nodes_[n].left) + Size(nodes_[n].right); }

  const IndexEntry& At(int64_t i) const {
    int n = root_;
    for (;;) {
      int64_t left = Size(nodes_[n].left);
      if (i < left) {
        n = nodes_[n].left;
      } else if (i == left) {
        return nodes_[n].entry;
      } else {
        i -= left + 1;
        n = nodes_[n].right;
      }
    }
  }

  // The first `k` entries and the rest.
  std::pair<int, int> Split(int n, int64_t k) {
    if (n < 0) return {-1, -1};
    if (Size(nodes_[n].left) >= k) {
      auto [l, r] = Split(nodes_[n].left, k);
      nodes_[n].left = r;
      Update(n);
      return {l, n};
    }
    auto [l, r] = Split(nodes_[n].right, k - Size(nodes_[n].left) - 1);
    nodes_[n].right = l;
    Update(n);
    return {n, r};
  }

  int Merge(int a, int b) {
    if (a < 0) return b;
    if (b < 0) return a;
    if (nodes_[a].priority > nodes_[b].priority) {
      nodes_[a].right = Merge(nodes_[a].right, b);
      Update(a);
      return a;
    }
    nodes_[b].left = Merge(a, nodes_[b].left);
    Update(b);
    return b;
  }

  void Collect(int n, std::vector<IndexEntry>* out) const {
    // Iterative in-order walk: deep trees must not exhaust the stack.
    std::vector<int> stack;
    while (n >= 0 || !stack.empty()) {
      while (n >= 0) {
        stack.push_back(n);
        n = nodes_[n].left;
      }
      n = stack.back();
      stack.pop_back();
      out->push_back(nodes_[n].entry);
      n = nodes_[n].right;
    }
  }

  std::vector<Node> nodes_;
  int root_ = -1;
  std::minstd_rand rng_{20240229};
};

// Reads a file of fixed records from the start in large blocks.
class RecordReader {
 public:
  RecordReader(int fd, size_t record_size) : fd_(fd), size_(record_size) {}
  // The next whole record and its offset; false at the end (a last partial record is not read).
  bool Next(const char** record, int64_t* offset) {
    if (pos_ + size_ > filled_) {
      size_t keep = filled_ - pos_;
      if (keep > 0) std::memmove(buffer_.data(), buffer_.data() + pos_, keep);
      base_ += static_cast<int64_t>(pos_);
      filled_ = keep;
      pos_ = 0;
      size_t want = size_ * 64;
      if (buffer_.size() < want) buffer_.resize(want);
      int64_t n = platform::ReadUpTo(fd_, buffer_.data() + filled_, buffer_.size() - filled_,
                                     base_ + static_cast<int64_t>(filled_));
      if (n < 0) return false;
      filled_ += static_cast<size_t>(n);
      if (filled_ < size_) return false;
    }
    *record = buffer_.data() + pos_;
    *offset = base_ + static_cast<int64_t>(pos_);
    pos_ += size_;
    return true;
  }

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
  bool Write(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    buffer_.insert(buffer_.end(), p, p + size);
    return buffer_.size() < (1u << 20) || Flush();
  }
  bool Flush() {
    bool ok = platform::WriteAll(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }

 private:
  int fd_;
  std::vector<char> buffer_;
};

class Dots {
 public:
  explicit Dots(std::FILE* out, int per_line) : out_(out), per_line_(per_line) {}
  void Dot() {
    if (out_ == nullptr) return;
    std::fputc('.', out_);
    if (++count_ % per_line_ == 0) std::fputc('\n', out_);
    std::fflush(out_);
  }

 private:
  std::FILE* out_;
  int per_line_;
  long count_ = 0;
};

// ---- Compaction marker --------------------------------------------------------------------

constexpr char kStepBuild[] = "build\n";
constexpr char kStepSwap[] = "swap\n";

void (*g_compaction_hook)(CompactionStep) = nullptr;

void CompactionReached(CompactionStep step) {
  if (g_compaction_hook != nullptr) g_compaction_hook(step);
}

// Writes the marker whole (a new file renamed over the old one) and flushes it and its folder.
bool WriteMarker(const std::string& marker, const char* step) {
  std::string tmp = marker + ".new";
  Fd fd = OpenFile(tmp, O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd.valid()) return false;
  if (!platform::WriteAll(fd.get(), step, std::strlen(step)) ||
      !PutInPlace(fd.get(), tmp, marker)) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

void RemoveMarker(const std::string& marker) {
  unlink(marker.c_str());
  platform::SyncParentDirectory(marker);
}

// The step the marker names; empty when there is none (or it cannot be read).
std::string ReadMarker(const std::string& marker) {
  Fd fd = OpenFile(marker, O_RDONLY);
  if (!fd.valid()) return {};
  char text[16] = {};
  ssize_t n;
  do n = read(fd.get(), text, sizeof text - 1);
  while (n < 0 && errno == EINTR);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

// ---- The record test ----------------------------------------------------------------------

std::string_view RecordKey(const TableDef& def, const void* record) {
  return FieldText(static_cast<const char*>(record) + def.key_offset, def.key_width);
}

std::string_view RecordDomain(const void* record) {
  return FieldText(static_cast<const char*>(record) + kDomainOffset, kDomainWidth);
}

char* MutableField(void* record, size_t offset) {
  return static_cast<char*>(record) + offset;
}

bool PassesTest(const TableDef& def, const void* record, std::string_view key,
                std::string_view domain) {
  if (!EqualsNoCase(RecordKey(def, record), key)) return false;
  if (!def.has_domain || domain.empty()) return true;
  return MatchMask(RecordDomain(record), domain) == 0;
}

// Where a search ended.
struct Match {
  int64_t offset = -1;
  int occurrence = 0;  // the index occurrence that led to the record
  bool scanned = false;
};

// FindRecord's search on open files: 0 found, 1 not found.
int Search(const TableDef& def, int data_fd, const IndexFile& index, std::string_view key,
           std::string_view domain, void* record, Match* match) {
  key = UpToNul(key);
  domain = UpToNul(domain);
  IndexEntry probe = MakeEntry(key, 0);
  std::string_view cut = EntryKey(probe);
  std::vector<char> buffer(def.record_size);
  // The occurrences of the key are adjacent: find the first once, then step through them.
  int64_t first = -1;
  if (index.open()) {
    if (index.count() == 0) return 1;
    first = FindOccurrence(cut, index.count(), 0, index.Getter());
    if (first < 0) return 1;
  }
  for (int occurrence = 0;; ++occurrence) {
    int32_t offset = 0;  // without an index: scan
    if (first >= 0) {
      IndexEntry e;
      if (!index.Get(first + occurrence, &e) || CompareKeys(cut, EntryKey(e)) != 0) return 1;
      offset = e.Offset;
    }
    if (offset < 0) return 1;
    if (offset == 0) {
      // Scan mode: the data file from its start, to the first record that passes.
      RecordReader reader(data_fd, def.record_size);
      const char* stored;
      int64_t at;
      while (reader.Next(&stored, &at)) {
        if (PassesTest(def, stored, key, domain)) {
          std::memcpy(record, stored, def.record_size);
          *match = Match{at, occurrence, true};
          return 0;
        }
      }
      return 1;
    }
    // An offset beyond the data file (or into its torn last record) ends the search.
    if (!platform::ReadAt(data_fd, buffer.data(), def.record_size, offset)) return 1;
    if (PassesTest(def, buffer.data(), key, domain)) {
      std::memcpy(record, buffer.data(), def.record_size);
      *match = Match{offset, occurrence, false};
      return 0;
    }
  }
}

// A fresh index of every whole record of the data file, written to the replacement name and
// renamed over `index_path`. `dots` may be null.
bool WriteRebuiltIndex(const TableDef& def, int data_fd, const std::string& index_path,
                       Dots* dots) {
  std::string tmp = ReplacementName(index_path);
  Fd out = OpenFile(tmp, O_WRONLY | O_CREAT | O_TRUNC);
  if (!out.valid()) return false;
  IndexBuilder builder;
  RecordReader reader(data_fd, def.record_size);
  const char* record;
  int64_t at;
  while (reader.Next(&record, &at)) {
    if (at > std::numeric_limits<int32_t>::max()) break;
    builder.Insert(RecordKey(def, record), static_cast<int32_t>(at));
    if (dots) dots->Dot();
  }
  std::vector<IndexEntry> entries = builder.Entries();
  bool ok = platform::WriteAll(out.get(), entries.data(), entries.size() * sizeof(IndexEntry)) &&
            PutInPlace(out.get(), tmp, index_path);
  if (!ok) unlink(tmp.c_str());
  return ok;
}

// A table whose index file is missing is read by scanning; before the first change that needs the
// index, build it from the data file so that no record drops out of reach.
bool EnsureIndex(const TableDef& def, int data_fd, const std::string& index_path) {
  if (FileExists(index_path)) return true;
  if (platform::FileSizeOf(data_fd) < static_cast<int64_t>(def.record_size)) return true;
  return WriteRebuiltIndex(def, data_fd, index_path, nullptr);
}

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
  if (def.has_domain) {
    TrimTrailingBlanks(MutableField(record, def.key_offset), def.key_width);
    char* domain = MutableField(record, kDomainOffset);
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
  return static_cast<const char*>(record)[def.fields[0].offset] != '\0';
}

}  // namespace

// ---- Public -------------------------------------------------------------------------------

int CompareKeys(std::string_view a, std::string_view b) {
  a = UpToNul(a);
  b = UpToNul(b);
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(UpperAscii(a[i]));
    unsigned char y = static_cast<unsigned char>(UpperAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

FileLock::FileLock(const std::string& lock_path, LockMode mode) {
  Fd fd = OpenFile(lock_path, O_RDWR | O_CREAT, 0644);
  if (!fd.valid()) fd = OpenFile(lock_path, O_RDONLY);
  if (!fd.valid()) return;
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

void SetCompactionStepHook(void (*hook)(CompactionStep step)) {
  g_compaction_hook = hook;
}

void SettleCompaction(const TablePaths& paths) {
  if (!FileExists(paths.marker)) return;
  const std::string pairs[2][2] = {{ReplacementName(paths.index), paths.index},
                                   {ReplacementName(paths.data), paths.data}};
  if (ReadMarker(paths.marker) == kStepSwap) {
    // Both replacements were complete: put in place what is not yet (index first, then data).
    for (const auto& pair : pairs) {
      if (FileExists(pair[0]) && rename(pair[0].c_str(), pair[1].c_str()) != 0 && errno != ENOENT)
        return;  // the marker stays: the next operation tries again
    }
  } else {
    // Cut off while writing (or the marker never became whole): the old files stand.
    for (const auto& pair : pairs) unlink(pair[0].c_str());
  }
  platform::SyncParentDirectory(paths.marker);
  unlink((paths.marker + ".new").c_str());
  RemoveMarker(paths.marker);
}

std::string LockPathFor(const std::string& path) {
  std::string base = BaseNameOf(path);
  size_t dot = base.find_last_of('.');
  if (dot != std::string::npos) {
    std::string ext = base.substr(dot + 1);
    for (char& c : ext) c = UpperAscii(c);
    if (ext == "DAT" || ext == "IDX" || ext == "DA$" || ext == "ID$") {
      std::string stem = base.substr(0, dot);
      for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return JoinPath(DirectoryOf(path), stem + ".lock");
    }
  }
  return path + ".lock";
}

std::string ResolveFileName(const std::string& dir, const std::string& name) {
  return ResolveFileNames(dir, {name}).front();
}

TablePaths GetTablePaths(const SYSTEMSTRUCT& system, Table table) {
  const TableDef& def = GetTableDef(table);
  std::string dir = system.ConfigPath;
  std::string name = def.name;
  TablePaths p;
  std::vector<std::string> spelled;
  std::vector<std::string> files =
      ResolveFileNames(dir, {name + ".dat", name + ".idx", name + ".cmp"}, &spelled);
  p.data = std::move(files[0]);
  p.index = std::move(files[1]);
  p.lock = JoinPath(dir, name + ".lock");
  p.marker = JoinPath(dir, name + ".cmp");
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
  return !FileExists(paths.data) && !FileExists(paths.marker);
}

std::string PrimaryDomain(const SYSTEMSTRUCT& system) {
  std::string_view domain = FieldText(system.Domain);
  return std::string(domain.substr(0, domain.find(';')));
}

int32_t IndexLookup(std::string_view key, const std::string& index_path, int occurrence) {
  FileLock lock(LockPathFor(index_path), LockMode::kShared);
  IndexFile index(OpenFile(index_path, O_RDONLY));
  IndexEntry probe = MakeEntry(key, 0);
  return index.Lookup(EntryKey(probe), occurrence);
}

bool IndexInsert(std::string_view key, int32_t offset, const std::string& index_path) {
  FileLock lock(LockPathFor(index_path), LockMode::kExclusive);
  IndexFile index(OpenFile(index_path, O_RDWR | O_CREAT));
  return index.open() && index.Insert(key, offset);
}

bool IndexDelete(std::string_view key, const std::string& index_path, int occurrence) {
  FileLock lock(LockPathFor(index_path), LockMode::kExclusive);
  IndexFile index(OpenFile(index_path, O_RDWR));
  return index.Delete(key, occurrence);
}

int FindRecord(const SYSTEMSTRUCT& system, Table table, std::string_view key,
               std::string_view domain, void* record) {
  const TableDef& def = GetTableDef(table);
  TablePaths paths = GetTablePaths(system, table);
  const std::string answer_key = AnswerKey(key, domain);
  TableStamp stamp;
  switch (StampTable(paths, &stamp)) {
    case TableState::kMissing:
      return -1;
    case TableState::kStamped:
      if (int kept = KeptAnswer(paths, stamp, answer_key, record, def.record_size); kept >= 0)
        return kept;
      break;
    case TableState::kUnsettled:
      break;
  }
  FileLock lock(paths.lock, LockMode::kShared);
  SettleCompaction(paths);
  Fd data = OpenFile(paths.data, O_RDONLY);
  if (!data.valid()) return -1;
  IndexFile index(OpenFile(paths.index, O_RDONLY));
  TableStamp read;
  bool stamped = StampFd(data.get(), &read.data) && StampFd(index.fd(), &read.index);
  std::vector<char> found(def.record_size);
  Match match;
  if (Search(def, data.get(), index, key, domain, found.data(), &match) != 0) {
    if (stamped) KeepAnswer(paths, read, answer_key, nullptr, 0);
    return 1;
  }
  if (stamped) KeepAnswer(paths, read, answer_key, found.data(), def.record_size);
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
        IndexEntry probe = MakeEntry(RecordKey(def, record), 0);
        if (CompareKeys(EntryKey(e), EntryKey(probe)) == 0) {
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

int AddRecord(const SYSTEMSTRUCT& system, Table table, void* record) {
  const TableDef& def = GetTableDef(table);
  if (!ApplyAddRules(system, def, record)) return -1;
  TablePaths paths = GetTablePaths(system, table);
  FileLock lock(paths.lock, LockMode::kExclusive);
  SettleCompaction(paths);
  Fd data = OpenFile(paths.data, O_RDWR | O_CREAT);
  if (!data.valid()) return -1;
  if (!EnsureIndex(def, data.get(), paths.index)) return -1;
  IndexFile index(OpenFile(paths.index, O_RDWR | O_CREAT));
  if (!index.open()) return -1;
  if (table != Table::kRoutes) {
    std::vector<char> found(def.record_size);
    Match match;
    if (Search(def, data.get(), index, RecordKey(def, record),
               def.has_domain ? RecordDomain(record) : std::string_view(), found.data(),
               &match) == 0)
      return 1;
  }
  // Append after the last whole record (a torn last record is overwritten).
  int64_t size = platform::FileSizeOf(data.get());
  if (size < 0) return -1;
  int64_t offset = size - size % static_cast<int64_t>(def.record_size);
  if (offset > std::numeric_limits<int32_t>::max()) return -1;
  if (!platform::WriteAt(data.get(), record, def.record_size, offset)) return -1;
  if (!index.Insert(RecordKey(def, record), static_cast<int32_t>(offset))) return -1;
  return 0;
}

int UpdateRecord(const SYSTEMSTRUCT& system, Table table, const void* record, bool remove) {
  const TableDef& def = GetTableDef(table);
  if (!remove && table == Table::kUser &&
      !UserMailboxAllowed(*static_cast<const USERSTRUCT*>(record)))
    return -1;
  TablePaths paths = GetTablePaths(system, table);
  FileLock lock(paths.lock, LockMode::kExclusive);
  SettleCompaction(paths);
  Fd data = OpenFile(paths.data, O_RDWR);
  if (!data.valid()) return -1;
  if (remove && !EnsureIndex(def, data.get(), paths.index)) return -1;
  IndexFile index(OpenFile(paths.index, O_RDWR));
  std::string_view key = RecordKey(def, record);
  std::vector<char> stored(def.record_size);
  Match match;
  if (Search(def, data.get(), index, key, def.has_domain ? RecordDomain(record) : "", stored.data(),
             &match) != 0)
    return -1;
  if (!remove) return platform::WriteAt(data.get(), record, def.record_size, match.offset) ? 0 : -1;

  // Delete the index entry of the record found. A record reached by scanning belongs to the
  // occurrence that points at it, when there is one.
  IndexEntry probe = MakeEntry(key, 0);
  std::string_view cut = EntryKey(probe);
  int occurrence = match.occurrence;
  if (match.scanned) {
    for (int i = 0;; ++i) {
      int32_t at = index.Lookup(cut, i);
      if (at < 0) break;
      if (at == match.offset) {
        occurrence = i;
        break;
      }
    }
  }
  int64_t pos = FindOccurrence(cut, index.count(), occurrence, index.Getter());
  if (pos < 0) return -1;
  return index.RemoveAt(pos) ? 0 : -1;
}

int CompactFile(const std::string& path, size_t record_size) {
  assert(record_size > 0);
  FileLock lock(LockPathFor(path), LockMode::kExclusive);
  Fd in = OpenFile(path, O_RDONLY);
  if (!in.valid()) return -1;
  std::string tmp = ReplacementName(path);
  Fd out = OpenFile(tmp, O_WRONLY | O_CREAT | O_TRUNC);
  if (!out.valid()) return -1;
  RecordReader reader(in.get(), record_size);
  BufferedWriter writer(out.get());
  const char* record;
  int64_t at;
  bool ok = true;
  while (ok && reader.Next(&record, &at)) {
    if (record[0] != '\0') ok = writer.Write(record, record_size);
  }
  ok = ok && writer.Flush() && PutInPlace(out.get(), tmp, path);
  if (!ok) {
    unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

int CompactTable(const SYSTEMSTRUCT& system, Table table, std::FILE* out) {
  const TableDef& def = GetTableDef(table);
  TablePaths paths = GetTablePaths(system, table);
  FileLock lock(paths.lock, LockMode::kExclusive);
  SettleCompaction(paths);
  Fd index_in = OpenFile(paths.index, O_RDONLY);
  Fd data_in = OpenFile(paths.data, O_RDONLY);
  if (!index_in.valid() || !data_in.valid()) return -1;
  // From here until the swap is decided, a crash leaves the old files standing.
  if (!WriteMarker(paths.marker, kStepBuild)) return -1;
  std::string index_tmp = ReplacementName(paths.index);
  std::string data_tmp = ReplacementName(paths.data);
  auto give_up = [&] {
    unlink(index_tmp.c_str());
    unlink(data_tmp.c_str());
    RemoveMarker(paths.marker);
    return -1;
  };
  Fd index_out = OpenFile(index_tmp, O_WRONLY | O_CREAT | O_TRUNC);
  Fd data_out = OpenFile(data_tmp, O_WRONLY | O_CREAT | O_TRUNC);
  if (!index_out.valid() || !data_out.valid()) return give_up();
  if (out) std::fprintf(out, "Compacting datafile: %s\n", paths.built_data.c_str());
  Dots dots(out, 51);
  IndexFile index(std::move(index_in));
  BufferedWriter index_writer(index_out.get());
  BufferedWriter data_writer(data_out.get());
  std::vector<char> record(def.record_size);
  int64_t written = 0;
  bool ok = true;
  for (int64_t i = 0; ok && i < index.count(); ++i) {
    if (i == index.count() / 2) CompactionReached(CompactionStep::kBuilding);
    IndexEntry e;
    if (!index.Get(i, &e)) {
      ok = false;
      break;
    }
    // An entry that points outside the data file reaches no record: it is dropped.
    if (e.Offset < 0 || !platform::ReadAt(data_in.get(), record.data(), def.record_size, e.Offset))
      continue;
    if (written > std::numeric_limits<int32_t>::max()) {
      ok = false;
      break;
    }
    e.Offset = static_cast<int32_t>(written);
    ok = data_writer.Write(record.data(), def.record_size) && index_writer.Write(&e, sizeof e);
    written += static_cast<int64_t>(def.record_size);
    dots.Dot();
  }
  if (index.count() == 0) CompactionReached(CompactionStep::kBuilding);
  ok = ok && index_writer.Flush() && data_writer.Flush() && fsync(index_out.get()) == 0 &&
       fsync(data_out.get()) == 0;
  if (ok) CompactionReached(CompactionStep::kReplacementsWritten);
  ok = ok && WriteMarker(paths.marker, kStepSwap);
  if (out) std::fputs("\n\n", out);
  if (!ok) return give_up();
  CompactionReached(CompactionStep::kSwapDecided);

  // The swap is decided: from here a crash is completed by the next operation on the table, and
  // so is a rename that fails now (the marker stays until both are done).
  if (rename(index_tmp.c_str(), paths.index.c_str()) != 0) return -1;
  CompactionReached(CompactionStep::kIndexReplaced);
  if (rename(data_tmp.c_str(), paths.data.c_str()) != 0) return -1;
  CompactionReached(CompactionStep::kDataReplaced);
  platform::SyncParentDirectory(paths.data);
  RemoveMarker(paths.marker);
  CompactionReached(CompactionStep::kFinished);
  return 0;
}

int RebuildIndex(const SYSTEMSTRUCT& system, Table table, std::FILE* out) {
  const TableDef& def = GetTableDef(table);
  TablePaths paths = GetTablePaths(system, table);
  FileLock lock(paths.lock, LockMode::kExclusive);
  SettleCompaction(paths);
  Fd data = OpenFile(paths.data, O_RDONLY);
  if (!data.valid()) return -1;
  // The new index must be creatable before anything is printed.
  std::string tmp = ReplacementName(paths.index);
  {
    Fd probe = OpenFile(tmp, O_WRONLY | O_CREAT | O_TRUNC);
    if (!probe.valid()) return -1;
  }
  if (out) std::fprintf(out, "Rebuilding indexfile: %s\n", paths.built_index.c_str());
  Dots dots(out, 51);
  bool ok = WriteRebuiltIndex(def, data.get(), paths.index, &dots);
  if (out) std::fputs("\n\n", out);
  if (!ok) unlink(tmp.c_str());
  return ok ? 0 : -1;
}

}  // namespace qv
