// Message files as the POP3 service hands them out: exclusive access while a file is copied,
// the plain copy, the byte limit of TOP, and the bytes put on the wire for RETR and TOP.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/unique_fd.h"

namespace qv::pop3 {

using UniqueFd = platform::UniqueFd;

// Opens a message file for reading with exclusive access: an advisory lock (flock LOCK_EX,
// not waiting) that another session sending the same file holds too, for the whole transfer.
// Invalid when the file is missing, is not an ordinary file, or is held by another session.
UniqueFd OpenMessageExclusive(const std::string& path);

// What one read of a message's plain text put into the caller's buffer.
struct PlainText {
  size_t size = 0;     // bytes of plain text
  bool ended = false;  // the text ends within them (a zero byte or the end of the file)
};

// Reads up to `size` bytes of a message's plain text from `position` into `buffer`: the stored
// bytes with the message mask removed when `unmask` is set (the mail library decides whether this
// system masks at all), ending at the first zero byte (message content is text). An error when
// the file cannot be read.
Result<PlainText> ReadPlainText(int file, bool unmask, char* buffer, size_t size, int64_t position);

// The number of bytes of a message's plain text to send for TOP with `lines` body lines: the
// header (without the empty line that ends it) when `lines` is 0; else the header, the empty
// line and the first `lines` body lines, without the line end of the last one. A message
// without an empty line is all header. Negative `lines`: -1, the whole text. The file position
// is left at the start.
int64_t ComputeTopLimit(int file, int lines, bool unmask);

// The transfer form of a message: a line that holds a lone "." (at the start of the text or
// after a line feed, followed by CR LF, by LF or by the end of the text) is sent as "..", so
// that the client, which removes one dot, shows "." and does not take it for the end of the
// message; every other byte passes unchanged. The text may arrive in pieces of any size.
class DotStuffer {
 public:
  // Appends the transfer form of the next piece of the text to *out.
  void Encode(std::string_view text, std::string* out);
  // Appends what is held back at the end of the text.
  void Finish(std::string* out);

 private:
  enum class At { kLineStart, kInLine, kDot, kDotCr };
  At at_ = At::kLineStart;
};

// Bytes of plain text read from a message file per transfer step (the bytes sent do not depend
// on it; a message is never held whole in memory).
constexpr size_t kTransferBlock = 16 * 1024;

// Produces the bytes of one message transfer: the plain text of the file (see ReadPlainText)
// from its start in blocks, cut at `limit` bytes (negative: the whole text), in transfer form,
// followed by CR LF "." CR LF. A read error ends the text where it stands. The file, and with it
// its exclusive lock, is closed when the transfer is done or destroyed.
class MessageTransfer {
 public:
  MessageTransfer() = default;
  MessageTransfer(UniqueFd file, int64_t limit, bool unmask);

  bool active() const { return file_.valid() || !done_; }
  // Replaces *out with the next bytes to send. False (and *out empty) once everything, the
  // terminator included, has been produced.
  bool Next(std::string* out);
  // Bytes of plain text consumed so far.
  int64_t consumed() const { return consumed_; }

 private:
  UniqueFd file_;
  int64_t limit_ = -1;
  bool unmask_ = false;
  int64_t consumed_ = 0;
  bool done_ = true;
  DotStuffer stuffer_;
};

}  // namespace qv::pop3
