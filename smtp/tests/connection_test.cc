#include "smtp/connection.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <utility>

#include "common/config.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using testing::FakeLink;
using testing::Normalize;
using testing::SmtpEnv;

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob Builder");
    env_.AddUser("carol", "example.test", "Carol");
  }
  std::unique_ptr<SmtpConnection> Open(std::function<void()> forward_now = nullptr) {
    return std::make_unique<SmtpConnection>(env_.settings(), link_, "198.51.100.7",
                                            std::move(forward_now));
  }
  // Feeds the text in pieces of `piece` bytes (a read each).
  void Feed(SmtpConnection& c, const std::string& text, size_t piece = 1024) {
    for (size_t i = 0; i < text.size(); i += piece) c.OnReceive(text.substr(i, piece));
  }
  std::string Say(SmtpConnection& c, const std::string& line) {
    Feed(c, line);
    return link_.Take();
  }

  SmtpEnv env_;
  FakeLink link_;
};

const char kExpectedBob[] =
    "Received: by mx.example.test with Quorvane-SMTP/POP3-Server (v1.00 Linux) for "
    "<bob@example.test> at <date>\r\n"
    "Subject: hi\r\n"
    "Date: <date>\r\n"
    "From: alice@other.test\r\n"
    "To: <bob@example.test>\r\n"
    "Message-Id: <<id>@mx.example.test>\r\n"
    "\r\n"
    "Hello";

TEST_F(ConnectionTest, MessageIsInTheMailboxWhenTheReplyIsSent) {
  auto c = Open();
  EXPECT_EQ(Say(*c, "HELO client\r\n"), "250 mx.example.test Hello 198.51.100.7\r\n");
  EXPECT_EQ(Say(*c, "MAIL FROM:<alice@other.test>\r\n"), "250 <alice@other.test>, sender ok\r\n");
  EXPECT_EQ(Say(*c, "RCPT TO:<bob@example.test>\r\n"), "250 Bob Builder <bob@example.test>\r\n");
  EXPECT_EQ(Say(*c, "DATA\r\n"), "354 Start mail input, terminate with '<CRLF>.<CRLF>'\r\n");
  EXPECT_EQ(c->mode(), kDataMode);
  EXPECT_EQ(link_.idle_limit, std::chrono::milliseconds(kDataIdleLimit));
  Feed(*c, "Subject: hi\r\n\r\nHello\r\n.\r\n");
  std::string reply = link_.Take();
  EXPECT_TRUE(std::regex_match(
      reply, std::regex("250 25 bytes received in [0-9]+,[0-9]+ seconds; Message accepted for "
                        "delivery\r\n")))
      << reply;
  auto box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_EQ(Normalize(box[0]), kExpectedBob);
  EXPECT_EQ(c->mode(), kCommandMode);
  EXPECT_EQ(link_.idle_limit, std::chrono::milliseconds(kCommandIdleLimit));
  // The spool file is gone; a later RSET or QUIT delivers nothing more.
  EXPECT_TRUE(env_.TempFiles().empty());
  EXPECT_EQ(Say(*c, "RSET\r\n"), "250 Reset State\r\n");
  EXPECT_EQ(Say(*c, "QUIT\r\n"), "221 198.51.100.7 closing connection\r\n");
  EXPECT_TRUE(link_.closed);
  c.reset();
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);

  std::string log = env_.LogText();
  EXPECT_NE(log.find("*** SMTP-User connect"), std::string::npos);
  EXPECT_NE(log.find("--> MAIL FROM:<alice@other.test>"), std::string::npos);
  EXPECT_NE(log.find("<-- 250 <alice@other.test>, sender ok"), std::string::npos);
  EXPECT_NE(log.find("<DATA> Subject: hi"), std::string::npos);
  EXPECT_EQ(log.find("354 Start"), std::string::npos);
}

TEST_F(ConnectionTest, EveryReadSizeDeliversTheMessage) {
  for (size_t piece : {1u, 2u, 3u, 5u, 7u, 1024u}) {
    auto c = Open();
    std::string text = "MAIL FROM:<alice@other.test>\r\nRCPT TO:<carol@example.test>\r\nDATA\r\n";
    // Commands go one per read, as a client without pipelining sends them.
    size_t from = 0;
    for (size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
      Feed(*c, text.substr(from, end + 2 - from), piece);
    link_.Take();
    Feed(*c, "Subject: t\r\n\r\nline\r\n..dot\r\n.\r\n", piece);
    EXPECT_EQ(link_.Take().substr(0, 4), "250 ") << piece;
    c.reset();
  }
  auto box = env_.Mailbox("carol");
  ASSERT_EQ(box.size(), 6u);
  for (const auto& message : box) {
    // Dot-stuffed lines stay as received; how the end line's own bytes show depends on where the
    // reads split it, but the text before it is always there.
    EXPECT_NE(message.find("\r\n\r\nline\r\n..dot"), std::string::npos) << message;
  }
}

TEST_F(ConnectionTest, DataLogTakesALargeReadAKilobyteAtATime) {
  auto c = Open();
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<carol@example.test>\r\n");
  Say(*c, "DATA\r\n");
  const std::string header = "Subject: t\r\n\r\n";
  Feed(*c, header + std::string(1500, 'A') + "\r\n.\r\n", 64 * 1024);
  EXPECT_EQ(link_.Take().substr(0, 4), "250 ");
  // As 1 KB reads would have logged it: the long line is cut where the first kilobyte ends.
  std::string log = env_.LogText();
  const std::string first(1024 - header.size(), 'A'), rest(1500 - first.size(), 'A');
  EXPECT_NE(log.find("<DATA> " + first + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("<DATA> " + rest + "\r\n"), std::string::npos);
  auto box = env_.Mailbox("carol");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_TRUE(box[0].ends_with("\r\n\r\n" + std::string(1500, 'A'))) << box[0].size();
}

TEST_F(ConnectionTest, TwoMessagesOnOneConnectionGoToTheirOwnRecipients) {
  auto c = Open();
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: one\r\n\r\nfirst\r\n.\r\n");
  EXPECT_EQ(link_.Take().substr(0, 4), "250 ");
  EXPECT_EQ(Say(*c, "MAIL FROM:<alice@other.test>\r\n"), "250 <alice@other.test>, sender ok\r\n");
  Say(*c, "RCPT TO:<carol@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: two\r\n\r\nsecond\r\n.\r\n");
  c.reset();
  auto bob = env_.Mailbox("bob");
  auto carol = env_.Mailbox("carol");
  ASSERT_EQ(bob.size(), 1u);
  ASSERT_EQ(carol.size(), 1u);
  EXPECT_NE(bob[0].find("first"), std::string::npos);
  EXPECT_EQ(bob[0].find("second"), std::string::npos);
  EXPECT_NE(carol[0].find("second"), std::string::npos);
}

TEST_F(ConnectionTest, ConnectionLostBeforeTheEndLineDeliversNothing) {
  auto c = Open();
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: cut\r\n\r\nhalf a message\r\n.");
  // The text is spooled into a file without a name: nothing shows in the temporary folder.
  EXPECT_GE(c->session().spool_fd(), 0);
  EXPECT_TRUE(env_.TempFiles().empty());
  c.reset();
  EXPECT_TRUE(env_.Mailbox("bob").empty());
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(ConnectionTest, IdleConnectionIsToldAndClosedWithoutDelivery) {
  auto c = Open();
  EXPECT_EQ(link_.idle_limit, std::chrono::milliseconds(kCommandIdleLimit));
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: slow\r\n\r\nand then nothing");
  c->OnIdle();
  EXPECT_EQ(link_.Take(), "421 mx.example.test Timeout; closing connection\r\n");
  EXPECT_TRUE(link_.closed);
  c.reset();
  EXPECT_TRUE(env_.Mailbox("bob").empty());
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(ConnectionTest, OverlongCommandLineIsRefusedAndClosed) {
  struct Case {
    std::string input;
    std::string reply;
    bool closed;
  } cases[] = {
      // A line of exactly 2048 bytes with its CR LF fits.
      {std::string(2046, 'x') + "\r\n", "501 Syntax Error\r\n", false},
      {std::string(2048, 'x'), "500 Line too long\r\n", true},
      {std::string(2047, 'x') + "\r\n", "500 Line too long\r\n", true},
      {std::string(10240, 'y') + "\r\n", "500 Line too long\r\n", true},
  };
  for (const auto& test : cases) {
    FakeLink link;
    SmtpConnection c(env_.settings(), link, "198.51.100.7", nullptr);
    for (size_t i = 0; i < test.input.size() && !link.closed; i += 1024)
      c.OnReceive(test.input.substr(i, 1024));
    EXPECT_EQ(link.sent, test.reply) << test.input.size();
    EXPECT_EQ(link.closed, test.closed) << test.input.size();
  }
}

// An offload that keeps the work until the test runs it, as a worker pool would later.
struct DeferredOffload {
  std::vector<std::pair<std::function<void()>, std::function<void()>>> jobs;
  OffloadFunction Function() {
    return [this](std::function<void()> work, std::function<void()> done) {
      jobs.emplace_back(std::move(work), std::move(done));
    };
  }
  void RunAll() {
    auto pending = std::move(jobs);
    jobs.clear();
    for (auto& job : pending) {
      job.first();
      job.second();
    }
  }
};

TEST_F(ConnectionTest, EveryLineOfAReadIsAnsweredInOrder) {
  const std::string transaction =
      "MAIL FROM:<alice@other.test>\r\nRCPT TO:<bob@example.test>\r\nDATA\r\n"
      "Subject: hi\r\n\r\nHello\r\n.\r\nNOOP\r\nQUIT\r\nNOOP\r\n";
  const std::regex replies(
      "250 <alice@other.test>, sender ok\r\n250 Bob Builder <bob@example.test>\r\n"
      "354 Start mail input, terminate with '<CRLF>.<CRLF>'\r\n"
      // The bytes after the end line are the next command's, not the message's.
      "250 25 bytes received in [0-9]+,[0-9]+ seconds; Message accepted for delivery\r\n"
      "250 OK\r\n221 198.51.100.7 closing connection\r\n");
  for (size_t piece : {transaction.size(), size_t{1}, size_t{4}, size_t{1024}}) {
    FakeLink link;
    {
      SmtpConnection c(env_.settings(), link, "198.51.100.7", nullptr);
      Feed(c, transaction, piece);
      EXPECT_TRUE(std::regex_match(link.sent, replies)) << piece << "\n" << link.sent;
      EXPECT_TRUE(link.closed);
    }
  }
  auto box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 4u);
  for (const auto& message : box) EXPECT_EQ(Normalize(message), kExpectedBob);
}

TEST_F(ConnectionTest, CommandsBehindTheEndLineWaitForTheMessagesReply) {
  DeferredOffload offload;
  auto c = std::make_unique<SmtpConnection>(env_.settings(), link_, "198.51.100.7", nullptr,
                                            offload.Function());
  Feed(*c, "MAIL FROM:<alice@other.test>\r\nRCPT TO:<bob@example.test>\r\nDATA\r\n");
  link_.Take();
  Feed(*c, "Subject: hi\r\n\r\nHello\r\n.\r\nRSET\r\nQUIT\r\n");
  EXPECT_TRUE(c->storing());
  EXPECT_EQ(link_.Take(), "");
  offload.RunAll();
  std::string replies = link_.Take();
  EXPECT_EQ(replies.substr(0, 7), "250 25 ") << replies;
  EXPECT_NE(replies.find("\r\n250 Reset State\r\n221 198.51.100.7 closing connection\r\n"),
            std::string::npos)
      << replies;
  EXPECT_TRUE(link_.closed);
  ASSERT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_EQ(Normalize(env_.Mailbox("bob")[0]), kExpectedBob);
}

TEST_F(ConnectionTest, MessageOverTheSizeLimitIsRefusedWhole) {
  env_.smtp().Flags |= kSmtpEnforceSize;
  auto c = Open();
  Say(*c, "EHLO client\r\n");
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  std::string body;
  while (body.size() < 6000) body += "0123456789012345678901234567890123456789\r\n";
  Feed(*c, "Subject: big\r\n\r\n" + body + ".\r\n", 7);
  EXPECT_EQ(link_.Take(), "552 Message size exceeds fixed maximium message size\r\n");
  EXPECT_TRUE(env_.Mailbox("bob").empty());
  EXPECT_TRUE(env_.TempFiles().empty());
  EXPECT_EQ(c->mode(), kCommandMode);
  // Ready for the next transaction as after an accepted message; a message of exactly the
  // limit is accepted.
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  EXPECT_EQ(Say(*c, "RCPT TO:<carol@example.test>\r\n"), "250 Carol <carol@example.test>\r\n");
  Say(*c, "DATA\r\n");
  std::string exact = "Subject: s\r\n\r\n" + std::string(5000 - 14, 'x');
  Feed(*c, exact + "\r\n.\r\n");
  EXPECT_EQ(link_.Take().substr(0, 23), "250 5005 bytes received");
  EXPECT_EQ(env_.Mailbox("carol").size(), 1u);
  EXPECT_EQ(Say(*c, "RSET\r\n"), "250 Reset State\r\n");
  EXPECT_TRUE(env_.Mailbox("bob").empty());
  // Without the enforcement bit there is no limit.
  env_.smtp().Flags &= ~kSmtpEnforceSize;
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<carol@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: big\r\n\r\n" + body + ".\r\n");
  std::string expected = "250 " + std::to_string(16 + body.size() + 3) + " bytes received";
  EXPECT_EQ(link_.Take().substr(0, expected.size()), expected);
}

// The device and inode of a descriptor's file.
std::pair<uint64_t, uint64_t> FileIdentity(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return {0, 0};
  return {st.st_dev, st.st_ino};
}

TEST_F(ConnectionTest, SpoolFileUsedAgainHoldsOnlyTheNextMessage) {
  env_.smtp().Flags |= kSmtpEnforceSize;
  auto pool = std::make_shared<TempFilePool>(1);
  auto c = std::make_unique<SmtpConnection>(env_.settings(), link_, "198.51.100.7", nullptr,
                                            nullptr, pool);
  std::string long_body;
  while (long_body.size() < 3000) long_body += "FIRST-FIRST-FIRST-FIRST\r\n";
  std::string over;
  while (over.size() < 6000) over += "REFUSED-REFUSED-REFUSED\r\n";
  struct Message {
    const char* to;
    std::string text;
    const char* reply;  // how the reply begins
  };
  const Message messages[] = {
      {"bob", "Subject: one\r\n\r\n" + long_body, "250 "},
      {"carol", "Subject: two\r\n\r\nshort", "250 "},
      {"bob", "Subject: big\r\n\r\n" + over, "552 "},
      {"carol", "Subject: three\r\n\r\nafter the refused one", "250 "},
  };
  std::pair<uint64_t, uint64_t> first_spool{};
  for (const Message& m : messages) {
    Say(*c, "MAIL FROM:<alice@other.test>\r\n");
    Say(*c, std::string("RCPT TO:<") + m.to + "@example.test>\r\n");
    Say(*c, "DATA\r\n");
    Feed(*c, m.text.substr(0, 10));
    // Every message is spooled into the one file the pool keeps.
    auto spool = FileIdentity(c->session().spool_fd());
    if (first_spool.second == 0) first_spool = spool;
    EXPECT_EQ(spool, first_spool) << m.text.substr(0, 14);
    Feed(*c, m.text.substr(10) + "\r\n.\r\n", 500);
    EXPECT_EQ(link_.Take().substr(0, 4), m.reply) << m.text.substr(0, 14);
    EXPECT_EQ(pool->kept(), 1u);
    EXPECT_TRUE(env_.TempFiles().empty());
  }
  auto bob = env_.Mailbox("bob");
  auto carol = env_.Mailbox("carol");
  ASSERT_EQ(bob.size(), 1u);
  ASSERT_EQ(carol.size(), 2u);
  EXPECT_NE(bob[0].find(long_body), std::string::npos);
  // The shorter messages after a longer one hold nothing of it.
  EXPECT_TRUE(Normalize(carol[0]).ends_with("\r\n\r\nshort")) << carol[0];
  EXPECT_TRUE(Normalize(carol[1]).ends_with("\r\n\r\nafter the refused one")) << carol[1];
  for (const auto& message : carol) {
    EXPECT_EQ(message.find("FIRST"), std::string::npos);
    EXPECT_EQ(message.find("REFUSED"), std::string::npos);
  }
}

TEST_F(ConnectionTest, MessageThatCannotBeStoredIsNotAcknowledged) {
  // Neither the temporary folder nor the mail folder can hold a file.
  CopyField(env_.system().TempPath, "/dev/null/temp");
  CopyField(env_.system().MailPath, "/dev/null/mail");
  auto c = Open();
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: x\r\n\r\ny\r\n.\r\n");
  EXPECT_EQ(link_.Take(), "451 Message could not be stored; try again later\r\n");
}

TEST_F(ConnectionTest, MailboxThatCannotBeWrittenIsNotAcknowledged) {
  // A plain file where bob's mailbox directory belongs.
  qv::testing::WriteFileText(env_.mail() + "/bob", "in the way");
  auto c = Open();
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "RCPT TO:<carol@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: x\r\n\r\ny\r\n.\r\n");
  EXPECT_EQ(link_.Take(), "451 Message could not be stored; try again later\r\n");
  EXPECT_NE(env_.LogText().find("Cannot store message for <bob@example.test>"), std::string::npos);
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(ConnectionTest, SendImmediatelyStartsTheRunAfterTheReply) {
  env_.smtp().Flags |= kSmtpImmediately;
  std::string sent_before_run;
  int runs = 0;
  auto c = Open([&] {
    ++runs;
    sent_before_run = link_.sent;
  });
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: x\r\n\r\ny\r\n.\r\n");
  EXPECT_EQ(runs, 0);  // nothing queued for other hosts
  link_.Take();
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<zed@faraway.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: x\r\n\r\ny\r\n.\r\n");
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(sent_before_run.substr(0, 4), "250 ");
  EXPECT_EQ(env_.Queue().size(), 1u);
}

TEST_F(ConnectionTest, ReplyWaitsForTheStoredMessageAndHeldInputFollows) {
  DeferredOffload offload;
  auto c = std::make_unique<SmtpConnection>(env_.settings(), link_, "198.51.100.7", nullptr,
                                            offload.Function());
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: later\r\n\r\nstored off the loop\r\n.\r\n");
  EXPECT_TRUE(c->storing());
  EXPECT_EQ(link_.Take(), "");
  EXPECT_EQ(link_.idle_limit, std::chrono::milliseconds(0));
  // A client that does not wait: its QUIT is answered after the message's reply.
  Feed(*c, "QUIT\r\n");
  EXPECT_EQ(link_.Take(), "");
  ASSERT_EQ(offload.jobs.size(), 1u);
  offload.RunAll();
  std::string replies = link_.Take();
  EXPECT_EQ(replies.substr(0, 4), "250 ");
  EXPECT_NE(replies.find("\r\n221 198.51.100.7 closing connection\r\n"), std::string::npos);
  EXPECT_TRUE(link_.closed);
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(ConnectionTest, ConnectionGoneWhileStoringStillStoresTheMessage) {
  DeferredOffload offload;
  auto c = std::make_unique<SmtpConnection>(env_.settings(), link_, "198.51.100.7", nullptr,
                                            offload.Function());
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  Feed(*c, "Subject: orphan\r\n\r\ntext\r\n.\r\n");
  c.reset();
  offload.RunAll();
  // Stored, but never acknowledged: the client will send it again, so nothing is lost.
  EXPECT_EQ(env_.Mailbox("bob").size(), 1u);
  EXPECT_EQ(link_.Take(), "");
  EXPECT_TRUE(env_.TempFiles().empty());
}

TEST_F(ConnectionTest, BinaryAndNulBytesNeverBreakTheConversation) {
  auto c = Open();
  EXPECT_EQ(Say(*c, std::string("MA\0L FROM:<a@b>\r\n", 18)), "501 Syntax Error\r\n");
  EXPECT_EQ(Say(*c, "\xff\xfe\x01\r\n"), "501 Syntax Error\r\n");
  EXPECT_EQ(Say(*c, "\r\n"), "501 Syntax Error\r\n");
  Say(*c, "MAIL FROM:<alice@other.test>\r\n");
  Say(*c, "RCPT TO:<bob@example.test>\r\n");
  Say(*c, "DATA\r\n");
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  Feed(*c, "Subject: bin\r\n\r\n" + binary + "\r\n.\r\n", 100);
  EXPECT_EQ(link_.Take().substr(0, 4), "250 ");
  auto box = env_.Mailbox("bob");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_NE(box[0].find(binary), std::string::npos);
}

}  // namespace
}  // namespace qv::smtp
