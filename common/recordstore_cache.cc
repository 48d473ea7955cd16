#include "common/recordstore_cache.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "common/recordstore_io.h"
#include "common/strings.h"

namespace qv::recordstore_cache {
namespace {

constexpr std::chrono::seconds kSettled{2};

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

// ResolveFileName looks for a name without regard to case, which means reading the whole folder
// whenever the exact name is missing (on every look at a table that does not exist). The names
// read are kept while the folder is unchanged.
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

// A service looks up the same few records for every message (the recipient when RCPT names it
// and again when the message is delivered, the sender for its copies). The answer of FindRecord
// (the record, or that there is none) is kept while the table's data and index files are
// unchanged and no compaction is under way; it was read under the table's lock from files of
// that stamp.
constexpr size_t kAnswersKept = 256;  // per table; more and the table's answers start afresh

struct TableAnswers {
  TableStamp stamp;
  std::map<std::string, std::string> answers;  // key and domain -> the record, or "" for none
};

std::mutex g_answers_mutex;                     // guards g_answers
std::map<std::string, TableAnswers> g_answers;  // by the data file's path

}  // namespace

// ---- File stamps ---------------------------------------------------------------------------

Result<FileStamp> StampPath(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return StampOfStat(st);
  if (errno == ENOENT) return FileStamp{};
  return Fail("cannot look at " + path + ": " + std::strerror(errno));
}

Result<FileStamp> StampFd(int fd) {
  if (fd < 0) return FileStamp{};
  struct stat st {};
  if (fstat(fd, &st) != 0)
    return Fail(std::string("cannot look at an open file: ") + std::strerror(errno));
  return StampOfStat(st);
}

bool Settled(const FileStamp& stamp) {
  if (!stamp.exists) return true;
  std::time_t now = std::time(nullptr);
  return now - std::max(stamp.modified_s, stamp.changed_s) > kSettled.count();
}

// ---- Folder listings -----------------------------------------------------------------------

std::vector<std::string> ResolveFileNames(const std::string& dir,
                                          std::initializer_list<std::string> names,
                                          std::vector<std::string>* spelled) {
  const std::string folder = dir.empty() ? "." : dir;
  std::vector<std::string> paths;
  auto resolve = [&](const std::vector<std::string>* listing) {
    for (const std::string& name : names) {
      const std::string* picked = listing == nullptr ? nullptr : PickName(*listing, name);
      paths.push_back(recordstore_io::JoinPath(dir, picked == nullptr ? name : *picked));
      if (spelled != nullptr && listing != nullptr)
        spelled->push_back(picked == nullptr ? std::string() : *picked);
    }
    return paths;
  };
  Result<FileStamp> stamp = StampPath(folder);
  if (!stamp || !stamp->exists) return resolve(nullptr);
  {
    std::lock_guard<std::mutex> lock(g_listings_mutex);
    auto it = g_listings.find(folder);
    if (it != g_listings.end() && it->second.stamp == *stamp) return resolve(&it->second.names);
  }
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return resolve(nullptr);
  std::vector<std::string> listing;
  while (dirent* e = readdir(d)) listing.emplace_back(e->d_name);
  closedir(d);
  resolve(&listing);
  if (Settled(*stamp)) {
    std::lock_guard<std::mutex> lock(g_listings_mutex);
    if (g_listings.size() >= kListingsKept && g_listings.count(folder) == 0) g_listings.clear();
    g_listings[folder] = FolderListing{*stamp, std::move(listing)};
  }
  return paths;
}

// ---- Kept answers of FindRecord ------------------------------------------------------------

TableLook LookAtTable(const TablePaths& paths) {
  TableLook look;
  if (paths.listed && paths.marker_listed) return look;
  if (paths.listed && !paths.data_listed) {
    look.state = TableState::kMissing;
    return look;
  }
  Result<FileStamp> data = StampPath(paths.data);
  if (!data) return look;
  if (!paths.listed) {
    Result<FileStamp> marker = StampPath(paths.marker);
    if (!marker || marker->exists) return look;
  }
  if (!data->exists) {
    if (!paths.listed) look.state = TableState::kMissing;
    return look;
  }
  Result<FileStamp> index = StampPath(paths.index);
  if (!index) return look;
  look.state = TableState::kStamped;
  look.stamp = TableStamp{*data, *index};
  return look;
}

std::string AnswerKey(std::string_view key, std::string_view domain) {
  std::string text(key);
  text += '\0';
  text += domain;
  return text;
}

std::optional<bool> KeptAnswer(const TablePaths& paths, const TableStamp& stamp,
                               const std::string& key, std::span<char> record) {
  std::lock_guard<std::mutex> lock(g_answers_mutex);
  auto table = g_answers.find(paths.data);
  if (table == g_answers.end() || !(table->second.stamp == stamp)) return std::nullopt;
  auto it = table->second.answers.find(key);
  if (it == table->second.answers.end()) return std::nullopt;
  if (it->second.empty()) return false;
  assert(it->second.size() == record.size());
  std::memcpy(record.data(), it->second.data(), record.size());
  return true;
}

void KeepAnswer(const TablePaths& paths, const TableStamp& read, const std::string& key,
                std::span<const char> record) {
  if (!Settled(read.data) || !Settled(read.index)) return;
  std::lock_guard<std::mutex> lock(g_answers_mutex);
  TableAnswers& table = g_answers[paths.data];
  if (!(table.stamp == read) || table.answers.size() >= kAnswersKept) {
    table.stamp = read;
    table.answers.clear();
  }
  table.answers[key] = std::string(record.data(), record.size());
}

}  // namespace qv::recordstore_cache
