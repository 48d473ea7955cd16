// Compaction of the record store: a table's files rewritten with only the records its index
// reaches (replaced together, also across a crash: see CompactTable in recordstore.h), a side
// file without its empty records, and a table's index rebuilt from its data file.
#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "common/recordstore.h"
#include "common/recordstore_io.h"
#include "platform/fileio.h"

namespace qv {

using platform::Exists;
using recordstore_io::BufferedWriter;
using recordstore_io::CreateReplacement;
using recordstore_io::Fd;
using recordstore_io::IndexFile;
using recordstore_io::OpenFile;
using recordstore_io::PutInPlace;
using recordstore_io::RecordReader;
using recordstore_io::ReplacementName;

namespace {

// ---- Progress ------------------------------------------------------------------------------

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

// ---- Compaction marker ---------------------------------------------------------------------

constexpr char kStepBuild[] = "build\n";
constexpr char kStepSwap[] = "swap\n";

void (*g_compaction_hook)(CompactionStep) = nullptr;

void CompactionReached(CompactionStep step) {
  if (g_compaction_hook != nullptr) g_compaction_hook(step);
}

// Writes the marker whole (a new file renamed over the old one) and flushes it and its folder.
Status WriteMarker(const std::string& marker, const char* step) {
  std::string tmp = marker + ".new";
  Fd fd = CreateReplacement(tmp);
  if (!fd.valid()) return Fail("cannot create " + tmp);
  if (!platform::WriteAll(fd.get(), step, std::strlen(step)) ||
      !PutInPlace(fd.get(), tmp, marker)) {
    unlink(tmp.c_str());
    return Fail("cannot write " + marker);
  }
  return {};
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

// Writes the records the index reaches, in index order with dense offsets, to the two
// replacement files and flushes them. `dots` gets a dot per record.
Status WriteCompacted(const TableDef& def, const IndexFile& index, int data_in, int index_out,
                      int data_out, Dots* dots) {
  BufferedWriter index_writer(index_out);
  BufferedWriter data_writer(data_out);
  std::vector<char> record(def.record_size);
  int64_t written = 0;
  for (int64_t i = 0; i < index.count(); ++i) {
    if (i == index.count() / 2) CompactionReached(CompactionStep::kBuilding);
    IndexEntry e;
    if (!index.Get(i, &e)) return Fail("cannot read the index");
    // An entry that points outside the data file reaches no record: it is dropped.
    if (e.Offset < 0 || !platform::ReadAt(data_in, record.data(), def.record_size, e.Offset))
      continue;
    if (written > std::numeric_limits<int32_t>::max()) return Fail("the data file is too large");
    e.Offset = static_cast<int32_t>(written);
    bool wrote =
        data_writer.Write(record.data(), def.record_size) && index_writer.Write(&e, sizeof e);
    written += static_cast<int64_t>(def.record_size);
    dots->Dot();
    if (!wrote) return Fail("cannot write the replacements");
  }
  if (index.count() == 0) CompactionReached(CompactionStep::kBuilding);
  if (!index_writer.Flush() || !data_writer.Flush() || fsync(index_out) != 0 ||
      fsync(data_out) != 0)
    return Fail("cannot write the replacements");
  return {};
}

}  // namespace

void SetCompactionStepHook(void (*hook)(CompactionStep step)) {
  g_compaction_hook = hook;
}

void SettleCompaction(const TablePaths& paths) {
  if (!Exists(paths.marker)) return;
  const std::string pairs[2][2] = {{ReplacementName(paths.index), paths.index},
                                   {ReplacementName(paths.data), paths.data}};
  if (ReadMarker(paths.marker) == kStepSwap) {
    // Both replacements were complete: put in place what is not yet (index first, then data).
    for (const auto& pair : pairs) {
      if (Exists(pair[0]) && rename(pair[0].c_str(), pair[1].c_str()) != 0 && errno != ENOENT)
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

int CompactFile(const std::string& path, size_t record_size) {
  assert(record_size > 0);
  FileLock lock(LockPathFor(path), LockMode::kExclusive);
  if (lock.refused()) return -1;
  Fd in = OpenFile(path, O_RDONLY | O_NOFOLLOW);
  if (!in.valid()) return -1;
  std::string tmp = ReplacementName(path);
  Fd out = CreateReplacement(tmp);
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
  Fd index_out = CreateReplacement(index_tmp);
  Fd data_out = CreateReplacement(data_tmp);
  if (!index_out.valid() || !data_out.valid()) return give_up();
  if (out) std::fprintf(out, "Compacting datafile: %s\n", paths.built_data.c_str());
  Dots dots(out, 51);
  IndexFile index(std::move(index_in));
  Status written =
      WriteCompacted(def, index, data_in.get(), index_out.get(), data_out.get(), &dots);
  if (written) CompactionReached(CompactionStep::kReplacementsWritten);
  bool ok = written && WriteMarker(paths.marker, kStepSwap);
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
    Fd probe = CreateReplacement(tmp);
    if (!probe.valid()) return -1;
  }
  if (out) std::fprintf(out, "Rebuilding indexfile: %s\n", paths.built_index.c_str());
  Dots dots(out, 51);
  Status rebuilt =
      recordstore_io::WriteRebuiltIndex(def, data.get(), paths.index, [&dots] { dots.Dot(); });
  if (out) std::fputs("\n\n", out);
  if (!rebuilt) unlink(tmp.c_str());
  return rebuilt ? 0 : -1;
}

}  // namespace qv
