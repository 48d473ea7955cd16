// The registry: a text file "registry.reg" in the system root, in the format of a registry
// export. Only the local-machine root exists. Key paths and value names compare without regard
// to case and keep the spelling they were created with.
//
// Readers hold a shared lock and writers an exclusive lock on "registry.reg.lock"; a writer reads,
// changes and atomically replaces the whole file. Results are the classic error numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv::reg {

// Value types.
constexpr uint32_t kNone = 0;
constexpr uint32_t kSz = 1;
constexpr uint32_t kExpandSz = 2;
constexpr uint32_t kBinary = 3;
constexpr uint32_t kDword = 4;
constexpr uint32_t kMultiSz = 7;

// Results.
constexpr long kSuccess = 0;
constexpr long kFileNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidHandle = 6;
constexpr long kInvalidParameter = 87;
constexpr long kMoreData = 234;
constexpr long kCantWrite = 1013;

// The root written before every key path in the file.
inline constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";

// An open key. Opening takes a snapshot of the key's values; writes go through to the file at
// once (and into the snapshot).
struct Value {
  std::string name;
  uint32_t type = kNone;
  std::vector<uint8_t> data;
};

class Key {
 public:
  bool valid() const { return valid_; }
  const std::string& path() const { return path_; }
  const std::vector<Value>& values() const { return values_; }

 private:
  friend long CreateKey(std::string_view, std::string_view, Key*);
  friend long OpenKey(std::string_view, Key*);
  friend long QueryValue(const Key&, std::string_view, uint32_t*, void*, uint32_t*);
  friend long SetValue(Key*, std::string_view, uint32_t, const void*, uint32_t);
  friend long DeleteValue(Key*, std::string_view);
  friend void CloseKey(Key*);

  bool valid_ = false;
  bool writable_ = false;
  std::string path_;  // without the root
  std::vector<Value> values_;
};

// Creates the key if it does not exist and opens it for reading and writing. The class is kept
// only for the caller's sake. `path` is below the local-machine root, with backslashes.
long CreateKey(std::string_view path, std::string_view key_class, Key* key);

// Opens an existing key for reading; kFileNotFound when neither it nor a subkey exists.
long OpenKey(std::string_view path, Key* key);

// Queries a value. `data` may be null to learn the size. When the data does not fit, *size is
// set to the size needed and the result is kMoreData. Texts include their terminating zero.
long QueryValue(const Key& key, std::string_view name, uint32_t* type, void* data, uint32_t* size);

long SetValue(Key* key, std::string_view name, uint32_t type, const void* data, uint32_t size);
long SetString(Key* key, std::string_view name, std::string_view text);
long SetDword(Key* key, std::string_view name, uint32_t value);
long DeleteValue(Key* key, std::string_view name);
// Deletes the key with its values and every key below it. kFileNotFound when none of them exists.
long DeleteKey(std::string_view path);
void CloseKey(Key* key);

// Several writes as one: while a Batch of this thread is open, CreateKey, SetValue, SetString,
// SetDword, DeleteValue, DeleteKey and OpenKey of the thread work on one copy of the registry read
// under the exclusive lock, which Commit writes in one atomic replacement of the file. Other
// readers see the file before or after the whole batch, never a part of it. Without Commit (or when
// the lock cannot be taken) nothing is written. Batches do not nest.
struct BatchState;
class Batch {
 public:
  Batch();
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  // Writes the changes (if any) and ends the batch. kSuccess, or kAccessDenied / kCantWrite.
  long Commit();

 private:
  BatchState* state_;
};

// Convenience reads used by tools and tests: true when the value exists with the type.
bool ReadString(std::string_view path, std::string_view name, std::string* out);
bool ReadDword(std::string_view path, std::string_view name, uint32_t* out);

// The file's text as it would be written now (for export).
std::string ExportText();

// Path of the registry file in the current system root.
std::string RegistryFilePath();

// Receives a line about each unreadable line of the file; by default the debugger output.
void SetDiagnosticSink(void (*sink)(const char* line));

// Text form of a type name, "REG_SZ" and so on.
std::string TypeName(uint32_t type);

}  // namespace qv::reg
