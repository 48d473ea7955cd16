// The index files of the record store (sorted 36-byte entries, see recordstore.h), the file
// helpers its parts share and the reading and writing of runs of fixed records.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <random>
#include <utility>

#include "common/recordstore_io.h"
#include "common/strings.h"
#include "platform/fileio.h"

namespace qv {
namespace recordstore_io {

// ---- Files ---------------------------------------------------------------------------------

Fd OpenFile(const std::string& path, int flags, mode_t mode) {
  for (;;) {
    int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EINTR) return Fd(fd);
  }
}

Fd CreateReplacement(const std::string& tmp) {
  unlink(tmp.c_str());
  return OpenFile(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
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

std::string ReplacementName(const std::string& path) {
  std::string tmp = path;
  if (tmp.empty() || tmp.back() == '$') return tmp + "$";
  tmp.back() = '$';
  return tmp;
}

bool PutInPlace(int fd, const std::string& tmp, const std::string& path) {
  if (fsync(fd) != 0) return false;
  if (rename(tmp.c_str(), path.c_str()) != 0) return false;
  platform::SyncParentDirectory(path);
  return true;
}

std::string_view UpToNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// ---- Index entries -------------------------------------------------------------------------

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

namespace {

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

// Moves the entries [begin, end) of the file by `shift` places (+1 or -1) in large blocks, in
// the order that never overwrites an entry before it is moved.
bool MoveEntries(int fd, int64_t begin, int64_t end, int shift) {
  constexpr int64_t kBlock = 4096;  // entries per move
  std::vector<char> buffer;
  auto move = [&](int64_t from, int64_t to) {
    size_t bytes = static_cast<size_t>(to - from) * sizeof(IndexEntry);
    buffer.resize(bytes);
    return platform::ReadAt(fd, buffer.data(), bytes, from * sizeof(IndexEntry)) &&
           platform::WriteAt(fd, buffer.data(), bytes, (from + shift) * sizeof(IndexEntry));
  };
  if (shift > 0) {
    for (int64_t stop = end; stop > begin;) {  // last block first
      int64_t start = stop - kBlock > begin ? stop - kBlock : begin;
      if (!move(start, stop)) return false;
      stop = start;
    }
  } else {
    for (int64_t start = begin; start < end;) {
      int64_t stop = start + kBlock < end ? start + kBlock : end;
      if (!move(start, stop)) return false;
      start = stop;
    }
  }
  return true;
}

}  // namespace

// ---- The index file ------------------------------------------------------------------------

IndexFile::IndexFile(Fd fd) : fd_(std::move(fd)) {
  int64_t size = fd_.valid() ? platform::FileSizeOf(fd_.get()) : -1;
  count_ = size < 0 ? 0 : size / static_cast<int64_t>(sizeof(IndexEntry));
}

bool IndexFile::Get(int64_t i, IndexEntry* e) const {
  return i >= 0 && i < count_ && platform::ReadAt(fd_.get(), e, sizeof *e, i * sizeof(IndexEntry));
}

std::optional<int64_t> IndexFile::Position(std::string_view key, int occurrence) const {
  auto get = [this](int64_t i, IndexEntry* e) { return Get(i, e); };
  SearchResult r = BinarySearch(key, count_, get);
  if (!r.ok || !r.found) return std::nullopt;
  // The occurrences of a key are adjacent: step back to the first.
  int64_t pos = r.pos;
  IndexEntry e;
  while (pos > 0) {
    if (!Get(pos - 1, &e)) return std::nullopt;
    if (CompareKeys(key, EntryKey(e)) != 0) break;
    --pos;
  }
  if (occurrence < 0) return std::nullopt;
  pos += occurrence;
  if (pos >= count_ || !Get(pos, &e) || CompareKeys(key, EntryKey(e)) != 0) return std::nullopt;
  return pos;
}

int32_t IndexFile::Lookup(std::string_view key, int occurrence) const {
  if (!open()) return 0;
  if (count_ == 0) return -1;
  std::optional<int64_t> pos = Position(key, occurrence);
  IndexEntry e;
  if (!pos || !Get(*pos, &e)) return -1;
  return e.Offset;
}

Status IndexFile::Insert(std::string_view key, int32_t offset) {
  IndexEntry entry = MakeEntry(key, offset);
  key = EntryKey(entry);
  int64_t pos = count_;
  if (count_ > 0) {
    IndexEntry last;
    if (!Get(count_ - 1, &last)) return Fail("cannot read the last index entry");
    if (CompareKeys(key, EntryKey(last)) < 0) {
      SearchResult r =
          BinarySearch(key, count_, [this](int64_t i, IndexEntry* e) { return Get(i, e); });
      if (!r.ok) return Fail("cannot read the index");
      pos = r.pos;
    }
  }
  if (!MoveEntries(fd(), pos, count_, +1) ||
      !platform::WriteAt(fd(), &entry, sizeof entry, pos * sizeof(IndexEntry)))
    return Fail("cannot write the index");
  ++count_;
  return {};
}

Status IndexFile::RemoveAt(int64_t pos) {
  if (!MoveEntries(fd(), pos + 1, count_, -1)) return Fail("cannot write the index");
  --count_;
  if (ftruncate(fd(), count_ * static_cast<off_t>(sizeof(IndexEntry))) != 0)
    return Fail("cannot shorten the index");
  return {};
}

bool IndexFile::Delete(std::string_view key, int occurrence) {
  if (!open() || count_ == 0) return false;
  IndexEntry probe = MakeEntry(key, 0);
  key = EntryKey(probe);
  SearchResult r =
      BinarySearch(key, count_, [this](int64_t i, IndexEntry* e) { return Get(i, e); });
  if (!r.ok) return false;
  if (!r.found) return true;
  std::optional<int64_t> pos = Position(key, occurrence);
  return pos && RemoveAt(*pos).ok();
}

// ---- Building an index ---------------------------------------------------------------------

namespace {

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

}  // namespace

Status WriteRebuiltIndex(const TableDef& def, int data_fd, const std::string& index_path,
                         const std::function<void()>& each_record) {
  std::string tmp = ReplacementName(index_path);
  Fd out = CreateReplacement(tmp);
  if (!out.valid()) return Fail("cannot create " + tmp);
  IndexBuilder builder;
  RecordReader reader(data_fd, def.record_size);
  const char* record;
  int64_t at;
  while (reader.Next(&record, &at)) {
    if (at > std::numeric_limits<int32_t>::max()) break;
    builder.Insert(RecordKey(def, record), static_cast<int32_t>(at));
    if (each_record) each_record();
  }
  std::vector<IndexEntry> entries = builder.Entries();
  if (!platform::WriteAll(out.get(), entries.data(), entries.size() * sizeof(IndexEntry)) ||
      !PutInPlace(out.get(), tmp, index_path)) {
    unlink(tmp.c_str());
    return Fail("cannot write " + index_path);
  }
  return {};
}

Status EnsureIndex(const TableDef& def, int data_fd, const std::string& index_path) {
  if (platform::Exists(index_path)) return {};
  if (platform::FileSizeOf(data_fd) < static_cast<int64_t>(def.record_size)) return {};
  return WriteRebuiltIndex(def, data_fd, index_path, {});
}

// ---- Runs of fixed records -----------------------------------------------------------------

bool RecordReader::Next(const char** record, int64_t* offset) {
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

bool BufferedWriter::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  buffer_.insert(buffer_.end(), p, p + size);
  return buffer_.size() < (1u << 20) || Flush();
}

bool BufferedWriter::Flush() {
  bool ok = platform::WriteAll(fd_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return ok;
}

}  // namespace recordstore_io

// ---- Public --------------------------------------------------------------------------------

using recordstore_io::IndexFile;
using recordstore_io::OpenFile;

int CompareKeys(std::string_view a, std::string_view b) {
  return CompareNoCase(recordstore_io::UpToNul(a), recordstore_io::UpToNul(b));
}

int32_t IndexLookup(std::string_view key, const std::string& index_path, int occurrence) {
  FileLock lock(LockPathFor(index_path), LockMode::kShared);
  IndexFile index(OpenFile(index_path, O_RDONLY));
  IndexEntry probe = recordstore_io::MakeEntry(key, 0);
  return index.Lookup(recordstore_io::EntryKey(probe), occurrence);
}

bool IndexInsert(std::string_view key, int32_t offset, const std::string& index_path) {
  FileLock lock(LockPathFor(index_path), LockMode::kExclusive);
  IndexFile index(OpenFile(index_path, O_RDWR | O_CREAT));
  return index.open() && index.Insert(key, offset).ok();
}

bool IndexDelete(std::string_view key, const std::string& index_path, int occurrence) {
  FileLock lock(LockPathFor(index_path), LockMode::kExclusive);
  IndexFile index(OpenFile(index_path, O_RDWR));
  return index.Delete(key, occurrence);
}

}  // namespace qv
