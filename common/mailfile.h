// Message files in mailboxes (".in") and in the forward queue (".out"), their names, their
// byte mask, and temporary files. The formats are described in docs/message-files.md.
//
// MessageFileWriter is the one way the system writes a message file: the text goes to a hidden
// temporary file in the target directory, is flushed to disk and is then renamed to a fresh
// unique name, so that a reader listing "*.in" or "*.out" never sees a partial file and an
// acknowledged message survives a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace qv {

inline constexpr char kMailboxExtension[] = "in";
inline constexpr char kQueueExtension[] = "out";
inline constexpr char kForwardDirectory[] = "forward";

// The one-byte mask combined by exclusive-or with every byte of a stored message.
constexpr uint8_t kMessageMask = 0x3C;

// Applies the message mask in place, unless the product key's Flags value has bit 0x1 set
// (decided once per process, on first use). The two are the same operation.
void ScrambleBuffer(void* data, size_t length);
void UnscrambleBuffer(void* data, size_t length);

// True when stored messages are masked in this process.
bool MessageMaskEnabled();

// Tests only: forget the decision so that the next use reads the registry again.
void ForgetMessageMaskDecision();

// Message names per directory, extension and second: the counters 0..99 are written as two
// digits ("00".."99"); the counters from 100 on as a letter "A"-"Z" or "a"-"z" followed by a
// digit or letter ("0"-"9", "A"-"Z", "a"-"z"), "A0" to "zz". The two characters of a larger
// counter always sort after those of a smaller one in byte order.
constexpr int kMessageDigitNames = 100;
constexpr int kMessageNamesPerSecond = kMessageDigitNames + 52 * 62;  // 3,324

// The two counter characters of a message name for a counter 0..kMessageNamesPerSecond-1.
std::string MessageCounterText(int counter);

// The counter of two counter characters, or -1 when they are not a counter's form.
int MessageCounterOf(std::string_view text);

// "YYMMDDhhmmssNN" for a local time and a counter: the stem of message names, also the base of
// the Message-Id the system adds to a message that has none.
std::string MessageNameStem(const std::tm& local, int counter);

// A fresh stem for the current second, e.g. the base of an added Message-Id. The counter is one
// per process and starts again every second, so that stems stay distinct up to the number of
// message names a second has; it is not the one of MakeMessageFileName, which looks for a name
// free in a directory. Thread-safe.
std::string NextMessageStem();

// "<dir>/YYMMDDhhmmssNN.<extension>" for a local time and a counter (see MessageCounterText).
std::string MessageFileNameAt(std::string_view directory, std::string_view extension,
                              const std::tm& local, int counter);

// "<dir>/qvhhmmssNN.tmp" for a local time and an index 0..99.
std::string TempFileNameAt(std::string_view directory, const std::tm& local, int index);

// Reserves a fresh message file name in `directory` by creating the empty file with
// O_CREAT|O_EXCL (so two processes never get the same name), and sets *name. The two-digit
// names of the current second come first, their counter one per process that moves on after
// every name tried; when all 100 are taken the names from "A0" on follow in order, and only when
// every name of the second is taken does it wait for the next second. Returns 0, or -1 on a file
// error. Writers of messages should use MessageFileWriter, which never shows an empty file under
// the final name.
int MakeMessageFileName(const std::string& directory, std::string_view extension,
                        std::string* name);

// Creates a new temporary file "qvhhmmssNN.tmp" (read and write, mode 0600, O_EXCL) in
// *directory, creating the directory if needed; when it cannot be made, `fallback` (the
// MailPath) is used instead and *directory is replaced by it. When the 100 names of the current
// second are taken it waits for the next second. Returns the open descriptor (the caller closes it
// and deletes the file) with *name set, or -1.
int CreateTempFile(std::string* directory, std::string_view fallback, std::string* name);

// Spool files used again from one message to the next. Creating a file and deleting it again for
// every received message is what costs most on a busy file system (ext4 searches past every
// recently freed inode on each create), so a service hands the emptied spool file of a finished
// message to the next one instead.
//
// A file of the pool has no name: it is made by CreateTempFile and its name is removed at once,
// so it lives only as long as a descriptor holds it. A crash or a kill therefore leaves nothing
// in TempPath, and nothing a restart could take for mail. Delivery reads it through its
// descriptor (a program started for a message reads "/proc/self/fd/<n>" of this process).
//
// Take and Release may be called from any thread.
class TempFilePool {
 public:
  // Keeps at most `keep` emptied files between uses; 0 keeps none (every Take makes a file).
  explicit TempFilePool(size_t keep) : keep_(keep) {}
  TempFilePool(const TempFilePool&) = delete;
  TempFilePool& operator=(const TempFilePool&) = delete;

  // An empty file open for reading and writing at offset 0: one kept for `directory` when there
  // is one, else a new one made in `directory` (or, as CreateTempFile does, in `fallback`).
  // Invalid when no file could be made.
  platform::UniqueFd Take(const std::string& directory, std::string_view fallback);

  // Gives back a file from Take for `directory`: it is emptied (truncated and rewound) and kept
  // for the next Take; a file that cannot be emptied, and any beyond `keep`, is closed.
  void Release(const std::string& directory, platform::UniqueFd file);

  // Files kept now.
  size_t kept() const;

 private:
  struct Kept {
    std::string directory;
    platform::UniqueFd file;
  };
  const size_t keep_;
  mutable std::mutex mutex_;  // guards kept_
  std::vector<Kept> kept_;
};

// Options of MessageFileWriter.
constexpr uint32_t kMessageDotStuff = 0x1;  // a line beginning with "." gets a second "."

// Streams one message into a message file. Open, Write any number of times, then Commit; a
// writer destroyed or abandoned before Commit leaves nothing behind.
//
//   MessageFileWriter w;
//   if (w.Open(dir, kMailboxExtension) != 0) ...;
//   w.Write(received_line); ...
//   if (w.Commit() != 0) ...;        // w.name() is the final "<dir>/...in"
//
// Texts given to Write are plain; the file holds them masked when the mask is enabled. Results
// are 0, or -1 for a file error; after a failed Write, Commit fails too.
class MessageFileWriter {
 public:
  MessageFileWriter() = default;
  ~MessageFileWriter();
  MessageFileWriter(MessageFileWriter&& other) noexcept;
  MessageFileWriter& operator=(MessageFileWriter&& other) noexcept;
  MessageFileWriter(const MessageFileWriter&) = delete;
  MessageFileWriter& operator=(const MessageFileWriter&) = delete;

  // Creates the hidden temporary file in `directory` (made if missing) for a message that will
  // get `extension`. Any message still open in this writer is abandoned first.
  int Open(const std::string& directory, std::string_view extension, uint32_t options = 0);
  int Write(std::string_view text);
  int Write(const void* data, size_t size) {
    return Write(std::string_view(static_cast<const char*>(data), size));
  }
  // Flushes the text to disk, renames it to a fresh message file name (never replacing an
  // existing file) and flushes the directory. On failure the temporary file is removed.
  int Commit();
  // Removes the temporary file.
  void Abandon();

  bool is_open() const { return fd_ >= 0; }
  // The final path after a successful Commit.
  const std::string& name() const { return name_; }
  // Bytes of plain text accepted so far (after dot-stuffing).
  uint64_t size() const { return size_; }

 private:
  int Flush();
  void Close();

  int fd_ = -1;
  bool failed_ = false;
  bool at_line_start_ = true;
  uint32_t options_ = 0;
  uint64_t size_ = 0;
  std::string directory_;
  std::string extension_;
  std::string temp_path_;
  std::string name_;
  std::string buffer_;
};

// Writes a whole message file in one call; *name (when given) receives the final path.
int WriteMessageFile(const std::string& directory, std::string_view extension,
                     std::string_view text, uint32_t options = 0, std::string* name = nullptr);

// Reads up to `max_bytes` of a message file (everything when 0) and removes the mask. Returns
// 0, or -1 when the file cannot be read.
int ReadMessageFile(const std::string& path, size_t max_bytes, std::string* text);

// Reads a message file from the current position of `fd` to its end and hands its text, the mask
// removed, to `sink` piece by piece, one read of up to `piece_size` bytes each. False on a read
// error or when `sink` returns false.
bool ReadUnmasked(int fd, const std::function<bool(std::string_view)>& sink,
                  size_t piece_size = 8192);

// Tests only: replaces the clock of the message and temporary file names. `now` gives the
// current time; `wait` is called when every name of a second is taken and should let the clock
// move on. Null restores the real clock and a real wait.
void SetMailFileClockForTesting(std::time_t (*now)(), void (*wait)());

// Removes from `directory` the hidden temporary files that message writes left when they were
// interrupted (a crash or a kill before Commit or Abandon): regular files of the writer's
// temporary name last changed before `before`. Returns how many were removed.
size_t RemoveInterruptedWrites(const std::string& directory, std::time_t before);

}  // namespace qv
