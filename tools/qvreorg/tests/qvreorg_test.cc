// qvreorg as a real process against a temporary system root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/recordstore.h"
#include "common/testing/table_env.h"

namespace qv {
namespace {

using Entries = std::vector<std::pair<std::string, int32_t>>;
using qv::testing::MakeUser;
using qv::testing::ReadFileText;
using qv::testing::ReadIndexEntries;
using qv::testing::RunResult;
using qv::testing::ToolEnv;

constexpr char kBanner[] = "Quorvane Database Reorganisation Utility (Version 2.0)";

const std::string kUsage =
    "Usage:   qvreorg <modes> [-r]\n\n"
    "Modes:   U    Users\n"
    "         L    Mailing lists\n"
    "         R    Auto responders\n"
    "         X    Executables\n"
    "         P    Remote POP accounts\n"
    "         S    Static routes\n"
    "         A    All databases\n\n"
    "Switch:  -r   Rebuild the index files\n\n"
    "Use one or more modes, to reorganize special databases or use\n"
    "the A mode to reorganize all.\n";

class QvreorgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* alias : {"ann", "bob", "cyd"}) {
      USERSTRUCT u = MakeUser(alias, "example.com");
      ASSERT_EQ(AddRecord(env_.system(), &u), 0);
    }
    ASSERT_EQ(UpdateRecord(env_.system(), MakeUser("bob", "example.com"), true), 0);
  }
  RunResult Qvreorg(const std::vector<std::string>& args) const {
    return env_.Run("qvreorg", args, kBanner);
  }
  std::string Path(const std::string& name) const { return env_.config() + "/" + name; }
  void AddAllOtherTables() {
    LISTSTRUCT l{};
    CopyField(l.Name, "news");
    ASSERT_EQ(AddRecord(env_.system(), &l), 0);
    EXECSTRUCT x{};
    CopyField(x.Name, "changepass");
    ASSERT_EQ(AddRecord(env_.system(), &x), 0);
    ROUTESTRUCT r{};
    CopyField(r.Masks, "*@a.com");
    CopyField(r.Destination, "relay");
    ASSERT_EQ(AddRecord(env_.system(), &r), 0);
    AUTOSTRUCT a{};
    CopyField(a.Name, "away");
    ASSERT_EQ(AddRecord(env_.system(), &a), 0);
    ACCOUNTSTRUCT p{};
    CopyField(p.Name, "pop");
    ASSERT_EQ(AddRecord(env_.system(), &p), 0);
  }

  ToolEnv env_;
};

TEST_F(QvreorgTest, UsageAndArgumentErrorsTouchNoTable) {
  std::string data = ReadFileText(Path("user.dat"));
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;
  } const cases[] = {
      {{}, 0, kUsage},
      {{"-?"}, 0, kUsage},
      {{"U1"}, 3, "Error: Unknown mode '1'\n"},
      {{"uq", "-r"}, 3, "Error: Unknown mode 'q'\n"},
      {{"U", "-x"}, 4, "Error: Invalid switch '-x'\n"},
      {{"U", "r"}, 4, "Error: Invalid switch 'r'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r = Qvreorg(c.args);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, c.out);
  }
  EXPECT_EQ(ReadFileText(Path("user.dat")), data);
  EXPECT_EQ(ReadIndexEntries(Path("user.idx")), (Entries{{"ann", 0}, {"cyd", 3002}}));
}

TEST_F(QvreorgTest, CompactingDropsTheDeletedUser) {
  RunResult r = Qvreorg({"u"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "Compacting datafile: " + Path("user.dat") + "\n..\n\n");
  EXPECT_EQ(ReadFileText(Path("user.dat")).size(), 2 * 1501u);
  EXPECT_EQ(ReadIndexEntries(Path("user.idx")), (Entries{{"ann", 0}, {"cyd", 1501}}));
  USERSTRUCT u;
  EXPECT_EQ(FindRecord(env_.system(), "cyd", "", &u), 0);
  EXPECT_EQ(FindRecord(env_.system(), "bob", "", &u), 1);
  EXPECT_NE(access(Path("user.da$").c_str(), F_OK), 0);
}

TEST_F(QvreorgTest, RebuildingBringsTheDeletedUserBack) {
  RunResult r = Qvreorg({"U", "-R", "ignored"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "Rebuilding indexfile: " + Path("user.idx") + "\n...\n\n");
  USERSTRUCT u;
  EXPECT_EQ(FindRecord(env_.system(), "bob", "", &u), 0);
  EXPECT_EQ(ReadIndexEntries(Path("user.idx")),
            (Entries{{"ann", 0}, {"bob", 1501}, {"cyd", 3002}}));
}

TEST_F(QvreorgTest, ModesInTheirFixedOrderEachOnce) {
  // "l" and "u" in lower case: users first, then lists; the list table does not exist yet and is
  // skipped without a message.
  RunResult r = Qvreorg({"lu"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "Compacting datafile: " + Path("user.dat") + "\n..\n\n");

  AddAllOtherTables();
  r = Qvreorg({"UA", "-r"});
  EXPECT_EQ(r.code, 0);
  std::string expected;
  for (const char* t : {"user", "lists", "responder", "commands", "accounts", "routes"})
    expected += "Rebuilding indexfile: " + Path(std::string(t) + ".idx") + "\n" +
                (std::string(t) == "user" ? ".." : ".") + "\n\n";
  EXPECT_EQ(r.out, expected);
}

TEST_F(QvreorgTest, UpperCaseSetupFilesKeepTheirNames) {
  ASSERT_EQ(rename(Path("user.dat").c_str(), Path("USER.DAT").c_str()), 0);
  ASSERT_EQ(rename(Path("user.idx").c_str(), Path("USER.IDX").c_str()), 0);
  RunResult r = Qvreorg({"U"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(ReadFileText(Path("USER.DAT")).size(), 2 * 1501u);
  EXPECT_NE(access(Path("user.dat").c_str(), F_OK), 0);
  EXPECT_NE(access(Path("USER.DA$").c_str(), F_OK), 0);
}

TEST(QvreorgInstallTest, NotInstalled) {
  qv::testing::ScopedSystemRoot root;
  RunResult r = qv::testing::RunProgram(qv::testing::BinDir() + "/qvreorg", {"A"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("Error: The service is not installed\n"), std::string::npos);
}

}  // namespace
}  // namespace qv
