#include "smtp/data_scan.h"

#include <algorithm>
#include <cstdio>

#include "smtp/texts.h"

namespace qv::smtp {
namespace {

constexpr char kEndLine[] = "\r\n.\r\n";
constexpr int kEndLineLength = 5;

// Bytes of the end line already seen before a chunk, by state.
int MatchedBefore(ScanState state) {
  switch (state) {
    case ScanState::kFresh:
    case ScanState::kAtLineStart:
      return 2;
    case ScanState::kAfterDot:
      return 3;
    case ScanState::kAfterCr:
      return 1;
    case ScanState::kAfterDotCr:
      return 4;
    default:
      return 0;
  }
}

ScanState StateFor(int matched) {
  switch (matched) {
    case 1:
      return ScanState::kAfterCr;
    case 2:
      return ScanState::kAtLineStart;
    case 3:
      return ScanState::kAfterDot;
    case 4:
      return ScanState::kAfterDotCr;
    default:
      return ScanState::kInText;
  }
}

}  // namespace

ChunkOutcome ScanDataChunk(DataScan* scan, std::string_view chunk, bool enforce_limit,
                           int32_t max_size) {
  ChunkOutcome outcome;
  if (scan->state == ScanState::kComplete) return outcome;
  const size_t n = chunk.size();
  // Positions in the data: `before` is the chunk's first byte.
  const uint64_t before = scan->byte_count;

  // The end line matched so far. At the start of the data its CR LF is assumed, not received:
  // only the bytes that did arrive are held.
  const int matched_before = MatchedBefore(scan->state);
  const uint64_t held_before = std::min<uint64_t>(static_cast<uint64_t>(matched_before), before);
  int matched = matched_before;
  bool complete = false;
  size_t end = 0;  // with `complete`: the chunk index after the end line
  for (size_t i = 0; i < n; ++i) {
    char c = chunk[i];
    if (c == kEndLine[matched]) {
      ++matched;
    } else {
      matched = c == '\r' ? 1 : 0;
    }
    if (matched == kEndLineLength) {
      complete = true;
      end = i + 1;
      break;
    }
  }
  scan->state = complete ? ScanState::kComplete : StateFor(matched);
  // Bytes after the end line are the next command's: not read, not counted.
  outcome.used = complete ? end : n;

  const uint64_t count = before + outcome.used;
  scan->byte_count = count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);
  const bool was_truncated = scan->truncated;
  const uint64_t limit = max_size < 0 ? 0 : static_cast<uint64_t>(max_size);

  // The text this chunk settles: from the first held byte to the start of the end line, or to
  // the bytes held for the next chunk.
  uint64_t from = before - held_before;
  uint64_t to;
  if (complete) {
    uint64_t line_end = before + end;
    to = line_end > kEndLineLength ? line_end - kEndLineLength : 0;
  } else {
    to = count - std::min<uint64_t>(static_cast<uint64_t>(matched), count);
  }
  // Over the limit is text beyond it; the end line and bytes that may still be part of it
  // count for nothing.
  if (enforce_limit && to > limit) scan->truncated = true;
  if (enforce_limit) {
    from = std::min(from, limit);
    to = std::min(to, limit);
  }
  if (to > from) {
    uint64_t held_end = std::min(to, before);
    if (held_end > from) {
      outcome.held = std::string_view(kEndLine + (matched_before - held_before),
                                      static_cast<size_t>(held_end - from));
    }
    if (to > before) outcome.store = static_cast<size_t>(to - before);
  }
  outcome.write = !was_truncated || !outcome.held.empty() || outcome.store > 0;
  return outcome;
}

void ReceivedLineCounter::Feed(std::string_view text) {
  static constexpr char kField[] = "RECEIVED:";
  static constexpr size_t kFieldLength = sizeof kField - 1;
  for (char c : text) {
    if (done_) return;
    if (c == '\n') {
      if (line_bytes_ == 0 || (line_bytes_ == 1 && first_is_cr_)) done_ = true;
      line_bytes_ = 0;
      prefix_ok_ = true;
      first_is_cr_ = false;
      continue;
    }
    if (line_bytes_ == 0) first_is_cr_ = c == '\r';
    if (line_bytes_ < kFieldLength) {
      char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
      prefix_ok_ = prefix_ok_ && upper == kField[line_bytes_];
      if (prefix_ok_ && line_bytes_ + 1 == kFieldLength) ++count_;
      ++line_bytes_;
    }
  }
}

std::string FormatElapsed(int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  long seconds = static_cast<long>(milliseconds / 1000);
  char text[64];
  if (seconds <= 60) {
    std::snprintf(text, sizeof text, kElapsedSeconds, seconds,
                  static_cast<long>(milliseconds % 1000));
  } else if (seconds <= 3600) {
    std::snprintf(text, sizeof text, kElapsedMinutes, seconds / 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, kElapsedHours, seconds / 3600, (seconds % 3600) / 60,
                  seconds % 60);
  }
  return text;
}

}  // namespace qv::smtp
