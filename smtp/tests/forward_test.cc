#include "smtp/forward.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/accounts.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/testing/fake_dialup.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "mail/tests/mail_env_util.h"
#include "net/tests/dns_fake_util.h"
#include "net/tests/smtp_peer_util.h"
#include "platform/unique_fd.h"

namespace qv::smtp {
namespace {

using qv::testing::FakeSmtpPeer;
using qv::testing::RealSmtpPeer;

// A message as the service stores it after the envelope lines.
const char kStored[] =
    "Received: by mx.local.test with Quorvane-SMTP/POP3-Server (v1.00 Linux) for "
    "<bob@remote.test> at Mon, 7 Dec 26  10:00:00 +0000\r\n"
    "From: ann@local.test\r\nTo: bob@remote.test\r\nSubject: hello\r\n\r\n"
    "first line\r\n..a stuffed dot line\r\nlast line\r\n";

class ForwardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetMessageMaskDecision();
    CopyField(env_.system().HostName, "mx.local.test");
    CopyField(env_.system().AdministratorName, "postmaster");
    CopyField(env_.system().AdministratorMailBox, "admin");
    env_.system().LogLevel = 5;
    env_.settings().smtp.Flags = kSmtpUseMx;
    env_.settings().smtp.ReturnTimer = 259200;
    env_.settings().smtp.PortEx = peer_.port();
    env_.settings().smtp.SMTPTimer = 900;
    USERSTRUCT ann = testing::MakeUser("ann", "local.test", "pw", "ann");
    ASSERT_EQ(AddRecord(env_.system(), &ann), 0);
    options_.reply_timeout_ms = 5000;
    options_.connect_timeout_ms = 5000;
    options_.dns_timeout_ms = 2000;
  }

  std::string ForwardDir() const { return env_.mail() + "/forward"; }

  // Queues a message with the envelope lines, masked as the service stores it.
  std::string Queue(const std::string& to, const std::string& from,
                    const std::string& message = kStored) {
    std::string name;
    EXPECT_EQ(WriteMessageFile(ForwardDir(), kQueueExtension,
                               "To: " + to + "\r\nFrom: " + from + "\r\n" + message, 0, &name),
              0);
    return name;
  }

  static void Age(const std::string& path, long seconds) {
    utimbuf t;
    t.actime = t.modtime = std::time(nullptr) - seconds;
    ASSERT_EQ(::utime(path.c_str(), &t), 0);
  }

  std::vector<std::string> Mailbox(const std::string& box) const { return env_.Mailbox(box); }
  std::vector<std::string> QueueTexts() const { return env_.Queue(); }
  std::string LogText() const { return env_.LogText("s"); }
  bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

  static std::vector<std::string> Verbs(const FakeSmtpPeer& peer) {
    std::vector<std::string> v;
    for (const std::string& c : peer.commands()) v.push_back(c);
    return v;
  }

  mail::testing::MailEnv env_{"local.test"};
  FakeSmtpPeer peer_;
  ForwardOptions options_;
};

// ---------------------------------------------------------------------------------------------
// The envelope.

TEST(ForwardEnvelope, ReadsTheTwoEnvelopeLines) {
  struct Case {
    const char* what;
    std::string head;
    int result;
    std::string local, domain, reverse_path;
    long offset;
  } cases[] = {
      {"plain", "To: bob@remote.test\r\nFrom: ann@local.test\r\nReceived: x", 0, "bob",
       "remote.test", "ann@local.test", 43},
      {"brackets and blanks", "To: <bob@remote.test>\r\n\r\n  From:  <ann@local.test> \r\n\r\nX", 0,
       "bob", "remote.test", "ann@local.test", 55},
      {"empty reverse-path", "To: bob@remote.test\r\nFrom: \r\nX", 0, "bob", "remote.test", "", 29},
      {"host form", "To: bob@#relay.test\r\nFrom: a@b\r\nX", 0, "bob", "#relay.test", "a@b", 32},
      {"literal form", "To: bob@[10.1.2.3]\r\nFrom: a@b\r\nX", 0, "bob", "[10.1.2.3]", "a@b", 31},
      {"any case", "to: bob@remote.test\nfrom: a@b\nX", 0, "bob", "remote.test", "a@b", 30},
      {"no To:", "From: a@b\r\nTo: bob@remote.test\r\n", kQueueNoDestination, "", "", "", 0},
      {"empty file", "", kQueueNoDestination, "", "", "", 0},
      {"no domain", "To: bob\r\nFrom: a@b\r\n", kQueueInvalidAddress, "bob", "", "", 0},
      {"no local part", "To: @remote.test\r\nFrom: a@b\r\n", kQueueInvalidAddress, "",
       "remote.test", "", 0},
      {"no From:", "To: bob@remote.test\r\nReceived: x\r\n", kQueueInvalidFormat, "bob",
       "remote.test", "", 0},
      {"From: line without its end", "To: bob@remote.test\r\nFrom: a@b", kQueueInvalidFormat, "bob",
       "remote.test", "", 0},
  };
  for (const Case& c : cases) {
    QueueEnvelope env;
    EXPECT_EQ(ReadQueueEnvelope(c.head, &env), c.result) << c.what;
    EXPECT_EQ(env.local, c.local) << c.what;
    EXPECT_EQ(env.domain, c.domain) << c.what;
    if (c.result != 0) continue;
    EXPECT_EQ(env.reverse_path, c.reverse_path) << c.what;
    EXPECT_EQ(env.message_offset, c.offset) << c.what;
  }
}

TEST_F(ForwardTest, MalformedFilesAreRemovedWithALogLine) {
  Queue("", "a@b");  // "To: " with nothing
  std::string no_to;
  WriteMessageFile(ForwardDir(), kQueueExtension, "Subject: x\r\n\r\nbody\r\n", 0, &no_to);
  Queue("bob@remote.test\r\nReceived: y", "", "");  // no From: line at all
  std::string garbage;
  WriteMessageFile(ForwardDir(), kQueueExtension, std::string(5000, '\0'), 0, &garbage);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 4);
  EXPECT_TRUE(QueueTexts().empty());
  EXPECT_TRUE(Logged("Cannot forward message; Invalid mail address <@>"));
  EXPECT_TRUE(Logged("Cannot forward message; No destination address is given"));
  EXPECT_TRUE(Logged("Cannot forward message; Invalid file format"));
  EXPECT_EQ(peer_.connections(), 0);
}

// ---------------------------------------------------------------------------------------------
// Conversations.

TEST_F(ForwardTest, HostAndLiteralFormsGoStraightToTheirHost) {
  env_.settings().smtp.Flags =
      kSmtpUseDns;  // no name server: only the address itself can say where
  std::string expect_msg = kStored;
  for (const char* to : {"bob@#127.0.0.1", "bob@[127.0.0.1]"}) {
    Queue(to, "ann@local.test");
    EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1) << to;
  }
  std::vector<std::string> want = {"HELO mx.local.test",
                                   "MAIL FROM: <ann@local.test>",
                                   "RCPT TO: <bob@#127.0.0.1>",
                                   "DATA",
                                   "QUIT",
                                   "HELO mx.local.test",
                                   "MAIL FROM: <ann@local.test>",
                                   "RCPT TO: <bob@[127.0.0.1]>",
                                   "DATA",
                                   "QUIT"};
  EXPECT_EQ(Verbs(peer_), want);
  ASSERT_EQ(peer_.messages().size(), 2u);
  EXPECT_EQ(peer_.messages()[0], expect_msg);
  EXPECT_EQ(peer_.messages()[1], expect_msg);
  EXPECT_TRUE(QueueTexts().empty());
  EXPECT_TRUE(Logged("Sending SMTP-Mail forward to <bob@#127.0.0.1>"));
  EXPECT_TRUE(Logged("Connecting to 127.0.0.1"));
  EXPECT_TRUE(Logged("<DATA> ..a stuffed dot line"));
  EXPECT_TRUE(Logged("Connection closed"));
}

TEST_F(ForwardTest, ExchangersFromARealNameServerAndARealPeer) {
  RealSmtpPeer real;
  if (!real.ok()) GTEST_SKIP() << real.why();
  testing::DnsmasqServer dns(
      {"--mx-host=remote.test,127.0.0.1,10", "--mx-host=remote.test,mx.local.test,20"});
  if (!dns.ok()) GTEST_SKIP() << dns.why();
  env_.settings().smtp.Flags = kSmtpUseDns;
  env_.settings().smtp.PortEx = real.port();
  CopyField(env_.system().NameServer, dns.address());
  std::string big = kStored;
  for (int i = 0; i < 3000; ++i) big += "body line " + std::to_string(i) + "\r\n";
  Queue("bob@remote.test", "ann@local.test", big);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  auto got = real.WaitForMessages(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].mail_from, "ann@local.test");
  EXPECT_EQ(got[0].rcpt_to, std::vector<std::string>{"bob@remote.test"});
  // The peer removes the transfer's dot-stuffing: the stored "..a" arrives as ".a".
  std::string want = big;
  want.replace(want.find("..a stuffed"), 2, ".");
  EXPECT_EQ(got[0].content.size(), want.size());
  EXPECT_TRUE(got[0].content == want);
  EXPECT_TRUE(QueueTexts().empty());
}

TEST_F(ForwardTest, ARealPeerStoresTheMessageAsQueued) {
  RealSmtpPeer real;
  if (!real.ok()) GTEST_SKIP() << real.why();
  env_.settings().smtp.PortEx = real.port();
  // Stored as received: dots doubled, and the last line with its line end or (when the end line
  // of the transfer took it) without.
  std::string open_end = "Subject: open\r\n\r\n..dot\r\nno line end";
  Queue("bob@#127.0.0.1", "ann@local.test");
  Queue("bob@#127.0.0.1", "ann@local.test", open_end);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 2);
  auto got = real.WaitForMessages(2);
  ASSERT_EQ(got.size(), 2u);
  std::string want = kStored;
  want.replace(want.find("..a stuffed"), 2, ".");
  EXPECT_EQ(got[0].content, want);
  EXPECT_EQ(got[1].content, "Subject: open\r\n\r\n.dot\r\nno line end\r\n");
}

TEST_F(ForwardTest, EhloWithSizeAndTheFallBackToHelo) {
  env_.settings().smtp.Flags = kSmtpUseMx | kSmtpEsmtp | kSmtpClientEhlo | kSmtpEsmtpSize;
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  std::vector<std::string> cmds = peer_.commands();
  ASSERT_GE(cmds.size(), 2u);
  EXPECT_EQ(cmds[0], "EHLO mx.local.test");
  EXPECT_EQ(cmds[1], "MAIL FROM: <ann@local.test> SIZE=" + std::to_string(std::strlen(kStored)));

  // A host that does not know EHLO gets HELO, and no SIZE.
  FakeSmtpPeer::Script old;
  old.reply = [](const std::string& line) {
    return line.rfind("EHLO", 0) == 0 ? "500 Command unrecognized\r\n"
                                      : FakeSmtpPeer::StandardReply(line);
  };
  FakeSmtpPeer old_peer(old);
  env_.settings().smtp.PortEx = old_peer.port();
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  std::vector<std::string> want = {"EHLO mx.local.test",
                                   "HELO mx.local.test",
                                   "MAIL FROM: <ann@local.test>",
                                   "RCPT TO: <bob@remote.test>",
                                   "DATA",
                                   "QUIT"};
  EXPECT_EQ(old_peer.commands(), want);
}

TEST_F(ForwardTest, MultiLineRepliesAreReadToTheirLastLine) {
  FakeSmtpPeer::Script s;
  s.greeting = "220-peer.test first\r\n220-peer.test second\r\n220 peer.test ready\r\n";
  s.split_lines = true;
  s.reply = [](const std::string& line) -> std::string {
    if (line.rfind("EHLO", 0) == 0)
      return "250-peer.test\r\n250-PIPELINING\r\n250-SIZE 100\r\n250 HELP\r\n";
    if (line.rfind("MAIL", 0) == 0) return "250-sender\r\n250 ok\r\n";
    return FakeSmtpPeer::StandardReply(line);
  };
  FakeSmtpPeer multi(s);
  env_.settings().smtp.Flags = kSmtpUseMx | kSmtpEsmtp | kSmtpClientEhlo;
  env_.settings().smtp.PortEx = multi.port();
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  std::vector<std::string> want = {"EHLO mx.local.test", "MAIL FROM: <ann@local.test>",
                                   "RCPT TO: <bob@remote.test>", "DATA", "QUIT"};
  EXPECT_EQ(multi.commands(), want);
  EXPECT_EQ(multi.messages().size(), 1u);
}

TEST_F(ForwardTest, SmartHostsInOrderUntilOneTakesTheMessage) {
  env_.settings().smtp.Flags = kSmtpUseMx;
  // Nothing listens on 127.0.0.2 at the peer's port; the peer is on 127.0.0.1.
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.2;127.0.0.1");
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  EXPECT_EQ(peer_.messages().size(), 1u);
  EXPECT_TRUE(Logged("Connecting to 127.0.0.2"));
  EXPECT_TRUE(Logged("Connection timed out"));
}

TEST_F(ForwardTest, QueueNamesPastTheHundredthOfASecondAreSentInNameOrder) {
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  const std::vector<std::string> names = {"26120714301599.out", "261207143015A0.out",
                                          "261207143015Az.out", "261207143015a0.out",
                                          "261207143015zz.out"};
  for (size_t i = names.size(); i-- > 0;) {
    std::string queued = Queue("bob@remote.test", "ann@local.test",
                               "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n");
    ASSERT_EQ(std::rename(queued.c_str(), (ForwardDir() + "/" + names[i]).c_str()), 0);
  }
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), static_cast<int>(names.size()));
  std::vector<std::string> sent = peer_.messages();
  ASSERT_EQ(sent.size(), names.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_NE(sent[i].find("Subject: " + std::to_string(i) + "\r\n"), std::string::npos) << sent[i];
  }
  EXPECT_TRUE(QueueTexts().empty());
}

TEST_F(ForwardTest, UnreachableHostsKeepTheFile) {
  struct Case {
    const char* what;
    uint32_t flags;
    std::string exchange_host;
    std::string log;
  } cases[] = {
      {"a host that cannot be resolved", kSmtpUseMx, "no-such-host.invalid",
       "Cannot resolve host no-such-host.invalid"},
      {"a host that refuses", kSmtpUseMx, "127.0.0.2", "The MX-Host does not respond"},
      {"no host at all", kSmtpUseMx, "", "There is no MX-Host available"},
  };
  for (const Case& c : cases) {
    env_.settings().smtp.Flags = c.flags;
    CopyField(env_.settings().smtp.ExchangeHost, c.exchange_host);
    std::string path = Queue("bob@remote.test", "ann@local.test");
    bool unreachable = false;
    EXPECT_EQ(ForwardQueueFile(env_.settings(), path, false, &unreachable, options_), 0) << c.what;
    EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 0) << c.what;
    EXPECT_EQ(QueueTexts().size(), 1u) << c.what;
    EXPECT_TRUE(Logged(c.log)) << c.what;
    ::unlink(path.c_str());
  }
  EXPECT_TRUE(Mailbox("ann").empty());
}

TEST_F(ForwardTest, ANameServerWithoutExchangersLeavesTheFileQueued) {
  testing::FakeDnsServer dns([](const testing::Bytes& q) {
    return std::vector<testing::FakeDnsServer::Reply>{{testing::AnswerTo(q, {})}};
  });
  env_.settings().smtp.Flags = kSmtpUseDns;
  CopyField(env_.system().NameServer, dns.address());
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 0);
  EXPECT_EQ(QueueTexts().size(), 1u);
  EXPECT_TRUE(Logged("There is no MX-Host available"));
  EXPECT_EQ(dns.questions(), std::vector<std::string>{"remote.test"});
}

TEST_F(ForwardTest, ANameServerAnsweringWithNameServersLeavesTheSmartHostToTry) {
  testing::FakeDnsServer dns([](const testing::Bytes& q) {
    testing::Bytes ns =
        testing::Record(testing::Labels("remote.test"), 2, testing::Labels("ns1.remote.test"));
    return std::vector<testing::FakeDnsServer::Reply>{{testing::AnswerTo(q, {ns})}};
  });
  env_.settings().smtp.Flags = kSmtpUseDns | kSmtpUseMx;
  CopyField(env_.system().NameServer, dns.address());
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  EXPECT_EQ(peer_.messages().size(), 1u);
  EXPECT_FALSE(Logged("ns1.remote.test"));
}

// ---------------------------------------------------------------------------------------------
// Refusals and reports.

FakeSmtpPeer::Script Refusing(const std::string& verb, const std::string& reply) {
  FakeSmtpPeer::Script s;
  s.reply = [verb, reply](const std::string& line) {
    return line.rfind(verb, 0) == 0 ? reply : FakeSmtpPeer::StandardReply(line);
  };
  return s;
}

TEST_F(ForwardTest, ARefusedRecipientIsReportedToTheLocalSender) {
  FakeSmtpPeer refusing(Refusing("RCPT", "550 5.1.1 no such user\r\n"));
  env_.settings().smtp.PortEx = refusing.port();
  env_.settings().smtp.Flags = kSmtpUseMx | kSmtpSendInfo;
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  // QUIT ends the conversation, the file is gone, and the sender has the report.
  std::vector<std::string> want = {"HELO mx.local.test", "MAIL FROM: <ann@local.test>",
                                   "RCPT TO: <bob@remote.test>", "QUIT"};
  EXPECT_EQ(refusing.commands(), want);
  EXPECT_TRUE(QueueTexts().empty());
  std::vector<std::string> box = Mailbox("ann");
  ASSERT_EQ(box.size(), 1u);
  const std::string& report = box[0];
  std::string transaction =
      "---------------\r\nPart of transaction follows:\r\n--> RCPT TO: <bob@remote.test>\r\n"
      "<-- 550 5.1.1 no such user\r\n\r\n---------------\r\n\r\nOriginal Message:\r\n";
  EXPECT_EQ(report.rfind("Received: by mx.local.test", 0), 0u) << report;
  // Delivery adds the Message-Id header at the end of the report's header.
  EXPECT_NE(report.find("From: postmaster@local.test\r\nTo: ann@local.test\r\nDate: "),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\r\nSubject: Delivery unsuccesful: Delivery problems\r\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\r\n\r\n---------------\r\nThe following address has delivery "
                        "problems:\r\n  bob@remote.test\r\n\r\n" +
                        transaction + kStored),
            std::string::npos)
      << report;
  // SENDINFO without ATTACHMESSAGE: the notice carries the short transaction text only.
  std::vector<std::string> admin = Mailbox("admin");
  ASSERT_EQ(admin.size(), 1u);
  EXPECT_NE(admin[0].find("Subject: Delivery unsuccesful: Delivery problems\r\n\r\n"
                          "---------------\r\nThe following address has delivery problems:\r\n"
                          "  bob@remote.test\r\n\r\n---------------\r\nPart of transaction "
                          "follows:\r\n--> RCPT TO: <bob@remote.test>\r\n<-- 550 5.1.1 no such "
                          "user\r\n\r\n"),
            std::string::npos)
      << admin[0];
  EXPECT_EQ(admin[0].find("first line"), std::string::npos);
}

TEST_F(ForwardTest, TheNoticeWithAttachmentCarriesTheMessage) {
  FakeSmtpPeer refusing(Refusing("MAIL", "553 sender refused\r\n"));
  env_.settings().smtp.PortEx = refusing.port();
  env_.settings().smtp.Flags = kSmtpUseMx | kSmtpSendInfo | kSmtpAttachMessage;
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  std::vector<std::string> admin = Mailbox("admin");
  ASSERT_EQ(admin.size(), 1u);
  EXPECT_NE(admin[0].find("--> MAIL FROM: <ann@local.test>\r\n<-- 553 sender refused\r\n\r\n"
                          "---------------\r\n\r\nOriginal Message:\r\n" +
                          std::string(kStored)),
            std::string::npos)
      << admin[0];
}

bool FakeAccount(const std::string& name, SystemAccount* account) {
  if (name != "sam") return false;
  account->name = "sam";
  account->gecos = "Sam Stone";
  account->groups = {"mailusers"};
  return true;
}

TEST_F(ForwardTest, AReportToAnAccountSenderLandsInTheAccountsMailbox) {
  FakeSmtpPeer refusing(Refusing("RCPT", "550 no\r\n"));
  env_.settings().smtp.PortEx = refusing.port();
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  SetSystemAccountSource(&FakeAccount);
  env_.system().Flags = kSysNtUser;
  CopyField(env_.system().NTUser, "mailusers");
  Queue("bob@remote.test", "sam@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  SetSystemAccountSource(nullptr);
  env_.system().Flags = 0;
  std::vector<std::string> box = Mailbox("sam");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_NE(box[0].find("To: sam@local.test\r\n"), std::string::npos);
  EXPECT_NE(box[0].find("<-- 550 no\r\n"), std::string::npos);
  EXPECT_TRUE(QueueTexts().empty());
}

TEST_F(ForwardTest, AReportToAForeignSenderIsQueuedWithTheEmptyReversePath) {
  FakeSmtpPeer refusing(Refusing("RCPT", "550 no\r\n"));
  env_.settings().smtp.PortEx = refusing.port();
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  Queue("bob@remote.test", "carl@far.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  std::vector<std::string> queued = QueueTexts();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].rfind("To: carl@far.test\r\nFrom: \r\n", 0), 0u) << queued[0];
  EXPECT_NE(queued[0].find("The following address has delivery problems:\r\n  bob@remote.test"),
            std::string::npos);

  // The report leaves with MAIL FROM: <>; refused in turn, it makes no report of its own.
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  std::vector<std::string> cmds = refusing.commands();
  ASSERT_GE(cmds.size(), 6u);
  EXPECT_EQ(cmds[5], "MAIL FROM: <>");
  EXPECT_TRUE(QueueTexts().empty());
  EXPECT_TRUE(Mailbox("ann").empty());
}

TEST_F(ForwardTest, AReportIsMadeOnlyForASenderItCanReach) {
  // The report of a message read from its queue file, which is gone from the queue by then.
  auto report = [&](const std::string& sender) {
    std::string path = Queue("bob@remote.test", "x@y.test");
    platform::UniqueFd queued(::open(path.c_str(), O_RDONLY));
    EXPECT_GE(queued.get(), 0);
    std::filesystem::remove(path);
    return ReturnDeliveryReport(env_.settings(), sender, "bob@remote.test", "<-- 550 no\r\n",
                                queued.get());
  };
  // No report of a report, and none the queue has no address for.
  EXPECT_EQ(report(""), 0);
  EXPECT_EQ(report("justaname"), 0);
  EXPECT_TRUE(QueueTexts().empty());
  // A local user's report lands in the mailbox; a foreign sender's is queued.
  EXPECT_EQ(report("ann@local.test"), 1);
  EXPECT_EQ(Mailbox("ann").size(), 1u);
  EXPECT_TRUE(QueueTexts().empty());
  EXPECT_EQ(report("carl@far.test"), 1);
  std::vector<std::string> queued = QueueTexts();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].rfind("To: carl@far.test\r\nFrom: \r\n", 0), 0u) << queued[0];
}

TEST_F(ForwardTest, TemporaryRefusalsAndLostConnectionsKeepTheFile) {
  struct Case {
    const char* what;
    FakeSmtpPeer::Script script;
  };
  FakeSmtpPeer::Script after_data;
  after_data.data_reply = "554 rejected after the data\r\n";
  FakeSmtpPeer::Script silent_after_data;
  silent_after_data.data_reply = "";  // closes instead of answering
  Case cases[] = {
      {"greylisted recipient", Refusing("RCPT", "451 4.7.1 try again later\r\n")},
      {"busy at the greeting",
       [] {
         FakeSmtpPeer::Script s;
         s.greeting = "421 busy\r\n";
         return s;
       }()},
      {"connection dropped at MAIL", Refusing("MAIL", "")},
      {"refused after the end line", after_data},
      {"dropped after the end line", silent_after_data},
  };
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  for (Case& c : cases) {
    FakeSmtpPeer peer(c.script);
    env_.settings().smtp.PortEx = peer.port();
    std::string path = Queue("bob@remote.test", "ann@local.test");
    bool unreachable = false;
    EXPECT_EQ(ForwardQueueFile(env_.settings(), path, false, &unreachable, options_), 0) << c.what;
    EXPECT_TRUE(unreachable) << c.what;
    EXPECT_TRUE(Mailbox("ann").empty()) << c.what;
    ::unlink(path.c_str());
  }
}

// ---------------------------------------------------------------------------------------------
// Expiry.

TEST_F(ForwardTest, AnExpiredMessageGoesBackToItsLocalSender) {
  env_.settings().smtp.Flags = kSmtpUseMx | kSmtpReturnToSender | kSmtpSendInfo;
  env_.settings().smtp.ReturnTimer = 3600;
  CopyField(env_.settings().smtp.ExchangeHost,
            "127.0.0.2");  // unreachable; never tried when expired
  std::string fresh = Queue("dan@remote.test", "ann@local.test");
  Age(fresh, 3000);
  std::string old = Queue("bob@remote.test", "ann@local.test");
  Age(old, 3700);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  EXPECT_EQ(QueueTexts().size(), 1u);
  std::vector<std::string> box = Mailbox("ann");
  ASSERT_EQ(box.size(), 1u);
  size_t start = box[0].find("\r\n") + 2;
  std::string body = box[0].substr(start);
  EXPECT_EQ(body.rfind("Date: ", 0), 0u) << body;
  EXPECT_NE(body.find("\r\nFrom: <>\r\nSubject: Delivery unsuccesful: Host unreachable\r\n"
                      "To: <ann@local.test>\r\n"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("\r\n\r\nThe following mail address is unreachable: <bob@remote.test>\r\n"
                      "\r\n*** Original Message ***\r\n" +
                      std::string(kStored)),
            std::string::npos)
      << body;
  EXPECT_TRUE(Logged("Return SMTP-Mail back to sender <ann@local.test>"));
  // Returned to a local sender: no notice besides.
  EXPECT_TRUE(Mailbox("admin").empty());
}

TEST_F(ForwardTest, AnExpiredMessageWithoutReturnIsRemovedAndReported) {
  struct Case {
    const char* what;
    uint32_t flags;
    bool notice;
    bool with_message;
  } cases[] = {
      {"no return, no notice", kSmtpUseMx, false, false},
      {"notice without the message", kSmtpUseMx | kSmtpSendInfo, true, false},
      {"notice with the message", kSmtpUseMx | kSmtpSendInfo | kSmtpAttachMessage, true, true},
  };
  env_.settings().smtp.ReturnTimer = 60;
  for (const Case& c : cases) {
    env_.settings().smtp.Flags = c.flags;
    std::string path = Queue("bob@remote.test", "ann@local.test");
    Age(path, 120);
    EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1) << c.what;
    EXPECT_TRUE(QueueTexts().empty()) << c.what;
    EXPECT_TRUE(Mailbox("ann").empty()) << c.what;
    std::vector<std::string> admin = Mailbox("admin");
    EXPECT_EQ(admin.size(), c.notice ? 1u : 0u) << c.what;
    if (admin.empty()) continue;
    const std::string& n = admin[0];
    EXPECT_NE(n.find("From: <>\r\nTo: postmaster@local.test\r\nDate: "), std::string::npos);
    EXPECT_NE(n.find("Subject: Delivery unsuccesful: Host unreachable\r\n\r\n"), std::string::npos);
    if (c.with_message) {
      EXPECT_NE(n.find("---------------\r\nThe following message is undeliverable:\r\n\r\n" +
                       std::string(kStored)),
                std::string::npos)
          << n;
    } else {
      EXPECT_NE(n.find("---------------\r\nA message from 'ann@local.test' to 'bob@remote.test' "
                       "is undeliverable.\r\n"),
                std::string::npos)
          << n;
    }
    std::filesystem::remove_all(env_.mail() + "/admin");
  }
}

TEST_F(ForwardTest, AnExpiredMessageOfAForeignSenderIsReturnedByMail) {
  env_.settings().smtp.Flags = kSmtpUseMx | kSmtpReturnToSender;
  env_.settings().smtp.ReturnTimer = 60;
  std::string path = Queue("bob@remote.test", "carl@#127.0.0.1");
  Age(path, 120);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  std::vector<std::string> want = {"HELO mx.local.test", "MAIL FROM: <>",
                                   "RCPT TO: <carl@#127.0.0.1>", "DATA", "QUIT"};
  EXPECT_EQ(peer_.commands(), want);
  ASSERT_EQ(peer_.messages().size(), 1u);
  const std::string m = peer_.messages()[0];
  EXPECT_EQ(m.rfind("Date: ", 0), 0u);
  EXPECT_NE(m.find("To: <carl@#127.0.0.1>\r\n\r\nThe following mail address is unreachable: "
                   "<bob@remote.test>\r\n\r\n*** Original Message ***\r\n" +
                   std::string(kStored)),
            std::string::npos)
      << m;

  // An expired report has nobody to go back to.
  Age(Queue("carl@far.test", ""), 120);
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 1);
  EXPECT_EQ(peer_.connections(), 1);
  EXPECT_TRUE(QueueTexts().empty());
}

// ---------------------------------------------------------------------------------------------
// The run.

TEST_F(ForwardTest, NothingRunsWithoutDnsOrSmartHosts) {
  env_.settings().smtp.Flags = 0;
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 0);
  EXPECT_EQ(peer_.connections(), 0);
  EXPECT_EQ(QueueTexts().size(), 1u);
}

TEST_F(ForwardTest, DialUp) {
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  CopyField(env_.system().RASEntry, "provider");
  env_.system().Flags = kSysDialup;
  Queue("bob@remote.test", "ann@local.test");

  // Without dial-up networking the run ends before the first file.
  EXPECT_EQ(RunForwardQueue(env_.settings(), options_), 0);
  EXPECT_TRUE(Logged("Could not open dial-up profile 'provider';Could not load 'rasapi32.dll'"));
  EXPECT_EQ(peer_.connections(), 0);

  // A link that opens is closed at the end of the run.
  qv::testing::FakeDialup dialup;
  ForwardOptions o = options_;
  o.dialup = &dialup;
  EXPECT_EQ(RunForwardQueue(env_.settings(), o), 1);
  EXPECT_EQ(dialup.calls(), (std::vector<std::string>{"open provider", "close provider"}));

  // A link lost while a host was unreachable is dialled again and the file tried once more.
  dialup.Clear();
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.2");
  Queue("bob@remote.test", "ann@local.test");
  EXPECT_EQ(RunForwardQueue(env_.settings(), o), 0);
  EXPECT_EQ(dialup.calls(),
            (std::vector<std::string>{"open provider", "active? provider", "close provider",
                                      "open provider", "close provider"}));
  env_.system().Flags = 0;
}

TEST_F(ForwardTest, TheRunnerRunsOneRunAtATimeAndStopsPromptly) {
  // A peer that greets and then never answers holds the run in its conversation.
  FakeSmtpPeer::Script mute;
  mute.reply = [](const std::string&) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return std::string();
  };
  FakeSmtpPeer slow(mute);
  env_.settings().smtp.PortEx = slow.port();
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  Queue("bob@remote.test", "ann@local.test");

  std::mutex mu;
  std::deque<std::function<void()>> posted;
  int finished = 0;
  ForwardOptions o = options_;
  o.reply_timeout_ms = 60000;
  {
    ForwardRunner runner(
        env_.settings(),
        [&](std::function<void()> fn) {
          std::lock_guard<std::mutex> lock(mu);
          posted.push_back(std::move(fn));
        },
        [&] { ++finished; }, o);
    EXPECT_TRUE(runner.Start());
    EXPECT_TRUE(runner.Active());
    for (int i = 0; i < 200 && slow.commands().empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(runner.Start()) << "a second run while one is going";
    auto start = std::chrono::steady_clock::now();
    runner.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(runner.Active());
    EXPECT_FALSE(runner.Start()) << "no run after Stop";
  }
  for (auto& fn : posted) fn();  // the end of the stopped run reports nothing
  EXPECT_EQ(finished, 0);
  EXPECT_EQ(QueueTexts().size(), 1u);
}

TEST_F(ForwardTest, TheRunnerReportsTheEndOfEachRunOnTheLoop) {
  CopyField(env_.settings().smtp.ExchangeHost, "127.0.0.1");
  std::mutex mu;
  std::deque<std::function<void()>> posted;
  int finished = 0;
  ForwardRunner runner(
      env_.settings(),
      [&](std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(mu);
        posted.push_back(std::move(fn));
      },
      [&] { ++finished; }, options_);
  auto drain = [&] {
    for (int i = 0; i < 500; ++i) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> lock(mu);
        if (!posted.empty()) {
          fn = std::move(posted.front());
          posted.pop_front();
        }
      }
      if (fn) {
        fn();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  for (int run = 1; run <= 2; ++run) {
    Queue("bob@remote.test", "ann@local.test");
    ASSERT_TRUE(runner.Start());
    drain();
    EXPECT_EQ(finished, run);
    EXPECT_FALSE(runner.Active());
    EXPECT_TRUE(QueueTexts().empty());
  }
  EXPECT_EQ(peer_.messages().size(), 2u);
}

}  // namespace
}  // namespace qv::smtp
