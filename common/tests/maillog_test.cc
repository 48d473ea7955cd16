#include "common/maillog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/testing/test_env.h"

namespace qv {
namespace {

using namespace std::string_literals;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

std::tm MakeTm(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
               int wday = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_wday = wday;
  return t;
}

// Sets TZ for the scope.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

// A common settings record with the given log folder and level.
SYSTEMSTRUCT LogSettings(const std::string& log_path, int level) {
  SYSTEMSTRUCT system{};
  CopyField(system.LogPath, log_path);
  system.LogLevel = level;
  return system;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

const std::regex kDateText(
    R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d  \d\d:\d\d:\d\d [+-]\d{4})");

TEST(FormatMailDateTest, Table) {
  struct Case {
    std::tm local;
    long offset;
    const char* text;
  };
  const Case cases[] = {
      {MakeTm(2026, 12, 7, 14, 30, 15, 1), 60, "Mon, 7 Dec 26  14:30:15 +0100"},
      {MakeTm(2000, 1, 1, 0, 0, 0, 6), 0, "Sat, 1 Jan 00  00:00:00 +0000"},
      {MakeTm(1999, 12, 31, 23, 59, 59, 5), -300, "Fri, 31 Dec 99  23:59:59 -0500"},
      {MakeTm(2026, 7, 4, 9, 5, 3, 6), 330, "Sat, 4 Jul 26  09:05:03 +0530"},
      {MakeTm(2026, 7, 4, 9, 5, 3, 6), 345, "Sat, 4 Jul 26  09:05:03 +0545"},
      {MakeTm(2026, 7, 4, 9, 5, 3, 6), -210, "Sat, 4 Jul 26  09:05:03 -0330"},
      {MakeTm(2026, 7, 4, 9, 5, 3, 6), -1, "Sat, 4 Jul 26  09:05:03 -0001"},
      {MakeTm(2026, 7, 4, 9, 5, 3, 6), 14 * 60, "Sat, 4 Jul 26  09:05:03 +1400"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatMailDateAt(c.local, c.offset), c.text);
}

TEST(FormatMailDateTest, NowUsesOneBufferAndTheLocalZone) {
  ScopedTimeZone zone("XYZ-5:30");
  const char* first = FormatMailDate();
  std::string text = first;
  EXPECT_TRUE(std::regex_match(text, kDateText)) << text;
  EXPECT_EQ(text.substr(text.size() - 5), "+0530");
  EXPECT_EQ(FormatMailDate(), first);  // the same buffer, overwritten
}

// The text is kept for the second it was made in: a new second or a new zone makes it again.
std::atomic<std::time_t> g_date_now{0};
std::time_t DateNow() {
  return g_date_now.load();
}

TEST(FormatMailDateTest, KeptPerSecondAndZone) {
  ScopedTimeZone utc("UTC0");
  g_date_now = 1'800'000'000;  // Fri, 15 Jan 27  08:00:00 UTC
  SetLogClockForTesting(DateNow);
  EXPECT_STREQ(FormatMailDate(), "Fri, 15 Jan 27  08:00:00 +0000");
  EXPECT_STREQ(FormatMailDate(), "Fri, 15 Jan 27  08:00:00 +0000");
  ++g_date_now;
  EXPECT_STREQ(FormatMailDate(), "Fri, 15 Jan 27  08:00:01 +0000");
  {
    ScopedTimeZone zone("XYZ-5:30");  // the same second in another zone
    EXPECT_STREQ(FormatMailDate(), "Fri, 15 Jan 27  13:30:01 +0530");
  }
  EXPECT_STREQ(FormatMailDate(), "Fri, 15 Jan 27  08:00:01 +0000");
  --g_date_now;  // a clock set back
  EXPECT_STREQ(FormatMailDate(), "Fri, 15 Jan 27  08:00:00 +0000");
  SetLogClockForTesting(nullptr);
}

TEST(FormatMailDateTest, OffsetIsLocalMinusUtc) {
  struct Case {
    const char* zone;
    long minutes;
  };
  const Case cases[] = {{"UTC0", 0}, {"XYZ-5:30", 330}, {"ABC+3", -180}, {"NPT-5:45", 345}};
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(LocalOffsetMinutes(1'800'000'000), c.minutes) << c.zone;
  }
}

TEST(MailTimeStampTest, Table) {
  struct Case {
    int years, month, day, hour, minute, second;
    int32_t seconds;
  };
  const Case cases[] = {
      {0, 1, 1, 0, 0, 0, 0},
      {0, 1, 1, 0, 0, 1, 1},
      {0, 1, 2, 1, 2, 3, 86400 + 3723},
      {0, 3, 1, 0, 0, 0, (31 + 29) * 86400},  // 1980 is a leap year
      {1, 1, 1, 0, 0, 0, 366 * 86400},
      {1, 3, 1, 0, 0, 0, (366 + 31 + 28) * 86400},
      {4, 1, 1, 0, 0, 0, (4 * 365 + 1) * 86400},
      {5, 1, 1, 0, 0, 0, (5 * 365 + 2) * 86400},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MailTimeStamp(c.years, c.month, c.day, c.hour, c.minute, c.second), c.seconds)
        << c.years << "-" << c.month << "-" << c.day;
  }
}

TEST(MailTimeStampTest, AgreesWithTheCalendarUntil2047) {
  // Between 1980 and 2099 every year divisible by four is a leap year, so the count must agree
  // with the real calendar on every day that fits in 32 bits.
  std::tm epoch = MakeTm(1980, 1, 1);
  const time_t base = timegm(&epoch);
  for (time_t t = base; t < base + int64_t{0x7fffffff} - 86400; t += 86400 * 3 + 3671) {
    std::tm u{};
    gmtime_r(&t, &u);
    int32_t got = MailTimeStamp(u.tm_year + 1900 - 1980, u.tm_mon + 1, u.tm_mday, u.tm_hour,
                                u.tm_min, u.tm_sec);
    ASSERT_EQ(got, static_cast<int32_t>(t - base)) << std::asctime(&u);
  }
}

TEST(MailTimeStampTest, OutOfRangeFieldsStayDefined) {
  MailTimeStamp(0, 0, 0, 0, 0, 0);
  MailTimeStamp(0, 13, 40, 25, 61, 61);
  MailTimeStamp(-5, -1, -1, -1, -1, -1);
  MailTimeStamp(1000, 12, 31, 23, 59, 59);  // wraps as 32 bits
}

TEST(FormatLogEntryTest, Table) {
  const std::string d = "Mon, 7 Dec 26  14:30:15 +0100";
  struct Case {
    long session;
    std::string tag;
    std::string text;
    std::string entry;
  };
  const Case cases[] = {
      {0, kLogEvent, "Service started", "00000  " + d + "   *** Service started\r\n"},
      {123, kLogReceived, "HELO x\r\n", "00123  " + d + "   --> HELO x\r\n"},
      {7, kLogSent, "\r\n\r\n250 a\r\n\r\n250 b\r\n250 c\r\n",
       "00007  " + d + "   <-- 250 a\r\n00007  " + d + "   <-- 250 b\r\n00007  " + d +
           "   <-- 250 c\r\n"},
      // Only CR LF ends a line inside the text: a lone CR or LF is shown as a blank, so that
      // one received line is one log line.
      {7, kLogReceived, "NOOP\rRCPT TO:<x@y>\r\n", "00007  " + d + "   --> NOOP RCPT TO:<x@y>\r\n"},
      {7, kLogSent, "250 b\n\r250 c", "00007  " + d + "   <-- 250 b  250 c\r\n"},
      {7, kLogEvent, "\n\ra\nb\r\r\n\n", "00007  " + d + "   *** a b\r\n"},
      {9, kLogReceived, "USER ann\nPASS secret",
       "00009  " + d + "   --> USER ann PASS **********\r\n"},
      {9, kLogReceived, "X\rnewpass fresh\rY", "00009  " + d + "   --> X NEWPASS **********\r\n"},
      {9, kLogData, "a\nPASS b", "00009  " + d + "   <DATA> a PASS b\r\n"},
      {1, kLogEvent, "a\0b"s, "00001  " + d + "   *** a\r\n00001  " + d + "   *** b\r\n"},
      {1, kLogEvent, "a\r\nb\0c\0\r\nd"s,
       "00001  " + d + "   *** a\r\n00001  " + d + "   *** b\r\n00001  " + d +
           "   *** c\r\n00001  " + d + "   *** d\r\n"},
      {1, kLogEvent, "\r\n\n\r", ""},
      {1, kLogEvent, "", ""},
      // Passwords never reach the log outside message data.
      {9, kLogReceived, "PASS secret\r\n", "00009  " + d + "   --> PASS **********\r\n"},
      {9, kLogReceived, "pass secret", "00009  " + d + "   --> PASS **********\r\n"},
      {9, kLogReceived, "PASSsecret", "00009  " + d + "   --> PASS **********\r\n"},
      {9, kLogSent, "PASS secret", "00009  " + d + "   <-- PASS **********\r\n"},
      {9, kLogReceived, "NEWPASS fresh", "00009  " + d + "   --> NEWPASS **********\r\n"},
      {9, kLogReceived, "USER ann\r\nPASS x\r\n",
       "00009  " + d + "   --> USER ann\r\n00009  " + d + "   --> PASS **********\r\n"},
      {9, kLogData, "PASS secret", "00009  " + d + "   <DATA> PASS secret\r\n"},
      {9, kLogReceived, " PASS x", "00009  " + d + "   -->  PASS x\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatLogEntry(c.session, c.tag, c.text, d), c.entry);
  }
}

TEST(LogFilePathTest, NameFromTheLocalDate) {
  EXPECT_EQ(LogFilePath("/var/log/qv", "s", MakeTm(2026, 12, 7)), "/var/log/qv/s261207.txt");
  EXPECT_EQ(LogFilePath("/l", "p", MakeTm(2000, 1, 9)), "/l/p000109.txt");
}

class WriteLogTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string log_path_ = dir_.Sub("logs/deeper");
  SYSTEMSTRUCT system_ = LogSettings(log_path_, 4);

  std::string TodayLog(const char* prefix) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return LogFilePath(log_path_, prefix, local);
  }
};

TEST_F(WriteLogTest, CreatesTheFolderAndWritesOneLinePerTextLine) {
  WriteLog(system_, 3, 42, kLogEvent, "first line\r\nsecond line\r\n", -1, kLogPrefixSmtp);
  std::string text = ReadFileText(TodayLog("s"));
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 2u) << text;
  std::regex line(R"(00042  (.*)   \*\*\* (first|second) line)");
  for (const auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    EXPECT_TRUE(std::regex_match(m[1].str(), kDateText)) << m[1];
  }
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(WriteLogTest, LevelsLengthsAndAbsentText) {
  WriteLog(system_, 5, 1, kLogData, "too detailed", -1, "s");
  WriteLog(system_, 1, 1, kLogEvent, nullptr, -1, "s");
  WriteLog(system_, 1, 1, kLogEvent, "zero length", 0, "s");
  EXPECT_FALSE(std::filesystem::exists(TodayLog("s")));

  WriteLog(system_, 4, 1, kLogEvent, "cut here|not this", 8, "s");
  WriteLog(system_, 0, 2, kLogEvent, "link", -1, "s");
  WriteLog(system_, 1, 3, kLogEvent, std::string_view("view"), "p");
  std::vector<std::string> s = Lines(ReadFileText(TodayLog("s")));
  ASSERT_EQ(s.size(), 2u);
  EXPECT_TRUE(s[0].ends_with("*** cut here")) << s[0];
  EXPECT_TRUE(s[1].starts_with("00002  ") && s[1].ends_with("*** link")) << s[1];
  std::vector<std::string> p = Lines(ReadFileText(TodayLog("p")));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_TRUE(p[0].ends_with("*** view"));
}

TEST_F(WriteLogTest, AppendsAndMasksPasswords) {
  std::filesystem::create_directories(log_path_);
  WriteFileText(TodayLog("p"), "00000  old line\r\n");
  WriteLog(system_, 4, 5, kLogReceived, "PASS hunter2\r\n", -1, "p");
  WriteLog(system_, 5, 5, kLogData, "PASS hunter2\r\n", -1, "p");
  std::string text = ReadFileText(TodayLog("p"));
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 2u);  // level 5 is above LogLevel 4
  EXPECT_EQ(lines[0], "00000  old line");
  EXPECT_TRUE(lines[1].ends_with("--> PASS **********")) << lines[1];
  EXPECT_EQ(text.find("hunter2"), std::string::npos);

  system_.LogLevel = 5;
  WriteLog(system_, 5, 5, kLogData, "PASS hunter2\r\n", -1, "p");
  EXPECT_TRUE(Lines(ReadFileText(TodayLog("p"))).back().ends_with("<DATA> PASS hunter2"));
}

TEST_F(WriteLogTest, AnUnopenableLogLosesTheEntrySilently) {
  std::string file = dir_.Sub("plainfile");
  WriteFileText(file, "x");
  CopyField(system_.LogPath, file + "/sub");
  WriteLog(system_, 1, 1, kLogEvent, "lost", -1, "s");
  EXPECT_EQ(ReadFileText(file), "x");
}

TEST_F(WriteLogTest, WritersRunningTogetherNeverMixTheirLines) {
  constexpr int kWriters = 4;
  constexpr int kEntries = 200;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([this, w] {
      std::string text;
      for (int line = 0; line < 3; ++line) text += "writer " + std::to_string(w) + " line\r\n";
      for (int i = 0; i < kEntries; ++i) WriteLog(system_, 3, w, kLogEvent, text.c_str(), -1, "s");
    });
  }
  for (auto& t : threads) t.join();
  std::vector<std::string> lines = Lines(ReadFileText(TodayLog("s")));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kWriters * kEntries * 3));
  std::regex line(R"(0000(\d)  .{29,31}   \*\*\* writer (\d) line)");
  for (const auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    EXPECT_EQ(m[1], m[2]);
  }
}

// The log's clock, moved by the test.
std::atomic<std::time_t> g_log_now{0};
std::time_t LogNow() {
  return g_log_now.load();
}

class HeldLogTest : public WriteLogTest {
 protected:
  HeldLogTest() {
    std::tm t = MakeTm(2026, 12, 7, 23, 59, 58);
    t.tm_isdst = -1;
    g_log_now = mktime(&t);
    SetLogClockForTesting(LogNow);
  }
  ~HeldLogTest() override {
    SetLogClockForTesting(nullptr);
    CloseLogFiles();
  }

  void Write(const std::string& text) { WriteLog(system_, 3, 7, kLogEvent, text.c_str(), -1, "s"); }
  std::string Day(int day) const { return LogFilePath(log_path_, "s", MakeTm(2026, 12, day)); }
  // The texts of the entries of a log file, in order.
  static std::vector<std::string> Entries(const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& line : Lines(ReadFileText(path))) {
      size_t at = line.find("*** ");
      out.push_back(at == std::string::npos ? "?" + line : line.substr(at + 4));
    }
    return out;
  }
  using Texts = std::vector<std::string>;
};

TEST_F(HeldLogTest, OpenedAgainAfterRemovalMoveAndTheDayChanged) {
  g_log_now -= 1;  // 23:59:57
  Write("one");
  Write("two");
  ASSERT_EQ(Entries(Day(7)), (Texts{"one", "two"}));

  // Moved away: the rest of the second still reaches the moved file; from the next second on
  // the entries go to a new file under the day's name.
  ASSERT_EQ(std::rename(Day(7).c_str(), (Day(7) + ".old").c_str()), 0);
  Write("three");
  ++g_log_now;  // 23:59:58
  Write("four");
  EXPECT_EQ(Entries(Day(7) + ".old"), (Texts{"one", "two", "three"}));
  EXPECT_EQ(Entries(Day(7)), (Texts{"four"}));

  // Removed: the next second makes a new file.
  std::filesystem::remove(Day(7));
  ++g_log_now;  // 23:59:59
  Write("five");
  EXPECT_EQ(Entries(Day(7)), (Texts{"five"}));

  // The next day has its own file; the day before keeps what it had.
  ++g_log_now;  // 00:00:00
  Write("six");
  EXPECT_EQ(Entries(Day(7)), (Texts{"five"}));
  EXPECT_EQ(Entries(Day(8)), (Texts{"six"}));
  std::vector<std::string> lines = Lines(ReadFileText(Day(8)));
  EXPECT_NE(lines[0].find("  Tue, 8 Dec 26  00:00:00 "), std::string::npos) << lines[0];

  // Replaced by another file of the same name: that one is written from the next second on.
  std::filesystem::remove(Day(8));
  WriteFileText(Day(8), "00000  kept\r\n");
  ++g_log_now;
  Write("seven");
  EXPECT_EQ(Entries(Day(8)), (Texts{"?00000  kept", "seven"}));

  // Within one second the file held is not looked at again.
  std::filesystem::remove(Day(8));
  Write("eight");
  EXPECT_FALSE(std::filesystem::exists(Day(8)));
}

TEST_F(HeldLogTest, WritersAcrossReopensLoseAndDoubleNothing) {
  // Four threads log while the clock moves on over midnight and the file is moved away again
  // and again.
  constexpr int kWriters = 4;
  constexpr int kEntries = 300;
  g_log_now -= 30;  // 23:59:28
  std::atomic<int> done{0};
  std::atomic<int> rounds{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([this, w, &done, &rounds] {
      for (int i = 0; i < kEntries; ++i) {
        // Paced by the mover, so that however fast a write is, files are moved between them.
        while (rounds.load() < i / 2) std::this_thread::yield();
        std::string text = "w" + std::to_string(w) + " n" + std::to_string(i) + "\r\nsecond line";
        WriteLog(system_, 3, w, kLogEvent, text.c_str(), -1, "s");
      }
      ++done;
    });
  }
  std::vector<std::string> files;  // in the order the files were made
  for (int round = 0; done < kWriters; ++round) {
    std::string moved = Day(7) + "." + std::to_string(round);
    if (std::rename(Day(7).c_str(), moved.c_str()) == 0) files.push_back(moved);
    if (round < 120 && round % 3 == 0) ++g_log_now;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    ++rounds;
  }
  for (auto& t : threads) t.join();
  for (int day : {7, 8}) {
    if (std::filesystem::exists(Day(day))) files.push_back(Day(day));
  }
  ASSERT_GT(files.size(), 2u);

  std::map<std::string, int> seen;
  std::vector<int> last(kWriters, -1);
  static const std::regex first(R"(0000(\d)  .{29,31}   \*\*\* w(\d) n(\d+))");
  for (const std::string& file : files) {
    std::vector<std::string> lines = Lines(ReadFileText(file));
    for (size_t i = 0; i < lines.size(); ++i) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(lines[i], m, first)) << lines[i];
      ASSERT_EQ(m[1], m[2]);
      // The two lines of an entry stay together, and a writer's entries keep their order.
      ASSERT_LT(i + 1, lines.size());
      EXPECT_TRUE(lines[++i].ends_with(" second line")) << lines[i];
      size_t writer = std::stoul(m[2]);
      int n = std::stoi(m[3]);
      EXPECT_GT(n, last[writer]) << file;
      last[writer] = n;
      ++seen[m[2].str() + " " + m[3].str()];
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kEntries));
  for (const auto& [entry, count] : seen) EXPECT_EQ(count, 1) << entry;
}

TEST(LogCutoffTest, Table) {
  struct Case {
    int year, month, day, max;
    const char* name;
  };
  const Case cases[] = {
      {2026, 3, 3, 7, "260224.txt"},  // short February
      {2024, 3, 3, 7, "240224.txt"},  // February counts 28 days in a leap year too
      {2026, 12, 10, 7, "261203.txt"},
      {2026, 12, 7, 7, "261200.txt"},  // day 0: every day of the month before is old
      {2026, 12, 6, 7, "261129.txt"},
      {2026, 1, 3, 7, "251227.txt"},  // back into December of the year before
      {2026, 5, 5, 7, "260428.txt"},  // April has 30 days
      {2026, 8, 2, 7, "260726.txt"},
      {2026, 3, 5, 33, "260200.txt"},
      {2000, 1, 1, 1, "000100.txt"},
      {2026, 6, 15, 0, "260615.txt"},
      {2026, 6, 15, -3, "260615.txt"},  // a negative age never makes today's log old
      // Ages longer than the month before step back further instead of giving a negative day.
      {2026, 12, 5, 90, "260906.txt"},
      {2026, 3, 1, 60, "260100.txt"},
      {2026, 1, 1, 400, "241127.txt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LogCutoffName(c.year - 1900, c.month, c.day, c.max), c.name)
        << c.year << "-" << c.month << "-" << c.day << " max " << c.max;
  }
}

TEST(PruneLogFilesTest, DeletesOnlyLogsOlderThanTheCutoff) {
  TempDir dir;
  std::time_t now = std::time(nullptr);
  std::tm today{};
  localtime_r(&now, &today);
  std::string cutoff = LogCutoffName(today.tm_year, today.tm_mon + 1, today.tm_mday, 7);
  std::string todays = LogFilePath(dir.path(), "s", today);

  const char* old_files[] = {"s000101.txt", "P000101.TXT", "x.txt"};
  const char* kept_files[] = {"s991231.txt", "notes.md", "s000101.log", "responder.txt"};
  for (const char* f : old_files) WriteFileText(dir.Sub(f), "old");
  for (const char* f : kept_files) WriteFileText(dir.Sub(f), "keep");
  WriteFileText(todays, "today");
  WriteFileText(dir.Sub("s" + cutoff), "cutoff day");
  std::filesystem::create_directory(dir.Sub("s000102.txt"));

  EXPECT_EQ(PruneLogFiles(dir.path(), 7), 3);
  for (const char* f : old_files) EXPECT_FALSE(std::filesystem::exists(dir.Sub(f))) << f;
  for (const char* f : kept_files) EXPECT_TRUE(std::filesystem::exists(dir.Sub(f))) << f;
  EXPECT_TRUE(std::filesystem::exists(todays));
  EXPECT_TRUE(std::filesystem::exists(dir.Sub("s" + cutoff)));
  EXPECT_TRUE(std::filesystem::is_directory(dir.Sub("s000102.txt")));
  EXPECT_EQ(PruneLogFiles(dir.Sub("missing"), 7), 0);
}

}  // namespace
}  // namespace qv
