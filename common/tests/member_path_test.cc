// Member files of lists stay inside the configuration folder.
#include "common/member_path.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/maillog.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"

namespace qv {
namespace {

class MemberPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = tables_.config();
    char real[PATH_MAX];
    ASSERT_NE(::realpath(config_.c_str(), real), nullptr);
    real_ = real;
    ::mkdir((config_ + "/sub").c_str(), 0755);
    ::symlink("/etc/passwd", (config_ + "/out.mls").c_str());
    ::symlink("/etc", (config_ + "/etcdir").c_str());
    ::symlink(config_.c_str(), (tables_.root() + "/configlink").c_str());
  }
  qv::testing::ScopedTables tables_;
  std::string config_, real_;
};

TEST_F(MemberPathTest, HostileNamesAreRefused) {
  const std::string refused[] = {
      "",
      "../../etc/passwd",
      "../config/../../x.mls",
      "/etc/passwd",
      "/tmp/list.mls",
      config_,
      config_ + "/",
      config_ + "/..",
      config_ + "/../users.mls",
      config_ + "/sub/../../x.mls",
      config_ + "x/a.mls",  // a neighbour whose name begins alike
      "out.mls",            // a link inside that points out
      config_ + "/out.mls",
      "etcdir/passwd",  // a folder link on the way
      std::string("a\0b.mls", 7),
      std::string("team.mls\0/../../etc/passwd", 26),
  };
  for (const std::string& name : refused)
    EXPECT_FALSE(MemberFilePath(tables_.system(), name).ok()) << name;
}

TEST_F(MemberPathTest, NamesInsideGiveTheRealPath) {
  struct Case {
    std::string name, path;
  };
  const Case cases[] = {
      {"team.mls", real_ + "/team.mls"},
      {"./sub//team.mls", real_ + "/sub/team.mls"},
      {config_ + "/team.mls", real_ + "/team.mls"},
      {config_ + "/sub/../team.mls", real_ + "/team.mls"},
      {tables_.root() + "/configlink/team.mls", real_ + "/team.mls"},  // the folder by a link
  };
  for (const Case& c : cases) {
    Result<std::string> path = MemberFilePath(tables_.system(), c.name);
    ASSERT_TRUE(path.ok()) << c.name;
    EXPECT_EQ(*path, c.path) << c.name;
  }
  SYSTEMSTRUCT no_config = tables_.system();
  CopyField(no_config.ConfigPath, tables_.root() + "/missing");
  EXPECT_FALSE(MemberFilePath(no_config, "team.mls").ok());
}

// Every writer of list records and member files goes through the rule.
TEST_F(MemberPathTest, ListsAndMembersOutsideAreRefused) {
  const std::string outside = tables_.root() + "/outside.mls";
  LISTSTRUCT list{};
  CopyField(list.Name, "team");
  CopyField(list.Domain, "example.com");
  CopyField(list.FileName, outside);
  EXPECT_EQ(AddRecord(tables_.system(), &list), -1);
  CopyField(list.FileName, "team.mls");
  ASSERT_EQ(AddRecord(tables_.system(), &list), 0);
  CopyField(list.FileName, "../outside.mls");
  EXPECT_EQ(UpdateRecord(tables_.system(), list, false), -1);

  EXPECT_EQ(AddMember(tables_.system(), outside, "a@x.org", "A"), -1);
  EXPECT_EQ(AddMember(tables_.system(), config_ + "/out.mls", "a@x.org", "A"), -1);
  struct stat st {};
  EXPECT_NE(::lstat(outside.c_str(), &st), 0);
  EXPECT_NE(::lstat((outside + ".lock").c_str(), &st), 0);
  EXPECT_EQ(UpdateMember(tables_.system(), config_ + "/out.mls", "*", "", "", true), -1);
  LISTSTRUCT out{};
  CopyField(out.FileName, "/etc/passwd");
  EXPECT_EQ(ExpandMembers(tables_.system(), out), "");
  LISTSTRUCT stored{};
  ASSERT_EQ(FindRecord(tables_.system(), "team", "example.com", &stored), 0);
  EXPECT_EQ(FieldText(stored.FileName), "team.mls");  // the edit above was refused
  EXPECT_EQ(AddMember(tables_.system(), "team.mls", "a@x.org", "A"), 0);
  EXPECT_EQ(ExpandMembers(tables_.system(), stored), "250-A <a@x.org>\r\n");
}

// Lists stored before the rule are named in the log at start, one line each.
TEST_F(MemberPathTest, RefusedListsAreReported) {
  auto plant = [this](const char* name, const std::string& file) {
    LISTSTRUCT list{};
    CopyField(list.Name, name);
    CopyField(list.Domain, "example.com");
    CopyField(list.FileName, file);
    ASSERT_TRUE(InsertRecord(tables_.system(), Table::kLists, &list).ok());
  };
  plant("good", "good.mls");
  plant("none", "");
  plant("far", "/etc/passwd");
  plant("link", "out.mls");
  SYSTEMSTRUCT system = tables_.system();
  const std::string logs = tables_.root() + "/logs";
  ::mkdir(logs.c_str(), 0755);
  CopyField(system.LogPath, logs);
  system.LogLevel = 1;
  EXPECT_EQ(ReportRefusedMemberFiles(system, "s"), 2);
  CloseLogFiles();
  std::string text;
  if (DIR* d = ::opendir(logs.c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') text += qv::testing::ReadFileText(logs + "/" + e->d_name);
    ::closedir(d);
  }
  EXPECT_NE(text.find("List far@example.com: the member file /etc/passwd is not inside"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("List link@example.com"), std::string::npos) << text;
  EXPECT_EQ(text.find("good@"), std::string::npos) << text;
  EXPECT_EQ(text.find("none@"), std::string::npos) << text;
}

}  // namespace
}  // namespace qv
