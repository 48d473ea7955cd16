#include "serve/line_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/testing/test_env.h"
#include "serve/testing/fake_link.h"

namespace qv {
namespace {

using qv::testing::FakeLink;

// Settings under which no log is written.
const Settings& NoLog() {
  static const Settings settings;
  return settings;
}

// A small line protocol: "pause" waits for the test to resume, "sync" pauses and resumes at
// once, "raw <n>" takes the next n bytes as raw input, "quit" closes; anything else is echoed.
class TestConnection : public LineConnection {
 public:
  // Without settings of its own, the connection writes no log.
  explicit TestConnection(ConnectionLink& link, const Settings& settings = NoLog())
      : LineConnection(link, settings, "t", "line too long\r\n") {}

  void OnIdle() override {}
  using LineConnection::Resume;

  std::vector<std::string> lines;
  bool told_too_long = false;

 private:
  void OnLine(std::string_view line) override {
    lines.emplace_back(line);
    if (line == "pause") {
      Pause();
      Reply("paused\r\n");
    } else if (line == "sync") {
      Pause();
      Resume();
      Reply("synced\r\n");
    } else if (line.substr(0, 4) == "raw ") {
      raw_left_ = std::stoul(std::string(line.substr(4)));
      raw_.clear();
      SetRawInput(true);
    } else if (line == "tls") {
      Reply("go\r\n");
      if (!StartTls()) Reply("no tls\r\n");
    } else if (line == "quit") {
      Reply("bye\r\n");
      Close();
    } else {
      Reply("echo " + std::string(line) + "\r\n");
    }
  }

  size_t OnRawInput(std::string_view bytes) override {
    size_t take = std::min(bytes.size(), raw_left_);
    raw_.append(bytes.substr(0, take));
    raw_left_ -= take;
    if (raw_left_ == 0) {
      SetRawInput(false);
      Reply("raw " + raw_ + "\r\n");
    }
    return take;
  }

  void OnLineTooLong() override { told_too_long = true; }
  void OnSecured() override { Reply("secured\r\n"); }

  size_t raw_left_ = 0;
  std::string raw_;
};

// Feeds `text` in reads of `piece` bytes.
void Feed(TestConnection& c, std::string_view text, size_t piece) {
  for (size_t i = 0; i < text.size(); i += piece) c.OnReceive(text.substr(i, piece));
}

TEST(LineConnection, EverySplitOfTheInputGivesTheSameReplies) {
  const std::string input = "one\r\n\r\nraw 7\r\nab\r\ncdetwo\r\nthree\r\nquit\r\nlost\r\n";
  const std::string expected =
      "echo one\r\necho \r\nraw ab\r\ncde\r\necho two\r\necho three\r\nbye\r\n";
  // Whole, byte by byte, in small reads, and split once at every position.
  for (size_t piece : {input.size(), size_t{1}, size_t{2}, size_t{3}, size_t{7}}) {
    FakeLink link;
    TestConnection c(link);
    Feed(c, input, piece);
    EXPECT_EQ(link.sent, expected) << piece;
    EXPECT_TRUE(link.closed);
  }
  for (size_t at = 1; at < input.size(); ++at) {
    FakeLink link;
    TestConnection c(link);
    c.OnReceive(std::string_view(input).substr(0, at));
    c.OnReceive(std::string_view(input).substr(at));
    EXPECT_EQ(link.sent, expected) << at;
  }
}

TEST(LineConnection, LinesKeepTheirBytesAndOnlyCrLfEndsThem) {
  FakeLink link;
  TestConnection c(link);
  c.OnReceive(std::string("a\rb\nc\0d\r\n\n\r\r\n", 13));
  ASSERT_EQ(c.lines.size(), 2u);
  EXPECT_EQ(c.lines[0], std::string("a\rb\nc\0d", 7));
  EXPECT_EQ(c.lines[1], "\n\r");
  c.OnReceive("half");
  EXPECT_EQ(c.lines.size(), 2u);
  c.OnReceive("\r");
  c.OnReceive("\n");
  ASSERT_EQ(c.lines.size(), 3u);
  EXPECT_EQ(c.lines[2], "half");
}

TEST(LineConnection, LineLimit) {
  const std::string fits = std::string(kCommandLineLimit - 2, 'x') + "\r\n";
  struct Case {
    std::string input;
    size_t answered;  // lines handled before the refusal (or in all)
    bool refused;
  } cases[] = {
      {fits, 1, false},
      {fits + fits, 2, false},
      {std::string(kCommandLineLimit - 1, 'x') + "\r\n", 0, true},
      // Refused as soon as a line's worth waits without an end, before the rest arrives.
      {std::string(kCommandLineLimit, 'x'), 0, true},
      {std::string(kCommandLineLimit - 1, 'x') + "\r", 0, true},
      // Good lines before a long one are answered; nothing after it is.
      {"a\r\nb\r\n" + std::string(5000, 'y') + "\r\nc\r\n", 2, true},
  };
  for (const auto& test : cases) {
    for (size_t piece : {size_t{1}, size_t{1024}, test.input.size()}) {
      FakeLink link;
      TestConnection c(link);
      Feed(c, test.input, piece);
      EXPECT_EQ(c.lines.size(), test.answered) << test.input.size() << "/" << piece;
      EXPECT_EQ(c.told_too_long, test.refused);
      EXPECT_EQ(link.closed, test.refused);
      bool ends_with_refusal =
          link.sent.size() >= 15 && link.sent.substr(link.sent.size() - 15) == "line too long\r\n";
      EXPECT_EQ(ends_with_refusal, test.refused) << test.input.size() << "/" << piece;
      // Nothing is handed on after the close.
      c.OnReceive("late\r\n");
      EXPECT_EQ(c.lines.size(), test.answered + (test.refused ? 0 : 1));
    }
  }
}

TEST(LineConnection, InputWaitsWhilePausedAndFollowsInOrder) {
  FakeLink link;
  TestConnection c(link);
  c.OnReceive("pause\r\nfirst\r\nsec");
  EXPECT_EQ(link.Take(), "paused\r\n");
  c.OnReceive("ond\r\nraw 3\r\nxyz");
  EXPECT_EQ(link.Take(), "");
  EXPECT_FALSE(link.held);
  c.Resume();
  EXPECT_EQ(link.Take(), "echo first\r\necho second\r\nraw xyz\r\n");
  // A pause and resume inside a line's handling goes straight on.
  c.OnReceive("sync\r\nafter\r\n");
  EXPECT_EQ(link.Take(), "synced\r\necho after\r\n");
}

TEST(LineConnection, APausedConnectionHoldsTheLinkOnceALineIsWaiting) {
  FakeLink link;
  TestConnection c(link);
  c.OnReceive("pause\r\n");
  std::string ahead;
  for (int i = 0; ahead.size() < kCommandLineLimit; ++i) ahead += "n" + std::to_string(i) + "\r\n";
  c.OnReceive(ahead.substr(0, 100));
  EXPECT_FALSE(link.held);
  c.OnReceive(ahead.substr(100));
  EXPECT_TRUE(link.held);
  link.Take();
  c.Resume();
  EXPECT_FALSE(link.held);
  EXPECT_EQ(c.lines.size(), 1 + std::count(ahead.begin(), ahead.end(), '\n'));
  // Held again only when a later pause finds a line's worth waiting.
  c.OnReceive("pause\r\n" + ahead);
  EXPECT_TRUE(link.held);
}

// Whatever followed the line that starts TLS, in its read or in a paused connection's store, or
// arrived before the handshake was done, is never handed on: lines run again only inside TLS.
TEST(LineConnection, NothingReceivedInClearAfterTheSwitchIsHandedOn) {
  for (size_t piece : {size_t{1}, size_t{5}, size_t{64}}) {
    FakeLink link;
    link.tls = true;
    TestConnection c(link);
    Feed(c, "one\r\ntls\r\nRSET\r\nraw 3\r\n", piece);
    EXPECT_TRUE(link.tls_asked);
    c.OnReceive("late\r\n");
    EXPECT_EQ(link.Take(), "echo one\r\ngo\r\n") << piece;
    link.FinishTls(c);
    c.OnReceive("two\r\ntls\r\n");
    EXPECT_EQ(link.Take(), "secured\r\necho two\r\ngo\r\nno tls\r\n") << piece;
    EXPECT_EQ(c.lines, (std::vector<std::string>{"one", "tls", "two", "tls"})) << piece;
  }
  // Without TLS on the link the session is told so, and lines go on in clear.
  FakeLink link;
  TestConnection c(link);
  c.OnReceive("tls\r\nnext\r\n");
  EXPECT_EQ(link.Take(), "go\r\nno tls\r\necho next\r\n");
}

TEST(LineConnection, LinesAndRepliesAreLogged) {
  qv::testing::TempDir dir;
  Settings settings;
  CopyField(settings.system.LogPath, dir.path());
  settings.system.LogLevel = 4;
  {
    FakeLink link;
    TestConnection c(link, settings);
    c.OnReceive("hello\r\npause\r\n");
  }
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    log += qv::testing::ReadFileText(entry.path().string());
  EXPECT_EQ(log.substr(0, 7), "00007  ");
  size_t in = log.find("--> hello\r\n");
  size_t out = log.find("<-- echo hello\r\n");
  size_t paused = log.find("<-- paused\r\n");
  ASSERT_NE(in, std::string::npos) << log;
  ASSERT_NE(out, std::string::npos) << log;
  ASSERT_NE(paused, std::string::npos) << log;
  EXPECT_LT(in, out);
  EXPECT_LT(out, paused);
}

}  // namespace
}  // namespace qv
