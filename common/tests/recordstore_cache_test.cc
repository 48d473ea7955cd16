#include "common/recordstore_cache.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

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

// The files the setup writes: upper-case names, the first record at offset 0 with an index entry
// of 0, which sends the lookup to scan the data file.
TEST_F(RecordStoreTest, SetupFilesAreFoundWhateverTheCaseOfTheirNames) {
  USERSTRUCT listserver = MakeUser("listserver", "example.com", "", "listserver");
  listserver.Options = kUserListManager;
  WriteFileText(tables_.File("USER.DAT"), UserBytes(listserver));
  IndexEntry e{};
  std::memcpy(e.Key, "listserver", 10);
  WriteFileText(tables_.File("USER.IDX"), Bytes(&e, sizeof e));

  USERSTRUCT u;
  ASSERT_EQ(FindRecord(tables_.system(), "LISTSERVER", "example.com", &u), 0);
  EXPECT_EQ(+u.Options, kUserListManager);
  ASSERT_EQ(Add("ann", "example.com"), 0);
  EXPECT_EQ(ReadFileText(tables_.File("USER.DAT")).size(), 2 * 1501u);
  EXPECT_EQ(ReadIndexEntries(tables_.File("USER.IDX")),
            (Entries{{"ann", 1501}, {"listserver", 0}}));
  EXPECT_NE(access(UserDat().c_str(), F_OK), 0);  // no second pair of files
  EXPECT_EQ(FoundDomain("ann", ""), "example.com");
  EXPECT_EQ(FoundDomain("listserver", ""), "example.com");
  ASSERT_EQ(UpdateRecord(tables_.system(), MakeUser("listserver", "example.com"), true), 0);
  EXPECT_EQ(FoundDomain("listserver", ""), "");
}

// The configuration folder's listing is kept while the folder stands unchanged; whatever is made,
// renamed or removed in it afterwards is seen by the very next look.
TEST_F(RecordStoreTest, TablesMadeRenamedOrRemovedAfterAKeptListingAreSeenAtOnce) {
  const std::string dir = tables_.config();
  auto resolved = [&](const std::string& name) {
    std::string path = ResolveFileName(dir, name);
    return path.substr(path.find_last_of('/') + 1);
  };
  EXPECT_EQ(FoundDomain("ann", ""), "");
  // Long enough unchanged for its listing to be kept.
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  EXPECT_EQ(resolved("lists.dat"), "lists.dat");
  EXPECT_EQ(FoundDomain("ann", ""), "");
  USERSTRUCT found;
  EXPECT_EQ(FindRecord(tables_.system(), "ann", "", &found), -1);  // no user table yet
  ASSERT_EQ(Add("ann", "example.com"), 0);
  EXPECT_EQ(FoundDomain("ann", ""), "example.com");
  WriteFileText(tables_.File("LISTS.DAT"), "");
  EXPECT_EQ(resolved("lists.dat"), "LISTS.DAT");
  ASSERT_EQ(rename(tables_.File("LISTS.DAT").c_str(), tables_.File("Lists.Dat").c_str()), 0);
  EXPECT_EQ(resolved("lists.dat"), "Lists.Dat");
  ASSERT_EQ(unlink(tables_.File("Lists.Dat").c_str()), 0);
  EXPECT_EQ(resolved("lists.dat"), "lists.dat");
  ASSERT_EQ(unlink(UserDat().c_str()), 0);
  EXPECT_EQ(FindRecord(tables_.system(), "ann", "", &found), -1);
}

// Answers read once are given again while the table stands unchanged, and never after another
// process has changed it, not even in place (the files keep their size).
TEST_F(RecordStoreTest, AnswersAreNeverStaleAfterAnotherProcessChangesTheTable) {
  ASSERT_EQ(Add("ann", "example.com"), 0);
  ASSERT_EQ(Add("bob", "example.com"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  auto name_of = [&](const std::string& alias) {
    USERSTRUCT u;
    int found = FindRecord(tables_.system(), alias, "", &u);
    return found == 0 ? std::string(FieldText(u.Name)) : "(" + std::to_string(found) + ")";
  };
  auto in_child = [&](auto&& change) {
    pid_t pid = fork();
    if (pid == 0) _exit(change() == 0 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  for (int i = 0; i < 2; ++i) {  // the second time from what was kept
    EXPECT_EQ(name_of("ann"), "");
    EXPECT_EQ(name_of("carl"), "(1)");
  }
  ASSERT_EQ(in_child([&] {
              USERSTRUCT u = MakeUser("ann", "example.com");
              CopyField(u.Name, "Ann Renamed");
              return UpdateRecord(tables_.system(), u, false);
            }),
            0);
  EXPECT_EQ(ReadFileText(UserDat()).size(), 2 * sizeof(USERSTRUCT));
  EXPECT_EQ(name_of("ann"), "Ann Renamed");
  ASSERT_EQ(in_child([&] { return Add("carl", "example.com"); }), 0);
  EXPECT_EQ(name_of("carl"), "");
  ASSERT_EQ(in_child([&] {
              return UpdateRecord(tables_.system(), MakeUser("bob", "example.com"), true);
            }),
            0);
  EXPECT_EQ(name_of("bob"), "(1)");
}

// ---- The kept answers and the stamps they go by --------------------------------------------

namespace cache = recordstore_cache;

cache::FileStamp OldStamp(uint64_t inode, int64_t size) {
  cache::FileStamp s;
  s.exists = true;
  s.inode = inode;
  s.size = size;
  s.modified_s = s.changed_s = 1000;  // long settled
  return s;
}

TEST(KeptAnswerTest, GivenOnlyForTheStampTheyWereReadFrom) {
  TablePaths paths;
  paths.data = "/kept-answer-test/user.dat";
  const cache::TableStamp read{OldStamp(1, 1501), OldStamp(2, 36)};
  std::string record(8, 'r');
  cache::KeepAnswer(paths, read, cache::AnswerKey("ann", ""), record);
  cache::KeepAnswer(paths, read, cache::AnswerKey("bob", ""), {});

  struct Case {
    const char* what;
    cache::TableStamp stamp;
    const char* key;
    std::optional<bool> answer;
  } cases[] = {
      {"found", read, "ann", true},
      {"none", read, "bob", false},
      {"never asked", read, "cyd", std::nullopt},
      {"data changed", {OldStamp(1, 3002), OldStamp(2, 36)}, "ann", std::nullopt},
      {"index replaced", {OldStamp(1, 1501), OldStamp(3, 36)}, "ann", std::nullopt},
  };
  for (const Case& c : cases) {
    std::string out(8, '\0');
    EXPECT_EQ(cache::KeptAnswer(paths, c.stamp, cache::AnswerKey(c.key, ""), out), c.answer)
        << c.what;
    if (c.answer == true) {
      EXPECT_EQ(out, record) << c.what;
    }
  }

  // An answer read from files changed a moment ago is not kept: a later change could show the
  // same times.
  cache::TableStamp fresh = read;
  fresh.data.modified_s = fresh.data.changed_s = std::time(nullptr);
  cache::KeepAnswer(paths, fresh, cache::AnswerKey("ann", ""), record);
  std::string out(8, '\0');
  EXPECT_EQ(cache::KeptAnswer(paths, fresh, cache::AnswerKey("ann", ""), out), std::nullopt);
  EXPECT_TRUE(cache::Settled(read.data));
  EXPECT_FALSE(cache::Settled(fresh.data));
  EXPECT_TRUE(cache::Settled(cache::FileStamp{}));  // no file: nothing to change
}

TEST_F(RecordStoreTest, LookAtTableTellsMissingStampedAndUnsettledTables) {
  struct Case {
    std::vector<const char*> files;
    cache::TableState state;
  } cases[] = {
      {{}, cache::TableState::kMissing},
      {{"user.idx"}, cache::TableState::kMissing},
      {{"user.dat"}, cache::TableState::kStamped},
      {{"USER.DAT", "user.idx"}, cache::TableState::kStamped},
      {{"user.dat", "user.idx", "user.cmp"}, cache::TableState::kUnsettled},
      {{"user.cmp"}, cache::TableState::kUnsettled},
  };
  for (const Case& c : cases) {
    for (const char* name : {"user.dat", "USER.DAT", "user.idx", "user.cmp"})
      unlink(tables_.File(name).c_str());
    std::string names;
    for (const char* name : c.files) {
      WriteFileText(tables_.File(name), "x");
      names += std::string(name) + " ";
    }
    cache::TableLook look = cache::LookAtTable(GetTablePaths(tables_.system(), Table::kUser));
    EXPECT_EQ(look.state, c.state) << names;
    if (c.state == cache::TableState::kStamped) {
      EXPECT_TRUE(look.stamp.data.exists) << names;
      EXPECT_EQ(look.stamp.data.size, 1) << names;
    }
  }
}

}  // namespace
}  // namespace qv
