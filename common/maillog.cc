// The date text, the mail time stamp and the daily transaction log.
#include "common/maillog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "common/config.h"
#include "common/strings.h"
#include "platform/fileio.h"
#include "platform/sysroot.h"
#include "platform/unique_fd.h"

namespace qv {

namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr char kMaskedPass[] = "PASS **********";
constexpr char kMaskedNewPass[] = "NEWPASS **********";

std::atomic<std::time_t (*)()> g_log_clock{nullptr};

std::time_t Now() {
  std::time_t (*clock)() = g_log_clock.load(std::memory_order_acquire);
  return clock != nullptr ? clock() : std::time(nullptr);
}

std::tm LocalNow(std::time_t* now = nullptr) {
  std::time_t t = Now();
  if (now != nullptr) *now = t;
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

// Appends one log line per non-empty line of the text; `date` gives each line's date text.
template <typename DateFn>
void AppendLogLines(std::string* out, long session, std::string_view tag, std::string_view text,
                    DateFn date) {
  bool mask_passwords = tag != kLogData;
  // Lines end at CR LF or NUL, and CR and LF at the start and the end of the text are line ends
  // too. A CR or LF inside a line is shown as a blank: no received text can make one entry look
  // like two.
  size_t first = text.find_first_not_of("\r\n");
  size_t last = text.find_last_not_of("\r\n");
  text =
      first == std::string_view::npos ? std::string_view() : text.substr(first, last - first + 1);
  size_t pos = 0;
  std::string shown;
  size_t nul = text.find('\0');
  while (pos < text.size()) {
    if (nul != std::string_view::npos && nul < pos) nul = text.find('\0', pos);
    size_t stop = std::min(text.find("\r\n", pos), nul);
    if (stop == std::string_view::npos) stop = text.size();
    std::string_view line = text.substr(pos, stop - pos);
    pos = stop + (stop < text.size() && text[stop] == '\r' ? 2 : 1);
    if (line.empty()) continue;
    if (line.find_first_of("\r\n") != std::string_view::npos) {
      // What followed a stray line end may still be a password for the peer that sent it.
      shown.clear();
      for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\r' && line[i] != '\n') {
          shown.push_back(line[i]);
          continue;
        }
        shown.push_back(' ');
        std::string_view rest = line.substr(i + 1);
        if (mask_passwords && (StartsWithNoCase(rest, "PASS") || StartsWithNoCase(rest, "NEWP"))) {
          shown += StartsWithNoCase(rest, "PASS") ? kMaskedPass : kMaskedNewPass;
          break;
        }
      }
      line = shown;
    }
    // A password must never reach the log: POP3 takes any line starting with the four letters
    // "PASS" as the command, and the password services any line starting with "NEWP".
    if (mask_passwords && StartsWithNoCase(line, "PASS"))
      line = kMaskedPass;
    else if (mask_passwords && StartsWithNoCase(line, "NEWP"))
      line = kMaskedNewPass;
    char head[32];
    std::snprintf(head, sizeof head, "%05ld  ", session);
    out->append(head);
    out->append(date());
    out->append("   ");
    out->append(tag);
    out->push_back(' ');
    out->append(line);
    out->append("\r\n");
  }
}

// The day's log file of each program prefix, held open between entries. An entry goes to the
// file held while the day's name stays the same and the file at that name is still the one held;
// whether it is, is looked at no more than once a second (a file deleted or moved away by an
// administrator gets the entries of that second at most). Every entry is one write with
// O_APPEND, as with a file opened per entry, so the bytes and their order do not change and the
// lines of several processes never mix.
class HeldLogs {
 public:
  void Append(std::string_view prefix, std::string_view folder, const std::string& path,
              std::string_view entry, std::time_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Held& held = Find(prefix);
    if (held.fd.valid() && (held.path != path || (now != held.checked && !StillHeld(held, now)))) {
      held.fd.Reset();
    }
    if (!held.fd.valid() && !Open(&held, folder, path, now)) return;
    if (!platform::WriteAll(held.fd.get(), entry.data(), entry.size())) {
      held.fd.Reset();  // the next entry opens the file again
    }
  }

  void CloseAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Held& held : held_) held.fd.Reset();
  }

 private:
  struct Held {
    std::string prefix;
    std::string path;
    platform::UniqueFd fd;
    dev_t device = 0;
    ino_t inode = 0;
    std::time_t checked = 0;  // when the file at `path` was last found to be the one held
  };

  Held& Find(std::string_view prefix) {
    for (Held& held : held_) {
      if (held.prefix == prefix) return held;
    }
    held_.emplace_back();
    held_.back().prefix = prefix;
    return held_.back();
  }

  static bool StillHeld(Held& held, std::time_t now) {
    struct stat st {};
    if (stat(held.path.c_str(), &st) != 0 || st.st_dev != held.device || st.st_ino != held.inode) {
      return false;
    }
    held.checked = now;
    return true;
  }

  // `folder` is made when it is missing.
  static bool Open(Held* held, std::string_view folder, const std::string& path, std::time_t now) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && platform::MakeDirectories(std::string(folder))) {
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    platform::UniqueFd owned(fd);
    struct stat st {};
    if (!owned.valid() || fstat(owned.get(), &st) != 0) return false;
    held->fd = std::move(owned);
    held->path = path;
    held->device = st.st_dev;
    held->inode = st.st_ino;
    held->checked = now;
    return true;
  }

  std::mutex mutex_;
  std::deque<Held> held_;  // one per prefix; few, and never moved once made
};

HeldLogs& Logs() {
  static HeldLogs* logs = new HeldLogs;  // left alive for entries written while the process ends
  return *logs;
}

int MonthLength(int month) {
  switch (month) {
    case 2:
      return 28;
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    default:
      return 31;
  }
}

}  // namespace

long LocalOffsetMinutes(std::time_t t) {
  std::tm local{};
  std::tm utc{};
  localtime_r(&t, &local);
  gmtime_r(&t, &utc);
  return static_cast<long>((timegm(&local) - timegm(&utc)) / 60);
}

std::string FormatMailDateAt(const std::tm& local, long offset_minutes) {
  long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%04ld", offset_minutes < 0 ? '-' : '+',
                (magnitude / 60) * 100 + magnitude % 60);
  int wday = local.tm_wday >= 0 && local.tm_wday < 7 ? local.tm_wday : 0;
  int mon = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  char text[96];
  std::snprintf(text, sizeof text, "%s, %ld %s %02ld  %02ld:%02ld:%02ld %s", kDayNames[wday],
                static_cast<long>(local.tm_mday), kMonthNames[mon],
                static_cast<long>((local.tm_year + 1900) % 100), static_cast<long>(local.tm_hour),
                static_cast<long>(local.tm_min), static_cast<long>(local.tm_sec), zone);
  return text;
}

const char* FormatMailDate() {
  // The text changes once a second: it is formatted again only when the second or the zone
  // (TZ) changed since this thread's last call.
  thread_local char buffer[96];
  thread_local std::time_t formatted = -1;
  thread_local std::string formatted_zone;
  std::time_t now = Now();
  const char* zone = std::getenv("TZ");
  std::string_view zone_text = zone != nullptr ? zone : "\n";  // no TZ: never a TZ's value
  if (now == formatted && zone_text == formatted_zone) return buffer;
  std::tm local{};
  localtime_r(&now, &local);
  std::string text = FormatMailDateAt(local, LocalOffsetMinutes(now));
  std::snprintf(buffer, sizeof buffer, "%s", text.c_str());
  formatted = now;
  formatted_zone = zone_text;
  return buffer;
}

int32_t MailTimeStamp(int years, int month, int day, int hour, int minute, int second) {
  int64_t days = 365LL * years + (years > 0 ? (years + 3) / 4 : years / 4);
  bool leap = (1980 + years) % 4 == 0;
  for (int m = 1; m < month && m <= 12; ++m) days += (m == 2 && leap) ? 29 : MonthLength(m);
  int64_t seconds = (days + day - 1) * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
  return static_cast<int32_t>(static_cast<uint32_t>(seconds));
}

std::string FormatLogEntry(long session, std::string_view tag, std::string_view text,
                           std::string_view date) {
  std::string out;
  AppendLogLines(&out, session, tag, text, [date] { return date; });
  return out;
}

std::string LogFilePath(std::string_view log_path, std::string_view prefix, const std::tm& local) {
  char date[48];
  std::snprintf(date, sizeof date, "%02d%02d%02d.txt", (local.tm_year + 1900) % 100,
                local.tm_mon + 1, local.tm_mday);
  std::string path(log_path);
  path += '/';
  path += prefix;
  path += date;
  return path;
}

void WriteLog(const SYSTEMSTRUCT& system, int level, long session, std::string_view tag,
              const char* text, long length, std::string_view prefix) {
  if (level > system.LogLevel || text == nullptr || length == 0) return;
  std::string_view body(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));

  std::string entry;
  const std::string date = FormatMailDate();
  AppendLogLines(&entry, session, tag, body, [&date] { return std::string_view(date); });
  if (entry.empty()) return;

  std::time_t now = 0;
  std::tm local = LocalNow(&now);
  Logs().Append(prefix, system.LogPath, LogFilePath(system.LogPath, prefix, local), entry, now);
}

void CloseLogFiles() {
  Logs().CloseAll();
}

void SetLogClockForTesting(std::time_t (*now)()) {
  g_log_clock.store(now, std::memory_order_release);
}

std::string LogCutoffName(int tm_year, int month, int day, int max_log_time) {
  if (max_log_time < 0) max_log_time = 0;
  int year = tm_year;
  int cut_month = month;
  int cut_day = day - max_log_time;
  if (day < max_log_time) {
    // Back into the previous month. An age longer than that month keeps stepping back, so that
    // a long MaxLogTime never deletes logs younger than it.
    do {
      if (--cut_month < 1) {
        cut_month = 12;
        --year;
      }
      cut_day += MonthLength(cut_month);
    } while (cut_day < 0);
  }
  char name[48];
  std::snprintf(name, sizeof name, "%02d%02d%02d.txt", ((year + 1900) % 100 + 100) % 100, cut_month,
                cut_day);
  return name;
}

int PruneLogFiles(const std::string& log_path, int max_log_time) {
  std::tm today = LocalNow();
  std::string cutoff = LogCutoffName(today.tm_year, today.tm_mon + 1, today.tm_mday, max_log_time);
  DIR* dir = opendir(log_path.c_str());
  if (dir == nullptr) return 0;
  int deleted = 0;
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() < 5 || CompareNoCase(name.substr(name.size() - 4), ".txt") != 0) continue;
    if (CompareNoCase(name.substr(1), cutoff) >= 0) continue;
    std::string path = log_path + "/" + std::string(name);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlink(path.c_str()) == 0) ++deleted;
  }
  closedir(dir);
  return deleted;
}

}  // namespace qv
