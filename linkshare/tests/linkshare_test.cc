// The link share library across real processes: each peer is a separate program that loads
// libbrasshr.so and runs the calls it is told (tests/share_peer.cc).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/testing/line_process.h"
#include "common/testing/test_env.h"
#include "linkshare/brasshr.h"
#include "linkshare/share_layout.h"

namespace qv::linkshare {
namespace {

using qv::testing::BinDir;
using qv::testing::ScopedSystemRoot;

// A process that has the library loaded.
class Peer : public qv::testing::LineProcess {
 public:
  Peer() : LineProcess(BinDir() + "/linkshare_peer", {BinDir() + "/" + kLibraryName}) {}
  bool ready() const { return first_line() == "ready"; }

  // Ends the process without unloading the library, as a crash would.
  void Die() {
    Send("die");
    Wait();
  }

  // Unloads the library and ends.
  void Finish() {
    EXPECT_EQ(Call("unload"), "ok");
    Close();
    Wait();
  }
};

std::string CurrentName() {
  return ObjectName(CurrentSystemRoot());
}

bool ObjectExists() {
  int fd = shm_open(CurrentName().c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// A writable view of the current object, for looking at the table and playing a crashed peer.
class Mapping {
 public:
  Mapping() {
    int fd = shm_open(CurrentName().c_str(), O_RDWR, 0);
    if (fd < 0) return;
    struct stat st {};
    fstat(fd, &st);
    size_ = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, kObjectBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map != MAP_FAILED) object_ = static_cast<ShareObject*>(map);
  }
  ~Mapping() {
    if (object_ != nullptr) munmap(object_, kObjectBytes);
  }
  ShareObject* operator->() const { return object_; }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(object_); }
  explicit operator bool() const { return object_ != nullptr; }
  size_t size() const { return size_; }

  int EntriesInUse() const {
    int n = 0;
    for (const RasShareEntry& e : object_->table) n += e.flags != 0;
    return n;
  }
  int Attached() const {
    int n = 0;
    for (const Attachment& a : object_->control.slots) n += a.pid != 0;
    return n;
  }

 private:
  ShareObject* object_ = nullptr;
  size_t size_ = 0;
};

TEST(LinkShare, ObjectIsZeroFilledAndLivesWhileAProcessHasTheLibrary) {
  ScopedSystemRoot root;
  EXPECT_FALSE(ObjectExists());
  auto a = std::make_unique<Peer>();
  ASSERT_TRUE(a->ready());
  ASSERT_TRUE(ObjectExists());
  {
    Mapping map;
    ASSERT_TRUE(map);
    EXPECT_EQ(map.size(), kObjectBytes);
    const auto* bytes = map.bytes();
    size_t nonzero = 0;
    for (size_t i = 0; i < kTableBytes; ++i) nonzero += bytes[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    EXPECT_EQ(map->control.magic, kMagic);
    EXPECT_EQ(map.Attached(), 1);
  }
  auto b = std::make_unique<Peer>();
  ASSERT_TRUE(b->ready());
  EXPECT_EQ(a->Call("add Provider 0"), "0");
  EXPECT_EQ(Mapping().Attached(), 2);
  a->Finish();
  EXPECT_TRUE(ObjectExists());
  EXPECT_EQ(b->Call("count Provider 3 0"), "0 1");
  b->Finish();
  EXPECT_FALSE(ObjectExists());
  // The next user starts from zeros.
  Peer c;
  EXPECT_EQ(c.Call("count Provider 3 0"), "0 0");
}

TEST(LinkShare, HangUpOnlyALinkTheMailServerDialled) {
  ScopedSystemRoot root;
  Peer a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  // Up before the first user: never hung up.
  EXPECT_EQ(a.Call("add Provider 1"), "0");
  EXPECT_EQ(b.Call("release Provider"), "0 0");
  // Dialled by the first user.
  EXPECT_EQ(a.Call("add Provider 0"), "0");
  EXPECT_EQ(a.Call("release Provider"), "0 1");
  // Two users, the first dialled, the second found it up: the second does not change the mark;
  // only the last release hangs up, whichever process makes it.
  EXPECT_EQ(a.Call("add Provider 0"), "0");
  EXPECT_EQ(b.Call("add Provider 1"), "0");
  {
    Mapping map;
    EXPECT_EQ(map->table[0].flags, kEntryInUse);
    EXPECT_EQ(map->table[0].count, 2);
    EXPECT_STREQ(map->table[0].entry, "Provider");
  }
  EXPECT_EQ(b.Call("count Provider 3 0"), "0 2");
  EXPECT_EQ(a.Call("release Provider"), "0 0");
  EXPECT_EQ(a.Call("release Provider"), "0 1");
  EXPECT_EQ(Mapping().EntriesInUse(), 0);
  // Nobody holds it now.
  EXPECT_EQ(b.Call("release Provider"), "87 0");
}

TEST(LinkShare, EntriesAreExactNamesAndQueriesLeaveNoTrace) {
  ScopedSystemRoot root;
  Peer a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  EXPECT_EQ(a.Call("count Unknown 3 0"), "0 0");
  EXPECT_EQ(Mapping().EntriesInUse(), 0);
  EXPECT_EQ(a.Call("add Link 0"), "0");
  EXPECT_EQ(b.Call("add LINK 1"), "0");
  EXPECT_EQ(Mapping().EntriesInUse(), 2);
  EXPECT_EQ(b.Call("release link"), "87 0");
  EXPECT_EQ(b.Call("release LINK"), "0 0");
  EXPECT_EQ(a.Call("release Link"), "0 1");
  // A null name is refused everywhere.
  EXPECT_EQ(a.Call("add - 0"), "87");
  EXPECT_EQ(a.Call("release -"), "87 0");
  EXPECT_EQ(a.Call("count - 3 0"), "87 -99");
  EXPECT_EQ(Mapping().EntriesInUse(), 0);
}

TEST(LinkShare, CountOperations) {
  ScopedSystemRoot root;
  Peer a;
  ASSERT_TRUE(a.ready());
  struct Step {
    const char* call;
    const char* answer;
    int in_use;
  } steps[] = {
      {"count E 0 0", "0 0", 1},     {"count E 0 0", "0 1", 1},     {"count E 1 0", "0 2", 1},
      {"count E 2 7", "0 1", 1},     {"count E 3 0", "0 7", 1},     {"count E 9 0", "87 -99", 1},
      {"count E 2 -1", "87 -99", 1}, {"count E 2 0", "0 7", 0},     {"count E 1 0", "0 0", 0},
      {"count F 9 0", "87 -99", 0},  {"count F 2 -5", "87 -99", 0},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(a.Call(s.call), s.answer) << s.call;
    EXPECT_EQ(Mapping().EntriesInUse(), s.in_use) << s.call;
  }
}

TEST(LinkShare, FullTableAndLongNames) {
  ScopedSystemRoot root;
  Peer a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  for (int i = 0; i < kTableEntries; ++i)
    ASSERT_EQ(a.Call("add entry" + std::to_string(i) + " 0"), "0") << i;
  EXPECT_EQ(b.Call("add one-more 0"), "84");
  EXPECT_EQ(b.Call("count one-more 3 0"), "84 -99");
  EXPECT_EQ(b.Call("count entry44 3 0"), "0 1");
  EXPECT_EQ(b.Call("release entry7"), "0 1");
  EXPECT_EQ(b.Call("add one-more 0"), "0");
  for (int i = 0; i < kTableEntries; ++i) {
    if (i != 7) {
      ASSERT_EQ(a.Call("release entry" + std::to_string(i)), "0 1") << i;
    }
  }
  EXPECT_EQ(a.Call("release one-more"), "0 1");
  EXPECT_EQ(Mapping().EntriesInUse(), 0);

  // A name longer than an entry holds is kept cut, and found again by the same long name.
  std::string long_name(300, 'x');
  EXPECT_EQ(a.Call("add " + long_name + " 0"), "0");
  {
    Mapping map;
    EXPECT_EQ(std::string(map->table[0].entry), std::string(kEntryNameMax, 'x'));
    EXPECT_EQ(map->table[0].entry[kEntryNameMax], '\0');
  }
  EXPECT_EQ(b.Call("add " + long_name + " 1"), "0");
  EXPECT_EQ(b.Call("count " + long_name + " 3 0"), "0 2");
  EXPECT_EQ(b.Call("release " + long_name), "0 0");
  EXPECT_EQ(a.Call("release " + long_name), "0 1");
  EXPECT_EQ(Mapping().EntriesInUse(), 0);
}

TEST(LinkShare, DialLockAcrossProcesses) {
  ScopedSystemRoot root;
  Peer a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  EXPECT_EQ(a.Call("lock 0"), "0 0");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(b.Call("lock 300"), "0 258");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(b.Call("lock 0"), "0 258");
  EXPECT_EQ(b.Call("unlock"), "288");
  // The holder may take it again; each take needs its release.
  EXPECT_EQ(a.Call("lock 1000"), "0 0");
  EXPECT_EQ(a.Call("unlock"), "0");
  EXPECT_EQ(b.Call("lock 0"), "0 258");
  EXPECT_EQ(a.Call("unlock"), "0");
  EXPECT_EQ(a.Call("unlock"), "288");
  EXPECT_EQ(b.Call("lock 4294967295"), "0 0");
  EXPECT_EQ(a.Call("lock 100"), "0 258");
  EXPECT_EQ(b.Call("unlock"), "0");
}

TEST(LinkShare, LockOfAnEndedHolderIsAcquiredAbandoned) {
  ScopedSystemRoot root;
  Peer a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  EXPECT_EQ(a.Call("lock 0"), "0 0");
  EXPECT_EQ(a.Call("add Provider 0"), "0");
  a.Die();
  EXPECT_EQ(b.Call("lock 5000"), "0 128");
  EXPECT_EQ(b.Call("unlock"), "0");
  EXPECT_EQ(b.Call("lock 0"), "0 0");
  EXPECT_EQ(b.Call("unlock"), "0");
  // The ended process's count stays: the link it holds is still up.
  EXPECT_EQ(b.Call("count Provider 3 0"), "0 1");
  // Its attachment does not keep the object alive.
  b.Finish();
  EXPECT_FALSE(ObjectExists());
}

TEST(LinkShare, ObjectLeftByEndedProcessesStartsFromZeros) {
  ScopedSystemRoot root;
  {
    Peer a;
    ASSERT_TRUE(a.ready());
    EXPECT_EQ(a.Call("add Provider 0"), "0");
    EXPECT_EQ(a.Call("lock 0"), "0 0");
    a.Die();
  }
  ASSERT_TRUE(ObjectExists());
  Peer b;
  ASSERT_TRUE(b.ready());
  EXPECT_EQ(b.Call("count Provider 3 0"), "0 0");
  EXPECT_EQ(b.Call("lock 0"), "0 0");
  EXPECT_EQ(b.Call("unlock"), "0");
  b.Finish();
  EXPECT_FALSE(ObjectExists());

  // An object whose creator died before setting it up is set up by the next process.
  int fd = shm_open(CurrentName().c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100), 0);
  close(fd);
  Peer c;
  ASSERT_TRUE(c.ready());
  EXPECT_EQ(c.Call("add Provider 0"), "0");
  EXPECT_EQ(c.Call("release Provider"), "0 1");
  c.Finish();
  EXPECT_FALSE(ObjectExists());
}

TEST(LinkShare, HolderOfTheCountLockEndingIsNoticed) {
  ScopedSystemRoot root;
  Peer a;
  ASSERT_TRUE(a.ready());
  // A process that entered itself and died inside a table operation, holding the count lock.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Mapping map;
    if (!map) _exit(1);
    map->control.slots[kAttachSlots - 1].pid = getpid();
    if (pthread_mutex_lock(&map->control.count_lock) != 0) _exit(1);
    map->control.count_holder = getpid();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Mapping().Attached(), 2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(a.Call("count Provider 0 0"), "0 0");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  {
    Mapping map;
    EXPECT_EQ(map.Attached(), 1);
    EXPECT_EQ(map->control.count_holder, 0);
  }
  EXPECT_EQ(a.Call("count Provider 3 0"), "0 1");
  a.Finish();
  EXPECT_FALSE(ObjectExists());
}

TEST(LinkShare, ProcessesStartingTogetherShareOneObject) {
  ScopedSystemRoot root;
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < 5; ++i) peers.push_back(std::make_unique<Peer>());
  for (auto& p : peers) {
    ASSERT_TRUE(p->ready());
    EXPECT_EQ(p->Call("add Provider 0"), "0");
  }
  EXPECT_EQ(peers[0]->Call("count Provider 3 0"), "0 5");
  EXPECT_EQ(Mapping().Attached(), 5);
  for (auto& p : peers) p->Finish();
  EXPECT_FALSE(ObjectExists());
}

// A local user who creates the object before the mail services, holds its dial lock and keeps
// an attachment alive, so that a service attaching to it would wait for the lock for ever.
class Squatter {
 public:
  // uid -1: the calling user.
  Squatter(uid_t uid, mode_t mode) {
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) return;
    std::string name = CurrentName();
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(hold[1]);
      if (uid != static_cast<uid_t>(-1) && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(1);
      umask(0);
      int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
      if (fd < 0 || ftruncate(fd, kObjectBytes) != 0) _exit(2);
      void* map = mmap(nullptr, kObjectBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (map == MAP_FAILED) _exit(3);
      auto* object = static_cast<ShareObject*>(map);
      pthread_mutexattr_t attr;
      pthread_mutexattr_init(&attr);
      pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
      pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
      pthread_mutex_init(&object->control.dial_lock, &attr);
      pthread_mutex_init(&object->control.count_lock, &attr);
      object->control.magic = kMagic;
      object->control.slots[0].pid = getpid();
      if (pthread_mutex_lock(&object->control.dial_lock) != 0) _exit(4);
      char c = 'r';
      if (write(ready[1], &c, 1) != 1) _exit(5);
      // Holds on until the test closes its end.
      while (read(hold[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    hold_ = hold[1];
    char c = 0;
    ready_ = pid_ > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
  }
  ~Squatter() {
    if (hold_ >= 0) close(hold_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
  bool ready_ = false;
};

TEST(LinkShare, AnObjectPlantedByAnotherUserOrOpenToOthersIsReplaced) {
  const passwd* nobody = getpwnam("nobody");
  const bool root = geteuid() == 0;
  struct Case {
    const char* what;
    bool other_user;
    mode_t mode;
  } cases[] = {
      {"another user's, private", true, 0600},         {"another user's, open to all", true, 0666},
      {"another user's, readable", true, 0644},        {"our own, open to all", false, 0666},
      {"our own, readable by the group", false, 0640},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.other_user && (!root || nobody == nullptr)) {
      std::printf("skipped (needs root and the user nobody): %s\n", c.what);
      continue;
    }
    ScopedSystemRoot scoped;
    Squatter squatter(c.other_user ? nobody->pw_uid : static_cast<uid_t>(-1), c.mode);
    ASSERT_TRUE(squatter.ready());
    ASSERT_TRUE(ObjectExists());
    Peer a, b;
    ASSERT_TRUE(a.ready() && b.ready());
    // The services share a fresh object of their own: the lock is free and works between them.
    EXPECT_EQ(a.Call("lock 300"), "0 0");
    EXPECT_EQ(b.Call("lock 0"), "0 258");
    EXPECT_EQ(a.Call("unlock"), "0");
    EXPECT_EQ(b.Call("lock 0"), "0 0");
    EXPECT_EQ(b.Call("unlock"), "0");
    EXPECT_EQ(a.Call("add Provider 0"), "0");
    EXPECT_EQ(b.Call("count Provider 3 0"), "0 1");
    {
      int fd = shm_open(CurrentName().c_str(), O_RDONLY, 0);
      ASSERT_GE(fd, 0);
      struct stat st {};
      ASSERT_EQ(fstat(fd, &st), 0);
      close(fd);
      EXPECT_EQ(st.st_uid, geteuid());
      EXPECT_EQ(st.st_mode & 07777, 0600u);
      Mapping map;
      EXPECT_EQ(map.Attached(), 2);
    }
    a.Finish();
    b.Finish();
    EXPECT_FALSE(ObjectExists());
  }
  if (!root) GTEST_SKIP() << "the other user's objects need root";
}

TEST(LinkShare, TheObjectIsPrivateWhateverTheCreationMask) {
  ScopedSystemRoot scoped;
  mode_t old = umask(0277);
  Peer a;
  umask(old);
  ASSERT_TRUE(a.ready());
  int fd = shm_open(CurrentName().c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  close(fd);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // A second process trusts it and shares it.
  Peer b;
  ASSERT_TRUE(b.ready());
  EXPECT_EQ(a.Call("lock 0"), "0 0");
  EXPECT_EQ(b.Call("lock 0"), "0 258");
  EXPECT_EQ(a.Call("unlock"), "0");
  a.Finish();
  b.Finish();
}

}  // namespace
}  // namespace qv::linkshare
