// qvuser as a real process against a temporary system root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/recordstore.h"
#include "common/testing/table_env.h"

namespace qv {
namespace {

using qv::testing::RunResult;
using qv::testing::ToolEnv;
using qv::testing::WriteFileText;

constexpr char kBanner[] = "Quorvane User Configuration Utility (Version 2.0)";

const std::string kUsage =
    "Usage:   qvuser ADD -a alias [-d domain] [-n name] [-p password]\n"
    "         qvuser ADD filename\n"
    "         qvuser SHOW -a alias [-d domain]\n"
    "         qvuser DELETE -a alias -d domain\n"
    "         qvuser -?\n\n"
    "Options: -a alias     The alias part of the mail address\n"
    "         -d domain    The domain part of the mail address\n"
    "         -n name      The full name of the user\n"
    "         -p password  The password\n"
    "         -?           This screen\n\n"
    "If the 'ADD filename' command is used, all user data must be specified\n"
    "in this file.\n";

class QvuserTest : public ::testing::Test {
 protected:
  RunResult Qvuser(const std::vector<std::string>& args) const {
    return env_.Run("qvuser", args, kBanner);
  }
  std::string DataFile() const { return env_.config() + "/user.dat"; }

  ToolEnv env_;
};

struct Case {
  std::vector<std::string> args;
  int code;
  std::string out;
};

TEST_F(QvuserTest, UsageAndArgumentErrors) {
  const Case cases[] = {
      {{}, 0, kUsage},
      {{"-?"}, 0, kUsage},
      {{"-?more", "ADD"}, 0, kUsage},
      {{"-a", "ann"}, 4, "Error: No command is given\n"},
      {{"frobnicate"}, 4, "Error: No command is given\n"},
      {{"SHOW"}, 4, "Error: No alias is given\n"},
      {{"ADD", "-d", "example.com"}, 4, "Error: No alias is given\n"},
      {{"DELETE", "-a", "ann"}, 4, "Error: No domain name is given\n"},
      {{"ADD", "-a", "ann", "-a", "bob"}, 3, "Error: Multiple values for -a\n"},
      {{"add", "-pone", "-ann", "-Ptwo"}, 3, "Error: Multiple values for -p\n"},
      {{"ADD", "-a"}, 4, "Error: No alias is given\n"},  // an absent value is empty
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r = Qvuser(c.args);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, c.out);
  }
  EXPECT_NE(access(DataFile().c_str(), F_OK), 0);  // nothing was written
}

TEST(QvuserInstallTest, NotInstalledWithoutAUsableConfigPath) {
  qv::testing::ScopedSystemRoot root;
  RunResult r = qv::testing::RunProgram(qv::testing::BinDir() + "/qvuser", {"SHOW", "-a", "ann"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("Error: The service is not installed\n"), std::string::npos);

  qv::testing::WriteControlKey("example.com", "");  // empty ConfigPath
  r = qv::testing::RunProgram(qv::testing::BinDir() + "/qvuser", {"SHOW", "-a", "ann"});
  EXPECT_EQ(r.code, 1);

  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kControlKey, "", &key), reg::kSuccess);
  reg::SetDword(&key, "ConfigPath", 7);  // not a text
  reg::CloseKey(&key);
  r = qv::testing::RunProgram(qv::testing::BinDir() + "/qvuser", {"SHOW", "-a", "ann"});
  EXPECT_EQ(r.code, 1);
  // The usage needs no installation.
  EXPECT_EQ(qv::testing::RunProgram(qv::testing::BinDir() + "/qvuser", {"-?"}).code, 0);
}

TEST_F(QvuserTest, AddShowDelete) {
  // Lower case, the alias right behind "-a", a full name of three words.
  RunResult r = Qvuser({"add", "-aann", "-n", "Ann", "Marie", "Lee", "-p", "pw"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
  USERSTRUCT u;
  ASSERT_EQ(FindRecord(env_.system(), "ann", "example.com", &u), 0);
  EXPECT_EQ(FieldText(u.Name), "Ann Marie Lee");
  EXPECT_EQ(FieldText(u.Password), "pw");
  EXPECT_EQ(FieldText(u.Mailbox), "ann");
  EXPECT_EQ(+u.Options, 0);

  r = Qvuser({"add", "-aann", "-n", "Ann", "Marie", "Lee"});
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.out, "Error: User ann@ already exists\n");  // the domain as entered
  r = Qvuser({"ADD", "-a", "ann", "-d", "EXAMPLE.COM"});
  EXPECT_EQ(r.out, "Error: User ann@EXAMPLE.COM already exists\n");

  // Options before the command word are ignored.
  EXPECT_EQ(Qvuser({"-a", "ignored", "SHOWING", "-a", "ann"}).code, 0);
  r = Qvuser({"-d", "example.org", "ADD", "-a", "bob", "-dexample.org"});
  EXPECT_EQ(r.code, 0);
  ASSERT_EQ(FindRecord(env_.system(), "bob", "example.org", &u), 0);

  r = Qvuser({"SHOW", "-a", "ANN"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "Alias:                          ann\n"
            "Domain:                         example.com\n"
            "Name:                           Ann Marie Lee\n"
            "Route to local mailbox:         ann\n");
  r = Qvuser({"SHOW", "-a", "ann", "-d", "example.org"});
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.out, "Error: User ann@example.org does not exist\n");

  r = Qvuser({"DELETE", "-a", "ann", "-d", "example.com"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(FindRecord(env_.system(), "ann", "", &u), 1);
  r = Qvuser({"DELETE", "-a", "ann", "-d", "example.com"});
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.out, "Error: Cannot delete user data from file '" + DataFile() + "'\n");
}

TEST_F(QvuserTest, ServiceFoldersAreRefusedAsMailboxes) {
  for (const char* alias : {"forward", "FORWARD", "Temp"}) {
    RunResult r = Qvuser({"ADD", "-a", alias, "-d", "example.com"});
    EXPECT_EQ(r.code, 5) << alias;
    EXPECT_EQ(r.out, std::string("Error: '") + alias +
                         "' is a folder of the mail services, not a mailbox\n");
  }
  WriteFileText(env_.tables().root() + "/users.txt",
                "forward;example.com\nann;example.com;;;temp\n");
  RunResult r = Qvuser({"ADD", env_.tables().root() + "/users.txt"});
  EXPECT_EQ(r.code, 5);
  EXPECT_NE(r.out.find("Attention: 2 user records"), std::string::npos) << r.out;
  USERSTRUCT u;
  EXPECT_NE(FindRecord(env_.system(), "forward", "", &u), 0);
  EXPECT_NE(FindRecord(env_.system(), "ann", "", &u), 0);
  EXPECT_EQ(Qvuser({"ADD", "-a", "forwarder"}).code, 0);
}

TEST_F(QvuserTest, ShowPrintsTheOptionLines) {
  USERSTRUCT u = qv::testing::MakeUser("cyd", "*", "", "cyd@far.net");
  u.Options =
      kUserRemote | kUserPopLookup | kUserAdmin | kUserListManager | kUserRespond | kUserJoinList;
  CopyField(u.Name, "Cyd");
  CopyField(u.PopAccount, "shared");
  CopyField(u.CopyIncoming, "in@x");
  CopyField(u.Responder, "away");
  CopyField(u.MailingList, "news");
  ASSERT_EQ(AddRecord(env_.system(), &u), 0);
  USERSTRUCT d = qv::testing::MakeUser("dan", "example.com");
  d.Options = kUserListManager;
  CopyField(d.CopyOutgoing, "out@x");
  CopyField(d.Responder, "not shown without its option");
  ASSERT_EQ(AddRecord(env_.system(), &d), 0);

  RunResult r = Qvuser({"SHOW", "-a", "cyd", "-d", "anything.net"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "Alias:                          cyd\n"
            "Domain:                         *\n"
            "Name:                           Cyd\n"
            "Options:                        Administrator Listmanager\n"
            "POP lookup on account:          shared\n"
            "Route to remote mail address:   cyd@far.net\n"
            "Copy of incomming mail to:      in@x\n"
            "Respond with:                   away\n"
            "Add originator to mailing list: news\n"
            "Note: A user without a password cannot log on.\n");
  r = Qvuser({"SHOW", "-adan"});
  EXPECT_EQ(r.out,
            "Alias:                          dan\n"
            "Domain:                         example.com\n"
            "Name:                           \n"
            "Options:                        Listmanager\n"
            "Route to local mailbox:         dan\n"
            "Copy of outgoing mail to:       out@x\n"
            "Note: A user without a password cannot log on.\n");
}

TEST_F(QvuserTest, AUserWithoutAPasswordIsAddedWithANote) {
  const std::string note = "Note: A user without a password cannot log on.\n";
  const Case cases[] = {
      {{"ADD", "-a", "amy", "-p", "pw"}, 0, ""},
      {{"ADD", "-a", "ben"}, 0, note},
      {{"ADD", "-a", "cat", "-p", ""}, 0, note},
      {{"ADD", "-a", "ben"}, 5, "Error: User ben@ already exists\n"},  // nothing added, no note
      {{"SHOW", "-a", "amy"},
       0,
       "Alias:                          amy\n"
       "Domain:                         example.com\n"
       "Name:                           \n"
       "Route to local mailbox:         amy\n"},
      {{"SHOW", "-a", "ben"},
       0,
       "Alias:                          ben\n"
       "Domain:                         example.com\n"
       "Name:                           \n"
       "Route to local mailbox:         ben\n" +
           note},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r = Qvuser(c.args);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, c.out);
  }
  USERSTRUCT u;
  ASSERT_EQ(FindRecord(env_.system(), "ben", "example.com", &u), 0);
  EXPECT_EQ(FieldText(u.Password), "");  // kept as given
}

TEST_F(QvuserTest, FileErrors) {
  RunResult r = Qvuser({"SHOW", "-a", "ann"});
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.out, "Error: Cannot get user data from file '" + DataFile() + "'\n");
  // A configuration directory that does not exist: the data file cannot be created.
  qv::testing::WriteControlKey("example.com", env_.config() + "/missing");
  r = Qvuser({"ADD", "-a", "ann"});
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.out, "Error: Cannot add new user to file '" + env_.config() + "/missing/user.dat'\n");
}

TEST_F(QvuserTest, ImportFromAFile) {
  std::string file = env_.tables().root() + "/users.txt";
  WriteFileText(file,
                "ann;example.com;Ann\r\nbob,example.org,Bob,pw,bob@far.net\r\nlast;example.com");
  RunResult r = Qvuser({"ADD", file, "-a", "ignored"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "..\n\nUser records from file '" + file + "' added successfully.\n");
  USERSTRUCT u;
  EXPECT_EQ(FindRecord(env_.system(), "bob", "", &u), 0);
  EXPECT_EQ(+u.Options, kUserRemote);
  EXPECT_EQ(FindRecord(env_.system(), "last", "", &u), 1);  // no line feed after the last line
  EXPECT_EQ(FindRecord(env_.system(), "ignored", "", &u), 1);

  WriteFileText(file, "ann;example.com\ncyd;example.com\nnodomain\n");
  r = Qvuser({"add", file});
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.out,
            "...\n\nAttention: 2 user records from file '" + file + "' could not be converted.\n");
  EXPECT_EQ(FindRecord(env_.system(), "cyd", "", &u), 0);

  r = Qvuser({"ADD", file + ".missing"});
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.out, "Error: Cannot read user records from file '" + file + ".missing'.\n");
}

// Two processes adding users to one table at the same time lose none.
TEST_F(QvuserTest, TwoConcurrentImportsLoseNoUser) {
  std::string files[2];
  for (int p = 0; p < 2; ++p) {
    files[p] = env_.tables().root() + "/import" + std::to_string(p) + ".txt";
    std::string text;
    for (int i = 0; i < 150; ++i)  // interleaved keys: each insert lands among the other's
      text += "u" + std::to_string((i * 61) % 150 * 2 + p) + ";example.com\n";
    WriteFileText(files[p], text);
  }
  RunResult results[2];
  std::thread a([&] { results[0] = Qvuser({"ADD", files[0]}); });
  std::thread b([&] { results[1] = Qvuser({"ADD", files[1]}); });
  a.join();
  b.join();
  EXPECT_EQ(results[0].code, 0) << results[0].out;
  EXPECT_EQ(results[1].code, 0) << results[1].out;
  EXPECT_EQ(qv::testing::ReadIndexEntries(env_.config() + "/user.idx").size(), 300u);
  USERSTRUCT u;
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(FindRecord(env_.system(), "u" + std::to_string(i), "example.com", &u), 0) << i;
}

}  // namespace
}  // namespace qv
