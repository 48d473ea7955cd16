// Small whole-file helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::platform {

// How Exists treats a symbolic link: as the file it points to, or as a name of its own (which
// exists even when what it points to does not).
enum class Links { kFollow, kAsThemselves };

// Whether `path` names anything: a file, a directory or anything else.
bool Exists(const std::string& path, Links links = Links::kFollow);

// The most the whole-file readers take unless told otherwise.
inline constexpr size_t kWholeFileLimit = size_t{256} << 20;

// Reads the whole file: opened once (a symbolic link at its last step is refused unless `links`
// is kFollow) and read from that descriptor. False, with an empty text, when it cannot be
// opened, is a link, is not a plain file, holds more than `limit` bytes or a read fails.
bool ReadWholeFile(const std::string& path, std::string* text, Links links = Links::kAsThemselves,
                   size_t limit = kWholeFileLimit);

// Reads an open file from its start to its end, at most `limit` bytes (its size from fstat
// only reserves the room). False, with an empty text, when it holds more or a read fails.
bool ReadWholeFd(int fd, std::string* text, size_t limit = kWholeFileLimit);

// Writes the text to a new file "<path>.<six random characters>.tmp" (created exclusively, so
// a link planted there is never followed) with exactly `mode`, flushes it, renames it over
// `path` and flushes the directory. The old file stays untouched unless the new one is
// complete.
bool WriteFileAtomically(const std::string& path, const std::string& text, int mode);

// Flushes the directory that holds `path`, so that a rename into it survives a crash.
void SyncParentDirectory(const std::string& path);

// Writes all of the buffer, retrying on EINTR and short writes.
bool WriteAll(int fd, const void* data, size_t size);

// Reads or writes exactly `size` bytes at `offset`; false on a short transfer or an error.
bool ReadAt(int fd, void* data, size_t size, int64_t offset);
bool WriteAt(int fd, const void* data, size_t size, int64_t offset);

// Reads up to `size` bytes at `offset`, fewer only where the file ends, retrying on EINTR and
// short reads. The count read (0 at the end), or -1 on an error.
int64_t ReadUpTo(int fd, void* data, size_t size, int64_t offset);

// The size of an open file, or -1.
int64_t FileSizeOf(int fd);

}  // namespace qv::platform
