// The end-of-data recogniser over hostile chunkings. The first byte chooses the size limit, each
// following byte below 0x20 ends a chunk (and is not data); the rest is message data. Checked:
// the end is found exactly when the data stream (which begins at a line start) holds CR LF "."
// CR LF, in the chunk where that line ends; nothing beyond a chunk or the limit is stored.
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

  DataScan scan;
  size_t stored = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    ChunkOutcome out = ScanDataChunk(&scan, chunks[i], enforce, max);
    if (out.store > chunks[i].size()) std::abort();
    if (!out.write && out.store != 0) std::abort();
    stored += out.store;
    if (enforce && stored > static_cast<size_t>(max < 0 ? 0 : max)) std::abort();
    bool complete = scan.state == ScanState::kComplete;
    if (complete != (i >= expected_chunk)) std::abort();
    if (complete) break;
  }
  return 0;
}
