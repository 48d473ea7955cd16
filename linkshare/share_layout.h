// The shared-memory object of the link share library (see docs/link-share.md): the count table
// at offset 0, then the control block with the two locks and the attached processes.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace qv::linkshare {

inline constexpr int kTableEntries = 45;
inline constexpr size_t kEntryNameBytes = 264;
inline constexpr size_t kEntryNameMax = kEntryNameBytes - 1;  // characters kept of a name
inline constexpr size_t kTableBytes = 0x3000;
inline constexpr int kAttachSlots = 64;
inline constexpr uint32_t kMagic = 0x314C5651;  // "QVL1"

// Entry flags.
inline constexpr uint32_t kEntryInUse = 0x1;
inline constexpr uint32_t kEntryAlreadyUp = 0x2;

#pragma pack(push, 1)
struct RasShareEntry {
  uint32_t flags;
  int32_t count;
  char entry[kEntryNameBytes];
};
#pragma pack(pop)
static_assert(sizeof(RasShareEntry) == 272);
static_assert(offsetof(RasShareEntry, count) == 4);
static_assert(offsetof(RasShareEntry, entry) == 8);
static_assert(kTableEntries * sizeof(RasShareEntry) <= kTableBytes);

// A process that has the library loaded. `pid` is 0 in a free slot; `start_time` is the
// process's start time in clock ticks after boot (0 when unknown), which tells a live process
// from a later one that got the same id.
struct Attachment {
  int32_t pid;
  uint32_t reserved;
  uint64_t start_time;
};
static_assert(sizeof(Attachment) == 16);

struct ShareControl {
  uint32_t magic;        // kMagic once the object is set up
  uint32_t removed;      // 1 once the last process removed the object's name
  int32_t count_holder;  // the process holding the count lock, 0 when free
  uint32_t reserved;
  pthread_mutex_t dial_lock;   // robust, process-shared, recursive
  pthread_mutex_t count_lock;  // robust, process-shared
  Attachment slots[kAttachSlots];
};

struct ShareObject {
  RasShareEntry table[kTableEntries];
  unsigned char unused[kTableBytes - kTableEntries * sizeof(RasShareEntry)];
  ShareControl control;
};
static_assert(offsetof(ShareObject, table) == 0);
static_assert(offsetof(ShareObject, control) == kTableBytes);
static_assert(offsetof(ShareObject, control) % alignof(ShareControl) == 0);

inline constexpr size_t kObjectBytes = (sizeof(ShareObject) + 4095) / 4096 * 4096;

// The object's name for the system root: one object per installation, so that two instances
// (or two test runs) on one machine do not share a dial lock.
inline std::string ObjectName(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : root) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string name = "/BRENnockRasShareCountFileMap.";
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 0xF];
  return name;
}

// The system root as the rest of the system finds it.
inline std::string CurrentSystemRoot() {
  const char* env = std::getenv("QUORVANE_SYSTEM");
  return (env != nullptr && *env != '\0') ? env : "/etc/quorvane";
}

}  // namespace qv::linkshare
