// qvpass as a real process against a temporary system root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/recordstore.h"
#include "common/testing/table_env.h"

namespace qv {
namespace {

using qv::testing::MakeUser;
using qv::testing::RunResult;
using qv::testing::ToolEnv;

constexpr char kBanner[] = "Quorvane Password Utility (Version 2.0)";

const std::string kUsage =
    "Usage:   qvpass name oldpass newpass [newpass]\n"
    "         qvpass -?\n\n"
    "Options: name     The account name of the user\n"
    "         oldpass  The old password\n"
    "         newpass  The new password\n"
    "         -?       This screen\n\n"
    "To specify a empty password, enter \"\".\n";

class QvpassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Add("ann", "example.com", "Secret");
    Add("bob", "*.example.org", "first");
    Add("bob", "example.com", "second");
    Add("cyd", "example.com", "");
  }
  void Add(const std::string& alias, const std::string& domain, const std::string& password) {
    USERSTRUCT u = MakeUser(alias, domain, password);
    CopyField(u.Name, alias + " full name");
    CopyField(u.CopyIncoming, "copy@" + alias);
    ASSERT_EQ(AddRecord(env_.system(), &u), 0);
  }
  RunResult Qvpass(const std::vector<std::string>& args) const {
    return env_.Run("qvpass", args, kBanner);
  }
  std::string Password(const std::string& alias, const std::string& domain) {
    USERSTRUCT u;
    if (FindRecord(env_.system(), alias, domain, &u) != 0) return "<none>";
    return std::string(FieldText(u.Password));
  }

  ToolEnv env_;
};

struct Case {
  std::vector<std::string> args;
  int code;
  std::string out;
};

TEST_F(QvpassTest, RefusalsChangeNothing) {
  const std::string data_file = env_.config() + "/user.dat";
  std::string before = qv::testing::ReadFileText(data_file);
  const Case cases[] = {
      {{}, 0, kUsage},
      {{"-?"}, 0, kUsage},
      {{"-?", "ann", "Secret", "new"}, 0, kUsage},
      {{"ann"}, 2, "Error: Too few parameters\n"},
      {{"ann", "Secret", "new1", "new2"},
       2,
       "Error: The two entries for new password are not identical\n"},
      {{"ann", "Secret", std::string(81, 'p')},
       2,
       "Error: The new password is longer than 80 characters\n"},
      {{"", "Secret", "new"}, 3, "Error: No username is given\n"},
      {{"ann", "wrong", "new"}, 4, "Error: The old password is incorrect\n"},
      {{"ann", "", "new"}, 4, "Error: The old password is incorrect\n"},
      {{"nobody", "x", "new"}, 5, "Error: User nobody@ does not exist\n"},
      {{"ann@example.org", "Secret", "new"}, 5, "Error: User ann@example.org does not exist\n"},
      {{"cyd", "x", "new"}, 4, "Error: The old password is incorrect\n"},  // empty stored
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r = Qvpass(c.args);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, c.out);
  }
  EXPECT_EQ(qv::testing::ReadFileText(data_file), before);
}

TEST_F(QvpassTest, ChangesOnlyThePassword) {
  USERSTRUCT before;
  ASSERT_EQ(FindRecord(env_.system(), "ann", "", &before), 0);
  RunResult r = Qvpass({"ann", "sECRET", "'New Pass\"'", "'new pass\"'"});  // case-blind checks
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
  USERSTRUCT after;
  ASSERT_EQ(FindRecord(env_.system(), "ann", "", &after), 0);
  EXPECT_EQ(FieldText(after.Password), "New Pass");
  std::memcpy(after.Password, before.Password, sizeof after.Password);
  EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0);

  EXPECT_EQ(Qvpass({"ann@example.com", "new pass", std::string(80, 'p')}).code, 0);
  EXPECT_EQ(Password("ann", ""), std::string(80, 'p'));
}

TEST_F(QvpassTest, QuotesAndEmptyPasswords) {
  // Quotes at the start are dropped with those at the end.
  EXPECT_EQ(Qvpass({"ann", "Secret", "\"quoted\"\"'"}).code, 0);
  EXPECT_EQ(Password("ann", ""), "quoted");
  // A quote only at the end is kept.
  EXPECT_EQ(Qvpass({"ann", "quoted", "tail\""}).code, 0);
  EXPECT_EQ(Password("ann", ""), "tail\"");
  // Only name and old password: the password becomes empty, and the user cannot log on.
  EXPECT_EQ(Qvpass({"ann", "TAIL\""}).code, 0);
  EXPECT_EQ(Password("ann", ""), "");
  // A stored empty password is matched by nothing, not by "" either (as an empty argument or a
  // pair of quotes): a change sent by mail cannot give a password to a user without one.
  for (const char* alias : {"ann", "cyd"}) {
    for (const char* given : {"", "\"\"", "''"}) {
      RunResult r = Qvpass({alias, given, "now"});
      EXPECT_EQ(r.code, 4) << alias << " " << given;
      EXPECT_EQ(r.out, "Error: The old password is incorrect\n");
      EXPECT_EQ(Password(alias, ""), "") << alias << " " << given;
    }
  }
}

TEST_F(QvpassTest, NameWithoutDomainTakesTheFirstInIndexOrder) {
  EXPECT_EQ(Qvpass({"bob", "first", "changed"}).code, 0);
  EXPECT_EQ(Password("bob", "mail.example.org"), "changed");
  EXPECT_EQ(Password("bob", "example.com"), "second");
  EXPECT_EQ(Qvpass({"<bob@example.com>", "second", "other"}).code, 0);
  EXPECT_EQ(Password("bob", "example.com"), "other");
  EXPECT_EQ(Password("bob", "mail.example.org"), "changed");
}

TEST(QvpassInstallTest, FileAndInstallErrors) {
  qv::testing::ScopedSystemRoot root;
  qv::testing::RunResult r =
      qv::testing::RunProgram(qv::testing::BinDir() + "/qvpass", {"ann", "a", "b"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("Error: The service is not installed\n"), std::string::npos);
  qv::testing::TempDir dir;
  qv::testing::WriteControlKey("example.com", dir.path());
  r = qv::testing::RunProgram(qv::testing::BinDir() + "/qvpass", {"ann", "a", "b"});
  EXPECT_EQ(r.code, 5);
  EXPECT_NE(r.out.find("Error: Cannot get user data from file '" + dir.path() + "/user.dat'\n"),
            std::string::npos);
}

}  // namespace
}  // namespace qv
