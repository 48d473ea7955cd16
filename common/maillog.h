// The date text of mail headers and logs, the mail time stamp, and the daily transaction log
// with its pruning. The log file format is described in docs/transaction-log.md.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "common/config.h"

namespace qv {

// Direction tags of log lines.
inline constexpr char kLogReceived[] = "-->";  // a line received from the peer
inline constexpr char kLogSent[] = "<--";      // a line sent to the peer
inline constexpr char kLogEvent[] = "***";     // an event
inline constexpr char kLogData[] = "<DATA>";   // a line of message data

// File prefixes of the writing programs.
inline constexpr char kLogPrefixSmtp[] = "s";
inline constexpr char kLogPrefixPop3[] = "p";

// Log levels used by the services.
constexpr int kLogLevelLink = 0;      // failures of the dial-up link
constexpr int kLogLevelFailure = 1;   // failures: connection lost, cannot open a file
constexpr int kLogLevelMail = 3;      // mail events
constexpr int kLogLevelProtocol = 4;  // protocol lines and session events
constexpr int kLogLevelData = 5;      // message data lines and the forward-run notice

// The date text of now, "Mon, 7 Dec 26  14:30:15 +0100" (two blanks before the time). The
// text lives in a buffer of the calling thread that the next call overwrites.
const char* FormatMailDate();

// The same text for a given local time and offset of local time from UTC in minutes.
std::string FormatMailDateAt(const std::tm& local, long offset_minutes);

// Offset of local time from UTC in minutes at the moment `t`.
long LocalOffsetMinutes(std::time_t t);

// Seconds since 1 January 1980 00:00, counting a leap day in every year divisible by four.
// `years` counts from 1980; `month` is 1..12 and `day` 1..31. The count wraps as a signed
// 32-bit number. Used to age queued mail.
int32_t MailTimeStamp(int years, int month, int day, int hour, int minute, int second);

// Appends the lines of `text` to today's log of the program `prefix` in the LogPath of `system`,
// each as "%05d  <date>   <tag> <line>\r\n". A negative `length` means `text` is
// zero-terminated. Nothing is written when `level` is above its LogLevel, `text` is null
// or `length` is 0. Lines split at CR, LF and NUL; empty lines are skipped. Outside "<DATA>" a
// line beginning with "PASS" or "NEWP" (any case) is written with ten asterisks in place of its
// argument. A log file that cannot be opened loses the entry silently. Safe from any thread.
//
// The day's file of each prefix is held open between entries, and each entry is one write with
// O_APPEND. It is opened again when the day's name changes, and when the file at that name is no
// longer the one held (deleted or moved away), which is looked at no more than once a second.
void WriteLog(const SYSTEMSTRUCT& system, int level, long session, std::string_view tag,
              const char* text, long length, std::string_view prefix);

// The same for a text view (which may hold no NUL terminator).
inline void WriteLog(const SYSTEMSTRUCT& system, int level, long session, std::string_view tag,
                     std::string_view text, std::string_view prefix) {
  WriteLog(system, level, session, tag, text.data(), static_cast<long>(text.size()), prefix);
}

// Closes the log files WriteLog holds open; the next entry opens its file again.
void CloseLogFiles();

// Tests only: replaces the clock of the log (the day of its file name, the date texts and the
// look at the held file); null restores the real clock.
void SetLogClockForTesting(std::time_t (*now)());

// The log entry text that WriteLog appends, built with `date` as every line's date text. Empty
// when no line remains. Exposed for tests and the fuzzer.
std::string FormatLogEntry(long session, std::string_view tag, std::string_view text,
                           std::string_view date);

// Path of the log file of `prefix` for a local date: "<log_path>/<prefix>YYMMDD.txt".
std::string LogFilePath(std::string_view log_path, std::string_view prefix, const std::tm& local);

// The cut-off name "YYMMDD.txt" of log pruning for a local date (year since 1900, month 1..12,
// day 1..31) and the maximum age in days. A log whose name after its one-letter prefix sorts
// before it (without regard to case) is old.
std::string LogCutoffName(int tm_year, int month, int day, int max_log_time);

// Deletes every old "*.txt" log in `log_path` (see LogCutoffName) for today's local date.
// Returns the number of files deleted; a file that cannot be deleted is skipped.
int PruneLogFiles(const std::string& log_path, int max_log_time);

}  // namespace qv
