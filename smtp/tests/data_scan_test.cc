#include "smtp/data_scan.h"

#include <gtest/gtest.h>

#include <vector>

namespace qv::smtp {
namespace {

struct Outcome {
  bool complete = false;
  size_t complete_at = 0;  // index of the chunk that completed
  std::string stored;
};

Outcome Service(const std::vector<std::string>& chunks, bool enforce = false, int32_t max = 0) {
  DataScan scan;
  Outcome run;
  for (size_t i = 0; i < chunks.size(); ++i) {
    ChunkOutcome out = ScanDataChunk(&scan, chunks[i], enforce, max);
    EXPECT_LE(out.store, chunks[i].size());
    EXPECT_LE(out.held.size(), 4u);
    if (out.write) run.stored += std::string(out.held) + chunks[i].substr(0, out.store);
    if (scan.state == ScanState::kComplete) {
      run.complete = true;
      run.complete_at = i;
      break;
    }
  }
  return run;
}

// Messages as they come after DATA, each ending with its only end line.
const char* const kMessages[] = {
    "Subject: a\r\n\r\nbody\r\n.\r\n",
    "x\r\n.\r\n",
    ".\r\n",
    "\r\n.\r\n",
    "a\r\n..b\r\n...\r\n.\r\n",
    "\r\r\n.\r\n",
    "line\r\n\r\n.\r\n",
    "ends with dots...\r\n.\r\n",
    "a\r\n.\r\r\n.\r\n",
    "cr\rlf\n\r\n.\r\n",
};

std::vector<std::string> SplitAt(const std::string& text, const std::vector<size_t>& cuts) {
  std::vector<std::string> chunks;
  size_t from = 0;
  for (size_t cut : cuts) {
    chunks.push_back(text.substr(from, cut - from));
    from = cut;
  }
  chunks.push_back(text.substr(from));
  return chunks;
}

TEST(DataScan, WholeMessageInOneChunkStoresTheTextBeforeTheEndLine) {
  struct Case {
    const char* chunk;
    const char* stored;
  } cases[] = {
      {"Subject: a\r\n\r\nbody\r\n.\r\n", "Subject: a\r\n\r\nbody"},
      {".\r\n", ""},
      {"\r\n.\r\n", ""},
      {"x\r\n.\r\nQUIT\r\n", "x"},
      {".\r\nafter\r\n.\r\n", ""},
  };
  for (const auto& c : cases) {
    Outcome run = Service({c.chunk});
    EXPECT_TRUE(run.complete) << c.chunk;
    EXPECT_EQ(run.stored, c.stored) << c.chunk;
  }
}

// The text of a message of kMessages: everything before its end line.
std::string TextOf(const std::string& message) {
  if (message.rfind(".\r\n", 0) == 0) return "";
  return message.substr(0, message.size() - 5);
}

TEST(DataScan, EveryTwoAndThreeChunkSplitStoresTheSameText) {
  for (const char* m : kMessages) {
    std::string text = m;
    std::vector<std::vector<size_t>> splits;
    for (size_t a = 1; a < text.size(); ++a) {
      splits.push_back({a});
      for (size_t b = a + 1; b < text.size(); ++b) splits.push_back({a, b});
    }
    for (const auto& cuts : splits) {
      auto chunks = SplitAt(text, cuts);
      Outcome run = Service(chunks);
      ASSERT_TRUE(run.complete) << text;
      EXPECT_EQ(run.complete_at, chunks.size() - 1) << text;
      EXPECT_EQ(run.stored, TextOf(text)) << "message " << text << " cut at " << cuts[0];
    }
  }
}

TEST(DataScan, DotsBeforeTheEndLineStayWhereverTheReadsSplitIt) {
  const std::string message = "Subject: x\r\n\r\nsee you...\r\n.\r\n";
  for (size_t cut = 0; cut <= message.size(); ++cut) {
    Outcome run = Service({message.substr(0, cut), message.substr(cut)});
    ASSERT_TRUE(run.complete) << cut;
    EXPECT_EQ(run.stored, "Subject: x\r\n\r\nsee you...") << cut;
  }
  // Held bytes that prove to be text come back before the next chunk's text.
  EXPECT_EQ(Service({"a\r\n.", "b\r\n.\r\n"}).stored, "a\r\n.b");
  EXPECT_EQ(Service({"a\r\n.\r", "\r\n.\r\n"}).stored, "a\r\n.\r");
  EXPECT_EQ(Service({"a\r", "\r", "\n.\r\n"}).stored, "a\r");
  EXPECT_EQ(Service({".", "x\r\n.\r\n"}).stored, ".x");
}

TEST(DataScan, EndLineSplitsAreRecognised) {
  struct Case {
    std::vector<std::string> chunks;
    std::string stored;
  } cases[] = {
      {{"text\r", "\n.\r\n"}, "text"},
      {{"text\r\n.\r", "\n"}, "text"},
      {{"text\r\n", ".\r", "\n"}, "text"},
      {{"text\r\n", ".", "\r", "\n"}, "text"},
      {{".", "\r", "\n"}, ""},
      {{"", ".\r\n"}, ""},
  };
  for (const auto& c : cases) {
    Outcome run = Service(c.chunks);
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(run.stored, c.stored);
  }
}

TEST(DataScan, ByteAtATimeAlwaysCompletesOnTheLastByte) {
  for (const char* m : kMessages) {
    std::string text = m;
    std::vector<std::string> chunks;
    for (char c : text) chunks.emplace_back(1, c);
    Outcome run = Service(chunks);
    ASSERT_TRUE(run.complete) << text;
    EXPECT_EQ(run.complete_at, chunks.size() - 1);
    EXPECT_EQ(run.stored, TextOf(text));
  }
}

TEST(DataScan, EndLineInsideTextIsNotSeenWithoutItsLineBreaks) {
  // A dot that is not alone on its line, or a line "." without CR LF on both sides, is text.
  for (std::vector<std::string> chunks : {std::vector<std::string>{"a.\r\n", "b\r\n"},
                                          {"a\r\n.b\r\n"},
                                          {"a\n.\n"},
                                          {"a\r\n.\n"},
                                          {"a\r\n", ".", "x\r\n"},
                                          {"a\r\n.", "\rx"}}) {
    Outcome run = Service(chunks);
    EXPECT_FALSE(run.complete);
  }
}

TEST(DataScan, SizeLimitStoresExactlyTheMaximum) {
  std::string body(6000, 'x');
  for (size_t i = 78; i < body.size(); i += 80) body.replace(i, 2, "\r\n");
  std::string text = body + "\r\n.\r\n";
  for (size_t chunk_size : {1024u, 1u, 7u, 5000u, 6005u}) {
    std::vector<std::string> chunks;
    for (size_t i = 0; i < text.size(); i += chunk_size)
      chunks.push_back(text.substr(i, chunk_size));
    DataScan scan;
    std::string stored;
    size_t stored_after_cut = 0;
    for (const auto& chunk : chunks) {
      bool before = scan.truncated;
      ChunkOutcome out = ScanDataChunk(&scan, chunk, true, 5000);
      if (out.write) stored += std::string(out.held) + chunk.substr(0, out.store);
      if (before) stored_after_cut += out.store;
    }
    EXPECT_EQ(scan.state, ScanState::kComplete);
    EXPECT_TRUE(scan.truncated);
    EXPECT_EQ(stored, text.substr(0, 5000)) << chunk_size;
    EXPECT_EQ(stored_after_cut, 0u);
    EXPECT_EQ(scan.byte_count, text.size());
  }
  // Without enforcement there is no limit.
  EXPECT_EQ(Service({text}, false, 5000).stored, body);
  // A limit of zero or below stores nothing but still finds the end.
  Outcome none = Service({"abc\r\n.\r\n"}, true, -1);
  EXPECT_TRUE(none.complete);
  EXPECT_EQ(none.stored, "");
}

TEST(DataScan, OnlyTextBeyondTheLimitIsOverSize) {
  // The end line counts for nothing: text of exactly the limit is within it, however the end
  // line is split; one byte more is over.
  for (int limit : {10, 9}) {
    std::string data = "0123456789\r\n.\r\n";
    for (size_t cut = 0; cut <= data.size(); ++cut) {
      DataScan scan;
      ScanDataChunk(&scan, data.substr(0, cut), true, limit);
      ScanDataChunk(&scan, data.substr(cut), true, limit);
      EXPECT_EQ(scan.state, ScanState::kComplete);
      EXPECT_EQ(scan.truncated, limit == 9) << limit << " " << cut;
    }
  }
}

TEST(ReceivedLineCounterTest, CountsHeaderFieldsWhateverThePieces) {
  const struct {
    const char* text;
    size_t count;
    bool done;
  } cases[] = {
      {"", 0, false},
      {"Received: a\r\nreceived:b\r\nRECEIVED: c\r\nSubject: s\r\n\r\nReceived: body\r\n", 3, true},
      {"X-Received: a\r\nReceived : b\r\n Received: folded\r\nReceivedX: c\r\n", 0, false},
      {"\r\nReceived: after the empty line\r\n", 0, true},
      {"Received: a\nReceived: b\n\nReceived: c\n", 2, true},
      {"Receive", 0, false},
      {"Received:", 1, false},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    for (size_t piece : {text.size() + 1, size_t{1}, size_t{2}, size_t{5}}) {
      ReceivedLineCounter counter;
      for (size_t i = 0; i < text.size(); i += piece) counter.Feed(text.substr(i, piece));
      EXPECT_EQ(counter.count(), c.count) << c.text << " " << piece;
      EXPECT_EQ(counter.header_done(), c.done) << c.text << " " << piece;
    }
  }
}

TEST(DataScan, ElapsedTextBoundaries) {
  struct Case {
    int64_t ms;
    const char* text;
  } cases[] = {
      {0, "0,0 seconds"},        {1005, "1,5 seconds"},    {60000, "60,0 seconds"},
      {60999, "60,999 seconds"}, {61000, "1:1 minutes"},   {3600000, "60:0 minutes"},
      {3601000, "1:0:1 hours"},  {7384000, "2:3:4 hours"}, {-5, "0,0 seconds"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatElapsed(c.ms), c.text) << c.ms;
}

}  // namespace
}  // namespace qv::smtp
