// The end-of-data recogniser over hostile chunkings. The first byte chooses the size limit, each
// following byte below 0x08 ends a chunk (and is not data); the rest is message data. Checked:
// the end is found exactly when the data stream (which begins at a line start) holds CR LF "."
// CR LF, in the chunk where that line ends; what is stored is the data before that line, cut at
// the limit, whatever the chunks; nothing beyond a chunk is stored.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "smtp/data_scan.h"

using qv::smtp::ChunkOutcome;
using qv::smtp::DataScan;
using qv::smtp::ScanDataChunk;
using qv::smtp::ScanState;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool enforce = (data[0] & 0x80) != 0;
  int32_t max = static_cast<int32_t>(data[0] & 0x7f) * 3 - 10;
  std::vector<std::string> chunks(1);
  for (size_t i = 1; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    if (data[i] < 0x08) {
      chunks.emplace_back();
    } else {
      chunks.back() += c == 0x08 ? '\r' : c == 0x09 ? '\n' : c == 0x0b ? '.' : c;
    }
  }

  std::string stream = "\r\n";
  size_t expected_chunk = chunks.size();
  for (size_t i = 0; i < chunks.size() && expected_chunk == chunks.size(); ++i) {
    stream += chunks[i];
    if (stream.find("\r\n.\r\n") != std::string::npos) expected_chunk = i;
  }
  // The data without the assumed line start, and its text: up to the end line.
  std::string received = stream.substr(2);
  size_t end_line = stream.find("\r\n.\r\n");
  std::string text = end_line == std::string::npos
                         ? received
                         : received.substr(0, end_line < 2 ? 0 : end_line - 2);

  DataScan scan;
  std::string stored;
  bool complete = false;
  for (size_t i = 0; i < chunks.size(); ++i) {
    ChunkOutcome out = ScanDataChunk(&scan, chunks[i], enforce, max);
    if (out.store > chunks[i].size() || out.held.size() > 4) std::abort();
    if (!out.write && (out.store != 0 || !out.held.empty())) std::abort();
    stored.append(out.held);
    stored.append(chunks[i], 0, out.store);
    complete = scan.state == ScanState::kComplete;
    if (complete != (i >= expected_chunk)) std::abort();
    if (complete) break;
  }
  size_t limit = enforce ? static_cast<size_t>(max < 0 ? 0 : max) : text.size();
  if (complete) {
    if (stored != text.substr(0, limit)) std::abort();
  } else {
    // Only a possible start of the end line (at most 4 bytes) is still held back.
    if (stored.size() > limit || text.compare(0, stored.size(), stored) != 0) std::abort();
    if (stored.size() < std::min(limit, text.size() < 4 ? size_t{0} : text.size() - 4))
      std::abort();
  }
  return 0;
}
