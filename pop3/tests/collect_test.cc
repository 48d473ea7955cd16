// Collection from remote POP accounts: whole checks against a server in the test whose faults
// are staged.
#include "pop3/collect.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/address.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/fake_dialup.h"
#include "common/testing/test_env.h"
#include "mail/delivery.h"
#include "mail/fetched_delivery.h"
#include "net/line_client.h"
#include "platform/fileio.h"
#include "pop3/collect_texts.h"
#include "pop3/tests/collect_util.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

using testing::Pop3TestSystem;
using testing::ScriptedPop3Server;

// ---- Whole checks against a staged server ---------------------------------------------------

struct Delivered {
  std::string local, domain, sender, text;
  auto operator<=>(const Delivered&) const = default;
};

class CheckTest : public ::testing::Test {
 protected:
  CheckTest() : server_("remote", "secret") {
    context_.settings.system = sys_.system();
    context_.settings.pop3.PortEx = server_.port();
    context_.receive_timeout_ms = 5000;
    context_.connect_timeout_ms = 5000;
    context_.pause_between_users = std::chrono::milliseconds(1);
    // One entry per recipient; ("", "") for a message without one.
    context_.deliver = [this](const std::vector<std::string>& recipients, std::string_view sender,
                              int fd) {
      std::string text(static_cast<size_t>(platform::FileSizeOf(fd)), '\0');
      EXPECT_TRUE(platform::ReadAt(fd, text.data(), text.size(), 0));
      std::lock_guard<std::mutex> lock(mutex_);
      ++messages_;
      for (const std::string& address :
           recipients.empty() ? std::vector<std::string>{"@"} : recipients) {
        std::string local, domain;
        SplitAddress(address, &local, &domain);
        delivered_.push_back({local, domain, std::string(sender), text});
      }
      return true;
    };
  }

  void AddAccount(const std::string& name, int options, const std::string& server = "127.0.0.1",
                  const std::string& login = "remote", const std::string& password = "secret") {
    ACCOUNTSTRUCT a{};
    CopyField(a.Name, name);
    CopyField(a.Server, server);
    CopyField(a.Account, login);
    CopyField(a.Password, password);
    CopyField(a.DialProfile, "provider");
    a.Interval = 60;
    a.Options = options;
    ASSERT_EQ(AddRecord(sys_.system(), &a), 0);
  }
  void AddPopUser(const std::string& alias, const std::string& password, const std::string& account,
                  int options = kUserPopLookup) {
    USERSTRUCT u{};
    CopyField(u.Alias, alias);
    CopyField(u.Domain, "example.test");
    CopyField(u.Password, password);
    CopyField(u.Mailbox, alias);
    CopyField(u.PopAccount, account);
    u.Options = options;
    ASSERT_EQ(AddRecord(sys_.system(), &u), 0);
  }
  std::string Log() const {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return qv::testing::ReadFileText(LogFilePath(sys_.system().LogPath, kLogPrefixPop3, local));
  }
  // In a fixed order: deliveries run side by side.
  std::vector<Delivered> delivered() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Delivered> sorted = delivered_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

  Pop3TestSystem sys_;
  ScriptedPop3Server server_;
  CollectContext context_;
  std::mutex mutex_;
  std::vector<Delivered> delivered_;
  int messages_ = 0;  // calls of the delivery
};

std::string Message(int n) {
  return "From: <sender" + std::to_string(n) + "@far.test>\r\nSubject: " + std::to_string(n) +
         "\r\n\r\n..dot stuffed\r\nline " + std::to_string(n) + "\r\n";
}

TEST_F(CheckTest, ThreeMessagesFetchedInOrderAndDeleted) {
  AddAccount("acct", 0);
  AddPopUser("ann", "annpw", "acct");
  for (int i = 1; i <= 3; ++i) server_.AddMessage(Message(i));
  EXPECT_EQ(CheckAccount(context_, "acct"), 1);
  EXPECT_EQ(server_.Commands(),
            (std::vector<std::string>{"USER remote", "PASS secret", "STAT", "LIST 1", "RETR 1",
                                      "DELE 1", "LIST 2", "RETR 2", "DELE 2", "LIST 3", "RETR 3",
                                      "DELE 3", "QUIT"}));
  std::vector<Delivered> got = delivered();
  ASSERT_EQ(got.size(), 3u);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(got[i - 1], (Delivered{"ann", "example.test",
                                     "sender" + std::to_string(i) + "@far.test", Message(i)}));
  }
  EXPECT_EQ(server_.MessageCount(), 0u);
  EXPECT_TRUE(sys_.TempFiles().empty());
  std::string log = Log();
  EXPECT_NE(log.find("Checking POP account 'acct'"), std::string::npos);
  EXPECT_NE(log.find("Connecting to 127.0.0.1 for user <ann@example.test>"), std::string::npos);
  EXPECT_NE(log.find("<-- PASS **********"), std::string::npos);
  EXPECT_EQ(log.find("secret"), std::string::npos);
  EXPECT_NE(log.find("Connection closed"), std::string::npos);
}

TEST_F(CheckTest, QuitWaitsForDeliveriesThatRunSideBySide) {
  AddAccount("acct", kAccountShared);
  for (int i = 1; i <= 4; ++i) server_.AddMessage(Message(i));
  std::atomic<int> running{0}, most{0}, done{0};
  context_.deliver = [&](const std::vector<std::string>&, std::string_view, int) {
    most = std::max(most.load(), ++running);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The server has not been told to apply the deletions yet.
    EXPECT_EQ(server_.MessageCount(), 4u);
    --running;
    ++done;
    return true;
  };
  EXPECT_EQ(CheckAccount(context_, "acct"), 1);
  EXPECT_EQ(done, 4);
  EXPECT_GT(most, 1);
  EXPECT_EQ(server_.MessageCount(), 0u);
  EXPECT_EQ(server_.Commands().back(), "QUIT");
}

TEST_F(CheckTest, AMessageThatCannotBeStoredKeepsTheMailOnTheServer) {
  AddAccount("acct", kAccountShared);
  for (int i = 1; i <= 3; ++i) server_.AddMessage(Message(i));
  std::atomic<int> calls{0};
  context_.deliver = [&](const std::vector<std::string>&, std::string_view, int) {
    return ++calls != 2;  // the second message finds the disk full
  };
  EXPECT_EQ(CheckAccount(context_, "acct"), 0);
  EXPECT_EQ(calls, 3);
  EXPECT_NE(server_.Commands().back(), "QUIT");
  EXPECT_EQ(server_.MessageCount(), 3u);
  EXPECT_NE(Log().find("could not be stored"), std::string::npos);
}

TEST_F(CheckTest, EmptyMailboxAndWrongPassword) {
  AddAccount("acct", kAccountShared);
  AddAccount("wrong", kAccountShared, "127.0.0.1", "remote", "guess");
  EXPECT_EQ(CheckAccount(context_, "acct"), 1);
  EXPECT_EQ(server_.Commands(),
            (std::vector<std::string>{"USER remote", "PASS secret", "STAT", "QUIT"}));
  server_.ClearCommands();
  server_.AddMessage(Message(1));
  EXPECT_EQ(CheckAccount(context_, "wrong"), 0);
  EXPECT_EQ(server_.Commands(), (std::vector<std::string>{"USER remote", "PASS guess"}));
  EXPECT_TRUE(delivered().empty());
  EXPECT_EQ(CheckAccount(context_, "unknown"), 0);
  EXPECT_NE(Log().find("Connecting to 127.0.0.1 for shared POP account 'acct'"), std::string::npos);
}

TEST_F(CheckTest, NegativeRetrEndsTheMessageWithoutDele) {
  AddAccount("acct", kAccountShared);
  for (int i = 1; i <= 3; ++i) server_.AddMessage(Message(i));
  server_.faults().retr_reply[2] = "-ERR message locked\r\n";
  EXPECT_EQ(CheckAccount(context_, "acct"), 0);
  EXPECT_EQ(server_.Commands(),
            (std::vector<std::string>{"USER remote", "PASS secret", "STAT", "LIST 1", "RETR 1",
                                      "DELE 1", "LIST 2", "RETR 2"}));
  ASSERT_EQ(delivered().size(), 1u);
  EXPECT_EQ(delivered()[0].text, Message(1));
  // Without QUIT the server applied no deletion.
  EXPECT_EQ(server_.MessageCount(), 3u);
}

TEST_F(CheckTest, MessageCutByABrokenConnectionStaysForTheNextCheck) {
  AddAccount("acct", kAccountShared);
  server_.AddMessage(Message(1));
  server_.AddMessage(Message(2));
  server_.faults().cut_after[2] = 20;
  EXPECT_EQ(CheckAccount(context_, "acct"), 0);
  ASSERT_EQ(delivered().size(), 1u);  // message 1 only; nothing of message 2
  EXPECT_EQ(server_.Commands().back(), "RETR 2");
  EXPECT_EQ(server_.MessageCount(), 2u);
  EXPECT_NE(Log().find("Message 2 not complete"), std::string::npos);
  EXPECT_TRUE(sys_.TempFiles().empty());
  // The next check fetches both whole (message 1 again: its DELE was never applied).
  EXPECT_EQ(CheckAccount(context_, "acct"), 1);
  ASSERT_EQ(delivered().size(), 3u);
  EXPECT_EQ(delivered()[2].text, Message(2));
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(CheckTest, LongLinesAreKeptWholeAndOverlongOnesEndTheConversation) {
  AddAccount("acct", kAccountShared);
  // The second line is taken in two pieces, the second of them ".\r\n": not the end line.
  std::string long_body = "Subject: long\r\n\r\n" + std::string(10000, 'b') + "\r\n" +
                          std::string(4096, 'c') + ".\r\nend\r\n";
  server_.AddMessage(long_body);
  server_.faults().greeting = "+OK " + std::string(9000, 'g') + "\r\n";
  EXPECT_EQ(CheckAccount(context_, "acct"), 1);
  ASSERT_EQ(delivered().size(), 1u);
  EXPECT_EQ(delivered()[0].text, long_body);
  // The log holds the reply cut to the line limit.
  EXPECT_EQ(Log().find(std::string(4097, 'g')), std::string::npos);

  server_.AddMessage("Subject: huge\r\n\r\n" + std::string(kCollectReadMax + 100000, 'h') + "\r\n");
  EXPECT_EQ(CheckAccount(context_, "acct"), 0);
  EXPECT_EQ(delivered().size(), 1u);
  EXPECT_EQ(server_.MessageCount(), 1u);
}

TEST_F(CheckTest, ASilentServerEndsTheConversationAfterTheTimeLimit) {
  AddAccount("acct", kAccountShared);
  server_.AddMessage(Message(1));
  server_.faults().retr_delay_ms = 1500;
  context_.receive_timeout_ms = 200;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CheckAccount(context_, "acct"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(delivered().empty());
  EXPECT_EQ(server_.MessageCount(), 1u);
}

TEST_F(CheckTest, SharedAccountDeliversToTheRecipientsItFinds) {
  AddAccount("shared", kAccountShared);
  std::string by_received =
      "Received: from x by y for <bob@example.test>\r\nTo: ann@example.test, carl@example.test\r\n"
      "From: s@far.test\r\n\r\nhi\r\n";
  std::string by_to = "To: ann@example.test, ANN@EXAMPLE.TEST\r\nCc: carl@example.test\r\n\r\n";
  std::string none = "Subject: nobody\r\n\r\n";
  server_.AddMessage(by_received);
  server_.AddMessage(by_to);
  server_.AddMessage(none);
  EXPECT_EQ(CheckAccount(context_, "shared"), 1);
  EXPECT_EQ(delivered(), (std::vector<Delivered>{
                             {"", "", "", none},
                             {"ann", "example.test", "", by_to},
                             {"bob", "example.test", "s@far.test", by_received},
                             {"carl", "example.test", "", by_to},
                         }));
}

TEST_F(CheckTest, PersonalAccountWithTheUsersOwnLogins) {
  AddAccount("isp", kAccountUserLogin);
  server_.AddLogin("ann", "annpw");
  server_.AddLogin("bob", "bobpw");
  AddPopUser("ann", "annpw", "ISP");  // the account name in any case
  AddPopUser("bob", "bobpw", "isp");
  AddPopUser("carl", "carlpw", "other");
  AddPopUser("dave", "davepw", "isp", 0);  // without the lookup option
  auto start = std::chrono::steady_clock::now();
  context_.pause_between_users = std::chrono::milliseconds(300);
  EXPECT_EQ(CheckAccount(context_, "isp"), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(server_.Commands(),
            (std::vector<std::string>{"USER ann", "PASS annpw", "STAT", "QUIT", "USER bob",
                                      "PASS bobpw", "STAT", "QUIT"}));
  EXPECT_EQ(server_.connections(), 2);
}

TEST_F(CheckTest, AFailedUserDoesNotStopTheOthers) {
  AddAccount("isp", kAccountUserLogin);
  server_.AddLogin("bob", "bobpw");
  AddPopUser("ann", "wrong", "isp");
  AddPopUser("bob", "bobpw", "isp");
  server_.AddMessage(Message(1));
  EXPECT_EQ(CheckAccount(context_, "isp"), 0);
  ASSERT_EQ(delivered().size(), 1u);
  EXPECT_EQ(delivered()[0].local, "bob");
}

TEST_F(CheckTest, DialupUnreachableAndUnknownServers) {
  AddAccount("dial", kAccountShared | kAccountDialup);
  AddAccount("dialuser", kAccountDialup);
  AddPopUser("ann", "annpw", "dialuser");
  EXPECT_EQ(CheckAccount(context_, "dial"), 0);
  EXPECT_EQ(CheckAccount(context_, "dialuser"), 0);
  EXPECT_EQ(server_.connections(), 0);
  std::string log = Log();
  EXPECT_NE(log.find("Could not open dial-up profile 'provider';Could not load 'rasapi32.dll'"),
            std::string::npos);

  // A dial-up link that opens is closed again after the check.
  qv::testing::FakeDialup dialup;
  context_.dialup = &dialup;
  EXPECT_EQ(CheckAccount(context_, "dial"), 1);
  EXPECT_EQ(dialup.calls(), (std::vector<std::string>{"open provider", "close provider"}));
  context_.dialup = &NoDialupLink();

  AddAccount("refused", kAccountShared,
             "127.0.0.1:" + std::to_string(qv::testing::FreeLoopbackPort()));
  EXPECT_EQ(CheckAccount(context_, "refused"), 0);
  EXPECT_NE(Log().find("Connection timed out"), std::string::npos);
  AddAccount("nameless", kAccountShared, "no-such-host.invalid");
  EXPECT_EQ(CheckAccount(context_, "nameless"), 0);
}

// ---- A hostile server ----------------------------------------------------------------------

TEST_F(CheckTest, AMessageLargerThanItsLimitIsDroppedAndKeptOnTheServer) {
  const std::string big = "Subject: big\r\n\r\n" + std::string(200000, 'b') + "\r\n";
  const std::string mid = "Subject: mid\r\n\r\n" + std::string(20000, 'm') + "\r\n";
  struct Case {
    const char* name;
    std::string message;
    size_t announced;  // 0: its own size
    uint32_t smtp_flags;
    int32_t max_size;
    bool stored;
  };
  const std::vector<Case> cases = {
      {"announced at 1000 bytes, sent at 200 kB", big, 1000, 0, -1, false},
      {"announced at 25 kB, sent at 200 kB: within ten times", big, 25000, 0, -1, true},
      {"announced at 10 bytes, within the least limit", mid, 10, 0, -1, true},
      {"the SMTP service's enforced size", mid, 0, kSmtpEnforceSize, 5000, false},
      {"the SMTP service's size, not enforced", mid, 0, 0, 5000, true},
      {"an enforced size of -1 is no limit", mid, 0, kSmtpEnforceSize, -1, true},
  };
  AddAccount("acct", kAccountShared);
  for (const Case& c : cases) {
    server_.ClearCommands();
    delivered_.clear();
    size_t logged = Log().size();
    context_.settings.smtp.Flags = c.smtp_flags;
    context_.settings.smtp.ESMTPMaxMsgSize = c.max_size;
    // The message under test between two ordinary ones, then as the last one.
    server_.AddMessage(Message(1));
    server_.AddMessage(c.message);
    server_.AddMessage(Message(3));
    if (c.announced != 0) server_.faults().announced_size[2] = c.announced;
    EXPECT_EQ(CheckAccount(context_, "acct"), 1) << c.name;
    std::vector<std::string> commands = server_.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "DELE 2"), c.stored ? 1 : 0) << c.name;
    EXPECT_EQ(commands.back(), "QUIT") << c.name;
    EXPECT_EQ(delivered().size(), c.stored ? 3u : 2u) << c.name;
    std::vector<Delivered> got = delivered();
    EXPECT_EQ(std::count_if(got.begin(), got.end(),
                            [&](const Delivered& d) { return d.text == c.message; }),
              c.stored ? 1 : 0)
        << c.name;
    EXPECT_EQ(server_.MessageCount(), c.stored ? 0u : 1u) << c.name;
    EXPECT_EQ(Log().find("Message 2 larger than", logged) == std::string::npos, c.stored) << c.name;
    if (!c.stored) {
      // Left alone as the last message, it is refused again and QUIT still goes out.
      server_.ClearCommands();
      if (c.announced != 0) server_.faults().announced_size = {{1, c.announced}};
      EXPECT_EQ(CheckAccount(context_, "acct"), 1) << c.name;
      EXPECT_EQ(server_.Commands(), (std::vector<std::string>{"USER remote", "PASS secret", "STAT",
                                                              "LIST 1", "RETR 1", "QUIT"}))
          << c.name;
      EXPECT_EQ(server_.MessageCount(), 1u);
      server_.ClearMessages();
    }
    server_.faults().announced_size.clear();
    EXPECT_TRUE(sys_.TempFiles().empty()) << c.name;
  }
  EXPECT_NE(Log().find("Message 2 larger than 65536 bytes (announced as 1000); dropped and left "
                       "on the server"),
            std::string::npos);
  EXPECT_NE(Log().find("Message 1 larger than 5000 bytes (announced as 20"), std::string::npos);
}

// The files under the mail folder and their bytes.
std::pair<size_t, uintmax_t> MailFiles(const std::string& mail_path) {
  size_t files = 0;
  uintmax_t bytes = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(mail_path, ec)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    bytes += entry.file_size();
  }
  return {files, bytes};
}

TEST_F(CheckTest, AMessageNamingHundredsOfAddressesIsStoredAFewTimesOnly) {
  CopyField(context_.settings.system.AdministratorName, "postmaster");
  CopyField(context_.settings.system.AdministratorMailBox, "admin");
  sys_.AddUser("ann", "annpw", "ann");
  sys_.AddUser("bob", "bobpw", "bob");
  context_.deliver = [this](const std::vector<std::string>& recipients, std::string_view sender,
                            int fd) {
    return mail::DeliverFetchedMessage(mail::FetchedMailService(context_.settings), recipients,
                                       sender, fd);
  };
  AddAccount("shared", kAccountShared);
  // 300 addresses on continuation lines: 150 foreign, then ann, 147 unknown local names, bob.
  std::string header = "From: spam@far.test\r\nTo: list@far.test";
  for (int i = 1; i < 150; ++i) header += ",\r\n f" + std::to_string(i) + "@far.test";
  header += ",\r\n ann@example.test";
  for (int i = 0; i < 147; ++i) header += ",\r\n u" + std::to_string(i) + "@example.test";
  header += ",\r\n bob@example.test\r\n";
  const std::string body(250 * 1000, 'x');
  server_.AddMessage(header + "Subject: to everyone\r\n\r\n" + body + "\r\n");

  EXPECT_EQ(CheckAccount(context_, "shared"), 1);
  EXPECT_EQ(server_.MessageCount(), 0u);
  // Ann, and in one notice 99 unknown names (the first 100 local addresses); not bob, past
  // the limit; nothing for the foreign ones.
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 1u);
  EXPECT_TRUE(sys_.MailboxFiles("bob").empty());
  ASSERT_EQ(sys_.MailboxFiles("admin").size(), 1u);
  auto [files, bytes] = MailFiles(context_.settings.system.MailPath);
  EXPECT_EQ(files, 2u);
  EXPECT_LT(bytes, 3 * body.size());
  std::string notice;
  ASSERT_EQ(ReadMessageFile(sys_.MailboxPath("admin") + "/" + sys_.MailboxFiles("admin")[0],
                            1 << 20, &notice),
            0);
  EXPECT_NE(notice.find(" --> u0@example.test\r\n --> u1@example.test\r\n"), std::string::npos);
  EXPECT_NE(notice.find(" --> u98@example.test\r\n\r\n---------------\r\n"), std::string::npos);
  EXPECT_EQ(notice.find("u99@example.test\r\n"), std::string::npos);
  EXPECT_EQ(notice.find(" --> f1@far.test"), std::string::npos);
  EXPECT_NE(Log().find("Message 1 names 199 addresses that are foreign or beyond the first 100"),
            std::string::npos);
}

TEST_F(CheckTest, AMessageTrickledPastItsTimeLimitEndsTheConversation) {
  AddAccount("acct", kAccountShared);
  std::string slow = "Subject: slow\r\n\r\n";
  for (int i = 0; i < 40; ++i) slow += "line " + std::to_string(i) + "\r\n";
  server_.AddMessage(Message(1));
  server_.AddMessage(slow);
  // A line every 50 ms: never silent for the 5 s of a read, but 2 s for the message.
  server_.faults().trickle_ms = 50;
  context_.message_time_limit = std::chrono::milliseconds(400);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CheckAccount(context_, "acct"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(delivered().size(), 1u);  // message 1 came in time: 3 lines
  EXPECT_NE(server_.Commands().back(), "QUIT");
  EXPECT_EQ(server_.MessageCount(), 2u);
  EXPECT_NE(Log().find("Message 2 not received within 0 seconds; mail left on the server"),
            std::string::npos);
  EXPECT_TRUE(sys_.TempFiles().empty());
}

TEST_F(CheckTest, AConversationPastItsTimeLimitEndsInOrderBeforeTheNextMessage) {
  AddAccount("acct", kAccountShared);
  for (int i = 1; i <= 6; ++i) server_.AddMessage(Message(i));
  server_.faults().reply_delay_ms = 100;  // every reply: a message takes 200 ms or more
  context_.conversation_time_limit = std::chrono::milliseconds(700);
  EXPECT_EQ(CheckAccount(context_, "acct"), 1);
  std::vector<std::string> commands = server_.Commands();
  EXPECT_EQ(commands.back(), "QUIT");
  size_t fetched = delivered().size();
  EXPECT_GE(fetched, 1u);
  EXPECT_LT(fetched, 6u);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "LIST " + std::to_string(fetched + 1)), 0);
  // What was fetched is deleted; the rest comes with the next checks, each message once.
  EXPECT_EQ(server_.MessageCount(), 6u - fetched);
  EXPECT_NE(Log().find("Conversation time limit of 0 seconds reached; messages from " +
                       std::to_string(fetched + 1) + " on left for the next check"),
            std::string::npos);
  for (int check = 0; check < 6 && server_.MessageCount() > 0; ++check)
    EXPECT_EQ(CheckAccount(context_, "acct"), 1);
  std::vector<Delivered> got = delivered();
  ASSERT_EQ(got.size(), 6u);
  std::vector<std::string> texts;
  for (const Delivered& d : got) texts.push_back(d.text);
  std::sort(texts.begin(), texts.end());
  std::vector<std::string> sent;
  for (int i = 1; i <= 6; ++i) sent.push_back(Message(i));
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(texts, sent);
}

TEST_F(CheckTest, ATricklingServerDoesNotHoldTheNextAccount) {
  // The first account's server trickles one message for ever (a line every 20 ms); the second
  // one answers at once. The accounts due are checked one after the other, as the service does.
  ScriptedPop3Server other("remote", "secret");
  AddAccount("slow", kAccountShared);
  AddAccount("quick", kAccountShared, "127.0.0.1:" + std::to_string(other.port()));
  server_.AddMessage("Subject: endless\r\n\r\nmore\r\n");
  server_.faults().trickle_ms = 20;
  server_.faults().trickle_repeat = 1000000;
  other.AddMessage(Message(7));
  context_.message_time_limit = std::chrono::milliseconds(500);
  context_.conversation_time_limit = std::chrono::milliseconds(500);
  auto start = std::chrono::steady_clock::now();
  std::vector<int> results;
  for (const char* name : {"slow", "quick"}) results.push_back(CheckAccount(context_, name));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(results, (std::vector<int>{0, 1}));
  ASSERT_EQ(delivered().size(), 1u);
  EXPECT_EQ(delivered()[0].text, Message(7));
  EXPECT_EQ(server_.MessageCount(), 1u);
  EXPECT_EQ(other.MessageCount(), 0u);
}

}  // namespace
}  // namespace qv::pop3
