#include "mail/lists.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/accounts.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/test_env.h"
#include "mail/tests/list_env_util.h"

namespace qv::lists {
namespace {

using mail::RecipientText;
using mail::ResolveMember;
using qv::testing::ReadFileText;
using qv::testing::WriteFileText;
using testing::ListEnv;

// ---- Command lines ----------------------------------------------------------------------

struct CommandCase {
  const char* line;
  ListCommand command;
  const char* list;
  const char* member;
  const char* name;
};

TEST(ParseCommandLineTest, KeywordsArgumentsAndTheirOrder) {
  const CommandCase cases[] = {
      {"unsubscribe staff@example.com", ListCommand::kLeave, "staff@example.com", "", ""},
      {"LEAVE staff@example.com", ListCommand::kLeave, "staff@example.com", "", ""},
      {"Subscribe staff@example.com", ListCommand::kJoin, "staff@example.com", "", ""},
      {"join staff@example.com", ListCommand::kJoin, "staff@example.com", "", ""},
      // A keyword counts anywhere in the line, also inside a word.
      {"Could you help me?", ListCommand::kHelp, "me?", "", ""},
      {"Helpful", ListCommand::kHelp, "", "", ""},
      {"rejoin staff@example.com", ListCommand::kJoin, "staff@example.com", "", ""},
      // The table's order decides, not the position in the line.
      {"LISTS please, and subscribe staff@example.com", ListCommand::kJoin, "staff@example.com", "",
       ""},
      {"review staff@example.com", ListCommand::kReview, "staff@example.com", "", ""},
      {"RECIPIENTS staff@example.com", ListCommand::kReview, "staff@example.com", "", ""},
      {"which", ListCommand::kWhich, "", "", ""},
      {"lists", ListCommand::kLists, "", "", ""},
      // "SUBSCRIBE " at the end of "UNSUBSCRIBE " is not a join ...
      {"UNSUBSCRIBE staff@example.com", ListCommand::kLeave, "staff@example.com", "", ""},
      // ... while a later, separate one is.
      {"unsubscribe a@example.com then subscribe b@example.com", ListCommand::kJoin,
       "b@example.com", "", ""},
      // Join and leave need their blank; the others do not.
      {"subscribe", ListCommand::kNone, "", "", ""},
      {"unsubscribe", ListCommand::kNone, "", "", ""},
      {"joined", ListCommand::kNone, "", "", ""},
      {"Nothing to see here", ListCommand::kNone, "", "", ""},
      {"", ListCommand::kNone, "", "", ""},
      // Member address and display name after commas, blanks around them dropped.
      {"join   staff@example.com ,  ann@example.org  ,  Ann Smith  , more", ListCommand::kJoin,
       "staff@example.com", "ann@example.org", "Ann Smith"},
      {"subscribe staff@example.com,ann@example.org", ListCommand::kJoin, "staff@example.com",
       "ann@example.org", ""},
      {"leave staff@example.com, ann@example.org", ListCommand::kLeave, "staff@example.com",
       "ann@example.org", ""},
      {"join ,ann@example.org", ListCommand::kJoin, "", "ann@example.org", ""},
      // The argument starts after the word holding the keyword.
      {"REVIEWS staff@example.com", ListCommand::kReview, "staff@example.com", "", ""},
      {"help\ttab", ListCommand::kHelp, "", "", ""},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.line);
    ParsedCommand p = ParseCommandLine(c.line);
    EXPECT_EQ(p.command, c.command);
    EXPECT_EQ(p.list_address, c.list);
    EXPECT_EQ(p.member, c.member);
    EXPECT_EQ(p.name, c.name);
  }
}

TEST(ParseCommandLineTest, ArgumentsAreCutToTheirFields) {
  std::string huge(5000, 'x');
  ParsedCommand p = ParseCommandLine("join " + huge + "," + huge + "," + huge);
  EXPECT_EQ(p.command, ListCommand::kJoin);
  EXPECT_EQ(p.list_address.size(), 127u);
  EXPECT_EQ(p.member.size(), 127u);
  EXPECT_EQ(p.name.size(), 127u);
  // An LF inside a line ends an argument.
  p = ParseCommandLine(std::string("join a@b\nc,d", 12));
  EXPECT_EQ(p.list_address, "a@b");
}

TEST(CommandLinesTest, BodyOnlyCutAtTheEndLineAndWindow) {
  using Lines = std::vector<std::string>;
  // The Subject line is not read when a body follows an empty line.
  EXPECT_EQ(CommandLines("Subject: help\r\nFrom: a@b\r\n\r\njoin x@y\r\n\r\n\r\nlists\r\n"),
            (Lines{"join x@y", "lists"}));
  // No empty line: everything is body.
  EXPECT_EQ(CommandLines("Subject: help\r\nwhich"), (Lines{"Subject: help", "which"}));
  // Text after an end line is not read.
  EXPECT_EQ(CommandLines("\r\n\r\nhelp\r\n.\r\nlists\r\n"), (Lines{"help"}));
  // A line runs to the next CR: LF alone does not end it, and leading LFs are skipped.
  EXPECT_EQ(CommandLines("\r\n\r\n\n\nhelp\nlists\r"), (Lines{"help\nlists"}));
  EXPECT_EQ(CommandLines(""), Lines{});
  // Only the first 2048 bytes count.
  std::string head = "\r\n\r\n" + std::string(2042, 'x') + "\r\nhelp\r\n";
  EXPECT_EQ(CommandLines(head), (Lines{std::string(2042, 'x')}));
}

// ---- The stored form ----------------------------------------------------------------------

TEST(StoredFormEncoderTest, EveryWayOfSplittingGivesTheSameText) {
  const std::string input = ".first\n..second\r\nthird\r.\n.\r\n\n.";
  const std::string stuffed = "..first\r\n...second\r\nthird\r.\r\n..\r\n\r\n..";
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    for (size_t cut2 = cut; cut2 <= input.size(); ++cut2) {
      StoredFormEncoder encoder(true);
      std::string out;
      encoder.Append(input.substr(0, cut), &out);
      encoder.Append(input.substr(cut, cut2 - cut), &out);
      encoder.Append(input.substr(cut2), &out);
      ASSERT_EQ(out, stuffed) << cut << " " << cut2;
    }
  }
  StoredFormEncoder plain(false);
  std::string out;
  plain.Append(".a\n.b\r\n", &out);
  EXPECT_EQ(out, ".a\r\n.b\r\n");
}

// ---- Fixtures -----------------------------------------------------------------------------

constexpr char kManager[] = "listserver@example.com";

class ListsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddUser("listserver", "example.com", kUserListManager);
    env_.AddUser("owner", "example.com");
    env_.AddUser("ann", "example.com");
    env_.AddUser("star", "*");
  }

  // A spool file holding `text`, as delivery hands it over.
  int Spool(const std::string& text) {
    std::string path = env_.root() + "/spool" + std::to_string(spools_++);
    WriteFileText(path, text);
    int fd = open(path.c_str(), O_RDONLY);
    fds_.push_back(fd);
    return fd;
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);
  }

  void Commands(const std::string& sender, const std::string& body) {
    ProcessListCommands(env_.service, sender, kManager,
                        Spool("From: " + sender + "\r\nSubject: x\r\n\r\n" + body));
  }

  ListEnv env_;
  int spools_ = 0;
  std::vector<int> fds_;
};

// ---- Join ---------------------------------------------------------------------------------

TEST_F(ListsTest, JoinAddsOnceAndLogs) {
  env_.AddList("staff", "example.com", kListAutoJoin | kListLog);
  Commands("bob@example.org", "subscribe staff@example.com\r\nJOIN staff@example.com\r\n");
  Commands("BOB@EXAMPLE.ORG", "join staff@example.com\r\n");
  EXPECT_EQ(env_.Members("staff"), std::vector<std::string>{"bob@example.org|"});
  EXPECT_TRUE(env_.deliveries.empty());
  const char* adding = "Adding mail address <bob@example.org> to mailing list 'staff@example.com'";
  EXPECT_EQ(env_.LogTexts(), std::vector<std::string>{adding});
  EXPECT_EQ(ReadFileText(env_.ListLogPath("staff")), std::string(adding) + "\r\n");
}

TEST_F(ListsTest, JoinOfASecondAddressWithAName) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  Commands("bob@example.org", "join staff@example.com, carol@example.net, Carol Jones\r\n");
  EXPECT_EQ(env_.Members("staff"), std::vector<std::string>{"carol@example.net|Carol Jones"});
}

TEST_F(ListsTest, DisplayNamesInQuotes) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  struct Case {
    const char* member;
    const char* name;
    const char* stored;
  } cases[] = {
      {"a1@example.org \"Ann One\"", "", "a1@example.org|Ann One"},
      {"a2@example.org 'Ann Two'", "", "a2@example.org|Ann Two"},
      {"\"Ann Three\" <a3@example.org>", "", "a3@example.org|Ann Three"},
      {"a4@example.org \"Ann Four\"", "Given", "a4@example.org|Given"},
      // An apostrophe without its pair is part of the address.
      {"o'brien@example.org", "", "o'brien@example.org|"},
  };
  for (const Case& c : cases) JoinList(env_.service, c.member, "staff@example.com", c.name);
  EXPECT_EQ(env_.Members("staff"),
            (std::vector<std::string>{"a1@example.org|Ann One", "a2@example.org|Ann Two",
                                      "a3@example.org|Ann Three", "a4@example.org|Given",
                                      "o'brien@example.org|"}));
}

TEST_F(ListsTest, InvalidAddressesAreRefusedAndReported) {
  env_.AddList("staff", "example.com", kListAutoJoin | kListLog);
  JoinList(env_.service, "nodomain", "staff@example.com", "");
  JoinList(env_.service, "@example.org", "staff@example.com", "");
  // A ";" or "!" would split or retag the recipient entry built from the address.
  JoinList(env_.service, "a;b@example.org", "staff@example.com", "");
  JoinList(env_.service, "a!b@example.org", "staff@example.com", "");
  EXPECT_TRUE(env_.Members("staff").empty());
  std::vector<std::string> log = env_.LogTexts();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0],
            "Cannot add mail address <nodomain@> to mailing list 'staff@example.com'; Invalid "
            "address");
  EXPECT_EQ(log[1],
            "Cannot add mail address <@example.org> to mailing list 'staff@example.com'; Invalid "
            "address");
  EXPECT_NE(ReadFileText(env_.ListLogPath("staff")).find("<nodomain@>"), std::string::npos);
}

TEST_F(ListsTest, ListsAreRefusedAsMembers) {
  env_.AddList("staff", "example.com", kListAutoJoin | kListLog);
  env_.AddList("club", "example.com", kListAutoJoin);
  Commands("bob@example.org",
           "join staff@example.com, staff@example.com\r\n"
           "join staff@example.com, CLUB@example.com\r\n"
           "join staff@example.com, ann@example.com\r\n");
  EXPECT_EQ(env_.Members("staff"), std::vector<std::string>{"ann@example.com|"});
  const std::string refused = "> to mailing list 'staff@example.com'; Address is a mailing list";
  EXPECT_EQ(env_.LogTexts(),
            (std::vector<std::string>{
                "Cannot add mail address <staff@example.com" + refused,
                "Cannot add mail address <CLUB@example.com" + refused,
                "Adding mail address <ann@example.com> to mailing list 'staff@example.com'"}));
  EXPECT_NE(ReadFileText(env_.ListLogPath("staff")).find("<CLUB@example.com" + refused),
            std::string::npos);
}

TEST_F(ListsTest, NoResponseMasksAreNeverAdded) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  CopyField(env_.system().NoResponse, "mailer-daemon@*;*@lists.example.net");
  JoinList(env_.service, "MAILER-DAEMON@example.org", "staff@example.com", "");
  JoinList(env_.service, "x@lists.example.net", "staff@example.com", "");
  JoinList(env_.service, "y@example.net", "staff@example.com", "");
  EXPECT_EQ(env_.Members("staff"), std::vector<std::string>{"y@example.net|"});
  EXPECT_EQ(env_.LogTexts().size(), 1u);
}

TEST_F(ListsTest, JoinByRequestAsksTheOwner) {
  env_.AddList("staff", "example.com", kListLog);  // no automatic join
  Commands("bob@example.org", "subscribe staff@example.com, \"Bob B\" <bob@example.net>\r\n");
  EXPECT_FALSE(access(env_.MembersPath("staff").c_str(), F_OK) == 0);
  ASSERT_EQ(env_.deliveries.size(), 1u);
  const auto& d = env_.deliveries[0];
  EXPECT_EQ(d.entry, "[U]owner@example.com");
  EXPECT_TRUE(d.local);
  EXPECT_FALSE(d.top_level);
  EXPECT_EQ(d.sender, "postmaster@example.com");
  EXPECT_EQ(d.text,
            "\r\nMessage from postmaster:\r\nThe user <bob@example.net> want to join mailing list "
            "'staff@example.com'\r\n");
  EXPECT_TRUE(d.replying);
  EXPECT_EQ(ReadFileText(env_.ListLogPath("staff")), "");
}

TEST_F(ListsTest, WelcomeResponderAnswersNewMembersOnly) {
  WriteFileText(env_.root() + "/welcome.txt", "Welcome!\n.\n");
  AUTOSTRUCT r{};
  CopyField(r.Name, "welcome");
  CopyField(r.TextFile, env_.root() + "/welcome.txt");
  ASSERT_EQ(AddRecord(env_.system(), &r), 0);
  LISTSTRUCT l = env_.AddList("staff", "example.com", kListAutoJoin | kListRespond);
  CopyField(l.Responder, "welcome");
  ASSERT_EQ(UpdateRecord(env_.system(), l, false), 0);
  Commands("ann@example.com", "join staff@example.com\r\njoin staff@example.com\r\n");
  std::vector<std::string> files = env_.Files("ann");
  ASSERT_EQ(files.size(), 1u);  // the second join changed nothing and sent nothing
  std::string reply = env_.OnlyMessage("ann");
  EXPECT_NE(reply.find("From: <owner@example.com>\r\n"), std::string::npos);
  EXPECT_NE(reply.find("Subject: Reply from owner@example.com\r\nAuto-Submitted: "
                       "auto-replied\r\n\r\nWelcome!\r\n..\r\n"),
            std::string::npos)
      << reply;
}

// ---- Leave --------------------------------------------------------------------------------

TEST_F(ListsTest, LeaveRemovesEveryRecordOfTheAddressAndNotifies) {
  env_.AddList("staff", "example.com", kListAutoJoin | kListLog);
  env_.WriteMembers("staff", {"ann@example.com|Ann", "bob@example.org|Bob", "ANN@example.com|A2"},
                    std::string(100, 'z'));  // a torn last record
  struct stat before {};
  ASSERT_EQ(stat(env_.MembersPath("staff").c_str(), &before), 0);
  Commands("ann@example.com", "please unsubscribe staff@example.com\r\n");
  EXPECT_EQ(env_.Members("staff"), std::vector<std::string>{"bob@example.org|Bob"});
  EXPECT_EQ(ReadFileText(env_.MembersPath("staff")).size(), 256u);
  // The new file was put in place by rename, not written over the old one.
  struct stat after {};
  ASSERT_EQ(stat(env_.MembersPath("staff").c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  const char* removing =
      "Removing mail address <ann@example.com> from mailing list 'staff@example.com'";
  EXPECT_EQ(env_.LogTexts(), (std::vector<std::string>{removing, removing}));
  ASSERT_EQ(env_.deliveries.size(), 1u);
  const auto& d = env_.deliveries[0];
  EXPECT_EQ(d.entry, "[U]ann@example.com");
  EXPECT_EQ(d.sender, kManager);
  EXPECT_EQ(d.text,
            "From: listserver@example.com\r\nTo: ann@example.com\r\nSubject: Removed from mailing "
            "list\r\n\r\nThe member <ann@example.com> has been removed from mailing list "
            "'staff@example.com'\r\n");
}

TEST_F(ListsTest, LeaveOfANonMemberStillNotifies) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  env_.WriteMembers("staff", {"bob@example.org|Bob"});
  Commands("stranger@example.net", "LEAVE staff@example.com\r\n");
  EXPECT_EQ(env_.Members("staff"), std::vector<std::string>{"bob@example.org|Bob"});
  ASSERT_EQ(env_.deliveries.size(), 1u);
  EXPECT_EQ(env_.deliveries[0].entry, "stranger@example.net");
  EXPECT_FALSE(env_.deliveries[0].local);
  EXPECT_TRUE(env_.LogTexts().empty());
}

TEST_F(ListsTest, LeaveKeepsTheOldFileWhenTheNewCannotBeWritten) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  env_.WriteMembers("staff", {"ann@example.com|Ann", "bob@example.org|Bob"});
  std::string old_bytes = ReadFileText(env_.MembersPath("staff"));
  // A folder where the replacement file would go makes its creation fail.
  std::string replacement = env_.MembersPath("staff");
  replacement.back() = '$';
  ASSERT_EQ(mkdir(replacement.c_str(), 0755), 0);
  LeaveList(env_.service, "ann@example.com", kManager, "staff@example.com");
  EXPECT_EQ(ReadFileText(env_.MembersPath("staff")), old_bytes);
  EXPECT_TRUE(env_.deliveries.empty());  // no notice of a removal that did not happen
  EXPECT_EQ(env_.LogTexts(),
            std::vector<std::string>{"Cannot remove mail address <ann@example.com> from mailing "
                                     "list 'staff@example.com'; Cannot write the members file"});
}

// Names another user may plant in the configuration folder are never followed: a link at the
// replacement's name (or one a crash left) is taken away, not written through; a link at the
// lock's name stops every change of the members file, with the failure logged and the link's
// target (here one that does not exist yet) untouched.
TEST_F(ListsTest, LinksPlantedBesideTheMembersFileAreNeverFollowed) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  std::string members = env_.MembersPath("staff");
  std::string replacement = members;
  replacement.back() = '$';
  std::string victim = env_.root() + "/victim", absent = env_.root() + "/absent";
  WriteFileText(victim, "precious\n");

  env_.WriteMembers("staff", {"ann@example.com|Ann", "bob@example.org|Bob"});
  ASSERT_EQ(symlink(victim.c_str(), replacement.c_str()), 0);
  LeaveList(env_.service, "ann@example.com", kManager, "staff@example.com");
  EXPECT_EQ(env_.Members("staff"), std::vector<std::string>{"bob@example.org|Bob"});
  EXPECT_EQ(ReadFileText(victim), "precious\n");
  struct stat st {};
  EXPECT_NE(lstat(replacement.c_str(), &st), 0);
  EXPECT_EQ(env_.deliveries.size(), 1u);

  std::string lock = LockPathFor(members);
  unlink(lock.c_str());
  ASSERT_EQ(symlink(absent.c_str(), lock.c_str()), 0);
  env_.deliveries.clear();
  LeaveList(env_.service, "bob@example.org", kManager, "staff@example.com");
  Commands("carl@example.org", "SUBSCRIBE staff@example.com\r\n");
  EXPECT_EQ(env_.Members("staff"), std::vector<std::string>{"bob@example.org|Bob"});
  EXPECT_TRUE(env_.deliveries.empty());
  EXPECT_NE(lstat(absent.c_str(), &st), 0);
  std::vector<std::string> log = env_.LogTexts();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2],
            "Cannot remove mail address <bob@example.org> from mailing list 'staff@example.com'; "
            "Cannot write the members file");
  EXPECT_EQ(log.back(),
            "Cannot add mail address <carl@example.org> to mailing list 'staff@example.com'; "
            "Cannot write the members file");
}

// A members file swapped for a link after the list was looked up (while another process held its
// lock) is not read through the link: nothing of the link's target reaches the list.
TEST_F(ListsTest, AMembersFileSwappedForALinkIsNotRead) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  env_.WriteMembers("other", {"ann@example.com|Ann", "secret@example.org|Secret"});
  std::string target = env_.MembersPath("other"), target_bytes = ReadFileText(target);
  env_.WriteMembers("staff", {"ann@example.com|Ann"});
  std::string members = env_.MembersPath("staff");
  int held = open(LockPathFor(members).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  std::thread leave(
      [&] { LeaveList(env_.service, "ann@example.com", kManager, "staff@example.com"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // waiting for the lock by now
  ASSERT_EQ(symlink(target.c_str(), (members + ".new").c_str()), 0);
  ASSERT_EQ(rename((members + ".new").c_str(), members.c_str()), 0);
  close(held);
  leave.join();
  struct stat st {};
  ASSERT_EQ(lstat(members.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFileText(target), target_bytes);
  EXPECT_TRUE(env_.deliveries.empty());
}

TEST_F(ListsTest, LeaveWithoutAMembersFileSendsNothing) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  LeaveList(env_.service, "ann@example.com", kManager, "staff@example.com");
  LeaveList(env_.service, "ann@example.com", kManager, "nolist@example.com");
  LeaveList(env_.service, "ann@example.com", kManager, "");
  EXPECT_TRUE(env_.deliveries.empty());
}

// ---- Concurrent changes ---------------------------------------------------------------------

TEST_F(ListsTest, ConcurrentJoinsAndLeavesLoseNoMember) {
  env_.AddList("staff", "example.com", kListAutoJoin);
  constexpr int kProcesses = 3;
  constexpr int kJoins = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      MailService quiet;
      quiet.log_prefix = "s";
      quiet.settings = env_.service.settings;
      quiet.divert = [](const mail::Recipient&, std::string_view, int, const DeliveryPolicy&) {};
      for (int i = 0; i < kJoins; ++i) {
        JoinList(quiet, "m" + std::to_string(p) + "x" + std::to_string(i) + "@example.org",
                 "staff@example.com", "");
        // Every process also rewrites the file by leaving with an address of its own.
        JoinList(quiet, "churn" + std::to_string(p) + "@example.org", "staff@example.com", "");
        LeaveList(quiet, "churn" + std::to_string(p) + "@example.org", kManager,
                  "staff@example.com");
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(env_.Members("staff").size(), static_cast<size_t>(kProcesses * kJoins));
}

// ---- Review, help and overviews -----------------------------------------------------------------

TEST_F(ListsTest, ReviewListsTheMembersToTheSender) {
  env_.AddList("staff", "example.com", kListAutoJoin | kListLog, "owner", "example.com",
               "All staff");
  env_.WriteMembers("staff", {"ann@example.com|Ann", ".dot@example.org|"});
  Commands("carol@example.net", "review staff@example.com, ann@example.com\r\n");
  ASSERT_EQ(env_.deliveries.size(), 1u);
  const auto& d = env_.deliveries[0];
  EXPECT_EQ(d.entry, "carol@example.net");  // the sender, not the member argument
  EXPECT_EQ(d.sender, kManager);
  EXPECT_EQ(d.text,
            "\r\nMembers of mailing list 'staff@example.com (All staff)':\r\n   ann@example.com "
            "(Ann)\r\n   .dot@example.org ()\r\n");
  const char* creating = "Creating list of mailing list members for 'carol@example.net'";
  EXPECT_EQ(env_.LogTexts(), std::vector<std::string>{creating});
  EXPECT_EQ(ReadFileText(env_.ListLogPath("staff")), std::string(creating) + "\r\n");
}

TEST_F(ListsTest, HiddenMembersAreShownToTheOwnerOnly) {
  env_.AddList("staff", "example.com", kListHidden);
  env_.WriteMembers("staff", {"ann@example.com|Ann"});
  ReviewList(env_.service, "staff@example.com", "carol@example.net", kManager);
  EXPECT_TRUE(env_.deliveries.empty());
  ReviewList(env_.service, "staff@example.com", "Owner@Example.com", kManager);
  ASSERT_EQ(env_.deliveries.size(), 1u);
  EXPECT_EQ(env_.deliveries[0].entry, "[U]owner@example.com");
}

TEST_F(ListsTest, ReviewWithoutMembersFileOrListSendsNothing) {
  env_.AddList("staff", "example.com", 0);
  ReviewList(env_.service, "staff@example.com", "carol@example.net", kManager);
  ReviewList(env_.service, "other@example.com", "carol@example.net", kManager);
  EXPECT_TRUE(env_.deliveries.empty());
  EXPECT_TRUE(env_.LogTexts().empty());
}

TEST_F(ListsTest, HelpSendsTheHelpFileInTheStoredForm) {
  // The file's name is found whatever its case; its lines end in LF only.
  WriteFileText(env_.config() + "/listhelp.txt", "Commands:\n.\n.join LIST\n\nEnd");
  Commands("carol@example.net", "I need some help with this.\r\n");
  ASSERT_EQ(env_.deliveries.size(), 1u);
  EXPECT_EQ(env_.deliveries[0].text, "\r\nCommands:\r\n..\r\n..join LIST\r\n\r\nEnd");
  EXPECT_EQ(env_.LogTexts(),
            std::vector<std::string>{"Creating mailing list help message for 'carol@example.net'"});
  // A help file with a header of its own keeps it.
  WriteFileText(env_.config() + "/listhelp.txt", "Subject: List help\r\n\r\nText\r\n");
  env_.deliveries.clear();
  SendListHelp(env_.service, "carol@example.net", kManager);
  ASSERT_EQ(env_.deliveries.size(), 1u);
  EXPECT_EQ(env_.deliveries[0].text, "Subject: List help\r\n\r\nText\r\n");
}

TEST_F(ListsTest, HelpWithoutTheFileSendsNothing) {
  Commands("carol@example.net", "help\r\n");
  EXPECT_TRUE(env_.deliveries.empty());
  EXPECT_TRUE(env_.LogTexts().empty());
}

TEST_F(ListsTest, WhichListsPrivateListsOfAMemberAndListsOnlyPublicOnes) {
  env_.AddList("public1", "example.com", kListPublic, "owner", "example.com", "First");
  env_.AddList("private", "example.com", 0, "owner", "example.com", "Secret");
  env_.AddList("apublic", "example.org", kListPublic, "owner", "example.com", "Other");
  env_.WriteMembers("private", {"carol@example.net|"});
  env_.WriteMembers("apublic", {"CAROL@example.net|"});
  Commands("carol@example.net", "which\r\nlists\r\n");
  ASSERT_EQ(env_.deliveries.size(), 2u);
  EXPECT_EQ(env_.deliveries[0].text,
            "\r\nMailing lists on server mail.example.com to which 'carol@example.net' has "
            "subscribed:\r\n   apublic@example.org (Other)\r\n   private@example.com (Secret)\r\n");
  EXPECT_EQ(env_.deliveries[1].text,
            "\r\nPublic mailing lists on server 'mail.example.com':\r\n   apublic@example.org "
            "(Other)\r\n   public1@example.com (First)\r\n");
  EXPECT_EQ(env_.LogTexts(),
            (std::vector<std::string>{
                "Creating list of joined mailing lists for 'carol@example.net'",
                "Creating list of public mailing lists on server 'mail.example.com'"}));
}

// ---- Who may send commands ------------------------------------------------------------------

TEST_F(ListsTest, SeveralCommandsRunInLineOrder) {
  env_.AddList("staff", "example.com", kListAutoJoin | kListPublic);
  Commands("bob@example.org",
           "join staff@example.com\r\nreview staff@example.com\r\nleave staff@example.com\r\n"
           "review staff@example.com\r\n");
  ASSERT_EQ(env_.deliveries.size(), 3u);
  EXPECT_NE(env_.deliveries[0].text.find("bob@example.org ()"), std::string::npos);
  EXPECT_NE(env_.deliveries[1].text.find("has been removed"), std::string::npos);
  EXPECT_EQ(env_.deliveries[2].text.find("bob@example.org"), std::string::npos);
}

TEST_F(ListsTest, MailFromListManagersIsNotReadForCommands) {
  env_.AddUser("other-manager", "example.org", kUserListManager);
  env_.AddList("staff", "example.com", kListAutoJoin);
  for (const char* sender : {"", "LISTSERVER@example.com", "other-manager@example.org"}) {
    Commands(sender, "join staff@example.com\r\nhelp\r\nlists\r\n");
  }
  EXPECT_TRUE(env_.deliveries.empty());
  EXPECT_FALSE(access(env_.MembersPath("staff").c_str(), F_OK) == 0);
  // Replies are marked while they are delivered, and only then.
  Commands("bob@example.org", "lists\r\n");
  ASSERT_EQ(env_.deliveries.size(), 1u);
  EXPECT_TRUE(env_.deliveries[0].replying);
  LISTSTRUCT staff = env_.AddList("board", "example.com", 0);
  env_.WriteMembers("board", {"ann@example.com|Ann"});
  DistributeToList(env_.service, staff, "bob@example.org", Spool("x"), true);
  ASSERT_EQ(env_.deliveries.size(), 2u);
  EXPECT_FALSE(env_.deliveries[1].replying);
}

// ---- Distribution ---------------------------------------------------------------------------

TEST_F(ListsTest, DistributionGoesToEveryMemberUnderTheOwner) {
  LISTSTRUCT l = env_.AddList("staff", "example.com", kListLog | kListCopyOwner);
  env_.WriteMembers("staff", {"ann@example.com|Ann", "star@any.example|", "bob@example.org|Bob",
                              "bad name@example.org|"});
  const std::string message = "Subject: hi\r\n\r\n..dotted\r\n";
  EXPECT_EQ(DistributeToList(env_.service, l, "bob@example.org", Spool(message), true), 0);
  ASSERT_EQ(env_.deliveries.size(), 4u);
  // Users as stored (a user whose Domain is "*" matches any domain), foreign members as stored.
  EXPECT_EQ(env_.deliveries[0].entry, "[U]ann@example.com");
  EXPECT_EQ(env_.deliveries[1].entry, "[U]star@any.example");
  EXPECT_EQ(env_.deliveries[2].entry, "bob@example.org");
  EXPECT_EQ(env_.deliveries[3].entry, "[U]owner@example.com");
  for (const auto& d : env_.deliveries) {
    EXPECT_EQ(d.sender, "owner@example.com");
    EXPECT_EQ(d.text, message);  // the message is not changed
    EXPECT_TRUE(d.top_level);
    EXPECT_FALSE(d.replying);
  }
  EXPECT_TRUE(env_.deliveries[0].local);
  EXPECT_FALSE(env_.deliveries[2].local);
  EXPECT_EQ(ReadFileText(env_.ListLogPath("staff")),
            "Preparing message from 'bob@example.org' for mailing list <staff@example.com>\r\n"
            "Sending message to mailing list member <ann@example.com>\r\n"
            "Sending message to mailing list member <star@any.example>\r\n"
            "Sending message to mailing list member <bob@example.org>\r\n"
            "Sending message to mailing list member <name@example.org>\r\n"
            "Sending message to mailing list owner <owner@example.com>\r\n");
  std::vector<std::string> log = env_.LogTexts();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "Preparing outgoing messages for mailing list <staff@example.com>");
  EXPECT_EQ(log[1],
            "Cannot send list mail to <bad name@example.org>; the address holds a blank, ';' or "
            "'!'");
}

TEST_F(ListsTest, DistributionSkipsListsAmongTheMembers) {
  LISTSTRUCT l = env_.AddList("staff", "example.com", kListLog);
  env_.AddList("club", "example.com", 0);
  // Written in by hand or before joins refused lists.
  env_.WriteMembers("staff", {"STAFF@example.com|", "ann@example.com|", "club@example.com|"});
  DistributeToList(env_.service, l, "bob@example.org", Spool("Subject: hi\r\n\r\nx\r\n"), true);
  ASSERT_EQ(env_.deliveries.size(), 1u);
  EXPECT_EQ(env_.deliveries[0].entry, "[U]ann@example.com");
  std::vector<std::string> log = env_.LogTexts();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1],
            "Skipping member <STAFF@example.com> of mailing list 'staff@example.com'; Address is a "
            "mailing list");
  EXPECT_EQ(log[2],
            "Skipping member <club@example.com> of mailing list 'staff@example.com'; Address is a "
            "mailing list");
}

TEST_F(ListsTest, ParallelDistributionDeliversEveryMemberOnce) {
  LISTSTRUCT l = env_.AddList("big", "example.com", kListCopyOwner);
  std::vector<std::string> lines;
  for (int i = 0; i < 300; ++i) lines.push_back("m" + std::to_string(i) + "@example.net|");
  env_.WriteMembers("big", lines);
  std::mutex mutex;
  std::map<std::string, int> seen;
  std::vector<std::string> order;
  MailService parallel;
  parallel.log_prefix = "s";
  parallel.parallel_deliveries = 8;
  parallel.settings = env_.service.settings;
  parallel.divert = [&](const mail::Recipient& recipient, std::string_view sender, int fd,
                        const DeliveryPolicy&) {
    std::string entry = RecipientText(recipient);
    std::string text = testing::ReadFd(fd);
    std::lock_guard<std::mutex> lock(mutex);
    ++seen[entry];
    order.emplace_back(entry);
    EXPECT_EQ(text, "shared spool");
    EXPECT_EQ(sender, "owner@example.com");
  };
  DistributeToList(parallel, l, "x@example.org", Spool("shared spool"), true);
  ASSERT_EQ(seen.size(), 301u);
  for (const auto& [entry, count] : seen) EXPECT_EQ(count, 1) << entry;
  // The owner's copy comes after every member's.
  EXPECT_EQ(order.back(), "[U]owner@example.com");
}

TEST_F(ListsTest, DistributionWithoutOwnerUsesTheSender) {
  LISTSTRUCT l = env_.AddList("staff", "example.com", kListCopyOwner, "", "");
  env_.WriteMembers("staff", {"ann@example.com|Ann"});
  DistributeToList(env_.service, l, "bob@example.org", Spool("x"), false);
  ASSERT_EQ(env_.deliveries.size(), 1u);  // no owner to copy
  EXPECT_EQ(env_.deliveries[0].sender, "bob@example.org");
  EXPECT_FALSE(env_.deliveries[0].top_level);
}

TEST_F(ListsTest, DistributionWithoutMembersFileSendsNothing) {
  LISTSTRUCT l = env_.AddList("staff", "example.com", kListCopyOwner | kListLog);
  DistributeToList(env_.service, l, "bob@example.org", Spool("x"), true);
  EXPECT_TRUE(env_.deliveries.empty());
  EXPECT_TRUE(env_.LogTexts().empty());
}

TEST_F(ListsTest, OnlyTheOwnerMaySendToAnOwnerOnlyList) {
  LISTSTRUCT l = env_.AddList("staff", "example.com", kListOwnerSends);
  env_.WriteMembers("staff", {"ann@example.com|Ann"});
  DistributeToList(env_.service, l, "bob@example.org", Spool("x"), true);
  DistributeToList(env_.service, l, "", Spool("x"), true);
  EXPECT_TRUE(env_.deliveries.empty());
  DistributeToList(env_.service, l, "OWNER@example.com", Spool("x"), true);
  EXPECT_EQ(env_.deliveries.size(), 1u);
}

// ---- Recipient entries ------------------------------------------------------------------------

TEST_F(ListsTest, RecipientEntries) {
  EXPECT_EQ(RecipientText(ResolveMember(env_.system(), "ANN", "example.com")),
            "[U]ann@example.com");
  EXPECT_EQ(RecipientText(ResolveMember(env_.system(), "ANN", "example.com", true)),
            "[U]ANN@example.com");
  EXPECT_EQ(RecipientText(ResolveMember(env_.system(), "star", "any.example")), "[U]star@*");
  mail::Recipient foreign =
      ResolveMember(env_.system(), "who", "example.net", true, "Who@Example.net");
  EXPECT_EQ(RecipientText(foreign), "Who@Example.net");
  EXPECT_FALSE(foreign.local());
  // Operating-system accounts of NTDomain, when NTUSER is set.
  SetSystemAccountSource([](const std::string& name, SystemAccount* account) {
    if (name != "sys") return false;
    *account = SystemAccount{"sys", "System User", {"mailusers"}};
    return true;
  });
  CopyField(env_.system().NTUser, "mailusers");
  CopyField(env_.system().NTDomain, "nt.example");
  EXPECT_EQ(RecipientText(ResolveMember(env_.system(), "sys", "nt.example")), "sys@nt.example");
  env_.system().Flags |= kSysNtUser;
  mail::Recipient nt = ResolveMember(env_.system(), "sys", "NT.example");
  EXPECT_EQ(RecipientText(nt), "[N]sys@NT.example");
  EXPECT_TRUE(nt.local());
  EXPECT_EQ(RecipientText(ResolveMember(env_.system(), "nobody", "nt.example")),
            "nobody@nt.example");
  SetSystemAccountSource(nullptr);
}

}  // namespace
}  // namespace qv::lists
