// The POP3 conversation against a temporary user table and real mailbox folders.
#include "pop3/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/accounts.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "pop3/logon.h"
#include "pop3/pop3_texts.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

using testing::Pop3TestSystem;

// The plain text of a reply's message file.
std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    Result<PlainText> read =
        ReadPlainText(fd, true, buffer, sizeof buffer, static_cast<int64_t>(text.size()));
    if (!read.ok() || read->size == 0) break;
    text.append(buffer, read->size);
    if (read->ended) break;
  }
  return text;
}

// The columns give each message its own name, size and mark, whatever the names' lengths.
TEST(MessageListTest, ColumnsKeepEachMessagesFields) {
  MessageList list;
  const std::string long_name(300, 'x');
  ASSERT_TRUE(list.Add("2612071430150001.in", 10));
  ASSERT_TRUE(list.Add("a.in", 0));
  ASSERT_TRUE(list.Add(long_name + ".in", int64_t{5} << 32));
  ASSERT_EQ(list.size(), 3u);
  list.Trim();
  EXPECT_EQ(list.Name(0), "2612071430150001.in");
  EXPECT_EQ(list.Name(1), "a.in");
  EXPECT_EQ(list.Name(2), long_name + ".in");
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list.Name(i).data()[list.Name(i).size()], '\0');  // usable as a C string
  }
  EXPECT_EQ(list.Size(0), 10);
  EXPECT_EQ(list.Size(1), 0);
  EXPECT_EQ(list.Size(2), int64_t{5} << 32);

  list.MarkDeleted(1);
  EXPECT_FALSE(list.Deleted(0));
  EXPECT_TRUE(list.Deleted(1));
  EXPECT_FALSE(list.Deleted(2));
  POPMSGSTRUCT row = list[1];
  EXPECT_EQ(row.Deleted, 1);
  EXPECT_EQ(row.Size, 0);
  EXPECT_EQ(row.FileName, "a.in");
  list.UnmarkAll();
  EXPECT_FALSE(list.Deleted(1));

  list.Clear();
  EXPECT_TRUE(list.empty());
  ASSERT_TRUE(list.Add("b.in", 7));  // filled again from the start
  EXPECT_EQ(list.Name(0), "b.in");
  EXPECT_EQ(list.Size(0), 7);
  EXPECT_FALSE(list.Deleted(0));
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    sys_.AddUser("ann", "Secret", "ann");
    sys_.AddUser("bob", "pw", "bobbox");
    sys_.AddUser("nopw", "", "nopwbox");
    sys_.AddUser("far", "pw", "far@elsewhere.test", kUserRemote);
    sys_.AddUser("eve", "pw", "eve", 0, "*.branch.test");
  }

  // The reply to a line; an operating-system logon runs here, as the connection runs it on its
  // worker pool.
  std::string Say(Pop3Session& s, const std::string& line) { return Reply(s, line).text; }
  Pop3Reply Reply(Pop3Session& s, const std::string& line) {
    Pop3Reply reply = s.Dispatch(line + "\r\n");
    if (reply.code != kResultLogon) return reply;
    const LogonRequest& r = reply.logon;
    return s.FinishSystemLogon(SystemLogon(r.user, r.password, r.peer));
  }

  void Login(Pop3Session& s, const std::string& user = "ann", const std::string& pass = "Secret") {
    ASSERT_EQ(Say(s, "USER " + user), "+OK <" + user + ">\r\n");
    ASSERT_EQ(Say(s, "PASS " + pass), "+OK\r\n");
    ASSERT_EQ(s.state(), Pop3State::kTransaction);
  }

  // A three-message mailbox for ann; the names in listing order.
  std::vector<std::string> ThreeMessages() {
    sys_.AddMessage("ann", "Subject: one\r\n\r\nfirst");
    sys_.AddMessage("ann", "Subject: two\r\n\r\nsecond body");
    sys_.AddMessage("ann", "Subject: three\r\n\r\nthird body text");
    return sys_.MailboxFiles("ann");
  }

  Pop3TestSystem sys_;
};

TEST_F(SessionTest, CommandWordsArePrefixesInTableOrderAndAnyCase) {
  using namespace std::literals;
  struct Case {
    std::string_view line;
    const char* reply;
  } cases[] = {
      {"stat", kErrInvalidState},           // a command of state 2, in lower case
      {"STATUS", kErrInvalidState},         // taken as STAT
      {"TOPS 1 2", kErrInvalidState},       // taken as TOP
      {"NEWPASSWORD x", kErrInvalidState},  // NEWPASS
      {"XSTAT", kErrUnknownMessage},        // no command
      {"", kErrUnknownMessage},             // empty line
      {"PAS", kErrUnknownMessage},          // shorter than the word
      {"PASS x", kErrInvalidState},         // PASS before USER
      {"ST\0AT"sv, kErrUnknownMessage},
      {"STAT\0junk"sv, kErrInvalidState},  // a NUL ends the text
      {"QUI", kErrUnknownMessage},
  };
  for (const Case& c : cases) {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    EXPECT_EQ(s.Dispatch(c.line).text, c.reply) << c.line;
    EXPECT_EQ(s.state(), Pop3State::kAuthorization) << c.line;
  }
}

TEST_F(SessionTest, HeloAnswersWithHostAndPeerAndResetsTheState) {
  Pop3Session s(sys_.settings(), "192.0.2.7");
  EXPECT_EQ(Say(s, "USER ann"), "+OK <ann>\r\n");
  Pop3Reply r = s.Dispatch("helo there\r\n");
  EXPECT_EQ(r.code, kResultPositive);
  EXPECT_EQ(r.text, "+OK mail.example.test Hello 192.0.2.7\r\n");
  EXPECT_EQ(s.state(), Pop3State::kAuthorization);
  Login(s);
  EXPECT_EQ(Say(s, "HELO"), kErrInvalidState);
}

TEST_F(SessionTest, UserLineLengthLimits) {
  struct Case {
    std::string line;
    std::string reply;
  } cases[] = {
      {"USER", kErrInvalidUsername},
      {"USER ", "+OK <>\r\n"},  // an empty name is accepted
      {"USERX", "+OK <>\r\n"},
      {"USERXbob", "+OK <bob>\r\n"},
      {"USER " + std::string(128, 'a'), "+OK <" + std::string(128, 'a') + ">\r\n"},
      {"USER " + std::string(129, 'a'), kErrInvalidUsername},
      {"USER " + std::string(5000, 'a'), kErrInvalidUsername},
      {"user %s%n%s", "+OK <%s%n%s>\r\n"},
  };
  for (const Case& c : cases) {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    EXPECT_EQ(Say(s, c.line), c.reply) << c.line.substr(0, 20);
  }
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Say(s, "USER ann");
  EXPECT_EQ(Say(s, "USER bob"), kErrInvalidState);
}

TEST_F(SessionTest, Authentication) {
  struct Case {
    const char* user;
    const char* pass;
    std::string reply;
    Pop3State after;
  } cases[] = {
      {"ann", "Secret", "+OK\r\n", Pop3State::kTransaction},
      {"ann", "sECRET", "+OK\r\n", Pop3State::kTransaction},  // case-insensitive
      {"ann@example.test", "Secret", "+OK\r\n", Pop3State::kTransaction},
      {"\"Ann\" <ANN@example.test>", "Secret", "+OK\r\n", Pop3State::kTransaction},
      {"ann", "Secret2", kErrInvalidPassword, Pop3State::kUserGiven},
      {"ann", "", kErrInvalidPassword, Pop3State::kUserGiven},
      {"ann@other.test", "Secret", kErrInvalidUsername, Pop3State::kAuthorization},
      {"bob", "PW", "+OK\r\n", Pop3State::kTransaction},
      // A record without a password never logs on, whatever is given.
      {"nopw", "anything at all", kErrInvalidPassword, Pop3State::kUserGiven},
      {"nopw", "", kErrInvalidPassword, Pop3State::kUserGiven},
      {"nopw@example.test", "   ", kErrInvalidPassword, Pop3State::kUserGiven},
      {"far", "pw", kErrInvalidUsername, Pop3State::kAuthorization},  // routed away
      {"nobody", "pw", kErrInvalidUsername, Pop3State::kAuthorization},
      {"", "pw", kErrInvalidUsername, Pop3State::kAuthorization},
      {"eve@x.branch.test", "pw", "+OK\r\n", Pop3State::kTransaction},  // domain mask
      {"eve@branch.test", "pw", kErrInvalidUsername, Pop3State::kAuthorization},
  };
  for (const Case& c : cases) {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Say(s, std::string("USER ") + c.user);
    Pop3Reply reply = Reply(s, std::string("PASS ") + c.pass);
    EXPECT_EQ(reply.text, c.reply) << c.user << " / " << c.pass;
    EXPECT_EQ(s.state(), c.after) << c.user << " / " << c.pass;
    // Every refusal is answered late, the empty password's as any other.
    EXPECT_EQ(reply.delayed, c.after != Pop3State::kTransaction) << c.user << " / " << c.pass;
  }
  EXPECT_FALSE(std::filesystem::exists(sys_.MailboxPath("nopwbox")));
}

TEST_F(SessionTest, WrongPasswordMayBeFollowedByTheRightOne) {
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Say(s, "USER ann");
  EXPECT_EQ(Say(s, "PASS wrong"), kErrInvalidPassword);
  EXPECT_EQ(Say(s, "PASS    Secret"), "+OK\r\n");  // blanks after PASS are skipped
  EXPECT_EQ(s.state(), Pop3State::kTransaction);
}

TEST_F(SessionTest, MissingMailboxIsCreatedEmpty) {
  ASSERT_FALSE(std::filesystem::exists(sys_.MailboxPath("bobbox")));
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s, "bob", "pw");
  EXPECT_TRUE(std::filesystem::is_directory(sys_.MailboxPath("bobbox")));
  EXPECT_EQ(Say(s, "STAT"), "+OK 0 0\r\n");
  EXPECT_EQ(Say(s, "LIST"), "+OK 0 0\r\n.\r\n");
  EXPECT_EQ(Say(s, "UIDL"), "+OK 0 0\r\n.\r\n");
}

TEST_F(SessionTest, MailboxNameThatIsNoFolderNameIsRefused) {
  sys_.AddUser("dots", "x", "..");
  sys_.AddUser("slash", "x", "a/b");
  for (const char* user : {"dots", "slash"}) {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Say(s, std::string("USER ") + user);
    EXPECT_EQ(Say(s, "PASS x"), kErrCannotReadDirectory) << user;
    EXPECT_EQ(s.state(), Pop3State::kAuthorization);
  }
}

TEST_F(SessionTest, OnlyOrdinaryVisibleInFilesAreListed) {
  std::string kept = sys_.AddMessage("ann", "Subject: a\r\n\r\nkept");
  sys_.WriteRaw("ann", ".hidden.in", "x");
  sys_.WriteRaw("ann", "note.txt", "x");
  sys_.WriteRaw("ann", "message.out", "x");
  sys_.WriteRaw("ann", "message.inx", "x");
  std::filesystem::create_directory(sys_.MailboxPath("ann") + "/folder.in");
  std::filesystem::create_symlink(sys_.MailboxPath("ann") + "/" + kept,
                                  sys_.MailboxPath("ann") + "/link.in");
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  EXPECT_EQ(Say(s, "UIDL"),
            "+OK 1 " + std::to_string(s.record().Messages[0].Size) + "\r\n1 " + kept + "\r\n.\r\n");
}

std::time_t StandingClock() {
  return 1796999415;  // the clock stands: every message falls into one second
}
void NoWait() {}

TEST_F(SessionTest, NamesPastTheHundredthOfASecondAreListedAndRetrieved) {
  SetMailFileClockForTesting(StandingClock, NoWait);
  std::map<std::string, std::string> texts;  // file name -> text
  for (int i = 0; i < 103; ++i) {
    std::string text = "Subject: " + std::to_string(i) + "\r\n\r\nbody " + std::to_string(i);
    texts[sys_.AddMessage("ann", text)] = text;
  }
  SetMailFileClockForTesting(nullptr, nullptr);
  ASSERT_EQ(texts.size(), 103u);
  std::vector<std::string> past;  // the names after the two-digit ones, in order
  for (const auto& [name, text] : texts) {
    if (!std::isdigit(static_cast<unsigned char>(name[12]))) past.push_back(name);
  }
  ASSERT_EQ(past.size(), 3u);
  EXPECT_EQ(past[0].substr(12), "A0.in");
  EXPECT_EQ(past[2].substr(12), "A2.in");

  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  const auto& m = s.record().Messages;
  ASSERT_EQ(m.size(), 103u);
  std::string uidl = Say(s, "UIDL");
  for (size_t i = 0; i < m.size(); ++i) {
    ASSERT_EQ(texts.count(m[i].FileName), 1u) << m[i].FileName;
    std::string line = std::to_string(i + 1) + " " + m[i].FileName + "\r\n";
    EXPECT_NE(uidl.find("\n" + line), std::string::npos) << line;
    if (m[i].FileName != past[1]) continue;
    std::string n = std::to_string(i + 1);
    EXPECT_EQ(Say(s, "UIDL " + n), "+OK " + n + " " + past[1] + "\r\n");
    Pop3Reply r = s.Dispatch("RETR " + n);
    ASSERT_EQ(r.code, kResultMessage);
    EXPECT_EQ(ReadAll(r.file.get()), texts[past[1]]);
    r.file.Reset();
    EXPECT_EQ(Say(s, "DELE " + n), "+OK\r\n");
  }
  EXPECT_EQ(Say(s, "QUIT"), "+OK\r\n");
  std::vector<std::string> left = sys_.MailboxFiles("ann");
  EXPECT_EQ(left.size(), 102u);
  EXPECT_FALSE(std::binary_search(left.begin(), left.end(), past[1]));
}

// The listing of a settled, unchanged folder is reused by the next logon; any change to the
// folder's names makes the next logon read it again.
TEST_F(SessionTest, KeptListingOnlyWhileTheFolderIsUnchanged) {
  std::vector<std::string> names = ThreeMessages();
  const std::string folder = sys_.MailboxPath("ann");
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));  // the folder's times settle
  std::string uidl;
  {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Login(s);
    uidl = Say(s, "UIDL");
    EXPECT_EQ(Say(s, "QUIT"), "+OK\r\n");
  }
  // Grown in place (delivery never does that): no file is looked at while the folder is the same.
  for (const std::string& name : names) std::ofstream(folder + "/" + name, std::ios::app) << "more";
  {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Login(s);
    EXPECT_EQ(Say(s, "UIDL"), uidl);
    const MessageList& m = s.record().Messages;
    ASSERT_EQ(m.size(), 3u);
    for (size_t i = 0; i < m.size(); ++i) {
      EXPECT_EQ(
          m.Size(i) + 4,
          static_cast<int64_t>(std::filesystem::file_size(folder + "/" + std::string(m.Name(i)))));
    }
    EXPECT_EQ(Say(s, "DELE 1"), "+OK\r\n");
    EXPECT_EQ(Say(s, "QUIT"), "+OK\r\n");
  }
  // The removal changed the folder: read again, at once.
  sys_.AddMessage("ann", "Subject: four\r\n\r\nfourth");
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  std::vector<std::string> now = sys_.MailboxFiles("ann");
  ASSERT_EQ(now.size(), 3u);
  const MessageList& m = s.record().Messages;
  ASSERT_EQ(m.size(), 3u);
  for (size_t i = 0; i < m.size(); ++i) {
    EXPECT_TRUE(std::count(now.begin(), now.end(), std::string(m.Name(i))) == 1) << m.Name(i);
    EXPECT_EQ(m.Size(i), static_cast<int64_t>(
                             std::filesystem::file_size(folder + "/" + std::string(m.Name(i)))));
  }
}

TEST_F(SessionTest, DeleteMarksKeepNumbersAndRsetRestores) {
  std::vector<std::string> names = ThreeMessages();
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  const auto& m = s.record().Messages;
  ASSERT_EQ(m.size(), 3u);
  long long total = m[0].Size + m[1].Size + m[2].Size;
  EXPECT_EQ(Say(s, "STAT"), "+OK 3 " + std::to_string(total) + "\r\n");
  EXPECT_EQ(Say(s, "DELE 2"), "+OK\r\n");
  EXPECT_EQ(Say(s, "DELE 2"), kErrUnknownMessage);  // already marked
  EXPECT_EQ(Say(s, "STAT"), "+OK 2 " + std::to_string(total - m[1].Size) + "\r\n");
  EXPECT_EQ(Say(s, "LIST"), "+OK 2 " + std::to_string(total - m[1].Size) + "\r\n1 " +
                                std::to_string(m[0].Size) + "\r\n3 " + std::to_string(m[2].Size) +
                                "\r\n.\r\n");
  EXPECT_EQ(Say(s, "LIST 3"), "+OK 3 " + std::to_string(m[2].Size) + "\r\n");
  EXPECT_EQ(Say(s, "UIDL 3"), "+OK 3 " + m[2].FileName + "\r\n");
  EXPECT_EQ(Say(s, "LIST 2"), kErrUnknownMessage);
  EXPECT_EQ(Say(s, "RETR 2"), kErrUnknownMessage);
  EXPECT_EQ(Say(s, "TOP 2 1"), kErrUnknownMessage);
  EXPECT_EQ(Say(s, "RSET"), "+OK\r\n");
  EXPECT_EQ(Say(s, "STAT"), "+OK 3 " + std::to_string(total) + "\r\n");
  EXPECT_EQ(Say(s, "LIST 2"), "+OK 2 " + std::to_string(m[1].Size) + "\r\n");
}

TEST_F(SessionTest, MessageNumbersThatAreNotNumbers) {
  ThreeMessages();
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  for (const char* arg : {"", " ", "0", "-1", "+1", "4", "99", "99999999999", "4294967297", "1x",
                          "x1", "0x1", "1.0"}) {
    for (const char* verb : {"RETR ", "DELE ", "LIST ", "UIDL "}) {
      std::string line = std::string(verb) + arg;
      if (line.size() < 6 && (verb[0] == 'L' || verb[0] == 'U')) continue;  // full listings
      EXPECT_EQ(Say(s, line), kErrUnknownMessage) << line;
    }
  }
  EXPECT_EQ(Say(s, "STAT").substr(0, 6), "+OK 3 ");      // nothing was marked
  EXPECT_EQ(Say(s, "LIST   1").substr(0, 6), "+OK 1 ");  // blanks before the number
  EXPECT_EQ(Say(s, "RETR 1 extra").substr(0, 4), "+OK ");
}

TEST_F(SessionTest, RetrSendsThePlainTextAndCountsLast) {
  ThreeMessages();
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  EXPECT_EQ(Say(s, "LAST"), "+OK 0\r\n");
  Pop3Reply r = s.Dispatch("RETR 3\r\n");
  ASSERT_EQ(r.code, kResultMessage);
  EXPECT_EQ(r.text, "+OK " + std::to_string(s.record().Messages[2].Size) + " octets\r\n");
  ASSERT_TRUE(r.file.valid());
  std::string text = ReadAll(r.file.get());
  EXPECT_TRUE(text == "Subject: one\r\n\r\nfirst" || text == "Subject: two\r\n\r\nsecond body" ||
              text == "Subject: three\r\n\r\nthird body text")
      << text;
  EXPECT_EQ(Say(s, "LAST"), "+OK 3\r\n");
  s.Dispatch("RETR 1\r\n");
  EXPECT_EQ(Say(s, "LAST"), "+OK 3\r\n");
  s.Dispatch("TOP 2 0\r\n");  // TOP does not count
  EXPECT_EQ(Say(s, "LAST"), "+OK 3\r\n");
  EXPECT_EQ(Say(s, "RSET"), "+OK\r\n");
  EXPECT_EQ(Say(s, "LAST"), "+OK 0\r\n");
}

TEST_F(SessionTest, TheTextEndsAtTheFirstZeroByteAndNeedsNoTempFile) {
  sys_.AddMessage("ann", std::string("before\0after", 12));
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  Pop3Reply r = s.Dispatch("RETR 1");
  ASSERT_EQ(r.code, kResultMessage);
  EXPECT_EQ(ReadAll(r.file.get()), "before");
  EXPECT_EQ(r.text, "+OK 12 octets\r\n");  // the stored size, not the bytes that follow
  EXPECT_TRUE(sys_.TempFiles().empty());   // the copy has no name any more
}

TEST_F(SessionTest, MessageHeldOrGoneGivesGeneralFailure) {
  std::vector<std::string> names = ThreeMessages();
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  std::string path = sys_.MailboxPath("ann") + "/" + s.record().Messages[0].FileName;
  int holder = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Say(s, "RETR 1"), kErrGeneralFailure);
  EXPECT_EQ(Say(s, "TOP 1 1"), kErrGeneralFailure);
  EXPECT_EQ(Say(s, "LAST"), "+OK 0\r\n");
  close(holder);
  EXPECT_EQ(s.Dispatch("RETR 1").code, kResultMessage);
  unlink(path.c_str());
  EXPECT_EQ(Say(s, "RETR 1"), kErrGeneralFailure);
  EXPECT_EQ(s.state(), Pop3State::kTransaction);
}

TEST_F(SessionTest, TheMessageStaysHeldWhileItsFileIsOut) {
  ThreeMessages();
  Pop3Session s(sys_.settings(), "10.0.0.1"), t(sys_.settings(), "10.0.0.2");
  Login(s);
  Login(t);
  Pop3Reply held = s.Dispatch("RETR 2");
  ASSERT_EQ(held.code, kResultMessage);
  EXPECT_EQ(Say(t, "RETR 2"), kErrGeneralFailure);
  EXPECT_EQ(t.Dispatch("RETR 1").code, kResultMessage);
  held.file.Reset();  // the transfer ended
  EXPECT_EQ(t.Dispatch("TOP 2 1").code, kResultTop);
}

TEST_F(SessionTest, TopArguments) {
  sys_.AddMessage("ann", "A: 1\r\nB: 2\r\n\r\nl1\r\nl2\r\nl3\r\n");
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  struct Case {
    const char* line;
    int result;
    int lines;
  } cases[] = {
      {"TOP 1 2", kResultTop, 2},
      {"TOP 1", kResultTop, 0},
      {"TOP 1 -3", kResultTop, 0},
      {"TOP 1 x", kResultTop, 0},
      {"TOP 1 99999999999", kResultTop, 2147483647},
      {"TOP 1  2", kResultTop, 2},  // the count after the second blank
      {"TOP", kResultError, 0},
      {"TOP ", kResultError, 0},
      {"TOPX", kResultError, 0},
      {"TOP  1 2", kResultError, 0},  // empty number
      {"TOP 2 1", kResultError, 0},
      {"TOP 0 1", kResultError, 0},
      {"TOP -1 1", kResultError, 0},
      {"TOP 1x 1", kResultError, 0},
  };
  for (const Case& c : cases) {
    Pop3Reply r = s.Dispatch(c.line);
    EXPECT_EQ(r.code, c.result) << c.line;
    if (c.result == kResultTop) {
      EXPECT_EQ(r.text, "+OK\r\n");
      EXPECT_EQ(r.top_lines, c.lines) << c.line;
      EXPECT_TRUE(r.file.valid());
    } else {
      EXPECT_EQ(r.text, kErrUnknownMessage) << c.line;
    }
  }
}

TEST_F(SessionTest, QuitAppliesDeletionsOnlyFromTheTransactionState) {
  ThreeMessages();
  {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Login(s);
    for (const char* line : {"DELE 1", "DELE 2", "DELE 3"}) EXPECT_EQ(Say(s, line), "+OK\r\n");
    // The connection drops: the session goes away without QUIT.
  }
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 3u);
  {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Login(s);
    EXPECT_EQ(Say(s, "DELE 2"), "+OK\r\n");
    // Another session removed message 1 meanwhile; deleting it again is no failure.
    std::filesystem::remove(sys_.MailboxPath("ann") + "/" + s.record().Messages[0].FileName);
    EXPECT_EQ(Say(s, "DELE 1"), "+OK\r\n");
    std::string kept = s.record().Messages[2].FileName;
    EXPECT_EQ(Say(s, "QUIT"), "+OK\r\n");
    EXPECT_EQ(s.state(), Pop3State::kClosing);
    EXPECT_EQ(sys_.MailboxFiles("ann"), std::vector<std::string>{kept});
  }
  for (const char* user : {"", "ann"}) {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    if (*user) Say(s, std::string("USER ") + user);
    EXPECT_EQ(Say(s, "QUIT"), "+OK\r\n");
    EXPECT_EQ(s.state(), Pop3State::kClosing);
  }
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 1u);
}

TEST_F(SessionTest, FailedLogonsAreAnsweredLate) {
  // Every PASS that does not log on is delayed and logged; the number of tries stays free.
  struct Case {
    const char* user;
    const char* pass;
    std::string reply;
  } cases[] = {
      {"ann", "wrong", kErrInvalidPassword},
      {"far", "pw", kErrInvalidUsername},
      {"nobody", "x", kErrInvalidUsername},
  };
  for (const Case& c : cases) {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Say(s, std::string("USER ") + c.user);
    for (int attempt = 0; attempt < 3; ++attempt) {
      Pop3Reply r = Reply(s, std::string("PASS ") + c.pass);
      EXPECT_EQ(r.text, c.reply) << c.user;
      EXPECT_TRUE(r.delayed && r.failed_logon) << c.user;
      if (s.state() != Pop3State::kUserGiven) Say(s, std::string("USER ") + c.user);
    }
  }
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Say(s, "USER ann");
  Reply(s, "PASS wrong");
  Pop3Reply ok = Reply(s, "PASS secret");
  EXPECT_EQ(ok.text, "+OK\r\n");
  EXPECT_FALSE(ok.delayed || ok.failed_logon);
  // A refused NEWPASS is late too; a good one and other commands are not.
  EXPECT_TRUE(Reply(s, "NEWPASS").delayed);
  EXPECT_FALSE(Reply(s, "NEWPASS Fresh1").delayed);
  EXPECT_FALSE(Reply(s, "STAT").delayed);
  EXPECT_FALSE(Reply(s, "RETR 99").delayed);
  // PASS out of its state is no logon.
  Pop3Session t(sys_.settings(), "10.0.0.1");
  Pop3Reply early = Reply(t, "PASS x");
  EXPECT_EQ(early.text, kErrInvalidState);
  EXPECT_FALSE(early.delayed || early.failed_logon);
}

TEST_F(SessionTest, NewPassChangesTheStoredPassword) {
  {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Login(s);
    EXPECT_EQ(Say(s, "NEWPASS   Fresh1"), "+OK\r\n");
    EXPECT_EQ(s.state(), Pop3State::kTransaction);
  }
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Say(s, "USER ann");
  EXPECT_EQ(Say(s, "PASS Secret"), kErrInvalidPassword);
  EXPECT_EQ(Say(s, "PASS FRESH1"), "+OK\r\n");
}

TEST_F(SessionTest, NewPassRefusesWhatTheRecordCannotHold) {
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  EXPECT_EQ(Say(s, "NEWPASS"), kErrInvalidPassword);
  EXPECT_EQ(Say(s, "NEWPASS    "), kErrInvalidPassword);
  EXPECT_EQ(Say(s, "NEWPASS " + std::string(81, 'p')), kErrInvalidPassword);
  EXPECT_EQ(Say(s, "NEWPASS " + std::string(80, 'p')), "+OK\r\n");
  Pop3Session again(sys_.settings(), "10.0.0.1");
  Say(again, "USER ann");
  EXPECT_EQ(Say(again, "PASS " + std::string(80, 'P')), "+OK\r\n");
}

TEST_F(SessionTest, NewPassForAUserNoLongerInTheTableEndsTheLogon) {
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s, "bob", "pw");
  USERSTRUCT bob{};
  ASSERT_EQ(FindRecord(sys_.system(), "bob", "", &bob), 0);
  ASSERT_EQ(UpdateRecord(sys_.system(), bob, true), 0);
  EXPECT_EQ(Say(s, "NEWPASS x"), kErrInvalidUsername);
  EXPECT_EQ(s.state(), Pop3State::kAuthorization);
  EXPECT_EQ(Say(s, "STAT"), kErrInvalidState);
}

TEST_F(SessionTest, EveryTransactionCommandNeedsTheMailbox) {
  for (const char* line : {"STAT", "LIST", "RETR 1", "DELE 1", "NOOP", "LAST", "RSET", "UIDL",
                           "TOP 1 1", "NEWPASS x"}) {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    EXPECT_EQ(Say(s, line), kErrInvalidState) << line;
    Say(s, "USER ann");
    EXPECT_EQ(Say(s, line), kErrInvalidState) << line;
  }
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  EXPECT_EQ(Say(s, "USER bob"), kErrInvalidState);
  EXPECT_EQ(Say(s, "PASS x"), kErrInvalidState);
  EXPECT_EQ(Say(s, "NOOP"), "+OK\r\n");
}

TEST_F(SessionTest, OnlyTheFirstLineOfTheTextCounts) {
  ThreeMessages();
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s);
  EXPECT_EQ(s.Dispatch("STAT\r\nNOOP\r\n").text.substr(0, 6), "+OK 3 ");
  Pop3Session u(sys_.settings(), "10.0.0.1");
  EXPECT_EQ(u.Dispatch("USER ann\r\nPASS Secret\r\n").text, "+OK <ann>\r\n");
  EXPECT_EQ(u.state(), Pop3State::kUserGiven);
}

TEST(DispatchPop3Command, WithoutASessionNothingIsSent) {
  Pop3Reply reply;
  reply.text = "stale";
  EXPECT_EQ(DispatchPop3Command(nullptr, "STAT\r\n", 6, &reply), kResultNoSession);
  EXPECT_TRUE(reply.text.empty());
}

// ---- Operating-system accounts ------------------------------------------------------------

int g_logon_result = PAM_SUCCESS;
std::string g_logon_user, g_logon_password, g_logon_peer;

int FakeLogon(const std::string& user, const std::string& password, const std::string& peer) {
  g_logon_user = user;
  g_logon_password = password;
  g_logon_peer = peer;
  return g_logon_result;
}

bool FakeAccounts(const std::string& name, SystemAccount* account) {
  if (name != "carol" && name != "dave") return false;
  account->name = name;
  account->gecos = "Carol,,,";
  account->groups = {"users", name == "carol" ? "MailUsers" : "staff"};
  return true;
}

class SystemAccountTest : public SessionTest {
 protected:
  SystemAccountTest() {
    SetSystemLogonForTesting(FakeLogon);
    SetSystemAccountSource(FakeAccounts);
    sys_.system().Flags |= kSysNtUser;
    CopyField(sys_.system().NTUser, "mailusers");
    g_logon_result = PAM_SUCCESS;
  }
  ~SystemAccountTest() override {
    SetSystemLogonForTesting(nullptr);
    SetSystemAccountSource(nullptr);
  }
};

TEST_F(SystemAccountTest, PamResultsMapOntoTheReplies) {
  struct Case {
    int pam;
    std::string reply;
    Pop3State after;
  } cases[] = {
      {PAM_SUCCESS, "+OK\r\n", Pop3State::kTransaction},
      {PAM_PERM_DENIED, kErrNoPrivileges, Pop3State::kAuthorization},
      {PAM_AUTHINFO_UNAVAIL, kErrNoPrivileges, Pop3State::kAuthorization},
      {PAM_AUTH_ERR, "-ERR Login failed (1326)\r\n", Pop3State::kAuthorization},
      {PAM_USER_UNKNOWN, "-ERR Login failed (1326)\r\n", Pop3State::kAuthorization},
      {PAM_ACCT_EXPIRED, "-ERR Login failed (1326)\r\n", Pop3State::kAuthorization},
      {PAM_SYSTEM_ERR, "-ERR Login failed (1326)\r\n", Pop3State::kAuthorization},
  };
  for (const Case& c : cases) {
    g_logon_result = c.pam;
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Say(s, "USER carol@example.test");
    EXPECT_EQ(Say(s, "PASS  open sesame"), c.reply) << c.pam;
    EXPECT_EQ(s.state(), c.after) << c.pam;
    EXPECT_EQ(g_logon_user, "carol");
    EXPECT_EQ(g_logon_password, "open sesame");
    EXPECT_EQ(g_logon_peer, "10.0.0.1");
  }
  // The account's mailbox is its name.
  EXPECT_TRUE(std::filesystem::is_directory(sys_.MailboxPath("carol")));
}

TEST_F(SystemAccountTest, TheLogonIsLeftToTheCaller) {
  // The session never waits for PAM itself: the connection runs it on its worker pool.
  g_logon_user.clear();
  Pop3Session s(sys_.settings(), "192.0.2.9");
  Say(s, "USER carol");
  Pop3Reply pending = s.Dispatch("PASS pw\r\n");
  EXPECT_EQ(pending.code, kResultLogon);
  EXPECT_EQ(pending.logon.user, "carol");
  EXPECT_EQ(pending.logon.password, "pw");
  EXPECT_EQ(pending.logon.peer, "192.0.2.9");
  EXPECT_TRUE(g_logon_user.empty());
  Pop3Reply failed = s.FinishSystemLogon(PAM_AUTH_ERR);
  EXPECT_TRUE(failed.delayed && failed.failed_logon);
  Say(s, "USER carol");
  s.Dispatch("PASS pw\r\n");
  Pop3Reply ok = s.FinishSystemLogon(PAM_SUCCESS);
  EXPECT_EQ(ok.text, "+OK\r\n");
  EXPECT_FALSE(ok.delayed || ok.failed_logon);
  EXPECT_EQ(s.state(), Pop3State::kTransaction);
}

TEST(PamAnswerTest, AVisiblePromptGetsTheNameNeverThePassword) {
  EXPECT_EQ(PamAnswer(PAM_PROMPT_ECHO_OFF, "carol", "Secret1"), "Secret1");
  EXPECT_EQ(PamAnswer(PAM_PROMPT_ECHO_ON, "carol", "Secret1"), "carol");
  EXPECT_EQ(PamAnswer(PAM_ERROR_MSG, "carol", "Secret1"), "");
  EXPECT_EQ(PamAnswer(PAM_TEXT_INFO, "carol", "Secret1"), "");
}

TEST_F(SystemAccountTest, TheGroupCheckAndTheOptionComeFirst) {
  g_logon_user.clear();
  for (const char* user : {"dave", "nobody"}) {
    Pop3Session s(sys_.settings(), "10.0.0.1");
    Say(s, std::string("USER ") + user);
    EXPECT_EQ(Say(s, "PASS x"), kErrInvalidUsername) << user;
  }
  sys_.system().Flags &= ~kSysNtUser;
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Say(s, "USER carol");
  EXPECT_EQ(Say(s, "PASS x"), kErrInvalidUsername);
  CopyField(sys_.system().NTUser, "");
  sys_.system().Flags |= kSysNtUser;
  Pop3Session t(sys_.settings(), "10.0.0.1");
  Say(t, "USER carol");
  EXPECT_EQ(Say(t, "PASS x"), kErrInvalidUsername);
  EXPECT_TRUE(g_logon_user.empty());  // PAM was never asked
}

TEST_F(SystemAccountTest, TableUsersAreNeverAskedOfTheSystem) {
  g_logon_user.clear();
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Say(s, "USER ann");
  EXPECT_EQ(Say(s, "PASS wrong"), kErrInvalidPassword);
  EXPECT_TRUE(g_logon_user.empty());
}

TEST_F(SystemAccountTest, NewPassDoesNotReachTheSystemAccount) {
  Pop3Session s(sys_.settings(), "10.0.0.1");
  Login(s, "carol", "pw");
  EXPECT_EQ(Say(s, "NEWPASS other"), kErrInvalidUsername);
  EXPECT_EQ(s.state(), Pop3State::kAuthorization);
}

}  // namespace
}  // namespace qv::pop3
