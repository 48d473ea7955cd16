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
  bool truncated = false;   // the message text exceeded the size limit: it is refused whole
};

struct ChunkOutcome {
  bool write = false;     // text goes to the spool file (which is created if missing)
  std::string_view held;  // held back from earlier chunks and now known to be text: stored first
  size_t store = 0;       // then this many bytes from the chunk's start
  size_t used = 0;        // bytes of the chunk read: through the end line, or all of it
};

// Advances the recogniser over one chunk and tells what of it is message text.
//
// The message text is every byte of the data up to the end line CR LF "." CR LF (or up to "." CR
// LF when the data begins with it), whatever the chunks: the end line is the only thing left out,
// so a last line "see you..." keeps its dots. Bytes at the end of a chunk that may begin the end
// line (CR, CR LF, CR LF ".", CR LF "." CR) are held back until a later chunk shows whether they
// are text; `held` then gives them back (a view of static text). Bytes after the end line are
// neither stored nor counted: they are the next command's.
//
// With `enforce_limit`, text from the `max_size`th byte of the data on is not stored (the chunk
// that crosses the limit is cut, later chunks give at most the held bytes below the limit), while
// the recogniser still reads everything. `truncated` is set once the text (the end line not
// counted) is known to be longer than `max_size`.
ChunkOutcome ScanDataChunk(DataScan* scan, std::string_view chunk, bool enforce_limit,
                           int32_t max_size);

// A message with more "Received:" lines than this has gone round in a loop (RFC 5321 6.3).
constexpr size_t kMaxReceivedLines = 50;

// Counts the "Received:" lines of a message header (the field name in any case, at the start of
// a line) over the pieces of its text, whatever the pieces. The header ends at its first empty
// line; nothing after it counts.
class ReceivedLineCounter {
 public:
  void Feed(std::string_view text);
  size_t count() const { return count_; }
  bool header_done() const { return done_; }

 private:
  size_t count_ = 0;
  bool done_ = false;
  size_t line_bytes_ = 0;     // bytes of the current line so far (counting stops at 9)
  bool prefix_ok_ = true;     // the line so far matches "Received:"
  bool first_is_cr_ = false;  // the line so far is a lone CR
};

// "%ld,%ld seconds" up to 60 s, "%ld:%ld minutes" up to 3600 s, else "%ld:%ld:%ld hours".
std::string FormatElapsed(int64_t milliseconds);

}  // namespace qv::smtp
