// Message files, their names and mask, and temporary files.
#include "common/mailfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "common/config.h"
#include "platform/fileio.h"
#include "platform/registry.h"
#include "platform/sysroot.h"

namespace qv {

namespace {

constexpr uint32_t kFlagNoMask = 0x1;
constexpr int kTempNamesPerSecond = 100;
// A directory whose names stay taken for this many seconds in a row is given up on: the clock
// is not moving on, or something else fills the directory.
constexpr int kMaxWaitRounds = 60;
constexpr size_t kWriteChunk = 64 * 1024;
constexpr char kTempPrefix[] = "qv";
constexpr char kWriterTempTemplate[] = ".qvmsg-XXXXXX.tmp";
constexpr int kWriterTempSuffixLength = 4;  // ".tmp"

// -1 until the first use decides; then 1 (masked) or 0 (plain).
std::atomic<int> g_mask_state{-1};

constexpr char kCounterFirst[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char kCounterSecond[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
static_assert(sizeof kCounterFirst - 1 == 52 && sizeof kCounterSecond - 1 == 62);
static_assert(kMessageNamesPerSecond ==
              kMessageDigitNames + (sizeof kCounterFirst - 1) * (sizeof kCounterSecond - 1));

// Where the search for a free message name stands in one directory during one second: how many
// two-digit names were tried, and the next of the names past them. Names once tried are not
// tried again in the same second, so a busy directory costs one attempt per message rather than
// a walk over every name taken before.
struct NameCursor {
  std::time_t second = 0;
  int digit_tries = 0;
  int next_extended = kMessageDigitNames;
};

// Cursors of fewer directories are never dropped; more are pruned to those of the second.
constexpr size_t kCursorsKept = 64;

std::mutex g_counter_mutex;  // guards the two below
int g_message_counter = 0;
std::map<std::string, NameCursor, std::less<>> g_name_cursors;

std::time_t (*g_clock)() = nullptr;
void (*g_wait)() = nullptr;

std::time_t Now() {
  return g_clock != nullptr ? g_clock() : std::time(nullptr);
}

// Waits until the clock has moved past `seen`.
void WaitForNextSecond(std::time_t seen) {
  if (g_wait != nullptr) {
    g_wait();
    return;
  }
  for (int i = 0; i < 30 && Now() == seen; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The next message counter to try for `key` (directory and extension) during the second `now`,
// or -1 when every name of that second has been tried.
int NextMessageCounter(const std::string& key, std::time_t now) {
  std::lock_guard<std::mutex> lock(g_counter_mutex);
  auto it = g_name_cursors.find(key);
  if (it == g_name_cursors.end()) {
    if (g_name_cursors.size() >= kCursorsKept) {
      std::erase_if(g_name_cursors,
                    [now](const auto& entry) { return entry.second.second != now; });
    }
    it = g_name_cursors.emplace(key, NameCursor{now}).first;
  }
  NameCursor& cursor = it->second;
  // A new second starts afresh; so does an earlier one (a clock set back, or a caller that read
  // the clock just before the second changed), whose names are then tried again.
  if (cursor.second != now) cursor = NameCursor{now};
  if (cursor.digit_tries < kMessageDigitNames) {
    ++cursor.digit_tries;
    int n = g_message_counter;
    g_message_counter = (g_message_counter + 1) % kMessageDigitNames;
    return n;
  }
  if (cursor.next_extended < kMessageNamesPerSecond) return cursor.next_extended++;
  return -1;
}

// Claims a fresh message name in `directory` through `claim` (0 taken by us, else an errno),
// going on with the next second when every name of the current one is taken. Returns 0 or -1.
template <typename ClaimFn>
int ClaimMessageName(const std::string& directory, std::string_view extension, ClaimFn claim,
                     std::string* name) {
  std::string key = directory;
  key += '\0';
  key += extension;
  for (int round = 0; round < kMaxWaitRounds; ++round) {
    std::time_t now = Now();
    std::tm local{};
    localtime_r(&now, &local);
    for (int counter; (counter = NextMessageCounter(key, now)) >= 0;) {
      std::string candidate = MessageFileNameAt(directory, extension, local, counter);
      int err = claim(candidate);
      if (err == 0) {
        *name = std::move(candidate);
        return 0;
      }
      if (err != EEXIST) return -1;
    }
    WaitForNextSecond(now);
  }
  return -1;
}

// Tries the names of the current second in turn through `claim` (0 taken by us, else an errno),
// going on with the next second when all of them exist. Returns 0 or -1.
template <typename NameFn, typename ClaimFn>
int ClaimFreshName(NameFn name_for, ClaimFn claim, std::string* name) {
  for (int round = 0; round < kMaxWaitRounds; ++round) {
    std::time_t now = Now();
    std::tm local{};
    localtime_r(&now, &local);
    for (int i = 0; i < kTempNamesPerSecond; ++i) {
      std::string candidate = name_for(local, i);
      int err = claim(candidate);
      if (err == 0) {
        *name = std::move(candidate);
        return 0;
      }
      if (err != EEXIST) return -1;
    }
    WaitForNextSecond(now);
  }
  return -1;
}

// Moves `from` to `to` without ever replacing an existing `to`. 0 or an errno (EEXIST when
// `to` exists).
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  // File systems without the no-replace rename: a hard link fails on an existing name.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  // No hard links either: reserve the name, then rename over the empty reservation.
  int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  close(fd);
  if (rename(from.c_str(), to.c_str()) != 0) {
    int err = errno;
    unlink(to.c_str());
    return err;
  }
  return 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool MessageMaskEnabled() {
  int state = g_mask_state.load(std::memory_order_acquire);
  if (state < 0) {
    uint32_t flags = 0;
    bool plain = reg::ReadDword(kProductKey, "Flags", &flags) && (flags & kFlagNoMask) != 0;
    int decided = plain ? 0 : 1;
    // The first decision wins should two threads race here.
    g_mask_state.compare_exchange_strong(state, decided, std::memory_order_acq_rel);
    state = g_mask_state.load(std::memory_order_acquire);
  }
  return state == 1;
}

void ForgetMessageMaskDecision() {
  g_mask_state.store(-1, std::memory_order_release);
}

void ScrambleBuffer(void* data, size_t length) {
  if (data == nullptr || length == 0 || !MessageMaskEnabled()) return;
  auto* bytes = static_cast<uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) bytes[i] ^= kMessageMask;
}

void UnscrambleBuffer(void* data, size_t length) {
  ScrambleBuffer(data, length);
}

std::string MessageCounterText(int counter) {
  assert(counter >= 0 && counter < kMessageNamesPerSecond);
  counter = ((counter % kMessageNamesPerSecond) + kMessageNamesPerSecond) % kMessageNamesPerSecond;
  if (counter < kMessageDigitNames) {
    return {static_cast<char>('0' + counter / 10), static_cast<char>('0' + counter % 10)};
  }
  int past = counter - kMessageDigitNames;
  constexpr int kSeconds = sizeof kCounterSecond - 1;
  return {kCounterFirst[past / kSeconds], kCounterSecond[past % kSeconds]};
}

int MessageCounterOf(std::string_view text) {
  if (text.size() != 2) return -1;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (digit(text[0]) && digit(text[1])) return (text[0] - '0') * 10 + (text[1] - '0');
  const char* first = std::strchr(kCounterFirst, text[0]);
  const char* second = std::strchr(kCounterSecond, text[1]);
  if (text[0] == '\0' || text[1] == '\0' || first == nullptr || second == nullptr) return -1;
  constexpr int kSeconds = sizeof kCounterSecond - 1;
  return kMessageDigitNames + static_cast<int>(first - kCounterFirst) * kSeconds +
         static_cast<int>(second - kCounterSecond);
}

std::string MessageNameStem(const std::tm& local, int counter) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d%02d%02d%02d%02d%02d", (local.tm_year + 1900) % 100,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return stamp + MessageCounterText(counter);
}

std::string NextMessageStem() {
  static std::mutex mutex;
  static std::time_t second = 0;
  static int next = 0;
  std::time_t now = std::time(nullptr);
  int counter = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (now != second) {
      second = now;
      next = 0;
    }
    counter = next;
    next = (next + 1) % kMessageNamesPerSecond;
  }
  std::tm local{};
  localtime_r(&now, &local);
  return MessageNameStem(local, counter);
}

std::string MessageFileNameAt(std::string_view directory, std::string_view extension,
                              const std::tm& local, int counter) {
  std::string name(directory);
  name += '/';
  name += MessageNameStem(local, counter);
  name += '.';
  name += extension;
  return name;
}

std::string TempFileNameAt(std::string_view directory, const std::tm& local, int index) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "/%s%02d%02d%02d%02d.tmp", kTempPrefix, local.tm_hour,
                local.tm_min, local.tm_sec, index % kTempNamesPerSecond);
  return std::string(directory) + stamp;
}

int MakeMessageFileName(const std::string& directory, std::string_view extension,
                        std::string* name) {
  return ClaimMessageName(
      directory, extension,
      [](const std::string& path) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return errno;
        close(fd);
        return 0;
      },
      name);
}

int CreateTempFile(std::string* directory, std::string_view fallback, std::string* name) {
  if (!IsDirectory(*directory) && !platform::MakeDirectories(*directory)) {
    *directory = std::string(fallback);
  }
  int fd = -1;
  int result = ClaimFreshName(
      [&](const std::tm& local, int index) { return TempFileNameAt(*directory, local, index); },
      [&fd](const std::string& path) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return fd < 0 ? errno : 0;
      },
      name);
  return result == 0 ? fd : -1;
}

// ---- TempFilePool ----

platform::UniqueFd TempFilePool::Take(const std::string& directory, std::string_view fallback) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
      if (it->directory != directory) continue;
      platform::UniqueFd file = std::move(it->file);
      kept_.erase(std::next(it).base());
      return file;
    }
  }
  std::string made_in = directory;
  std::string name;
  platform::UniqueFd file(CreateTempFile(&made_in, fallback, &name));
  // Nameless from here on: only the descriptor holds the file.
  if (file) unlink(name.c_str());
  return file;
}

void TempFilePool::Release(const std::string& directory, platform::UniqueFd file) {
  if (!file) return;
  if (ftruncate(file.get(), 0) != 0 || lseek(file.get(), 0, SEEK_SET) != 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_.size() >= keep_) return;
  kept_.push_back(Kept{directory, std::move(file)});
}

size_t TempFilePool::kept() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_.size();
}

// ---- MessageFileWriter ----

MessageFileWriter::~MessageFileWriter() {
  Abandon();
}

MessageFileWriter::MessageFileWriter(MessageFileWriter&& other) noexcept {
  *this = std::move(other);
}

MessageFileWriter& MessageFileWriter::operator=(MessageFileWriter&& other) noexcept {
  if (this != &other) {
    Abandon();
    fd_ = std::exchange(other.fd_, -1);
    failed_ = other.failed_;
    at_line_start_ = other.at_line_start_;
    options_ = other.options_;
    size_ = other.size_;
    directory_ = std::move(other.directory_);
    extension_ = std::move(other.extension_);
    temp_path_ = std::move(other.temp_path_);
    name_ = std::move(other.name_);
    buffer_ = std::move(other.buffer_);
    other.temp_path_.clear();
  }
  return *this;
}

int MessageFileWriter::Open(const std::string& directory, std::string_view extension,
                            uint32_t options) {
  Abandon();
  name_.clear();
  buffer_.clear();
  failed_ = false;
  at_line_start_ = true;
  options_ = options;
  size_ = 0;
  directory_ = directory;
  extension_ = extension;
  std::string path = directory + "/" + kWriterTempTemplate;
  int fd = mkostemps(path.data(), kWriterTempSuffixLength, O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && platform::MakeDirectories(directory)) {
    path = directory + "/" + kWriterTempTemplate;
    fd = mkostemps(path.data(), kWriterTempSuffixLength, O_CLOEXEC);
  }
  if (fd < 0) return -1;
  fd_ = fd;
  temp_path_ = std::move(path);
  buffer_.reserve(kWriteChunk);
  return 0;
}

int MessageFileWriter::Write(std::string_view text) {
  if (fd_ < 0 || failed_) return -1;
  const bool stuff = (options_ & kMessageDotStuff) != 0;
  // Whole runs at a time: up to the end of the line when stuffing, else as much as the buffer
  // takes.
  while (!text.empty()) {
    if (stuff && at_line_start_ && text.front() == '.') {
      buffer_.push_back('.');
      ++size_;
    }
    size_t take = text.size();
    if (stuff) {
      size_t lf = text.find('\n');
      if (lf != std::string_view::npos) take = lf + 1;
    }
    size_t room = buffer_.size() < kWriteChunk ? kWriteChunk - buffer_.size() : 1;
    take = std::min(take, room);
    buffer_.append(text.data(), take);
    size_ += take;
    at_line_start_ = text[take - 1] == '\n';
    text.remove_prefix(take);
    if (buffer_.size() >= kWriteChunk && Flush() != 0) return -1;
  }
  return 0;
}

int MessageFileWriter::Flush() {
  if (buffer_.empty()) return 0;
  ScrambleBuffer(buffer_.data(), buffer_.size());
  bool ok = platform::WriteAll(fd_, buffer_.data(), buffer_.size());
  buffer_.clear();
  if (!ok) failed_ = true;
  return ok ? 0 : -1;
}

void MessageFileWriter::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int MessageFileWriter::Commit() {
  if (fd_ < 0) return -1;
  if (Flush() != 0 || failed_ || fsync(fd_) != 0) {
    Abandon();
    return -1;
  }
  Close();
  std::string final_name;
  int result = ClaimMessageName(
      directory_, extension_,
      [&](const std::string& path) { return RenameNoReplace(temp_path_, path); }, &final_name);
  if (result != 0) {
    Abandon();
    return -1;
  }
  temp_path_.clear();
  platform::SyncParentDirectory(final_name);
  name_ = std::move(final_name);
  return 0;
}

void MessageFileWriter::Abandon() {
  Close();
  if (!temp_path_.empty()) unlink(temp_path_.c_str());
  temp_path_.clear();
  buffer_.clear();
}

int WriteMessageFile(const std::string& directory, std::string_view extension,
                     std::string_view text, uint32_t options, std::string* name) {
  MessageFileWriter writer;
  if (writer.Open(directory, extension, options) != 0 || writer.Write(text) != 0 ||
      writer.Commit() != 0) {
    return -1;
  }
  if (name != nullptr) *name = writer.name();
  return 0;
}

int ReadMessageFile(const std::string& path, size_t max_bytes, std::string* text) {
  text->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char chunk[16384];
  int result = 0;
  for (;;) {
    size_t want = sizeof chunk;
    if (max_bytes != 0) {
      if (text->size() >= max_bytes) break;
      want = std::min(want, max_bytes - text->size());
    }
    ssize_t n = read(fd, chunk, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result = -1;
    if (n <= 0) break;
    UnscrambleBuffer(chunk, static_cast<size_t>(n));
    text->append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return result;
}

bool ReadUnmasked(int fd, const std::function<bool(std::string_view)>& sink, size_t piece_size) {
  std::string buf(piece_size, '\0');
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    UnscrambleBuffer(buf.data(), static_cast<size_t>(n));
    if (!sink(std::string_view(buf.data(), static_cast<size_t>(n)))) return false;
  }
}

void SetMailFileClockForTesting(std::time_t (*now)(), void (*wait)()) {
  g_clock = now;
  g_wait = wait;
}

size_t RemoveInterruptedWrites(const std::string& directory, std::time_t before) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return 0;
  const std::string_view pattern = kWriterTempTemplate;
  size_t removed = 0;
  while (const dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    bool match = name.size() == pattern.size();
    for (size_t i = 0; match && i < name.size(); ++i)
      match = pattern[i] == 'X' || pattern[i] == name[i];
    struct stat st {};
    if (!match || fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_mtime >= before) continue;
    if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

}  // namespace qv
