#include "pop3/message.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/mailfile.h"
#include "platform/fileio.h"

namespace qv::pop3 {

namespace {

// Block size for copying and scanning; the bytes produced do not depend on it.
constexpr size_t kScanBlock = 64 * 1024;

constexpr char kMessageNotRead[] = "the message file could not be read";

}  // namespace

UniqueFd OpenMessageExclusive(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) return UniqueFd();
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return UniqueFd();
  return fd;
}

Result<PlainText> ReadPlainText(int file, bool unmask, char* buffer, size_t size,
                                int64_t position) {
  int64_t got = platform::ReadUpTo(file, buffer, size, position);
  if (got < 0) return Fail(kMessageNotRead);
  PlainText text{static_cast<size_t>(got), static_cast<size_t>(got) < size};
  if (got == 0) return text;
  if (unmask) UnscrambleBuffer(buffer, text.size);
  if (const void* zero = std::memchr(buffer, 0, text.size)) {
    text.size = static_cast<size_t>(static_cast<const char*>(zero) - buffer);
    text.ended = true;
  }
  return text;
}

int64_t ComputeTopLimit(int file, int lines, bool unmask) {
  if (lines < 0) {
    lseek(file, 0, SEEK_SET);
    return -1;
  }
  std::vector<char> block(kScanBlock);
  static constexpr char kBlankLine[] = "\r\n\r\n";
  int matched = 0;           // characters of kBlankLine matched so far
  int64_t header = -1;       // length of the header once its end is found
  int64_t body_lines = 0;    // line ends counted in the body
  bool previous_cr = false;  // the body byte before this one was CR
  int64_t position = 0;
  for (bool ended = false; !ended;) {
    Result<PlainText> text = ReadPlainText(file, unmask, block.data(), block.size(), position);
    if (!text || text->size == 0) break;
    ended = text->ended;
    const int64_t got = static_cast<int64_t>(text->size);
    for (int64_t i = 0; i < got; ++i) {
      char c = block[static_cast<size_t>(i)];
      int64_t at = position + i;
      if (header < 0) {
        if (c == kBlankLine[matched]) {
          ++matched;
        } else {
          matched = c == '\r' ? 1 : 0;
        }
        if (matched == 4) {
          header = at - 3;
          if (lines == 0) {
            lseek(file, 0, SEEK_SET);
            return header;
          }
        }
        continue;
      }
      if (c == '\n' && previous_cr && ++body_lines == lines) {
        lseek(file, 0, SEEK_SET);
        return at - 1;
      }
      previous_cr = c == '\r';
    }
    position += got;
  }
  lseek(file, 0, SEEK_SET);
  // No empty line: everything is header. Fewer body lines than asked: the whole file.
  return position;
}

void DotStuffer::Encode(std::string_view text, std::string* out) {
  size_t run = 0;  // start of the bytes not yet appended that pass unchanged
  for (size_t i = 0; i < text.size(); ++i) {
    if (at_ == At::kInLine) {
      // Nothing inside a line changes: go straight to the next line start.
      const void* lf = std::memchr(text.data() + i, '\n', text.size() - i);
      if (lf == nullptr) break;
      i = static_cast<size_t>(static_cast<const char*>(lf) - text.data());
      at_ = At::kLineStart;
      continue;
    }
    char c = text[i];
    switch (at_) {
      case At::kInLine:
        break;
      case At::kLineStart:
        if (c == '.') {
          out->append(text.substr(run, i - run));
          run = i + 1;
          at_ = At::kDot;
        } else if (c != '\n') {
          at_ = At::kInLine;
        }
        break;
      case At::kDot:
        if (c == '\n') {
          out->append("..");
          at_ = At::kLineStart;
        } else if (c == '\r') {
          run = i + 1;
          at_ = At::kDotCr;
        } else {
          out->push_back('.');
          at_ = At::kInLine;
        }
        break;
      case At::kDotCr:
        if (c == '\n') {
          out->append("..\r");
          at_ = At::kLineStart;
        } else {
          out->append(".\r");
          at_ = At::kInLine;
        }
        break;
    }
  }
  if (at_ != At::kDot && at_ != At::kDotCr) {
    out->append(text.substr(run));
  }
}

void DotStuffer::Finish(std::string* out) {
  if (at_ == At::kDot) out->append("..");
  if (at_ == At::kDotCr) out->append(".\r");
  at_ = At::kLineStart;
}

MessageTransfer::MessageTransfer(UniqueFd file, int64_t limit, bool unmask)
    : file_(std::move(file)), limit_(limit), unmask_(unmask), done_(false) {}

bool MessageTransfer::Next(std::string* out) {
  out->clear();
  if (done_) return false;
  size_t want = kTransferBlock;
  if (limit_ >= 0 && limit_ - consumed_ < static_cast<int64_t>(want))
    want = static_cast<size_t>(limit_ - consumed_);
  char block[kTransferBlock];
  PlainText text{0, true};
  bool failed = false;
  if (want > 0 && file_.valid()) {
    Result<PlainText> read = ReadPlainText(file_.get(), unmask_, block, want, consumed_);
    failed = !read;
    if (read) text = *read;
  }
  if (text.size > 0) {
    consumed_ += static_cast<int64_t>(text.size);
    stuffer_.Encode(std::string_view(block, text.size), out);
  }
  // The end of the text (or the limit reached) ends the transfer, as does a read error.
  if (failed || text.ended || (limit_ >= 0 && consumed_ >= limit_)) {
    stuffer_.Finish(out);
    out->append("\r\n.\r\n");
    file_.Reset();
    done_ = true;
  }
  return true;
}

}  // namespace qv::pop3
