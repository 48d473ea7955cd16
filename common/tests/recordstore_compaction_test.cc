#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/recordstore.h"
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

TEST_F(RecordStoreTest, CompactTableDropsDeletedAndRebuildBringsThemBack) {
  for (const char* alias : {"ann", "bob", "cyd", "dan"}) ASSERT_EQ(Add(alias, "example.com"), 0);
  ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser("bob", "example.com"), true), 0);
  std::string before = ReadFileText(UserDat());

  std::FILE* out = std::tmpfile();
  ASSERT_EQ(CompactTable(tables_.system(), Table::kUser, out), 0);
  std::rewind(out);
  char text[256] = {};
  size_t n = std::fread(text, 1, sizeof text - 1, out);
  std::fclose(out);
  EXPECT_EQ(std::string(text, n),
            "Compacting datafile: " + tables_.config() + "/user.dat\n...\n\n");
  EXPECT_EQ(ReadFileText(UserDat()).size(), 3 * 1501u);
  EXPECT_EQ(ReadIndexEntries(UserIdx()), (Entries{{"ann", 0}, {"cyd", 1501}, {"dan", 3002}}));
  EXPECT_EQ(ReadFileText(UserDat()).substr(1501, 1501), before.substr(2 * 1501, 1501));
  EXPECT_NE(access(tables_.File("user.da$").c_str(), F_OK), 0);
  EXPECT_NE(access(tables_.File("user.id$").c_str(), F_OK), 0);
  for (const char* alias : {"ann", "cyd", "dan"}) EXPECT_EQ(FoundDomain(alias, ""), "example.com");

  // Rebuild on the uncompacted files makes the deleted user visible again.
  WriteFileText(UserDat(), before);
  ASSERT_EQ(RebuildIndex(tables_.system(), Table::kUser, nullptr), 0);
  EXPECT_EQ(FoundDomain("bob", ""), "example.com");
  EXPECT_EQ(ReadIndexEntries(UserIdx()),
            (Entries{{"ann", 0}, {"bob", 1501}, {"cyd", 3002}, {"dan", 4503}}));
}

// ---- A compaction killed at each of its steps --------------------------------------------

CompactionStep g_kill_at = CompactionStep::kFinished;

void KillAtChosenStep(CompactionStep step) {
  if (step == g_kill_at) kill(getpid(), SIGKILL);
}

TEST_F(RecordStoreTest, CompactionKilledAtAnyStepLeavesEveryRecordAsBeforeOrAsAfter) {
  const CompactionStep steps[] = {
      CompactionStep::kBuilding,     CompactionStep::kReplacementsWritten,
      CompactionStep::kSwapDecided,  CompactionStep::kIndexReplaced,
      CompactionStep::kDataReplaced, CompactionStep::kFinished,
  };
  std::vector<std::string> live, gone;
  for (int i = 0; i < 12; ++i) {
    std::string alias = "user" + std::to_string((i * 7) % 12);
    (i % 3 == 1 ? gone : live).push_back(alias);
  }
  for (CompactionStep step : steps) {
    SCOPED_TRACE(static_cast<int>(step));
    for (const char* name : {"user.dat", "user.idx", "user.cmp", "user.da$", "user.id$"})
      unlink(tables_.File(name).c_str());
    // Deleted records between the others, so that compaction moves every later record.
    for (int i = 0; i < 12; ++i) {
      std::string alias = "user" + std::to_string((i * 7) % 12);
      USERSTRUCT u = MakeUser(alias, "example.com", "pw-" + alias);
      ASSERT_EQ(AddRecord(tables_.system(), &u), 0);
    }
    for (const std::string& alias : gone)
      ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser(alias, "example.com"), true), 0);
    const std::string old_data = ReadFileText(UserDat());
    const std::string old_index = ReadFileText(UserIdx());

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      g_kill_at = step;
      SetCompactionStepHook(&KillAtChosenStep);
      CompactTable(tables_.system(), Table::kUser, nullptr);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    // The first operation settles what the compaction left.
    for (const std::string& alias : live) {
      USERSTRUCT u;
      ASSERT_EQ(FindRecord(tables_.system(), alias, "", &u), 0) << alias;
      EXPECT_EQ(FieldText(u.Password), "pw-" + alias);
    }
    for (const std::string& alias : gone) EXPECT_EQ(FoundDomain(alias, ""), "") << alias;
    for (const char* name : {"user.cmp", "user.cmp.new", "user.da$", "user.id$"})
      EXPECT_NE(access(tables_.File(name).c_str(), F_OK), 0) << name;
    // The pair is wholly the old one or wholly the new one; every entry reaches its own record.
    const std::string data = ReadFileText(UserDat());
    if (step < CompactionStep::kSwapDecided) {
      EXPECT_EQ(data, old_data);
      EXPECT_EQ(ReadFileText(UserIdx()), old_index);
    } else {
      EXPECT_EQ(data.size(), live.size() * sizeof(USERSTRUCT));
    }
    for (const auto& [key, offset] : ReadIndexEntries(UserIdx())) {
      ASSERT_LE(offset + sizeof(USERSTRUCT), data.size()) << key;
      EXPECT_EQ(FieldText(data.data() + offset, 128), key);
    }
  }
}

TEST_F(RecordStoreTest, ReorganisationSkipsTablesItCannotOpen) {
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(CompactTable(tables_.system(), Table::kLists, out), -1);
  EXPECT_EQ(RebuildIndex(tables_.system(), Table::kLists, out), -1);
  ASSERT_EQ(Add("ann", "example.com"), 0);
  ASSERT_EQ(unlink(UserIdx().c_str()), 0);
  EXPECT_EQ(CompactTable(tables_.system(), Table::kUser, out), -1);  // no index to follow
  EXPECT_EQ(std::ftell(out), 0);                                     // nothing printed
  std::fclose(out);
  EXPECT_EQ(ReadFileText(UserDat()).size(), 1501u);
  EXPECT_NE(access(tables_.File("user.da$").c_str(), F_OK), 0);
}

TEST_F(RecordStoreTest, CompactTableDropsEntriesThatReachNoRecord) {
  ASSERT_EQ(Add("ann", "example.com"), 0);
  ASSERT_EQ(Add("bob", "example.com"), 0);
  ASSERT_TRUE(IndexInsert("ghost", 1501 * 9, UserIdx()));
  ASSERT_EQ(CompactTable(tables_.system(), Table::kUser, nullptr), 0);
  EXPECT_EQ(ReadIndexEntries(UserIdx()), (Entries{{"ann", 0}, {"bob", 1501}}));
}

// Rebuilding must give the same bytes as inserting the records one by one in file order, also
// for many equal keys, whose order the binary search decides.
TEST_F(RecordStoreTest, RebuildGivesTheBytesOfSequentialInserts) {
  std::mt19937 rng(7);
  for (int i = 0; i < 1500; ++i) {
    std::string alias(1, static_cast<char>('a' + rng() % 6));
    if (rng() % 3 == 0) alias += static_cast<char>('A' + rng() % 3);
    ASSERT_EQ(Add(alias, "d" + std::to_string(i) + ".example.com"), 0);
  }
  std::string built_by_adds = ReadFileText(UserIdx());
  ASSERT_EQ(built_by_adds.size(), 1500 * 36u);
  std::FILE* out = std::tmpfile();
  ASSERT_EQ(RebuildIndex(tables_.system(), Table::kUser, out), 0);
  EXPECT_EQ(std::ftell(out),
            static_cast<long>(
                std::string("Rebuilding indexfile: " + tables_.config() + "/user.idx\n").size() +
                1500 + 1500 / 51 + 2));
  std::fclose(out);
  EXPECT_EQ(ReadFileText(UserIdx()), built_by_adds);
}

TEST_F(RecordStoreTest, CompactFileKeepsNonEmptyRecordsInOrder) {
  std::string path = tables_.File("list.mls");
  std::string a(256, 'a'), b(256, '\0'), c(256, 'c');
  b[5] = 'x';  // first byte zero: empty, whatever follows
  WriteFileText(path, a + b + c + "torn");
  ASSERT_EQ(CompactFile(path, 256), 0);
  EXPECT_EQ(ReadFileText(path), a + c);
  EXPECT_NE(access((path.substr(0, path.size() - 1) + "$").c_str(), F_OK), 0);
  WriteFileText(path, b);
  ASSERT_EQ(CompactFile(path, 256), 0);
  EXPECT_EQ(ReadFileText(path), "");
  EXPECT_EQ(CompactFile(tables_.File("missing.mls"), 256), -1);
}

TEST_F(RecordStoreTest, CompactFileLeavesTheOldFileWhenTheNewCannotBeWritten) {
  std::string path = tables_.File("list.mls");
  WriteFileText(path, std::string(256, 'a'));
  ASSERT_EQ(mkdir((path.substr(0, path.size() - 1) + "$").c_str(), 0755),
            0);  // blocks the new file
  EXPECT_EQ(CompactFile(path, 256), -1);
  EXPECT_EQ(ReadFileText(path), std::string(256, 'a'));
}

// Links planted at the predictable replacement names are removed, never written through; a
// member file that is itself a link is not compacted.
TEST_F(RecordStoreTest, CompactionNeverWritesThroughPlantedLinks) {
  std::string victim = tables_.File("victim.txt");
  WriteFileText(victim, "precious\n");
  std::string path = tables_.File("list.mls");
  WriteFileText(path, std::string(256, 'a') + std::string(256, '\0'));
  ASSERT_EQ(symlink(victim.c_str(), tables_.File("list.ml$").c_str()), 0);
  ASSERT_EQ(CompactFile(path, 256), 0);
  EXPECT_EQ(ReadFileText(path), std::string(256, 'a'));
  ASSERT_EQ(symlink(path.c_str(), tables_.File("other.mls").c_str()), 0);
  EXPECT_EQ(CompactFile(tables_.File("other.mls"), 256), -1);

  ASSERT_EQ(Add("ann", "example.test"), 0);
  for (const char* name : {"user.id$", "user.da$"})
    ASSERT_EQ(symlink(victim.c_str(), tables_.File(name).c_str()), 0);
  ASSERT_EQ(CompactTable(tables_.system(), Table::kUser, nullptr), 0);
  ASSERT_EQ(symlink(victim.c_str(), tables_.File("user.id$").c_str()), 0);
  ASSERT_EQ(RebuildIndex(tables_.system(), Table::kUser, nullptr), 0);
  EXPECT_EQ(ReadFileText(victim), "precious\n");
}

}  // namespace
}  // namespace qv
