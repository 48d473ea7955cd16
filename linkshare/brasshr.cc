// The link share library. Everything shared lives in one POSIX shared-memory object per system
// root (share_layout.h); this file keeps only the process's view of it.
//
// Locking:
// - Creating, attaching to, detaching from and removing the object happen under an flock on the
//   object's descriptor, which the kernel drops when a process ends, so a process that dies in
//   the middle never blocks the next one.
// - The count table is read and changed only under the count lock, held for one call.
// - The dial lock is held by the caller between BRS_LockRas and BRS_UnlockRas.
// Both locks are robust: when a holder ends without releasing, the next waiter gets the lock and
// makes it consistent at once.
#include "linkshare/brasshr.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "linkshare/share_layout.h"

namespace qv::linkshare {
namespace {

// The process's view, set up while the library loads and torn down while it unloads.
struct View {
  int fd = -1;
  ShareObject* object = nullptr;
  pid_t owner = 0;  // the process that attached (a forked child shares its parent's view)
  char name[64] = {};
};
View g_view;
std::atomic<int> g_dial_holds{0};

constexpr uint32_t kCountLockWaitMs = 10000;

// The process's start time in clock ticks after boot, from /proc; 0 when unknown.
uint64_t ProcessStartTime(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[1024];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return 0;
  buf[n] = '\0';
  // The program name (field 2) is in parentheses and may hold anything; count from its end.
  char* p = std::strrchr(buf, ')');
  if (p == nullptr) return 0;
  ++p;
  for (int field = 3; field < 22; ++field) {
    while (*p == ' ') ++p;
    while (*p != ' ' && *p != '\0') ++p;
  }
  while (*p == ' ') ++p;
  return std::strtoull(p, nullptr, 10);
}

bool ProcessAlive(const Attachment& slot) {
  if (kill(slot.pid, 0) != 0 && errno == ESRCH) return false;
  if (slot.start_time == 0) return true;
  uint64_t now = ProcessStartTime(slot.pid);
  return now == 0 || now == slot.start_time;
}

std::atomic_ref<int32_t> SlotPid(Attachment& slot) {
  return std::atomic_ref<int32_t>(slot.pid);
}

// Frees the slots of processes that ended without unloading the library. Returns the number of
// slots still in use.
int PruneEnded(ShareControl& control) {
  int live = 0;
  for (Attachment& slot : control.slots) {
    int32_t pid = SlotPid(slot).load();
    if (pid == 0) continue;
    if (ProcessAlive(slot)) {
      ++live;
    } else {
      slot.start_time = 0;
      SlotPid(slot).compare_exchange_strong(pid, 0);
    }
  }
  return live;
}

void ForgetProcess(ShareControl& control, pid_t pid) {
  for (Attachment& slot : control.slots) {
    int32_t expected = pid;
    if (SlotPid(slot).load() == pid && !ProcessAlive(slot)) {
      slot.start_time = 0;
      SlotPid(slot).compare_exchange_strong(expected, 0);
    }
  }
}

bool InitMutex(pthread_mutex_t* mutex, bool recursive) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutexattr_settype(
                &attr, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_ERRORCHECK) == 0 &&
            pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

// Sets up a fresh object: zeros, the two locks, then the mark that it is ready.
bool Initialise(ShareObject* object) {
  std::memset(static_cast<void*>(object), 0, kObjectBytes);
  if (!InitMutex(&object->control.dial_lock, true) ||
      !InitMutex(&object->control.count_lock, false))
    return false;
  object->control.magic = kMagic;
  return true;
}

void LockFile(int fd) {
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void UnlockFile(int fd) {
  flock(fd, LOCK_UN);
}

bool TakeSlot(ShareControl& control, pid_t pid) {
  for (Attachment& slot : control.slots) {
    int32_t expected = 0;
    if (SlotPid(slot).compare_exchange_strong(expected, pid)) {
      slot.start_time = ProcessStartTime(pid);
      return true;
    }
  }
  return false;
}

// An object this process may trust: made by its own user and open to nobody else. Anything
// else may have been planted by another local user to hold the dial lock against us.
bool Trusted(const struct stat& st) {
  return st.st_uid == geteuid() && (st.st_mode & 07777) == 0600;
}

enum class Opened { kFd, kRetry, kFailed };

// Opens the object under the name when it is trusted; removes an untrusted one and creates the
// object anew, exclusively, so that nobody else can slip in between. The shared-memory folder
// is sticky: removing another user's object works only for root, and otherwise the process
// goes on without the object.
Opened OpenTrusted(const char* name, int* fd_out) {
  int fd = shm_open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd >= 0) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      close(fd);
      return Opened::kFailed;
    }
    if (Trusted(st)) {
      *fd_out = fd;
      return Opened::kFd;
    }
    close(fd);
    if (shm_unlink(name) != 0 && errno != ENOENT) return Opened::kFailed;
    return Opened::kRetry;
  }
  if (errno != ENOENT) {
    // Not ours to open (another user's object without our permission): replace it as well.
    if (errno != EACCES || (shm_unlink(name) != 0 && errno != ENOENT)) return Opened::kFailed;
    return Opened::kRetry;
  }
  fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno == EEXIST ? Opened::kRetry : Opened::kFailed;
  // The creation mask may have narrowed the mode; the object is ours alone and usable.
  if (fchmod(fd, 0600) != 0) {
    close(fd);
    shm_unlink(name);
    return Opened::kFailed;
  }
  *fd_out = fd;
  return Opened::kFd;
}

// Opens or creates the object and enters this process in it.
bool Attach() {
  std::string name = ObjectName(CurrentSystemRoot());
  if (name.size() >= sizeof g_view.name) return false;
  pid_t self = getpid();
  // A retry is needed when the last user removed the object between our open and our lock, when
  // another process created it between our look and our creation, and after an untrusted object
  // was removed.
  for (int attempt = 0; attempt < 20; ++attempt) {
    int fd = -1;
    Opened opened = OpenTrusted(name.c_str(), &fd);
    if (opened == Opened::kFailed) return false;
    if (opened == Opened::kRetry) continue;
    LockFile(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      close(fd);
      return false;
    }
    if (st.st_nlink == 0) {
      close(fd);
      continue;
    }
    bool fresh = st.st_size < static_cast<off_t>(kObjectBytes);
    if (fresh && ftruncate(fd, kObjectBytes) != 0) {
      close(fd);
      return false;
    }
    void* map = mmap(nullptr, kObjectBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
      close(fd);
      return false;
    }
    auto* object = static_cast<ShareObject*>(map);
    // An object without the ready mark was left by a process that died while creating it; one
    // whose attached processes have all ended was left by processes that never unloaded. In
    // both cases nobody uses it, and it starts again from zeros.
    bool ok = true;
    if (fresh || object->control.magic != kMagic || PruneEnded(object->control) == 0)
      ok = Initialise(object);
    ok = ok && TakeSlot(object->control, self);
    UnlockFile(fd);
    if (!ok) {
      munmap(map, kObjectBytes);
      close(fd);
      return false;
    }
    g_view.fd = fd;
    g_view.object = object;
    g_view.owner = self;
    std::memcpy(g_view.name, name.c_str(), name.size() + 1);
    return true;
  }
  return false;
}

void Detach() {
  if (g_view.object == nullptr) return;
  ShareObject* object = g_view.object;
  if (getpid() == g_view.owner) {
    LockFile(g_view.fd);
    for (Attachment& slot : object->control.slots) {
      int32_t expected = g_view.owner;
      if (SlotPid(slot).load() == g_view.owner) {
        slot.start_time = 0;
        SlotPid(slot).compare_exchange_strong(expected, 0);
      }
    }
    if (PruneEnded(object->control) == 0) {
      object->control.removed = 1;
      shm_unlink(g_view.name);
    }
    UnlockFile(g_view.fd);
  }
  // A lock still held by a thread of this process stays in that thread's list of robust locks;
  // the view must stay mapped so that the kernel can mark the lock abandoned when the thread
  // ends.
  if (g_dial_holds.load() == 0) munmap(object, kObjectBytes);
  close(g_view.fd);
  g_view = View{};
}

__attribute__((constructor)) void LoadLibrary() {
  Attach();
}
__attribute__((destructor)) void UnloadLibrary() {
  Detach();
}

timespec DeadlineAfter(uint32_t ms) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

// The count lock for one table operation.
class CountLock {
 public:
  explicit CountLock(ShareObject* object) : object_(object) {
    if (object_ == nullptr) {
      result_ = kErrInvalidHandle;
      return;
    }
    ShareControl& control = object_->control;
    timespec deadline = DeadlineAfter(kCountLockWaitMs);
    int rc = pthread_mutex_clocklock(&control.count_lock, CLOCK_MONOTONIC, &deadline);
    if (rc == EOWNERDEAD) {
      // The holder ended inside a table operation; the table operations leave every entry
      // valid at each store, so the table is usable as it is. The holder's attachment goes too.
      pthread_mutex_consistent(&control.count_lock);
      pid_t holder = control.count_holder;
      if (holder != 0 && holder != getpid()) ForgetProcess(control, holder);
      rc = 0;
    }
    if (rc == 0) {
      control.count_holder = getpid();
      held_ = true;
    } else {
      result_ = rc == ETIMEDOUT ? kErrSemTimeout : kErrInvalidHandle;
    }
  }
  ~CountLock() {
    if (!held_) return;
    object_->control.count_holder = 0;
    pthread_mutex_unlock(&object_->control.count_lock);
  }
  CountLock(const CountLock&) = delete;
  CountLock& operator=(const CountLock&) = delete;

  // 0 when held, else the result for the caller.
  uint32_t result() const { return result_; }

 private:
  ShareObject* object_;
  bool held_ = false;
  uint32_t result_ = kOk;
};

// The entry for the name (compared exactly, as far as a stored name reaches), or with `claim`
// the first free entry made the name's; nullptr when not found or the table is full.
RasShareEntry* FindEntry(ShareObject* object, const char* name, bool claim) {
  RasShareEntry* free_entry = nullptr;
  for (RasShareEntry& e : object->table) {
    if (e.flags == 0) {
      if (free_entry == nullptr) free_entry = &e;
      continue;
    }
    if ((e.flags & kEntryInUse) != 0 && std::strncmp(e.entry, name, kEntryNameMax) == 0) return &e;
  }
  if (!claim || free_entry == nullptr) return nullptr;
  free_entry->count = 0;
  std::memset(free_entry->entry, 0, sizeof free_entry->entry);
  std::strncpy(free_entry->entry, name, kEntryNameMax);
  free_entry->flags = kEntryInUse;
  return free_entry;
}

void ClearEntry(RasShareEntry* e) {
  e->flags = 0;
  e->count = 0;
  std::memset(e->entry, 0, sizeof e->entry);
}

}  // namespace
}  // namespace qv::linkshare

using namespace qv::linkshare;

extern "C" {

uint32_t BRS_LockRas(uint32_t wait_ms, uint32_t* wait_result) {
  ShareObject* object = g_view.object;
  if (object == nullptr) {
    if (wait_result != nullptr) *wait_result = 0xFFFFFFFFu;
    return kErrInvalidHandle;
  }
  pthread_mutex_t* lock = &object->control.dial_lock;
  int rc;
  if (wait_ms == kWaitInfinite) {
    rc = pthread_mutex_lock(lock);
  } else if (wait_ms == 0) {
    rc = pthread_mutex_trylock(lock);
  } else {
    timespec deadline = DeadlineAfter(wait_ms);
    rc = pthread_mutex_clocklock(lock, CLOCK_MONOTONIC, &deadline);
  }
  uint32_t wait;
  switch (rc) {
    case 0:
      wait = kWaitObject;
      break;
    case EOWNERDEAD:
      pthread_mutex_consistent(lock);
      wait = kWaitAbandoned;
      break;
    case ETIMEDOUT:
    case EBUSY:
      wait = kWaitTimeout;
      break;
    default:
      if (wait_result != nullptr) *wait_result = 0xFFFFFFFFu;
      return kErrInvalidHandle;
  }
  if (wait != kWaitTimeout) g_dial_holds.fetch_add(1);
  if (wait_result != nullptr) *wait_result = wait;
  return kOk;
}

uint32_t BRS_UnlockRas(void) {
  ShareObject* object = g_view.object;
  if (object == nullptr) return kErrInvalidHandle;
  int rc = pthread_mutex_unlock(&object->control.dial_lock);
  if (rc == EPERM) return kErrNotOwner;
  if (rc != 0) return kErrInvalidHandle;
  g_dial_holds.fetch_sub(1);
  return kOk;
}

uint32_t BRS_AddRef(const char* entry, int32_t already_up) {
  if (entry == nullptr) return kErrInvalidParameter;
  CountLock lock(g_view.object);
  if (lock.result() != kOk) return lock.result();
  RasShareEntry* e = FindEntry(g_view.object, entry, true);
  if (e == nullptr) return kErrOutOfStructures;
  if (e->count == 0) {
    if (already_up != 0)
      e->flags |= kEntryAlreadyUp;
    else
      e->flags &= ~kEntryAlreadyUp;
  }
  if (e->count < INT32_MAX) ++e->count;
  return kOk;
}

uint32_t BRS_ReleaseRef(const char* entry, int32_t* hang_up) {
  if (hang_up != nullptr) *hang_up = 0;
  if (entry == nullptr) return kErrInvalidParameter;
  CountLock lock(g_view.object);
  if (lock.result() != kOk) return lock.result();
  RasShareEntry* e = FindEntry(g_view.object, entry, false);
  if (e == nullptr) return kErrInvalidParameter;
  bool last = e->count == 1;
  bool dialled_here = (e->flags & kEntryAlreadyUp) == 0;
  if (e->count > 0) --e->count;
  // An entry left at 0 by a process that ended inside BRS_AddRef is cleared as well.
  if (e->count == 0) ClearEntry(e);
  if (last && hang_up != nullptr) *hang_up = dialled_here ? 1 : 0;
  return kOk;
}

uint32_t BRS_ShareCount(const char* entry, uint32_t operation, int32_t* previous, int32_t value) {
  if (entry == nullptr) return kErrInvalidParameter;
  CountLock lock(g_view.object);
  if (lock.result() != kOk) return lock.result();
  RasShareEntry* e = FindEntry(g_view.object, entry, true);
  if (e == nullptr) return kErrOutOfStructures;
  int32_t before = e->count;
  uint32_t result = kOk;
  switch (operation) {
    case kCountIncrement:
      if (e->count < INT32_MAX) ++e->count;
      break;
    case kCountDecrement:
      if (e->count > 0) --e->count;
      break;
    case kCountSet:
      // A negative count would keep the entry in use for ever: no release could end it.
      if (value < 0)
        result = kErrInvalidParameter;
      else
        e->count = value;
      break;
    case kCountQuery:
      break;
    default:
      result = kErrInvalidParameter;
      break;
  }
  if (e->count == 0) ClearEntry(e);
  if (result == kOk && previous != nullptr) *previous = before;
  return result;
}

}  // extern "C"
