#include "mail/responder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/accounts.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/test_env.h"
#include "mail/tests/list_env_util.h"

namespace qv::lists {
namespace {

using qv::testing::ReadFileText;
using qv::testing::WriteFileText;
using testing::ListEnv;

constexpr char kResponding[] = "ann@example.com";

class ResponderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddUser("ann", "example.com");
    env_.AddUser("bob", "example.com", 0, "bobbox");
    env_.AddUser("far", "example.com", kUserRemote, "far@remote.example");
    AddResponder("away", "I am away.\r\n", kAutoLog, "*@spam.example;noreply@*");
  }

  void AddResponder(const std::string& name, const std::string& text, int32_t options,
                    const std::string& exceptions = "") {
    AUTOSTRUCT r{};
    CopyField(r.Name, name);
    CopyField(r.TextFile, TextPath(name));
    CopyField(r.LogFile, ResponderLog(name));
    CopyField(r.Exceptions, exceptions);
    r.Options = options;
    ASSERT_EQ(AddRecord(env_.system(), &r), 0);
    WriteFileText(TextPath(name), text);
  }
  // The list environment's service with the transaction log `prefix`.
  MailService Service(const char* prefix) const {
    MailService service = env_.service;
    service.log_prefix = prefix;
    return service;
  }
  std::string TextPath(const std::string& name) const { return env_.root() + "/" + name + ".txt"; }
  std::string ResponderLog(const std::string& name) const {
    return env_.root() + "/" + name + ".rlog";
  }
  // The responder log's lines without their date text.
  std::vector<std::string> ResponderLogLines(const std::string& name) const {
    std::string text = ReadFileText(ResponderLog(name));
    std::vector<std::string> out;
    for (size_t pos = 0; pos < text.size();) {
      size_t end = text.find("\r\n", pos);
      std::string line = text.substr(pos, end - pos);
      size_t gap = line.find("  ");  // the date text holds two blanks before its time
      gap = line.find("  ", gap + 2);
      out.push_back(gap == std::string::npos ? "?" + line : line.substr(gap + 2));
      pos = end == std::string::npos ? text.size() : end + 2;
    }
    return out;
  }

  ListEnv env_;
};

// The reply as stored, with the two date texts replaced by "DATE".
std::string WithoutDates(std::string text) {
  for (const char* field : {" at ", "Date: "}) {
    size_t at = text.find(field);
    if (at == std::string::npos) continue;
    at += std::strlen(field);
    size_t end = text.find("\r\n", at);
    text.replace(at, end - at, "DATE");
  }
  return text;
}

TEST_F(ResponderTest, LocalSenderGetsTheReplyInItsMailbox) {
  RunResponder(Service("s"), "bob@example.com", kResponding, "away");
  EXPECT_EQ(WithoutDates(env_.OnlyMessage("bobbox")),
            "Received: by mail.example.com with Quorvane-SMTP/POP3-Server (v1.00 Linux) for "
            "<bob@example.com> at DATE\r\n"
            "Date: DATE\r\n"
            "To: <bob@example.com>\r\n"
            "From: <ann@example.com>\r\n"
            "Subject: Reply from ann@example.com\r\n"
            "Auto-Submitted: auto-replied\r\n\r\n"
            "I am away.\r\n");
  // Stored masked, like every message file.
  std::vector<std::string> files = env_.Files("bobbox");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].substr(files[0].size() - 3), ".in");
  EXPECT_EQ(ReadFileText(files[0]).find("Received:"), std::string::npos);
  EXPECT_EQ(env_.LogTexts(),
            std::vector<std::string>{"Preparing responder 'away' for <bob@example.com>"});
  EXPECT_EQ(ResponderLogLines("away"),
            std::vector<std::string>{"Preparing responder 'away' for <bob@example.com>"});
  EXPECT_TRUE(env_.Files("forward").empty());
}

TEST_F(ResponderTest, RoutedAndForeignSendersGetItThroughTheQueue) {
  RunResponder(Service("p"), "far@example.com", kResponding, "away");
  std::string routed = env_.OnlyMessage("forward");
  // An empty envelope sender: a responder at the other end never answers the reply.
  EXPECT_EQ(routed.rfind("To: far@remote.example\r\nFrom: \r\nReceived: by ", 0), 0u) << routed;
  EXPECT_NE(routed.find("\r\nTo: <far@example.com>\r\n"), std::string::npos);
  for (const std::string& f : env_.Files("forward")) unlink(f.c_str());

  RunResponder(Service("p"), "<who@elsewhere.example>", kResponding, "away");
  std::string foreign = env_.OnlyMessage("forward");
  EXPECT_EQ(foreign.rfind("To: who@elsewhere.example\r\nFrom: \r\n", 0), 0u);
  EXPECT_NE(foreign.find("\r\nFrom: <ann@example.com>\r\nSubject: Reply from ann@example.com\r\n"
                         "Auto-Submitted: auto-replied\r\n\r\n"),
            std::string::npos);
  EXPECT_NE(foreign.find("for <who@elsewhere.example> at "), std::string::npos);
  std::vector<std::string> files = env_.Files("forward");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].substr(files[0].size() - 4), ".out");
  // The log of the calling service.
  EXPECT_EQ(env_.LogTexts("p").size(), 2u);
  EXPECT_TRUE(env_.LogTexts("s").empty());
}

TEST_F(ResponderTest, OperatingSystemAccountsGetItInTheirMailbox) {
  SetSystemAccountSource([](const std::string& name, SystemAccount* account) {
    *account = SystemAccount{name, "", {"mail"}};
    return name == "sysuser";
  });
  CopyField(env_.system().NTUser, "mail");
  CopyField(env_.system().NTDomain, "nt.example");
  env_.system().Flags |= kSysNtUser;
  RunResponder(Service("s"), "sysuser@NT.EXAMPLE", kResponding, "away");
  SetSystemAccountSource(nullptr);
  EXPECT_NE(env_.OnlyMessage("sysuser").find("To: <sysuser@NT.EXAMPLE>"), std::string::npos);
}

TEST_F(ResponderTest, ExceptionMasksSilenceTheResponder) {
  for (const char* sender : {"x@SPAM.example", "noreply@anywhere.example"})
    RunResponder(Service("s"), sender, kResponding, "away");
  EXPECT_TRUE(env_.Files("forward").empty());
  EXPECT_TRUE(env_.LogTexts().empty());
  EXPECT_EQ(ResponderLogLines("away"),
            (std::vector<std::string>{
                "No responder created for <x@SPAM.example>; Address does not match with "
                "responder mask",
                "No responder created for <noreply@anywhere.example>; Address does not match "
                "with responder mask"}));
}

TEST(SentAutomaticallyTest, Table) {
  const struct {
    const char* header;
    bool automatic;
  } cases[] = {
      {"", false},
      {"Subject: hi\r\nFrom: a@b\r\n", false},
      {"Auto-Submitted: no\r\n", false},
      {"auto-submitted:  No (a person wrote this)\r\n", false},
      {"Auto-Submitted: auto-replied\r\n", true},
      {"AUTO-SUBMITTED:auto-generated\r\n", true},
      {"Auto-Submitted: auto-notified; owner-email=x@y\r\n", true},
      {"Auto-Submitted:\r\n", true},
      {"Precedence: bulk\r\n", true},
      {"precedence: LIST \r\n", true},
      {"Precedence: junk\r\n", true},
      {"Precedence: first-class\r\n", false},
      {"List-Id: Club <club.example.test>\r\n", true},
      {"List-Unsubscribe: <mailto:x@y>\r\n", false},
      {"X-Auto-Submitted: auto-replied\r\n", false},
      {"Subject: Auto-Submitted: auto-replied\r\n", false},
      // The body does not count.
      {"Subject: s\r\n\r\nPrecedence: bulk\r\n", false},
      {"Subject: s\n\nList-Id: x\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(SentAutomatically(c.header), c.automatic) << c.header;
}

TEST_F(ResponderTest, AutomaticMailIsNeverAnswered) {
  std::string message = env_.root() + "/message";
  auto answer = [&](const std::string& text) {
    WriteFileText(message, text);
    int fd = open(message.c_str(), O_RDONLY | O_CLOEXEC);
    RunResponder(Service("s"), "bob@example.com", kResponding, "away", fd);
    close(fd);
  };
  // Behind many other header lines too.
  std::string received;
  for (int i = 0; i < 200; ++i) received += "Received: from h" + std::to_string(i) + "\r\n";
  answer(received + "Auto-Submitted: auto-replied\r\n\r\nI am away too.\r\n");
  answer("Subject: news\r\nPrecedence: bulk\r\n\r\nbody\r\n");
  EXPECT_TRUE(env_.Files("bobbox").empty());
  EXPECT_EQ(env_.LogTexts(),
            (std::vector<std::string>(2,
                                      "No reply of responder 'away' for <bob@example.com>; "
                                      "The message was sent automatically")));
  // A person's mail, even one that says so, is answered.
  answer("Subject: hello\r\nAuto-Submitted: no\r\n\r\nPrecedence: bulk\r\n");
  EXPECT_EQ(env_.Files("bobbox").size(), 1u);
}

TEST_F(ResponderTest, NothingForEmptyNamesAndShortSenders) {
  RunResponder(Service("s"), "", kResponding, "away");
  RunResponder(Service("s"), "x", kResponding, "away");
  RunResponder(Service("s"), "bob@example.com", kResponding, "");
  EXPECT_TRUE(env_.Files("bobbox").empty());
  EXPECT_TRUE(env_.LogTexts().empty());
}

TEST_F(ResponderTest, MissingResponderAndMissingTextAreReported) {
  RunResponder(Service("s"), "bob@example.com", kResponding, "nosuch");
  ASSERT_EQ(unlink(TextPath("away").c_str()), 0);
  RunResponder(Service("s"), "bob@example.com", kResponding, "away");
  EXPECT_TRUE(env_.Files("bobbox").empty());
  EXPECT_EQ(env_.LogTexts(),
            (std::vector<std::string>{"Auto responder 'nosuch' does not exist",
                                      "Cannot open responder file '" + TextPath("away") + "'"}));
  EXPECT_EQ(ResponderLogLines("away"),
            std::vector<std::string>{"Cannot open responder file '" + TextPath("away") + "'"});
}

TEST_F(ResponderTest, WithoutTheLogOptionNoResponderLogIsWritten) {
  AddResponder("quiet", "Hi", 0, "*@spam.example");
  RunResponder(Service("s"), "bob@example.com", kResponding, "quiet");
  RunResponder(Service("s"), "x@spam.example", kResponding, "quiet");
  EXPECT_EQ(env_.Files("bobbox").size(), 1u);
  struct stat st {};
  EXPECT_NE(stat(ResponderLog("quiet").c_str(), &st), 0);
}

TEST_F(ResponderTest, TextIsStoredInTheTransferForm) {
  // A line "." in the text must not end the message when it is sent on; ".signature" must
  // reach the client as ".signature". Lines ending in LF only become CR LF.
  AddResponder("dots", ".signature\n.\nlast line\n..two", 0);
  RunResponder(Service("s"), "bob@example.com", kResponding, "dots");
  std::string reply = env_.OnlyMessage("bobbox");
  EXPECT_NE(reply.find("\r\n\r\n..signature\r\n..\r\nlast line\r\n...two"), std::string::npos)
      << reply;
  EXPECT_EQ(reply.substr(reply.size() - 8), "\r\n...two");
}

TEST_F(ResponderTest, LongTextsArriveWhole) {
  // Pieces of 255 bytes: a CR LF or a leading dot that falls between two pieces stays right.
  std::string text, expected;
  for (int i = 0; i < 3000; ++i) {
    std::string line = (i % 7 == 0 ? "." : "") + std::string(static_cast<size_t>(i % 300), 'a');
    text += line + "\r\n";
    expected += (i % 7 == 0 ? "." : "") + line + "\r\n";
  }
  AddResponder("long", text, 0);
  RunResponder(Service("s"), "bob@example.com", kResponding, "long");
  std::string reply = env_.OnlyMessage("bobbox");
  size_t body = reply.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_TRUE(reply.substr(body + 4) == expected);
}

TEST_F(ResponderTest, UnsafeMailboxNamesAreRefused) {
  env_.AddUser("evil", "example.com", 0, "../escape");
  RunResponder(Service("s"), "evil@example.com", kResponding, "away");
  struct stat st {};
  EXPECT_NE(stat((env_.root() + "/escape").c_str(), &st), 0);
  EXPECT_EQ(env_.LogTexts().back(),
            "Cannot store the reply of responder 'away' for <evil@example.com>");
}

}  // namespace
}  // namespace qv::lists
