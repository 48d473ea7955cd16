// Message files as the POP3 service hands them out: exclusive access while a file is copied,
// the plain copy, the byte limit of TOP, and the bytes put on the wire for RETR and TOP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv::pop3 {

// A file descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Opens a message file for reading with exclusive access: an advisory lock (flock LOCK_EX,
// not waiting) that another session copying the same file holds too. Invalid when the file is
// missing, is not an ordinary file, or is held by another session.
UniqueFd OpenMessageExclusive(const std::string& path);

// Copies the message of `message` from its start into a new temporary file in `temp_dir`
// (named as every temporary file of the system), removing the message mask. The copy ends at
// the first zero byte of the plain text (message content is text). The file's name is removed
// as soon as the copy is complete, so that the copy disappears with its descriptor in every
// case; *name (may be null) receives the name it had. Returns the copy positioned at its start,
// or an invalid descriptor when it cannot be created or written.
UniqueFd CopyPlainMessage(int message, const std::string& temp_dir, std::string* name);

// The number of bytes of a plain message to send for TOP with `lines` body lines: the header
// (without the empty line that ends it) when `lines` is 0; else the header, the empty line and
// the first `lines` body lines, without the line end of the last one. A message without an
// empty line is all header. Negative `lines`: -1, the whole file. The file position is left at
// the start.
int64_t ComputeTopLimit(int file, int lines);

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

// Bytes read from a message file per transfer step.
constexpr size_t kTransferBlock = 2047;

// Produces the bytes of one message transfer: the plain file from its start in blocks, cut at
// `limit` bytes (negative: the whole file), in transfer form, followed by CR LF "." CR LF.
// A read error ends the text where it stands. The file is closed when the transfer is done or
// destroyed.
class MessageTransfer {
 public:
  MessageTransfer() = default;
  MessageTransfer(UniqueFd file, int64_t limit);

  bool active() const { return file_.valid() || !done_; }
  // Replaces *out with the next bytes to send. False (and *out empty) once everything, the
  // terminator included, has been produced.
  bool Next(std::string* out);
  // Bytes of the file consumed so far.
  int64_t consumed() const { return consumed_; }

 private:
  UniqueFd file_;
  int64_t limit_ = -1;
  int64_t consumed_ = 0;
  bool done_ = true;
  DotStuffer stuffer_;
};

}  // namespace qv::pop3
