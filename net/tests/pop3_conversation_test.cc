// The POP3 fetch conversation's state table: reply lines in, commands out, with the hostile
// replies a server may give at each step.
#include "net/pop3_conversation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace qv {
namespace {

// Feeds replies to a conversation and records what it sends; "<receive>" stands for a message
// reception, after which `complete` tells how it ended.
std::vector<std::string> Converse(FetchConversation& c, const std::vector<std::string>& replies,
                                  bool complete = true) {
  std::vector<std::string> sent;
  for (const std::string& reply : replies) {
    FetchStep step = c.OnReply(reply);
    if (!step.send.empty()) sent.push_back(step.send);
    if (step.start_tls) {
      sent.push_back("<tls>");
      step = c.OnTlsStarted();
      if (!step.send.empty()) sent.push_back(step.send);
    }
    if (step.receive) {
      sent.push_back("<receive>");
      step = c.OnMessageEnd(complete);
      if (!step.send.empty()) sent.push_back(step.send);
    }
    if (step.end) break;
  }
  return sent;
}

TEST(FetchConversation, FollowsTheTable) {
  struct Case {
    const char* name;
    std::vector<std::string> replies;
    bool complete;
    std::vector<std::string> sent;
    FetchState end;
  };
  const std::vector<Case> cases = {
      {"empty mailbox",
       {"+OK hi\r\n", "+OK\r\n", "+OK\r\n", "+OK 0 0\r\n"},
       true,
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "QUIT\r\n"},
       FetchState::kDone},
      {"no count after +OK",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK\r\n"},
       true,
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "QUIT\r\n"},
       FetchState::kDone},
      {"two messages, replies in any case",
       {"+ok\r\n", "+Ok\r\n", "+OK\r\n", "+OK  2 300\r\n", "+OK 1 100\r\n", "+OK\r\n", "+OK\r\n",
        "+OK 2 200\r\n", "+OK\r\n", "+OK\r\n"},
       true,
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "LIST 1\r\n", "RETR 1\r\n", "<receive>",
        "DELE 1\r\n", "LIST 2\r\n", "RETR 2\r\n", "<receive>", "DELE 2\r\n", "QUIT\r\n"},
       FetchState::kDone},
      {"wrong password: no QUIT",
       {"+OK\r\n", "+OK\r\n", "-ERR bad password\r\n"},
       true,
       {"USER acct\r\n", "PASS pw\r\n"},
       FetchState::kFailed},
      {"negative greeting", {"-ERR busy\r\n"}, true, {}, FetchState::kFailed},
      {"LIST without a size",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 1 10\r\n", "+OK 1\r\n"},
       true,
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "LIST 1\r\n"},
       FetchState::kFailed},
      {"negative RETR: no DELE, no QUIT",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 1 10\r\n", "+OK 1 10\r\n", "-ERR gone\r\n"},
       true,
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "LIST 1\r\n", "RETR 1\r\n"},
       FetchState::kFailed},
      {"message cut off: no DELE",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 1 10\r\n", "+OK 1 10\r\n", "+OK\r\n"},
       false,
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "LIST 1\r\n", "RETR 1\r\n", "<receive>"},
       FetchState::kFailed},
      {"negative DELE ends it",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 2 10\r\n", "+OK 1 10\r\n", "+OK\r\n", "-ERR\r\n"},
       true,
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "LIST 1\r\n", "RETR 1\r\n", "<receive>",
        "DELE 1\r\n"},
       FetchState::kFailed},
  };
  for (const Case& c : cases) {
    FetchConversation conversation("acct", "pw");
    EXPECT_EQ(Converse(conversation, c.replies, c.complete), c.sent) << c.name;
    EXPECT_EQ(conversation.state(), c.end) << c.name;
    EXPECT_EQ(conversation.ok(), c.end == FetchState::kDone) << c.name;
  }
}

// Replies that end the conversation, at each step: negative or malformed ones, nothing at all (a
// dropped connection: the empty reply) and lines a server should not send. None gets QUIT.
TEST(FetchConversation, HostileRepliesEndItWithoutQuit) {
  const std::vector<std::string> login = {"+OK\r\n", "+OK\r\n", "+OK\r\n"};
  struct Case {
    const char* name;
    std::vector<std::string> replies;  // after the login
    size_t sent;                       // commands (and receptions) after the login's three
  };
  const std::vector<Case> cases = {
      {"connection dropped after STAT", {""}, 0},
      {"connection dropped after LIST", {"+OK 1 10\r\n", ""}, 1},
      {"connection dropped after RETR", {"+OK 1 10\r\n", "+OK 1 10\r\n", ""}, 2},
      {"negative STAT", {"-ERR locked\r\n"}, 0},
      {"negative LIST", {"+OK 1 10\r\n", "-ERR no such message\r\n"}, 1},
      {"LIST without numbers", {"+OK 1 10\r\n", "+OK\r\n"}, 1},
      {"LIST with words for numbers", {"+OK 1 10\r\n", "+OK one ten\r\n"}, 1},
      {"a line that only starts like +OK", {"+O\r\n"}, 0},
      {"a bare status sign", {"+\r\n"}, 0},
  };
  for (const Case& c : cases) {
    FetchConversation conversation("acct", "pw");
    std::vector<std::string> replies = login;
    replies.insert(replies.end(), c.replies.begin(), c.replies.end());
    std::vector<std::string> sent = Converse(conversation, replies);
    EXPECT_EQ(sent.size(), 3 + c.sent) << c.name;
    EXPECT_EQ(conversation.state(), FetchState::kFailed) << c.name;
    for (const std::string& command : sent) EXPECT_NE(command, "QUIT\r\n") << c.name;
  }
  // A dropped connection before the greeting, and a reply at the wrong time.
  FetchConversation silent("acct", "pw");
  EXPECT_TRUE(silent.OnReply("").end);
  EXPECT_FALSE(silent.ok());
  FetchConversation receiving("acct", "pw");
  for (const char* reply : {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 1 10\r\n", "+OK 1 10\r\n"})
    receiving.OnReply(reply);
  ASSERT_TRUE(receiving.OnReply("+OK\r\n").receive);
  EXPECT_TRUE(receiving.OnReply("+OK\r\n").end);  // a reply while the message is received
  EXPECT_EQ(receiving.state(), FetchState::kFailed);
  EXPECT_TRUE(receiving.OnMessageEnd(true).end);  // and nothing after the end
  EXPECT_EQ(receiving.state(), FetchState::kFailed);
}

TEST(FetchConversation, ToleratedReplies) {
  struct Case {
    const char* name;
    std::vector<std::string> replies;
    std::vector<std::string> sent;
  };
  const std::string long_greeting = "+OK " + std::string(100000, 'g') + "\r\n";
  const std::vector<Case> cases = {
      {"an over-long greeting and replies without line ends",
       {long_greeting, "+OK", "+OK", "+OK 0"},
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "QUIT\r\n"}},
      {"a tab before the count, text after the size",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK\t1 5\r\n", "+OK\t1\t5 octets\r\n", "+OK\r\n",
        "+OK bye\r\n"},
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "LIST 1\r\n", "RETR 1\r\n", "<receive>",
        "DELE 1\r\n", "QUIT\r\n"}},
      {"a negative count counts as none",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK -3 0\r\n"},
       {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "QUIT\r\n"}},
  };
  for (const Case& c : cases) {
    FetchConversation conversation("acct", "pw");
    EXPECT_EQ(Converse(conversation, c.replies), c.sent) << c.name;
    EXPECT_TRUE(conversation.ok()) << c.name;
  }
}

TEST(FetchConversation, ARefusedMessageIsSkippedWithoutDele) {
  // Three messages of 1000, 2000 and 3000 bytes; the one numbered `skipped` is read to its end
  // and refused. Each row: what is sent from the first LIST on.
  struct Case {
    int skipped;
    std::vector<std::string> sent;
  };
  const std::vector<Case> cases = {
      {1, {"LIST 1", "RETR 1", "LIST 2", "RETR 2", "DELE 2", "LIST 3", "RETR 3", "DELE 3", "QUIT"}},
      {2, {"LIST 1", "RETR 1", "DELE 1", "LIST 2", "RETR 2", "LIST 3", "RETR 3", "DELE 3", "QUIT"}},
      {3, {"LIST 1", "RETR 1", "DELE 1", "LIST 2", "RETR 2", "DELE 2", "LIST 3", "RETR 3", "QUIT"}},
  };
  for (const Case& c : cases) {
    FetchConversation conversation("acct", "pw");
    std::vector<std::string> sent;
    std::vector<uint64_t> sizes;
    FetchStep step = conversation.OnReply("+OK\r\n");
    while (!step.end) {
      if (!step.send.empty()) sent.push_back(step.send.substr(0, step.send.size() - 2));
      if (step.receive) {
        sizes.push_back(conversation.announced_size());
        step = conversation.message() == c.skipped ? conversation.OnMessageSkipped()
                                                   : conversation.OnMessageEnd(true);
        continue;
      }
      std::string reply = "+OK\r\n";
      if (conversation.state() == FetchState::kStat) reply = "+OK 3 6000\r\n";
      if (conversation.state() == FetchState::kList)
        reply = "+OK " + std::to_string(conversation.message()) + " " +
                std::to_string(conversation.message() * 1000) + " octets\r\n";
      step = conversation.OnReply(reply);
    }
    if (!step.send.empty()) sent.push_back(step.send.substr(0, step.send.size() - 2));
    sent.erase(sent.begin(), std::find(sent.begin(), sent.end(), "LIST 1"));
    EXPECT_EQ(sent, c.sent) << "skipped " << c.skipped;
    EXPECT_EQ(sizes, (std::vector<uint64_t>{1000, 2000, 3000})) << "skipped " << c.skipped;
    EXPECT_TRUE(conversation.ok()) << "skipped " << c.skipped;
  }
  // Skipping outside a message ends the conversation as a broken one.
  FetchConversation early("acct", "pw");
  EXPECT_TRUE(early.OnMessageSkipped().end);
  EXPECT_FALSE(early.ok());
}

TEST(FetchConversation, EndingEarlyQuitsOnlyBetweenMessages) {
  // Each row: the replies given, then EndEarly; what it sends and whether the end is in order.
  struct Case {
    const char* name;
    std::vector<std::string> replies;
    std::string sent;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"before the first LIST",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 2 20\r\n"},
       "QUIT\r\n",
       true},
      {"after a DELE",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 2 20\r\n", "+OK 1 10\r\n", "+OK\r\n", "<end>",
        "+OK\r\n"},
       "QUIT\r\n",
       true},
      {"after the reply to LIST",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 2 20\r\n", "+OK 1 10\r\n"},
       "",
       false},
      {"while a message is received",
       {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 2 20\r\n", "+OK 1 10\r\n", "+OK\r\n"},
       "",
       false},
      {"before logging in", {"+OK\r\n"}, "", false},
  };
  for (const Case& c : cases) {
    FetchConversation conversation("acct", "pw");
    for (const std::string& reply : c.replies) {
      if (reply == "<end>")
        conversation.OnMessageEnd(true);
      else
        conversation.OnReply(reply);
    }
    FetchStep step = conversation.EndEarly();
    EXPECT_EQ(step.send, c.sent) << c.name;
    EXPECT_TRUE(step.end) << c.name;
    EXPECT_EQ(conversation.ok(), c.ok) << c.name;
  }
}

// CAPA and STLS before the login, per TLSRemote. The capability list is one reply (the lines up
// to the end line, read whole as read_list asks).
TEST(FetchConversation, StlsBeforeTheLoginAsTlsRemoteSays) {
  const std::string with_stls = "TOP\r\nstls\r\nUSER\r\n.\r\n";
  const std::string without_stls = "TOP\r\nSTLSX\r\nUSER\r\n.\r\n";
  const std::vector<std::string> login = {"USER acct\r\n", "PASS pw\r\n", "STAT\r\n", "QUIT\r\n"};
  const std::vector<std::string> empty = {"+OK\r\n", "+OK\r\n", "+OK 0 0\r\n"};
  struct Case {
    const char* name;
    FetchSecurity security;
    std::vector<std::string> replies;  // before those of the login
    std::vector<std::string> sent;     // before USER, or everything when TLS is not to be had
    FetchState end;
  };
  const std::vector<Case> cases = {
      {"STLS listed, asked for",
       {1, false},
       {"+OK\r\n", "+OK\r\n", with_stls, "+OK go\r\n"},
       {"CAPA\r\n", "STLS\r\n", "<tls>"},
       FetchState::kDone},
      {"no STLS: in clear",
       {1, false},
       {"+OK\r\n", "+OK\r\n", without_stls},
       {"CAPA\r\n"},
       FetchState::kDone},
      {"CAPA refused: in clear",
       {1, false},
       {"+OK\r\n", "-ERR unknown\r\n"},
       {"CAPA\r\n"},
       FetchState::kDone},
      {"STLS refused: in clear",
       {1, false},
       {"+OK\r\n", "+OK\r\n", with_stls, "-ERR no\r\n"},
       {"CAPA\r\n", "STLS\r\n"},
       FetchState::kDone},
      {"no STLS, required: QUIT only",
       {2, false},
       {"+OK\r\n", "+OK\r\n", without_stls},
       {"CAPA\r\n", "QUIT\r\n"},
       FetchState::kNoTls},
      {"CAPA refused, required",
       {2, false},
       {"+OK\r\n", "-ERR unknown\r\n"},
       {"CAPA\r\n", "QUIT\r\n"},
       FetchState::kNoTls},
      {"STLS refused, required",
       {2, false},
       {"+OK\r\n", "+OK\r\n", with_stls, "-ERR no\r\n"},
       {"CAPA\r\n", "STLS\r\n", "QUIT\r\n"},
       FetchState::kNoTls},
      {"broken during the list",
       {2, false},
       {"+OK\r\n", "+OK\r\n", ""},
       {"CAPA\r\n"},
       FetchState::kFailed},
      {"TLS from the start: no CAPA", {2, true}, {"+OK\r\n"}, {}, FetchState::kDone},
  };
  for (const Case& c : cases) {
    FetchConversation conversation("acct", "pw", c.security);
    std::vector<std::string> replies = c.replies;
    std::vector<std::string> expected = c.sent;
    if (c.end == FetchState::kDone) {
      replies.insert(replies.end(), empty.begin(), empty.end());
      expected.insert(expected.end(), login.begin(), login.end());
    }
    EXPECT_EQ(Converse(conversation, replies), expected) << c.name;
    EXPECT_EQ(conversation.state(), c.end) << c.name;
    EXPECT_EQ(conversation.ok(), c.end == FetchState::kDone) << c.name;
  }
  // The handshake is the caller's: OnTlsStarted at any other time fails the conversation.
  FetchConversation early("acct", "pw", {2, false});
  EXPECT_TRUE(early.OnTlsStarted().end);
  EXPECT_EQ(early.state(), FetchState::kFailed);
}

}  // namespace
}  // namespace qv
