#include "common/mailfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/testing/test_env.h"
#include "platform/registry.h"
#include "platform/unique_fd.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::ReadFileText;
using testing::ScopedSystemRoot;
using testing::TempDir;
using testing::WriteFileText;

std::string Masked(std::string text) {
  for (char& c : text) c = static_cast<char>(c ^ kMessageMask);
  return text;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> NamesEndingIn(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> out;
  for (const auto& n : Names(dir)) {
    if (n.ends_with(suffix)) out.push_back(n);
  }
  return out;
}

// A clock that stands still until every name of its second is taken.
std::time_t g_fake_now = 0;
int g_fake_waits = 0;
std::time_t FakeNow() {
  return g_fake_now;
}
void FakeWait() {
  ++g_fake_waits;
  ++g_fake_now;
}

class FakeClock {
 public:
  FakeClock() {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 14;
    t.tm_min = 30;
    t.tm_sec = 15;
    t.tm_isdst = -1;
    g_fake_now = mktime(&t);
    g_fake_waits = 0;
    SetMailFileClockForTesting(FakeNow, FakeWait);
  }
  ~FakeClock() { SetMailFileClockForTesting(nullptr, nullptr); }
  std::tm Local() const {
    std::tm t{};
    localtime_r(&g_fake_now, &t);
    return t;
  }
};

// A registry of our own, so that the mask decision is read from a known state.
class MaskSetting {
 public:
  MaskSetting() { ForgetMessageMaskDecision(); }
  ~MaskSetting() { ForgetMessageMaskDecision(); }
  void SetFlags(uint32_t flags) {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(kProductKey, "", &key), reg::kSuccess);
    reg::SetDword(&key, "Flags", flags);
    reg::CloseKey(&key);
    ForgetMessageMaskDecision();
  }

 private:
  ScopedSystemRoot root_;
};

TEST(MessageMaskTest, RegistrySwitch) {
  const std::string plain = "From: a@b\r\n\r\nHello\x00\xff"s;
  struct Case {
    const char* what;
    bool set;
    uint32_t flags;
    bool masked;
  };
  const Case cases[] = {
      {"no key", false, 0, true},      {"bit 0x1", true, 0x1, false},
      {"other bits", true, 0x6, true}, {"bit 0x1 among others", true, 0xff, false},
      {"zero", true, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MaskSetting setting;
    if (c.set) setting.SetFlags(c.flags);
    std::string bytes = plain;
    ScrambleBuffer(bytes.data(), bytes.size());
    EXPECT_EQ(bytes, c.masked ? Masked(plain) : plain);
    EXPECT_EQ(MessageMaskEnabled(), c.masked);
    UnscrambleBuffer(bytes.data(), bytes.size());
    EXPECT_EQ(bytes, plain);
  }
}

TEST(MessageMaskTest, FlagsOfAnotherTypeMeanMasked) {
  MaskSetting setting;
  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kProductKey, "", &key), reg::kSuccess);
  reg::SetString(&key, "Flags", "1");
  reg::CloseKey(&key);
  EXPECT_TRUE(MessageMaskEnabled());
}

TEST(MessageMaskTest, DecidedOncePerProcess) {
  MaskSetting setting;
  EXPECT_TRUE(MessageMaskEnabled());
  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kProductKey, "", &key), reg::kSuccess);
  reg::SetDword(&key, "Flags", 1);
  reg::CloseKey(&key);
  EXPECT_TRUE(MessageMaskEnabled());  // the registry is not read again
  ScrambleBuffer(nullptr, 10);        // nothing to do, no crash
}

TEST(FileNameTest, Forms) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 14;
  t.tm_min = 30;
  t.tm_sec = 15;
  EXPECT_EQ(MessageFileNameAt("/m/ann", "in", t, 0), "/m/ann/26120714301500.in");
  EXPECT_EQ(MessageFileNameAt("/m/forward", "out", t, 99), "/m/forward/26120714301599.out");
  EXPECT_EQ(TempFileNameAt("/t", t, 7), "/t/qv14301507.tmp");
  t.tm_year = 100;
  t.tm_mon = 0;
  t.tm_mday = 1;
  t.tm_hour = t.tm_min = t.tm_sec = 0;
  EXPECT_EQ(MessageFileNameAt("d", "in", t, 5), "d/00010100000005.in");
  // Past the hundredth name of a second: a letter, then a digit or letter.
  EXPECT_EQ(MessageFileNameAt("d", "in", t, 100), "d/000101000000A0.in");
  EXPECT_EQ(MessageFileNameAt("d", "out", t, 161), "d/000101000000Az.out");
  EXPECT_EQ(MessageFileNameAt("d", "in", t, 162), "d/000101000000B0.in");
  EXPECT_EQ(MessageFileNameAt("d", "in", t, 100 + 26 * 62), "d/000101000000a0.in");
  EXPECT_EQ(MessageFileNameAt("d", "in", t, kMessageNamesPerSecond - 1), "d/000101000000zz.in");
  EXPECT_EQ(MessageNameStem(t, 7), "00010100000007");
}

TEST(FileNameTest, EveryCounterHasItsOwnTextSortedInCounterOrder) {
  ASSERT_EQ(kMessageNamesPerSecond, 3324);
  std::string previous;
  for (int counter = 0; counter < kMessageNamesPerSecond; ++counter) {
    std::string text = MessageCounterText(counter);
    ASSERT_EQ(text.size(), 2u);
    ASSERT_LT(previous, text) << counter;  // byte order, as a sorted listing shows them
    ASSERT_EQ(MessageCounterOf(text), counter) << text;
    previous = text;
  }
  for (const char* bad : {"", "0", "000", "0A", "9z", "A-", "-A", "{0", "A{", "A ", " 0"}) {
    EXPECT_EQ(MessageCounterOf(bad), -1) << bad;
  }
  EXPECT_EQ(MessageCounterOf(std::string_view("A\0", 2)), -1);
}

TEST(FileNameTest, NextStemsAreFreshFromThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::vector<std::string>> stems(kThreads);
  std::vector<std::thread> threads;
  for (auto& mine : stems)
    threads.emplace_back([&mine] {
      for (int i = 0; i < kEach; ++i) mine.push_back(NextMessageStem());
    });
  for (auto& t : threads) t.join();
  std::set<std::string> seen;
  static const std::regex form(R"(\d{12}[0-9A-Za-z]{2})");
  for (const auto& mine : stems) {
    for (const std::string& stem : mine) {
      ASSERT_TRUE(std::regex_match(stem, form)) << stem;
      EXPECT_GE(MessageCounterOf(stem.substr(12)), 0) << stem;
      EXPECT_TRUE(seen.insert(stem).second) << stem;
    }
  }
}

int CounterOf(const std::string& name) {
  std::smatch m;
  static const std::regex form(R"(.*/\d{12}([0-9A-Za-z]{2})\.(in|out))");
  if (!std::regex_match(name, m, form)) return -1;
  return MessageCounterOf(m[1].str());
}

TEST(MakeMessageFileNameTest, CountersDifferAndWrapAfter99) {
  TempDir dir;
  FakeClock clock;
  std::vector<int> counters;
  for (int i = 0; i < 100; ++i) {
    std::string name;
    ASSERT_EQ(MakeMessageFileName(dir.path(), "in", &name), 0);
    ASSERT_TRUE(fs::exists(name));  // the name is reserved by creating the file
    EXPECT_EQ(fs::file_size(name), 0u);
    counters.push_back(CounterOf(name));
    EXPECT_EQ(name.substr(dir.path().size() + 1, 12), "261207143015");
  }
  EXPECT_EQ(g_fake_waits, 0);
  for (size_t i = 1; i < counters.size(); ++i) {
    EXPECT_EQ(counters[i], (counters[i - 1] + 1) % 100) << i;  // 99 goes on with 00
  }
  EXPECT_EQ(std::set<int>(counters.begin(), counters.end()).size(), 100u);

  // Another folder of the same second starts with the process's counter where it stands.
  std::string other;
  fs::create_directory(dir.Sub("queue"));
  ASSERT_EQ(MakeMessageFileName(dir.Sub("queue"), "out", &other), 0);
  EXPECT_EQ(CounterOf(other), (counters.back() + 1) % 100);
}

TEST(MakeMessageFileNameTest, NamesPastTheHundredthFollowAtOnceInOrder) {
  TempDir dir;
  FakeClock clock;
  std::string name;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(MakeMessageFileName(dir.path(), "in", &name), 0);
  // Every two-digit name of the second is taken: the rest of the second's names follow without
  // waiting, each sorting after the one before.
  std::string previous = name.substr(0, name.size() - 5) + "99.in";
  for (int counter = 100; counter < kMessageNamesPerSecond; ++counter) {
    ASSERT_EQ(MakeMessageFileName(dir.path(), "in", &name), 0);
    ASSERT_EQ(CounterOf(name), counter) << name;
    ASSERT_LT(previous, name);
    previous = name;
  }
  EXPECT_EQ(g_fake_waits, 0);
  EXPECT_EQ(Names(dir.path()).size(), static_cast<size_t>(kMessageNamesPerSecond));
  EXPECT_TRUE(previous.ends_with("/261207143015zz.in")) << previous;

  // Only when every name of the second is taken does the next one wait for the next second,
  // which begins again with two digits.
  ASSERT_EQ(MakeMessageFileName(dir.path(), "in", &name), 0);
  EXPECT_EQ(g_fake_waits, 1);
  EXPECT_EQ(name.substr(dir.path().size() + 1, 12), "261207143016");
  EXPECT_LT(CounterOf(name), 100);
}

TEST(MakeMessageFileNameTest, AClockSetBackGivesNamesAtOnce) {
  TempDir dir;
  FakeClock clock;
  std::string name;
  g_fake_now += 3600;
  for (int i = 0; i < 150; ++i) ASSERT_EQ(MakeMessageFileName(dir.path(), "in", &name), 0);
  g_fake_now -= 3600;  // back by an hour: the names of that second are free
  ASSERT_EQ(MakeMessageFileName(dir.path(), "in", &name), 0);
  EXPECT_EQ(name.substr(dir.path().size() + 1, 12), "261207143015");
  EXPECT_LT(CounterOf(name), 100);
  EXPECT_EQ(g_fake_waits, 0);
}

TEST(MakeMessageFileNameTest, NamesTakenByOthersAreSkippedInOrder) {
  // Another process filled the two-digit names and some of the later ones.
  TempDir dir;
  FakeClock clock;
  std::tm local = clock.Local();
  for (int i = 0; i < 100; ++i) WriteFileText(MessageFileNameAt(dir.path(), "out", local, i), "");
  for (int i : {100, 101, 103}) WriteFileText(MessageFileNameAt(dir.path(), "out", local, i), "");
  std::vector<int> got;
  for (int i = 0; i < 3; ++i) {
    std::string name;
    ASSERT_EQ(MakeMessageFileName(dir.path(), "out", &name), 0);
    got.push_back(CounterOf(name));
  }
  EXPECT_EQ(got, (std::vector<int>{102, 104, 105}));
  EXPECT_EQ(g_fake_waits, 0);
}

TEST(MakeMessageFileNameTest, SkipsNamesThatExistAndFailsOnAMissingDirectory) {
  TempDir dir;
  FakeClock clock;
  std::tm local = clock.Local();
  for (int i = 0; i < 100; ++i) {
    if (i != 42) WriteFileText(MessageFileNameAt(dir.path(), "out", local, i), "taken");
  }
  std::string name;
  ASSERT_EQ(MakeMessageFileName(dir.path(), "out", &name), 0);
  EXPECT_EQ(name, MessageFileNameAt(dir.path(), "out", local, 42));
  EXPECT_EQ(g_fake_waits, 0);
  for (int i = 0; i < 100; ++i) {
    if (i == 42) continue;
    EXPECT_EQ(ReadFileText(MessageFileNameAt(dir.path(), "out", local, i)), "taken");
  }
  EXPECT_EQ(MakeMessageFileName(dir.Sub("missing"), "in", &name), -1);
}

TEST(CreateTempFileTest, CreatesFreshFilesAndFallsBackToMailPath) {
  TempDir dir;
  FakeClock clock;
  const std::string mail_path = dir.Sub("mail");
  fs::create_directory(dir.Sub("mail"));

  std::string temp_dir = dir.Sub("temp/nested");
  std::string first, second;
  int fd1 = CreateTempFile(&temp_dir, mail_path, &first);
  int fd2 = CreateTempFile(&temp_dir, mail_path, &second);
  ASSERT_GE(fd1, 0);
  ASSERT_GE(fd2, 0);
  EXPECT_EQ(temp_dir, dir.Sub("temp/nested"));
  EXPECT_EQ(first, temp_dir + "/qv14301500.tmp");
  EXPECT_EQ(second, temp_dir + "/qv14301501.tmp");
  ASSERT_EQ(write(fd1, "abc", 3), 3);
  ASSERT_EQ(lseek(fd1, 0, SEEK_SET), 0);
  char back[4] = {};
  EXPECT_EQ(read(fd1, back, 3), 3);  // opened for reading and writing
  EXPECT_STREQ(back, "abc");
  close(fd1);
  close(fd2);

  // A directory that cannot be made gives the mail folder instead.
  WriteFileText(dir.Sub("file"), "x");
  std::string bad = dir.Sub("file/sub");
  std::string name;
  int fd3 = CreateTempFile(&bad, mail_path, &name);
  ASSERT_GE(fd3, 0);
  close(fd3);
  EXPECT_EQ(bad, dir.Sub("mail"));
  EXPECT_EQ(name, dir.Sub("mail/qv14301500.tmp"));
}

TEST(CreateTempFileTest, WaitsForTheNextSecondWhenAllIndexesAreTaken) {
  TempDir dir;
  FakeClock clock;
  std::string temp_dir = dir.path();
  for (int i = 0; i < 100; ++i) WriteFileText(TempFileNameAt(dir.path(), clock.Local(), i), "x");
  std::string name;
  int fd = CreateTempFile(&temp_dir, dir.path(), &name);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(g_fake_waits, 1);
  EXPECT_EQ(name, dir.path() + "/qv14301600.tmp");
}

class WriterTest : public ::testing::Test {
 protected:
  MaskSetting mask_;
  TempDir dir_;
};

TEST_F(WriterTest, NothingVisibleUntilCommitThenOneMaskedFile) {
  MessageFileWriter w;
  ASSERT_EQ(w.Open(dir_.path(), kMailboxExtension), 0);
  ASSERT_EQ(w.Write("Received: from x\r\n"), 0);
  ASSERT_EQ(w.Write("\r\nbody\r\n"), 0);
  EXPECT_TRUE(NamesEndingIn(dir_.path(), ".in").empty());
  std::vector<std::string> during = Names(dir_.path());
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0][0], '.');  // hidden, and never "*.in" or "*.out"
  EXPECT_FALSE(during[0].ends_with(".in") || during[0].ends_with(".out"));

  ASSERT_EQ(w.Commit(), 0);
  EXPECT_EQ(w.size(), 26u);
  std::vector<std::string> after = Names(dir_.path());
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(dir_.path() + "/" + after[0], w.name());
  EXPECT_TRUE(std::regex_match(after[0], std::regex(R"(\d{14}\.in)"))) << after[0];
  EXPECT_EQ(ReadFileText(w.name()), Masked("Received: from x\r\n\r\nbody\r\n"));
  std::string text;
  ASSERT_EQ(ReadMessageFile(w.name(), 0, &text), 0);
  EXPECT_EQ(text, "Received: from x\r\n\r\nbody\r\n");
  ASSERT_EQ(ReadMessageFile(w.name(), 8, &text), 0);
  EXPECT_EQ(text, "Received");
  EXPECT_EQ(ReadMessageFile(dir_.Sub("none.in"), 0, &text), -1);

  // From a position onwards, in pieces, and stopped by the reader.
  platform::UniqueFd fd(::open(w.name().c_str(), O_RDONLY));
  ASSERT_GE(fd.get(), 0);
  ASSERT_EQ(::lseek(fd.get(), 18, SEEK_SET), 18);
  text.clear();
  EXPECT_TRUE(ReadUnmasked(fd.get(), [&](std::string_view piece) {
    text.append(piece);
    return true;
  }));
  EXPECT_EQ(text, "\r\nbody\r\n");
  ASSERT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
  std::vector<std::string> pieces;
  EXPECT_TRUE(ReadUnmasked(
      fd.get(),
      [&](std::string_view piece) {
        pieces.emplace_back(piece);
        return true;
      },
      10));
  EXPECT_EQ(pieces, (std::vector<std::string>{"Received: ", "from x\r\n\r\n", "body\r\n"}));
  ASSERT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
  EXPECT_FALSE(ReadUnmasked(fd.get(), [](std::string_view) { return false; }));
  EXPECT_FALSE(ReadUnmasked(-1, [](std::string_view) { return true; }));

  EXPECT_EQ(w.Write("more"), -1);  // closed after Commit
  EXPECT_EQ(w.Commit(), -1);
}

TEST_F(WriterTest, PlainWhenTheMaskIsSwitchedOff) {
  mask_.SetFlags(1);
  std::string name;
  ASSERT_EQ(WriteMessageFile(dir_.path(), kQueueExtension, "To: a@b\r\nFrom: c@d\r\n", 0, &name),
            0);
  EXPECT_TRUE(name.ends_with(".out"));
  EXPECT_EQ(ReadFileText(name), "To: a@b\r\nFrom: c@d\r\n");
}

TEST_F(WriterTest, AbandonAndDestructionLeaveNothing) {
  {
    MessageFileWriter w;
    ASSERT_EQ(w.Open(dir_.path(), "in"), 0);
    w.Write("half a message");
  }
  EXPECT_TRUE(Names(dir_.path()).empty());
  MessageFileWriter w;
  ASSERT_EQ(w.Open(dir_.path(), "in"), 0);
  w.Write("x");
  w.Abandon();
  EXPECT_TRUE(Names(dir_.path()).empty());
  EXPECT_EQ(w.Commit(), -1);
  MessageFileWriter never_opened;
  EXPECT_EQ(never_opened.Write("x"), -1);
  EXPECT_EQ(never_opened.Commit(), -1);
}

TEST_F(WriterTest, ReopeningAbandonsTheFirstMessage) {
  MessageFileWriter w;
  ASSERT_EQ(w.Open(dir_.path(), "in"), 0);
  w.Write("first");
  ASSERT_EQ(w.Open(dir_.path(), "in"), 0);
  w.Write("second");
  ASSERT_EQ(w.Commit(), 0);
  EXPECT_EQ(Names(dir_.path()).size(), 1u);
  EXPECT_EQ(ReadFileText(w.name()), Masked("second"));
}

TEST_F(WriterTest, MovedWriterKeepsItsMessage) {
  MessageFileWriter a;
  ASSERT_EQ(a.Open(dir_.path(), "in"), 0);
  a.Write("moved ");
  MessageFileWriter b(std::move(a));
  b.Write("text");
  MessageFileWriter c;
  c = std::move(b);
  ASSERT_EQ(c.Commit(), 0);
  EXPECT_EQ(ReadFileText(c.name()), Masked("moved text"));
  EXPECT_EQ(Names(dir_.path()).size(), 1u);
}

TEST_F(WriterTest, MakesAMissingDirectoryAndFailsWhereNoneCanBe) {
  MessageFileWriter w;
  ASSERT_EQ(w.Open(dir_.Sub("mail/ann"), "in"), 0);
  w.Write("x");
  ASSERT_EQ(w.Commit(), 0);
  EXPECT_EQ(NamesEndingIn(dir_.Sub("mail/ann"), ".in").size(), 1u);

  WriteFileText(dir_.Sub("file"), "");
  EXPECT_EQ(w.Open(dir_.Sub("file/ann"), "in"), -1);
  EXPECT_EQ(w.Write("x"), -1);
  EXPECT_EQ(w.Commit(), -1);
}

TEST_F(WriterTest, DotStuffingAcrossAnySplitOfTheText) {
  mask_.SetFlags(1);
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {".", ".."},
      {".hidden\r\n", "..hidden\r\n"},
      {"a.b\r\n.\r\n..x\r\n", "a.b\r\n..\r\n...x\r\n"},
      {"line\n.bare lf\n", "line\n..bare lf\n"},
      {"no dots here", "no dots here"},
      {"x\r.y", "x\r.y"},  // only LF ends a line
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    // Whole, then one byte at a time: a line start must be remembered between writes.
    for (bool bytewise : {false, true}) {
      MessageFileWriter w;
      ASSERT_EQ(w.Open(dir_.path(), "out", kMessageDotStuff), 0);
      if (bytewise) {
        for (char ch : c.in) ASSERT_EQ(w.Write(&ch, 1), 0);
      } else {
        ASSERT_EQ(w.Write(c.in), 0);
      }
      ASSERT_EQ(w.Commit(), 0);
      EXPECT_EQ(ReadFileText(w.name()), c.out);
      EXPECT_EQ(w.size(), c.out.size());
      fs::remove(w.name());
    }
    // Without the option the text is stored as given.
    std::string name;
    ASSERT_EQ(WriteMessageFile(dir_.path(), "out", c.in, 0, &name), 0);
    EXPECT_EQ(ReadFileText(name), c.in);
    fs::remove(name);
  }
}

TEST_F(WriterTest, LargeMessageInOddPieces) {
  std::string text;
  for (int i = 0; text.size() < 1'500'000; ++i) text += "." + std::to_string(i) + " line\r\n";
  MessageFileWriter w;
  ASSERT_EQ(w.Open(dir_.path(), "in"), 0);
  for (size_t pos = 0; pos < text.size(); pos += 4093) {
    ASSERT_EQ(w.Write(std::string_view(text).substr(pos, 4093)), 0);
  }
  ASSERT_EQ(w.Commit(), 0);
  std::string back;
  ASSERT_EQ(ReadMessageFile(w.name(), 0, &back), 0);
  EXPECT_TRUE(back == text);

  // Dot-stuffed, with lines of every length so that line starts fall on the buffer's edges.
  std::mt19937 rng(5);
  text.clear();
  std::string want;
  while (text.size() < 700'000) {
    std::string line = (rng() % 3 ? "." : "x") + std::string(rng() % 9000, 'y') + "\r\n";
    text += line;
    want += (line[0] == '.' ? "." : "") + line;
  }
  ASSERT_EQ(w.Open(dir_.path(), "in", kMessageDotStuff), 0);
  for (size_t pos = 0; pos < text.size();) {
    size_t n = 1 + rng() % 70'000;
    ASSERT_EQ(w.Write(std::string_view(text).substr(pos, n)), 0);
    pos += n;
  }
  ASSERT_EQ(w.Commit(), 0);
  ASSERT_EQ(ReadMessageFile(w.name(), 0, &back), 0);
  EXPECT_TRUE(back == want);
  EXPECT_EQ(w.size(), want.size());
}

TEST_F(WriterTest, NeverReplacesAnExistingMessage) {
  FakeClock clock;
  std::tm local = clock.Local();
  for (int i = 0; i < 100; ++i) {
    WriteFileText(MessageFileNameAt(dir_.path(), "in", local, i), "old " + std::to_string(i));
  }
  std::string name;
  ASSERT_EQ(WriteMessageFile(dir_.path(), "in", "new", 0, &name), 0);
  EXPECT_EQ(g_fake_waits, 0);
  EXPECT_EQ(name, dir_.path() + "/261207143015A0.in");
  EXPECT_EQ(ReadFileText(name), Masked("new"));
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(ReadFileText(MessageFileNameAt(dir_.path(), "in", local, i)),
              "old " + std::to_string(i));
  }
  EXPECT_EQ(Names(dir_.path()).size(), 101u);
}

TEST_F(WriterTest, ProcessesWritingTogetherGetDistinctNames) {
  // Real clock: three processes store 60 messages each into one mailbox, which is more than the
  // 100 names of one second.
  constexpr int kProcesses = 3;
  constexpr int kMessages = 60;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kMessages; ++i) {
        std::string text = "process " + std::to_string(p) + " message " + std::to_string(i);
        if (WriteMessageFile(dir_.path(), "in", text) != 0) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<std::string> names = Names(dir_.path());
  ASSERT_EQ(names.size(), static_cast<size_t>(kProcesses * kMessages));
  std::set<std::string> texts;
  for (const auto& n : names) {
    ASSERT_TRUE(n.ends_with(".in")) << n;
    std::string text;
    ASSERT_EQ(ReadMessageFile(dir_.path() + "/" + n, 0, &text), 0);
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(kProcesses * kMessages));
}

// ---- TempFilePool ----

std::pair<uint64_t, uint64_t> Identity(int fd) {
  struct stat st {};
  EXPECT_EQ(fstat(fd, &st), 0);
  return {st.st_dev, st.st_ino};
}

std::string WholeFile(int fd) {
  std::string text(1 << 16, '\0');
  ssize_t n = pread(fd, text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

TEST(TempFilePool, FilesHaveNoNameAndComeBackEmptyForTheNextUse) {
  TempDir dir;
  std::string temp = dir.Sub("temp");
  TempFilePool pool(2);
  platform::UniqueFd file = pool.Take(temp, dir.path());
  ASSERT_TRUE(file);
  // Made in the temporary folder (created for it), whose name is gone at once.
  EXPECT_TRUE(fs::is_directory(temp));
  EXPECT_TRUE(Names(temp).empty());
  auto identity = Identity(file.get());
  const std::string longer = "a first, longer text\r\n" + std::string(10000, 'L');
  ASSERT_EQ(write(file.get(), longer.data(), longer.size()), static_cast<ssize_t>(longer.size()));
  pool.Release(temp, std::move(file));
  EXPECT_EQ(pool.kept(), 1u);

  platform::UniqueFd again = pool.Take(temp, dir.path());
  ASSERT_TRUE(again);
  EXPECT_EQ(pool.kept(), 0u);
  EXPECT_EQ(Identity(again.get()), identity);
  EXPECT_EQ(WholeFile(again.get()), "");
  EXPECT_EQ(lseek(again.get(), 0, SEEK_CUR), 0);
  ASSERT_EQ(write(again.get(), "short", 5), 5);
  EXPECT_EQ(WholeFile(again.get()), "short");
  EXPECT_TRUE(Names(temp).empty());
}

TEST(TempFilePool, KeepsNoMoreThanItsCountAndOnlyForTheirFolder) {
  TempDir dir;
  std::string one = dir.Sub("one"), two = dir.Sub("two");
  TempFilePool pool(2);
  std::vector<platform::UniqueFd> files;
  for (int i = 0; i < 3; ++i) files.push_back(pool.Take(one, dir.path()));
  std::set<std::pair<uint64_t, uint64_t>> made;
  for (auto& f : files) made.insert(Identity(f.get()));
  EXPECT_EQ(made.size(), 3u);
  for (auto& f : files) pool.Release(one, std::move(f));
  EXPECT_EQ(pool.kept(), 2u);
  // A file kept for one folder is never handed out for another.
  platform::UniqueFd other = pool.Take(two, dir.path());
  ASSERT_TRUE(other);
  EXPECT_EQ(made.count(Identity(other.get())), 0u);
  EXPECT_EQ(pool.kept(), 2u);

  TempFilePool none(0);
  platform::UniqueFd f = none.Take(one, dir.path());
  none.Release(one, std::move(f));
  EXPECT_EQ(none.kept(), 0u);
  none.Release(one, platform::UniqueFd());
  EXPECT_EQ(none.kept(), 0u);
}

TEST(TempFilePool, FolderThatCannotBeMadeFallsBackAndNothingIsMadeWithoutEither) {
  TempDir dir;
  TempFilePool pool(1);
  platform::UniqueFd file = pool.Take("/dev/null/temp", dir.path());
  ASSERT_TRUE(file);
  EXPECT_TRUE(Names(dir.path()).empty());
  EXPECT_FALSE(pool.Take("/dev/null/temp", "/dev/null/mail"));
}

}  // namespace
}  // namespace qv
