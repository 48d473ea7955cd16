// Reception of message data: the end-of-data recogniser over the chunks of single reads, the
// size limit, and the elapsed-time text of the reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv::smtp {

// Where the last chunk left the search for the end line CR LF "." CR LF. Values 0 to 4 are the
// classic five; 5 and 6 carry an end line whose CR LF pairs are split between reads, so that
// every split of the end line is recognised.
enum class ScanState : int32_t {
  kFresh = 0,        // data mode just began (counts as the start of a line)
  kInText = 1,       // the last chunk ended inside a line
  kAtLineStart = 2,  // the last chunk ended with CR LF
  kAfterDot = 3,     // the last chunk ended with CR LF "."
  kComplete = 4,     // end of data seen
  kAfterCr = 5,      // the last chunk ended with a CR
  kAfterDotCr = 6,   // the last chunk ended with CR LF "." CR
};

// The data-reception fields of a connection slot.
struct DataScan {
  ScanState state = ScanState::kFresh;
  uint32_t byte_count = 0;  // bytes received in data mode, end line included
  bool truncated = false;   // the message exceeded the size limit
};

struct ChunkOutcome {
  bool write = false;  // the chunk goes to the spool file (which is created if missing)
  size_t store = 0;    // how many bytes from the chunk's start are message text
  size_t used = 0;     // bytes of the chunk read: through the end line, or all of it
};

// Advances the recogniser over one chunk. With `enforce_limit`, at most `max_size` bytes are
// stored in all; the chunk that crosses the limit is cut and later chunks are not stored, while
// the recogniser still reads everything.
//
// What is stored when the end line completes: the text before its CR when the whole end line is
// in this chunk; nothing when only "." CR LF is (the CR LF before it is already stored, or the
// message just began); the rest of the CR LF pair when the earlier chunk ended with a CR; and the
// rest of the end line when the earlier chunk already held its dot. Bytes after the end line are
// neither stored nor counted: they are the next command's.
ChunkOutcome ScanDataChunk(DataScan* scan, std::string_view chunk, bool enforce_limit,
                           int32_t max_size);

// "%ld,%ld seconds" up to 60 s, "%ld:%ld minutes" up to 3600 s, else "%ld:%ld:%ld hours".
std::string FormatElapsed(int64_t milliseconds);

}  // namespace qv::smtp
