// The byte limit of TOP, the lone-dot rule and the transfer of a message file.
#include "pop3/message.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/mailfile.h"
#include "common/testing/test_env.h"

namespace qv::pop3 {
namespace {

using qv::testing::TempDir;

// A file with the text, open for reading.
UniqueFd FileWith(const TempDir& dir, const std::string& text) {
  static int counter = 0;
  std::string path = dir.Sub("f" + std::to_string(counter++));
  qv::testing::WriteFileText(path, text);
  return UniqueFd(open(path.c_str(), O_RDONLY));
}

TEST(ComputeTopLimit, HeaderAndBodyLines) {
  TempDir dir;
  const std::string mail = "A: 1\r\nB: 2\r\n\r\nl1\r\nl2\r\nl3\r\n";
  struct Case {
    std::string text;
    int lines;
    int64_t limit;
  } cases[] = {
      {mail, 0, 10},
      {mail, 1, 16},
      {mail, 2, 20},
      {mail, 3, 24},
      {mail, 4, 26},
      {mail, 1000, 26},
      {mail, -1, -1},
      {"A: 1\r\nB: 2", 0, 10},  // no empty line: all header
      {"A: 1\r\nB: 2", 3, 10},
      {"", 0, 0},
      {"", 2, 0},
      {"\r\n\r\nbody", 0, 0},  // an empty header
      {"\r\n\r\nbody", 1, 8},
      {"A\r\n\r\r\n\r\nB\r\nC", 0, 4},  // a CR that starts no blank line
      {"A\r\n\r\r\n\r\nB\r\nC", 1, 9},
      {"A\n\nbody\n", 0, 8},                                   // bare line feeds end no header
      {"H\r\n\r\nx\ry\r\nz", 1, 8},                            // a lone CR is no line end
      {std::string(5000, 'h') + "\r\n\r\nb1\r\nb2", 0, 5000},  // a header longer than 4 KB
      {std::string(5000, 'h') + "\r\n\r\nb1\r\nb2", 1, 5006},
  };
  for (const Case& c : cases) {
    UniqueFd f = FileWith(dir, c.text);
    ASSERT_TRUE(f.valid());
    lseek(f.get(), 3, SEEK_SET);
    EXPECT_EQ(ComputeTopLimit(f.get(), c.lines, false), c.limit)
        << c.text.substr(0, 30) << " " << c.lines;
    EXPECT_EQ(lseek(f.get(), 0, SEEK_CUR), 0);  // back at the start
  }
}

TEST(ComputeTopLimit, LineEndsSplitAcrossReadBlocksAreCounted) {
  TempDir dir;
  // Body line ends whose CR and LF lie on either side of every block size a reader might use.
  for (size_t boundary : {size_t{4096}, size_t{65536}}) {
    std::string text = "H: x\r\n\r\n";
    text += std::string(boundary - 1 - text.size(), 'b');
    text += "\r\nsecond\r\nthird";
    ASSERT_EQ(text[boundary - 1], '\r');
    UniqueFd f = FileWith(dir, text);
    EXPECT_EQ(ComputeTopLimit(f.get(), 1, false), static_cast<int64_t>(boundary - 1));
    EXPECT_EQ(ComputeTopLimit(f.get(), 2, false), static_cast<int64_t>(boundary + 7));
    // The empty line itself split over the boundary.
    std::string header = std::string(boundary - 2, 'h') + "\r\n\r\nbody";
    UniqueFd g = FileWith(dir, header);
    EXPECT_EQ(ComputeTopLimit(g.get(), 0, false), static_cast<int64_t>(boundary - 2));
  }
}

std::string Stuff(const std::string& text) {
  DotStuffer s;
  std::string out;
  s.Encode(text, &out);
  s.Finish(&out);
  return out;
}

TEST(DotStuffer, OnlyLoneDotLinesChange) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {".", ".."},
      {".\r\n", "..\r\n"},
      {".\n", "..\n"},
      {"a\r\n.\r\nb", "a\r\n..\r\nb"},
      {"a\n.\nb", "a\n..\nb"},
      {"a\r\n.", "a\r\n.."},
      {"\r\n.\r\n.\r\n", "\r\n..\r\n..\r\n"},
      {"..\r\n", "..\r\n"},  // stored stuffed: unchanged
      {".a\r\n", ".a\r\n"},
      {"a.\r\n", "a.\r\n"},
      {" .\r\n", " .\r\n"},
      {".\r", ".\r"},
      {".\rx\r\n", ".\rx\r\n"},
      {".\r\r\n", ".\r\r\n"},
      {"x\r.\r\n", "x\r.\r\n"},  // a lone CR starts no line
      {std::string("\0.\r\n", 4), std::string("\0.\r\n", 4)},
  };
  for (const Case& c : cases) EXPECT_EQ(Stuff(c.in), c.out) << c.in;
}

// The lines a client sees on the wire, split after each line feed.
std::vector<std::string> WireLines(const std::string& wire) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < wire.size()) {
    size_t lf = wire.find('\n', start);
    size_t end = lf == std::string::npos ? wire.size() : lf + 1;
    lines.push_back(wire.substr(start, end - start));
    start = end;
  }
  return lines;
}

TEST(DotStuffer, PiecesOfAnySizeGiveTheSameBytesAndTheEndComesLast) {
  std::mt19937 rng(7);
  const char alphabet[] = ".\r\na";
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    size_t length = rng() % 24;
    for (size_t i = 0; i < length; ++i) text += alphabet[rng() % 4];
    std::string whole = Stuff(text);
    // Split at two random places.
    size_t a = rng() % (text.size() + 1), b = rng() % (text.size() + 1);
    if (a > b) std::swap(a, b);
    DotStuffer s;
    std::string pieces;
    s.Encode(text.substr(0, a), &pieces);
    s.Encode(text.substr(a, b - a), &pieces);
    s.Encode(text.substr(b), &pieces);
    s.Finish(&pieces);
    ASSERT_EQ(pieces, whole) << ::testing::PrintToString(text);
    // Whether the client splits lines at LF or at CR LF, the only lone "." is the final one.
    std::vector<std::string> lines = WireLines(whole + "\r\n.\r\n");
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_NE(lines[i], ".\r\n") << ::testing::PrintToString(text);
      EXPECT_NE(lines[i], ".\n") << ::testing::PrintToString(text);
    }
    EXPECT_EQ(lines.back(), ".\r\n");
  }
}

// The transfer form by its definition, one byte at a time: a "." that starts a line and is
// followed by LF, CR LF or the end of the text gets a second ".".
std::string StuffByDefinition(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    bool line_start = i == 0 || text[i - 1] == '\n';
    std::string rest = text.substr(i + 1, 2);
    bool lone = rest.empty() || rest[0] == '\n' || rest == "\r\n";
    if (line_start && text[i] == '.' && lone) out += '.';
    out += text[i];
  }
  return out;
}

TEST(DotStuffer, LongLinesInBlocksAgreeWithTheDefinition) {
  std::mt19937 rng(11);
  for (int round = 0; round < 400; ++round) {
    // Lines of every length, some of them lone dots, fed in blocks of random size.
    std::string text;
    while (text.size() < 20000) {
      switch (rng() % 5) {
        case 0:
          text += ".\r\n";
          break;
        case 1:
          text += ".";
          break;
        case 2:
          text += "\r";
          break;
        default:
          text += std::string(rng() % 3000, 'x') + (rng() % 2 ? "\r\n" : "\n");
      }
    }
    DotStuffer s;
    std::string out;
    for (size_t at = 0; at < text.size();) {
      size_t n = std::min<size_t>(text.size() - at, 1 + rng() % 5000);
      s.Encode(std::string_view(text).substr(at, n), &out);
      at += n;
    }
    s.Finish(&out);
    ASSERT_EQ(out, StuffByDefinition(text)) << round;
  }
}

std::string Transfer(UniqueFd file, int64_t limit, size_t* steps = nullptr, bool unmask = false) {
  MessageTransfer t(std::move(file), limit, unmask);
  std::string wire, piece;
  size_t n = 0;
  while (t.Next(&piece)) {
    wire += piece;
    ++n;
  }
  EXPECT_TRUE(piece.empty());
  EXPECT_FALSE(t.Next(&piece));
  if (steps != nullptr) *steps = n;
  return wire;
}

TEST(MessageTransfer, WholeFileLimitAndTerminator) {
  TempDir dir;
  const std::string mail = "A: 1\r\n\r\nl1\r\n.\r\nl3";
  EXPECT_EQ(Transfer(FileWith(dir, mail), -1), "A: 1\r\n\r\nl1\r\n..\r\nl3\r\n.\r\n");
  EXPECT_EQ(Transfer(FileWith(dir, mail), 4), "A: 1\r\n.\r\n");
  EXPECT_EQ(Transfer(FileWith(dir, mail), 0), "\r\n.\r\n");
  EXPECT_EQ(Transfer(FileWith(dir, mail), 13),
            "A: 1\r\n\r\nl1\r\n..\r\n.\r\n");  // cut after the dot
  EXPECT_EQ(Transfer(FileWith(dir, mail), 1 << 20), "A: 1\r\n\r\nl1\r\n..\r\nl3\r\n.\r\n");
  EXPECT_EQ(Transfer(FileWith(dir, ""), -1), "\r\n.\r\n");
  EXPECT_EQ(Transfer(UniqueFd(), -1), "\r\n.\r\n");  // an unreadable file ends at once
}

TEST(MessageTransfer, LargeFilesGoInBlocksWithLoneDotsAcrossBlockEnds) {
  TempDir dir;
  std::string text;
  // A lone-dot line at every offset around the first few block boundaries.
  while (text.size() < 5 * kTransferBlock) {
    text += std::string(text.size() % 7 + kTransferBlock - 3, 'x');
    text += "\r\n.\r\n";
  }
  size_t steps = 0;
  EXPECT_EQ(Transfer(FileWith(dir, text), -1, &steps), Stuff(text) + "\r\n.\r\n");
  EXPECT_GE(steps, text.size() / kTransferBlock);
  EXPECT_EQ(Transfer(FileWith(dir, text), 3000), Stuff(text.substr(0, 3000)) + "\r\n.\r\n");
  std::string exact(kTransferBlock * 2, 'y');
  EXPECT_EQ(Transfer(FileWith(dir, exact), -1), exact + "\r\n.\r\n");
}

// The stored form of a text: every byte masked, as mailbox files hold it.
std::string Masked(std::string text) {
  for (char& c : text) c = static_cast<char>(c ^ kMessageMask);
  return text;
}

TEST(PlainText, MaskedFilesAreReadUnmaskedAndEndAtTheFirstZeroByte) {
  ForgetMessageMaskDecision();
  TempDir dir;
  using namespace std::literals;
  const std::string text = "A: 1\r\n\r\nl1\r\n.\r\nl3\0after\r\n.\r\n"s;
  EXPECT_EQ(Transfer(FileWith(dir, Masked(text)), -1, nullptr, true),
            "A: 1\r\n\r\nl1\r\n..\r\nl3\r\n.\r\n");
  EXPECT_EQ(Transfer(FileWith(dir, Masked("\0"s + text)), -1, nullptr, true), "\r\n.\r\n");
  UniqueFd f = FileWith(dir, Masked(text));
  EXPECT_EQ(ComputeTopLimit(f.get(), 0, true), 4);
  EXPECT_EQ(ComputeTopLimit(f.get(), 9, true), 17);  // the text ends at the zero byte
  EXPECT_EQ(ComputeTopLimit(f.get(), -1, true), -1);
  // A zero byte just past a block: the blocks before it go whole.
  std::string large = std::string(kTransferBlock + 5, 'q') + std::string(1, '\0') + "zz";
  EXPECT_EQ(Transfer(FileWith(dir, Masked(large)), -1, nullptr, true),
            large.substr(0, kTransferBlock + 5) + "\r\n.\r\n");
  char buffer[64];
  UniqueFd g = FileWith(dir, Masked("abc\0def"s));
  Result<PlainText> read = ReadPlainText(g.get(), true, buffer, 2, 0);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read->size, 2u);
  EXPECT_FALSE(read->ended);
  read = ReadPlainText(g.get(), true, buffer, sizeof buffer, 2);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read->size, 1u);
  EXPECT_TRUE(read->ended);
  EXPECT_EQ(buffer[0], 'c');
  EXPECT_FALSE(ReadPlainText(-1, true, buffer, sizeof buffer, 0).ok());
}

// Reads of plain (unmasked) text at each position and size, in both forms of the read.
TEST(PlainText, ReadsGiveTheSizeAndTheEndOfTheText) {
  TempDir dir;
  using namespace std::literals;
  UniqueFd f = FileWith(dir, "abcdef\0gh"s);
  struct Case {
    size_t size;
    int64_t position;
    std::string text;
    bool ended;
  } cases[] = {
      {3, 0, "abc", false},     // a full buffer: more may follow
      {6, 0, "abcdef", false},  // the zero byte is just past the buffer
      {7, 0, "abcdef", true},   // the zero byte ends the text
      {64, 4, "ef", true},
      {64, 7, "gh", true},  // read from past the zero byte: the rest of the file
      {64, 9, "", true},    // the end of the file
      {64, 50, "", true},
      {0, 0, "", false},
  };
  for (const Case& c : cases) {
    std::string where = std::to_string(c.size) + "@" + std::to_string(c.position);
    char buffer[64] = {};
    Result<PlainText> read = ReadPlainText(f.get(), false, buffer, c.size, c.position);
    ASSERT_TRUE(read.ok()) << where;
    EXPECT_EQ(std::string(buffer, read->size), c.text) << where;
    EXPECT_EQ(read->ended, c.ended) << where;
  }
  char buffer[8];
  Result<PlainText> failed = ReadPlainText(-1, false, buffer, sizeof buffer, 0);
  EXPECT_FALSE(failed.ok());
  EXPECT_FALSE(failed.error().empty());
}

TEST(OpenMessageExclusive, OneHolderAtATime) {
  TempDir dir;
  std::string path = dir.Sub("m.in");
  qv::testing::WriteFileText(path, "x");
  UniqueFd first = OpenMessageExclusive(path);
  ASSERT_TRUE(first.valid());
  EXPECT_FALSE(OpenMessageExclusive(path).valid());
  first.Reset();
  EXPECT_TRUE(OpenMessageExclusive(path).valid());
  EXPECT_FALSE(OpenMessageExclusive(dir.Sub("missing.in")).valid());
  EXPECT_FALSE(OpenMessageExclusive(dir.path()).valid());  // a folder
  ASSERT_EQ(mkfifo(dir.Sub("fifo.in").c_str(), 0600), 0);
  EXPECT_FALSE(OpenMessageExclusive(dir.Sub("fifo.in")).valid());  // never blocks on a pipe
  ASSERT_EQ(symlink(path.c_str(), dir.Sub("link.in").c_str()), 0);
  EXPECT_FALSE(OpenMessageExclusive(dir.Sub("link.in")).valid());
}

}  // namespace
}  // namespace qv::pop3
