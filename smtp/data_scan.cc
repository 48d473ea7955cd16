#include "smtp/data_scan.h"

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
  size_t n = chunk.size();

  int matched = MatchedBefore(scan->state);
  size_t text_end = n;
  bool complete = false;
  for (size_t i = 0; i < n; ++i) {
    char c = chunk[i];
    if (c == kEndLine[matched]) {
      ++matched;
    } else {
      matched = c == '\r' ? 1 : 0;
    }
    if (matched == kEndLineLength) {
      complete = true;
      size_t in_chunk = i + 1;
      if (in_chunk >= kEndLineLength) {
        text_end = i + 1 - kEndLineLength;
      } else {
        int before = kEndLineLength - static_cast<int>(in_chunk);
        if (before >= 3) {
          text_end = in_chunk;  // the dot is stored already: complete its line
        } else if (before == 1) {
          text_end = 1;  // the CR is stored already: add its LF
        } else {
          text_end = 0;
        }
      }
      n = in_chunk;
      break;
    }
  }
  scan->state = complete ? ScanState::kComplete : StateFor(matched);
  outcome.used = n;

  uint64_t count = static_cast<uint64_t>(scan->byte_count) + n;
  scan->byte_count = count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);

  bool was_truncated = scan->truncated;
  size_t limit = n;
  if (enforce_limit && !scan->truncated &&
      count > static_cast<uint64_t>(max_size < 0 ? 0 : max_size)) {
    uint64_t before = count - n;
    uint64_t max = max_size < 0 ? 0 : static_cast<uint64_t>(max_size);
    limit = max > before ? static_cast<size_t>(max - before) : 0;
    scan->truncated = true;
  }

  outcome.write = !was_truncated;
  outcome.store = outcome.write ? std::min(text_end, limit) : 0;
  return outcome;
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
