#include "common/recordstore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/tests/recordstore_test_util.h"

namespace qv {
namespace {

using qv::testing::Bytes;
using qv::testing::Entries;
using qv::testing::MakeUser;
using qv::testing::ReadFileText;
using qv::testing::ReadIndexEntries;
using qv::testing::RecordStoreTest;
using qv::testing::UserBytes;
using qv::testing::WriteFileText;

TEST(CompareKeysTest, FoldsLettersOnlyAndComparesUnsigned) {
  EXPECT_EQ(CompareKeys("abc", "ABC"), 0);
  EXPECT_LT(CompareKeys("ab", "abc"), 0);
  EXPECT_GT(CompareKeys("abc", "ab"), 0);
  EXPECT_LT(CompareKeys("A", "b"), 0);
  // Lower-case letters fold before comparing, so "_" (0x5F) sorts after letters of either case.
  EXPECT_GT(CompareKeys("_", "A"), 0);
  EXPECT_GT(CompareKeys("_", "a"), 0);
  EXPECT_GT(CompareKeys("\xE9", "z"), 0);     // bytes above 0x7F compare unsigned
  EXPECT_GT(CompareKeys("\xE9", "\xC9"), 0);  // no folding beyond a-z
  EXPECT_EQ(CompareKeys(std::string("ab\0cd", 5), "AB"), 0);
}

// The insert order is part of the file format: equal keys go before the equal entry the
// binary search meets, other keys at their sorted place, keys not below the last at the end.
TEST_F(RecordStoreTest, InsertPlacesEqualKeysWhereTheSearchMeetsThem) {
  const std::pair<const char*, int32_t> inserts[] = {{"B", 1}, {"A", 2}, {"B", 3},
                                                     {"b", 4}, {"C", 5}, {"B", 6}};
  for (auto [k, o] : inserts) ASSERT_TRUE(IndexInsert(k, o, Idx()));
  EXPECT_EQ(ReadIndexEntries(Idx()),
            (Entries{{"A", 2}, {"B", 1}, {"B", 6}, {"B", 3}, {"b", 4}, {"C", 5}}));
  EXPECT_EQ(IndexLookup("b", Idx(), 0), 1);
  EXPECT_EQ(IndexLookup("B", Idx(), 1), 6);
  EXPECT_EQ(IndexLookup("B", Idx(), 2), 3);
  EXPECT_EQ(IndexLookup("B", Idx(), 3), 4);
  EXPECT_EQ(IndexLookup("B", Idx(), 4), -1);  // that entry is "C"
  EXPECT_EQ(IndexLookup("B", Idx(), 99), -1);
  EXPECT_EQ(IndexLookup("A", Idx(), 0), 2);
  EXPECT_EQ(IndexLookup("C", Idx(), 0), 5);
  EXPECT_EQ(IndexLookup("0", Idx(), 0), -1);
  EXPECT_EQ(IndexLookup("D", Idx(), 0), -1);
  EXPECT_EQ(IndexLookup("BB", Idx(), 0), -1);
}

TEST_F(RecordStoreTest, InsertBeforeAllShiftsEveryEntry) {
  std::vector<std::string> keys;
  for (int i = 9000; i > 0; i -= 5) {
    char key[16];
    std::snprintf(key, sizeof key, "key%05d", i);
    keys.push_back(key);  // descending: every insert goes first
  }
  for (size_t i = 0; i < keys.size(); ++i)
    ASSERT_TRUE(IndexInsert(keys[i], static_cast<int32_t>(i + 1), Idx()));
  Entries got = ReadIndexEntries(Idx());
  ASSERT_EQ(got.size(), keys.size());
  EXPECT_EQ(ReadFileText(Idx()).size(), keys.size() * 36);
  for (size_t i = 1; i < got.size(); ++i) ASSERT_LE(CompareKeys(got[i - 1].first, got[i].first), 0);
  EXPECT_EQ(got.front().second, static_cast<int32_t>(keys.size()));  // the last insert is first
  for (size_t i = 0; i < keys.size(); i += 97)
    EXPECT_EQ(IndexLookup(keys[i], Idx(), 0), static_cast<int32_t>(i + 1)) << keys[i];
}

TEST_F(RecordStoreTest, KeysAreCutTo31CharactersAndZeroFilled) {
  std::string long_key(200, 'k');
  ASSERT_TRUE(IndexInsert(long_key + "tail", 72, Idx()));
  std::string bytes = ReadFileText(Idx());
  ASSERT_EQ(bytes.size(), 36u);
  EXPECT_EQ(bytes.substr(0, 31), std::string(31, 'k'));
  EXPECT_EQ(bytes.substr(31, 1), std::string(1, '\0'));
  int32_t offset;
  std::memcpy(&offset, bytes.data() + 32, 4);
  EXPECT_EQ(offset, 72);
  EXPECT_EQ(IndexLookup(long_key, Idx(), 0), 72);  // same first 31 characters
  EXPECT_EQ(IndexLookup(std::string(31, 'k'), Idx(), 0), 72);
}

TEST_F(RecordStoreTest, LookupOnMissingEmptyAndRaggedIndexes) {
  EXPECT_EQ(IndexLookup("a", Idx(), 0), 0);  // missing: scan the data file
  WriteFileText(Idx(), "");
  EXPECT_EQ(IndexLookup("a", Idx(), 0), -1);  // exists, no entry: nothing is reachable
  WriteFileText(Idx(), std::string(20, 'a'));
  EXPECT_EQ(IndexLookup("a", Idx(), 0), -1);  // a partial entry is no entry
  EXPECT_FALSE(IndexDelete("a", Idx(), 0));

  // A ragged tail after whole entries is ignored and overwritten by the next insert.
  WriteFileText(Idx(), "");
  ASSERT_TRUE(IndexInsert("m", 36, Idx()));
  WriteFileText(Idx(), ReadFileText(Idx()) + "junk");
  EXPECT_EQ(IndexLookup("m", Idx(), 0), 36);
  EXPECT_EQ(IndexLookup("z", Idx(), 0), -1);
  ASSERT_TRUE(IndexInsert("z", 72, Idx()));
  EXPECT_EQ(ReadIndexEntries(Idx()), (Entries{{"m", 36}, {"z", 72}}));
  EXPECT_EQ(ReadFileText(Idx()).size(), 72u);
}

TEST_F(RecordStoreTest, IndexDeleteResults) {
  for (auto [k, o] : {std::pair{"a", 1}, {"b", 2}, {"b", 3}, {"c", 4}})
    ASSERT_TRUE(IndexInsert(k, o, Idx()));
  EXPECT_TRUE(IndexDelete("zz", Idx(), 0));  // absent key: nothing to do
  EXPECT_FALSE(IndexDelete("b", Idx(), 2));  // no third "b"
  EXPECT_TRUE(IndexDelete("B", Idx(), 1));
  EXPECT_EQ(ReadIndexEntries(Idx()), (Entries{{"a", 1}, {"b", 2}, {"c", 4}}));
  EXPECT_TRUE(IndexDelete("a", Idx(), 0));
  EXPECT_TRUE(IndexDelete("c", Idx(), 0));
  EXPECT_TRUE(IndexDelete("b", Idx(), 0));
  EXPECT_EQ(ReadFileText(Idx()).size(), 0u);
  EXPECT_FALSE(IndexDelete("b", Idx(), 0));  // empty
  EXPECT_FALSE(IndexDelete("b", Idx("missing.idx"), 0));
}

TEST_F(RecordStoreTest, DeleteMovesLargeTailsIntact) {
  for (int i = 0; i < 10000; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "u%05d", i);
    ASSERT_TRUE(IndexInsert(key, (i + 1) * 10, Idx()));
  }
  ASSERT_TRUE(IndexDelete("u00003", Idx(), 0));
  Entries got = ReadIndexEntries(Idx());
  ASSERT_EQ(got.size(), 9999u);
  EXPECT_EQ(got[3], (std::pair<std::string, int32_t>{"u00004", 50}));
  EXPECT_EQ(got.back(), (std::pair<std::string, int32_t>{"u09999", 100000}));
}

TEST_F(RecordStoreTest, AddFindUpdateDeleteUsers) {
  EXPECT_EQ(FoundDomain("ann", ""), "");
  USERSTRUCT probe;
  EXPECT_EQ(FindRecord(tables_.system(), "ann", "", &probe), -1);  // no data file yet

  USERSTRUCT ann = MakeUser("ann  ", "", "secret ");
  CopyField(ann.Name, "Ann Lee \t");
  ASSERT_EQ(AddRecord(tables_.system(), &ann), 0);
  // The add rules changed the record in place.
  EXPECT_EQ(FieldText(ann.Alias), "ann");
  EXPECT_EQ(FieldText(ann.Domain), "example.com");
  EXPECT_EQ(FieldText(ann.Password), "secret");
  EXPECT_EQ(FieldText(ann.Name), "Ann Lee");
  EXPECT_EQ(FieldText(ann.Mailbox), "ann");

  USERSTRUCT found;
  ASSERT_EQ(FindRecord(tables_.system(), "ANN", "EXAMPLE.COM", &found), 0);
  EXPECT_EQ(UserBytes(found), UserBytes(ann));
  EXPECT_EQ(FindRecord(tables_.system(), "ann", "example.org", &found), 1);
  EXPECT_EQ(FindRecord(tables_.system(), "an", "", &found), 1);

  USERSTRUCT again = MakeUser("Ann", "example.com");
  EXPECT_EQ(AddRecord(tables_.system(), &again), 1);
  USERSTRUCT other = MakeUser("ann", "example.org");
  EXPECT_EQ(AddRecord(tables_.system(), &other), 0);
  EXPECT_EQ(FoundDomain("ann", "example.org"), "example.org");

  CopyField(found.Password, "changed");
  ASSERT_EQ(UpdateRecord(tables_.system(), found, false), 0);
  ASSERT_EQ(FindRecord(tables_.system(), "ann", "example.com", &found), 0);
  EXPECT_EQ(FieldText(found.Password), "changed");
  EXPECT_EQ(ReadFileText(UserDat()).size(), 2 * 1501u);  // replaced in place

  USERSTRUCT nobody = MakeUser("nobody", "example.com");
  EXPECT_EQ(UpdateRecord(tables_.system(), nobody, false), -1);
  EXPECT_EQ(UpdateRecord(tables_.system(), nobody, true), -1);

  ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser("ann", "example.com"), true), 0);
  EXPECT_EQ(FoundDomain("ann", "example.com"), "");
  EXPECT_EQ(FoundDomain("ann", ""), "example.org");
  EXPECT_EQ(ReadFileText(UserDat()).size(), 2 * 1501u);  // the data stays until compaction
}

// Below the add rules: the record store stores a record as it is given, whatever it holds, and
// reports what it did as a value.
TEST_F(RecordStoreTest, InsertReplaceAndRemoveTakeRecordsAsGiven) {
  const SYSTEMSTRUCT& system = tables_.system();
  USERSTRUCT nobody = MakeUser("nobody", "example.com");
  Status missing = ReplaceRecord(system, Table::kUser, &nobody);
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.error().find(UserDat()), std::string::npos);  // no data file yet

  USERSTRUCT ann = MakeUser("ann ", "", "secret ", "forward");
  Result<Inserted> first = InsertRecord(system, ann);
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ(*first, Inserted::kAdded);
  USERSTRUCT found;
  ASSERT_EQ(FindRecord(system, "ann ", "", &found), 0);
  EXPECT_EQ(UserBytes(found), UserBytes(ann));  // no trimming, no domain, a service folder
  EXPECT_EQ(*InsertRecord(system, ann), Inserted::kExists);

  CopyField(ann.Name, "Ann");
  ASSERT_TRUE(ReplaceRecord(system, Table::kUser, &ann));
  ASSERT_EQ(FindRecord(system, "ann ", "", &found), 0);
  EXPECT_EQ(FieldText(found.Name), "Ann");
  USERSTRUCT bob = MakeUser("bob", "example.com");
  EXPECT_FALSE(ReplaceRecord(system, Table::kUser, &bob));
  EXPECT_FALSE(RemoveRecord(system, Table::kUser, &bob));
  ASSERT_TRUE(RemoveRecord(system, Table::kUser, &ann));
  EXPECT_EQ(FindRecord(system, "ann ", "", &found), 1);
  EXPECT_FALSE(RemoveRecord(system, Table::kUser, &ann));
}

// Records the add rules refuse or change reach the files unchanged through InsertRecord.
TEST_F(RecordStoreTest, TheRecordStoreAppliesNoAddRules) {
  ROUTESTRUCT route{};  // no masks
  AUTOSTRUCT responder{};
  ACCOUNTSTRUCT account{};
  LISTSTRUCT list{};
  CopyField(list.Name, "news ");
  struct Case {
    Table table;
    const void* record;
    size_t size;
  } cases[] = {
      {Table::kRoutes, &route, sizeof route},
      {Table::kResponder, &responder, sizeof responder},
      {Table::kAccounts, &account, sizeof account},
      {Table::kLists, &list, sizeof list},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(GetTableDef(c.table).name);
    std::string copy = Bytes(c.record, c.size);
    Result<Inserted> r = InsertRecord(tables_.system(), c.table, copy.data());
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(*r, Inserted::kAdded);
    EXPECT_EQ(copy, Bytes(c.record, c.size));
    EXPECT_EQ(ReadFileText(tables_.File(std::string(GetTableDef(c.table).name) + ".dat")), copy);
  }
}

TEST_F(RecordStoreTest, SameAliasInTwoDomainsIsFoundByDomainMask) {
  ASSERT_EQ(Add("bob", "*.example.com"), 0);
  ASSERT_EQ(Add("bob", "example.org"), 0);
  EXPECT_EQ(ReadIndexEntries(UserIdx()).size(), 2u);
  EXPECT_EQ(FoundDomain("bob", "mail.example.com"), "*.example.com");
  EXPECT_EQ(FoundDomain("bob", "example.org"), "example.org");
  EXPECT_EQ(FoundDomain("bob", "example.net"), "");
  EXPECT_EQ(FoundDomain("bob", ""), "*.example.com");  // no domain: the first entry
  // A domain "*" is matched by every stored domain (a star in the text turns the roles round).
  EXPECT_EQ(Add("bob", "*"), 1);
  // "*" serves every domain; a second user of that alias in any domain exists already.
  ASSERT_EQ(Add("cyd", "*"), 0);
  EXPECT_EQ(FoundDomain("cyd", "anything.net"), "*");
  EXPECT_EQ(Add("cyd", "example.com"), 1);
}

TEST_F(RecordStoreTest, KeysEqualInTheir31FirstCharactersAreToldApartByTheRecord) {
  std::string stem(31, 'q');
  ASSERT_EQ(Add(stem + "one", "example.com"), 0);
  ASSERT_EQ(Add(stem + "two", "example.com"), 0);
  ASSERT_EQ(Add(stem, "example.com"), 0);
  USERSTRUCT u;
  ASSERT_EQ(FindRecord(tables_.system(), stem + "two", "", &u), 0);
  EXPECT_EQ(FieldText(u.Alias), stem + "two");
  ASSERT_EQ(FindRecord(tables_.system(), stem, "", &u), 0);
  EXPECT_EQ(FieldText(u.Alias), stem);
  EXPECT_EQ(FindRecord(tables_.system(), stem + "three", "", &u), 1);
  ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser(stem + "one", "example.com"), true), 0);
  EXPECT_EQ(FindRecord(tables_.system(), stem + "one", "", &u), 1);
  EXPECT_EQ(FindRecord(tables_.system(), stem + "two", "", &u), 0);
  // 200-character keys: longer than any key field, never found, never a crash.
  EXPECT_EQ(FindRecord(tables_.system(), std::string(200, 'q'), "", &u), 1);
  EXPECT_EQ(Add(std::string(200, 'z'), "example.com"), 0);  // stored cut to 127
  EXPECT_EQ(FindRecord(tables_.system(), std::string(127, 'z'), "", &u), 0);
}

// Scan mode reads on past a record that fails the domain test.
TEST_F(RecordStoreTest, ScanModeReadsOnToTheMatchingRecord) {
  USERSTRUCT a = MakeUser("bob", "example.com"), b = MakeUser("bob", "example.org");
  WriteFileText(UserDat(), UserBytes(a) + UserBytes(b));
  IndexEntry e{};
  std::memcpy(e.Key, "bob", 3);
  WriteFileText(UserIdx(), Bytes(&e, sizeof e));  // only the entry of offset 0
  EXPECT_EQ(FoundDomain("bob", "example.org"), "example.org");
  // Deleting through scan mode removes the entry that points at the record found.
  ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser("bob", "example.com"), true), 0);
  EXPECT_EQ(ReadFileText(UserIdx()).size(), 0u);
}

TEST_F(RecordStoreTest, DeletingTheOnlyRecordLeavesNothingFindable) {
  ASSERT_EQ(Add("solo", "example.com"), 0);  // at offset 0: its entry sends lookups to scan
  ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser("solo", "example.com"), true), 0);
  EXPECT_EQ(ReadFileText(UserIdx()).size(), 0u);
  EXPECT_EQ(FoundDomain("solo", ""), "");
  EXPECT_EQ(FoundDomain("solo", "example.com"), "");
  EXPECT_EQ(Add("solo", "example.com"), 0);  // may be added again
  EXPECT_EQ(FoundDomain("solo", ""), "example.com");
}

TEST_F(RecordStoreTest, MissingIndexScansAndIsRebuiltBeforeTheFirstChange) {
  ASSERT_EQ(Add("ann", "example.com"), 0);
  ASSERT_EQ(Add("bob", "example.com"), 0);
  ASSERT_EQ(Add("cyd", "example.com"), 0);
  ASSERT_EQ(unlink(UserIdx().c_str()), 0);
  EXPECT_EQ(FoundDomain("cyd", ""), "example.com");  // found by scanning
  ASSERT_EQ(Add("dan", "example.com"), 0);
  // Every record is still reachable through the index the add created.
  EXPECT_EQ(ReadIndexEntries(UserIdx()).size(), 4u);
  for (const char* alias : {"ann", "bob", "cyd", "dan"})
    EXPECT_EQ(FoundDomain(alias, ""), "example.com");

  ASSERT_EQ(unlink(UserIdx().c_str()), 0);
  ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser("bob", "example.com"), true), 0);
  EXPECT_EQ(FoundDomain("bob", ""), "");
  EXPECT_EQ(FoundDomain("ann", ""), "example.com");
}

TEST_F(RecordStoreTest, TornDataFilesAndWildOffsets) {
  ASSERT_EQ(Add("ann", "example.com"), 0);
  ASSERT_EQ(Add("bob", "example.com"), 0);
  // A torn last record: bob's lies half outside the file.
  std::string data = ReadFileText(UserDat());
  WriteFileText(UserDat(), data.substr(0, 1501 + 700));
  EXPECT_EQ(FoundDomain("bob", ""), "");
  EXPECT_EQ(FoundDomain("ann", ""), "example.com");
  // The next add overwrites the torn record instead of writing after it.
  ASSERT_EQ(Add("cyd", "example.com"), 0);
  EXPECT_EQ(ReadFileText(UserDat()).size(), 2 * 1501u);
  EXPECT_EQ(IndexLookup("cyd", UserIdx(), 0), 1501);
  EXPECT_EQ(FoundDomain("bob", ""), "");  // bob's entry now reaches cyd's record: not bob
  EXPECT_EQ(FoundDomain("cyd", ""), "example.com");

  // Entries pointing beyond the file or before it end the search.
  for (int32_t wild : {1501 * 50, -5, 2147483647}) {
    ASSERT_TRUE(IndexInsert("wild", wild, UserIdx()));
    EXPECT_EQ(FoundDomain("wild", ""), "");
    ASSERT_TRUE(IndexDelete("wild", UserIdx(), 0));
  }
  // An entry pointing into the middle of a record reads bytes that fail the key test.
  ASSERT_TRUE(IndexInsert("ann", 700, UserIdx()));
  EXPECT_EQ(FoundDomain("ann", ""), "example.com");
}

TEST(LockPathTest, TablesShareOneLockWhateverTheirCase) {
  EXPECT_EQ(LockPathFor("/c/USER.DAT"), "/c/user.lock");
  EXPECT_EQ(LockPathFor("/c/user.idx"), "/c/user.lock");
  EXPECT_EQ(LockPathFor("/c/User.Id$"), "/c/user.lock");
  EXPECT_EQ(LockPathFor("/c/news.mls"), "/c/news.mls.lock");
  EXPECT_EQ(LockPathFor("members"), "members.lock");
}

// A lock file is never opened through a link or waited on as a pipe: the lock is refused and
// what the link points to is neither created nor changed; a plain lock file locks as before.
TEST(FileLockTest, LinksAndPipesAtTheLockNameAreRefused) {
  qv::testing::TempDir dir;
  std::string victim = dir.Sub("victim"), absent = dir.Sub("absent");
  WriteFileText(victim, "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), dir.Sub("a.lock").c_str()), 0);
  ASSERT_EQ(symlink(absent.c_str(), dir.Sub("b.lock").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.Sub("c.lock").c_str(), 0600), 0);
  for (const char* name : {"a.lock", "b.lock", "c.lock"}) {
    for (LockMode mode : {LockMode::kShared, LockMode::kExclusive}) {
      FileLock lock(dir.Sub(name), mode);
      EXPECT_TRUE(lock.refused()) << name;
      EXPECT_FALSE(lock.locked()) << name;
    }
  }
  EXPECT_EQ(ReadFileText(victim), "precious\n");
  EXPECT_FALSE(std::filesystem::exists(absent));
  FileLock plain(dir.Sub("d.lock"), LockMode::kExclusive);
  EXPECT_TRUE(plain.locked());
  EXPECT_FALSE(plain.refused());
}

// Two threads (each with its own lock descriptor) adding at once lose nothing.
TEST_F(RecordStoreTest, ConcurrentThreadsLoseNoRecord) {
  auto adder = [this](int id) {
    for (int i = 0; i < 150; ++i)
      Add("t" + std::to_string(id) + "-" + std::to_string(i * 7919 % 150), "example.com");
  };
  std::thread a(adder, 1), b(adder, 2);
  a.join();
  b.join();
  EXPECT_EQ(ReadIndexEntries(UserIdx()).size(), 300u);
  EXPECT_EQ(ReadFileText(UserDat()).size(), 300 * 1501u);
  for (int id : {1, 2})
    for (int i = 0; i < 150; ++i)
      ASSERT_EQ(FoundDomain("t" + std::to_string(id) + "-" + std::to_string(i), ""), "example.com");
}

// Two processes adding users to one table at the same time lose none.
TEST_F(RecordStoreTest, ConcurrentProcessesLoseNoRecord) {
  constexpr int kPerProcess = 200;
  std::vector<pid_t> children;
  for (int id = 0; id < 2; ++id) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i) {
        // Interleaved keys so that inserts land in the middle of the other's entries.
        char alias[32];
        std::snprintf(alias, sizeof alias, "u%04d-%d", (i * 37) % kPerProcess, id);
        USERSTRUCT u = MakeUser(alias, "example.com");
        if (AddRecord(tables_.system(), &u) != 0) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Entries entries = ReadIndexEntries(UserIdx());
  ASSERT_EQ(entries.size(), 2u * kPerProcess);
  EXPECT_EQ(ReadFileText(UserDat()).size(), 2u * kPerProcess * 1501);
  for (size_t i = 1; i < entries.size(); ++i)
    EXPECT_LT(CompareKeys(entries[i - 1].first, entries[i].first), 0);
  for (int id = 0; id < 2; ++id)
    for (int i = 0; i < kPerProcess; ++i) {
      char alias[32];
      std::snprintf(alias, sizeof alias, "u%04d-%d", i, id);
      ASSERT_EQ(FoundDomain(alias, "example.com"), "example.com") << alias;
    }
}

// A reader never sees a half-moved index: a key that sorts last stays findable while another
// thread inserts keys before it, each insert moving the whole index.
TEST_F(RecordStoreTest, ReadersNeverSeeAHalfMovedIndex) {
  ASSERT_EQ(Add("zzz", "example.com"), 0);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Add("y" + std::to_string(1000 + i), "example.com"), 0);
  std::atomic<bool> done{false};
  std::atomic<int> misses{0};
  std::thread reader([&] {
    USERSTRUCT u;
    while (!done) {
      if (FindRecord(tables_.system(), "zzz", "example.com", &u) != 0) ++misses;
      if (FindRecord(tables_.system(), "y1150", "", &u) != 0) ++misses;
    }
  });
  for (int i = 999; i > 600; --i) Add("x" + std::to_string(i), "example.com");
  done = true;
  reader.join();
  EXPECT_EQ(misses.load(), 0);
}

TEST_F(RecordStoreTest, NestedLocksOfOneThreadDoNotDeadlock) {
  ASSERT_EQ(Add("ann", "example.com"), 0);
  TableLock lock(tables_.system(), Table::kUser, LockMode::kExclusive);
  USERSTRUCT u;
  ASSERT_EQ(FindRecord(tables_.system(), "ann", "", &u), 0);  // shared inside exclusive
  CopyField(u.Password, "new");
  ASSERT_EQ(UpdateRecord(tables_.system(), u, false), 0);
  ASSERT_EQ(Add("bob", "example.com"), 0);
}

TEST_F(RecordStoreTest, ForEachRecordWalksTheIndexOrder) {
  auto walk = [this](size_t stop_after = 0) {
    std::vector<std::string> seen;
    int r = ForEachRecord(tables_.system(), Table::kUser, [&](const void* record) {
      const auto* u = static_cast<const USERSTRUCT*>(record);
      seen.push_back(std::string(FieldText(u->Alias)) + "@" + std::string(FieldText(u->Domain)));
      return stop_after == 0 || seen.size() < stop_after;
    });
    if (r != 0) seen.push_back("error");
    return seen;
  };
  EXPECT_EQ(walk(), std::vector<std::string>{"error"});  // no data file
  // The first record lies at offset 0, whose entry sends readers to the data file.
  ASSERT_EQ(Add("cyd", "example.com"), 0);
  ASSERT_EQ(Add("ann", "example.com"), 0);
  ASSERT_EQ(Add("bob", "example.com"), 0);
  ASSERT_EQ(Add("dan", "example.org"), 0);
  ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser("ann", "example.com"), true), 0);
  EXPECT_EQ(walk(),
            (std::vector<std::string>{"bob@example.com", "cyd@example.com", "dan@example.org"}));
  EXPECT_EQ(walk(1), std::vector<std::string>{"bob@example.com"});
  // Without the index every whole record of the data file counts, deleted ones too.
  ASSERT_EQ(unlink(UserIdx().c_str()), 0);
  EXPECT_EQ(walk().size(), 4u);
}

}  // namespace
}  // namespace qv
