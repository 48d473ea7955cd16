#include "smtp/data_scan.h"

#include <gtest/gtest.h>

#include <vector>

namespace qv::smtp {
namespace {

// The classic five-state recogniser, step by step as the service's design first gave it, as a
// reference: wherever it recognises the end line, the service must store exactly the same bytes.
struct ClassicScan {
  int state = 0;
  // Returns the bytes of the chunk that are stored.
  std::string Chunk(const std::string& chunk) {
    const long n = static_cast<long>(chunk.size()), last = n - 1;
    std::string stored = chunk;
    auto begins = [&](const char* p) { return chunk.rfind(p, 0) == 0; };
    auto ends = [&](const std::string& p) {
      return chunk.size() >= p.size() && chunk.compare(chunk.size() - p.size(), p.size(), p) == 0;
    };
    size_t pos = chunk.find("\r\n.\r\n");
    if (pos != std::string::npos) {
      stored = chunk.substr(0, pos);
      state = 4;
    }
    if (state == 0) {
      state = 1;
      if (last > 1 && begins(".\r\n")) {
        stored.clear();
        state = 4;
      }
    }
    bool tail = false;
    switch (state) {
      case 1:
        tail = true;
        break;
      case 2:
        if (last > 0) {
          if (begins(".\r\n")) {
            stored.clear();
            state = 4;
          } else {
            state = 1;
            tail = true;
          }
        } else if (chunk == ".") {
          state = 3;
        } else {
          state = 1;
          tail = true;
        }
        break;
      case 3:
        state = begins("\r\n") ? 4 : 1;
        break;
      default:
        break;
    }
    if (tail) {
      if (last > 1) {
        if (ends("\r\n."))
          state = 3;
        else if (ends("\r\n"))
          state = 2;
      } else if (chunk == "\r\n") {
        state = 2;
      }
    }
    return stored;
  }
};

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
    if (out.write) run.stored += chunks[i].substr(0, out.store);
    if (scan.state == ScanState::kComplete) {
      run.complete = true;
      run.complete_at = i;
      break;
    }
  }
  return run;
}

Outcome Classic(const std::vector<std::string>& chunks) {
  ClassicScan scan;
  Outcome run;
  for (size_t i = 0; i < chunks.size(); ++i) {
    run.stored += scan.Chunk(chunks[i]);
    if (scan.state == 4) {
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

TEST(DataScan, EveryTwoAndThreeChunkSplitCompletesAndAgreesWithTheClassicScan) {
  int agreed = 0;
  for (const char* m : kMessages) {
    std::string text = m;
    std::vector<std::vector<size_t>> splits;
    for (size_t a = 1; a < text.size(); ++a) {
      splits.push_back({a});
      for (size_t b = a + 1; b < text.size(); ++b) splits.push_back({a, b});
    }
    for (const auto& cuts : splits) {
      auto chunks = SplitAt(text, cuts);
      Outcome mine = Service(chunks);
      ASSERT_TRUE(mine.complete) << text;
      EXPECT_EQ(mine.complete_at, chunks.size() - 1) << text;
      Outcome classic = Classic(chunks);
      if (classic.complete) {
        EXPECT_EQ(mine.stored, classic.stored) << "message " << text << " cut at " << cuts[0];
        ++agreed;
      }
    }
  }
  EXPECT_GT(agreed, 500);
}

TEST(DataScan, EndLineSplitsTheClassicScanMissesAreRecognised) {
  struct Case {
    std::vector<std::string> chunks;
    std::string stored;
  } cases[] = {
      // Cut after the first CR: the CR LF pair is completed, the end line is not stored.
      {{"text\r", "\n.\r\n"}, "text\r\n"},
      // Cut after the last CR: completed like a cut after the dot.
      {{"text\r\n.\r", "\n"}, "text\r\n.\r\n"},
      {{"text\r\n", ".\r", "\n"}, "text\r\n.\r\n"},
      {{"text\r\n", ".", "\r", "\n"}, "text\r\n.\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Classic(c.chunks).complete);
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
    // Every byte before the last is stored as it comes, and the last LF completes the end
    // line that the earlier bytes began.
    EXPECT_EQ(run.stored, text);
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
    size_t writes_after_cut = 0;
    for (const auto& chunk : chunks) {
      bool before = scan.truncated;
      ChunkOutcome out = ScanDataChunk(&scan, chunk, true, 5000);
      if (out.write) stored += chunk.substr(0, out.store);
      if (before && out.write) ++writes_after_cut;
    }
    EXPECT_EQ(scan.state, ScanState::kComplete);
    EXPECT_TRUE(scan.truncated);
    EXPECT_EQ(stored, text.substr(0, 5000)) << chunk_size;
    EXPECT_EQ(writes_after_cut, 0u);
    EXPECT_EQ(scan.byte_count, text.size());
  }
  // Without enforcement there is no limit.
  EXPECT_EQ(Service({text}, false, 5000).stored, body);
  // A limit of zero or below stores nothing but still finds the end.
  Outcome none = Service({"abc\r\n.\r\n"}, true, -1);
  EXPECT_TRUE(none.complete);
  EXPECT_EQ(none.stored, "");
}

TEST(DataScan, MessageWithinTheLimitIsNotTruncated) {
  DataScan scan;
  ScanDataChunk(&scan, "0123456789\r\n.\r\n", true, 15);
  EXPECT_FALSE(scan.truncated);
  EXPECT_EQ(scan.state, ScanState::kComplete);
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
