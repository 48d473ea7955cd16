// The reception of a fetched message: the address search of header lines, the stored text and
// the sender and recipients found in the header.
#include "pop3/fetched_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/fileio.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

using testing::Pop3TestSystem;

TEST(AddressAround, BoundsTheAddressAroundItsAt) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"From: ann@example.test\r\n", "ann@example.test"},
      {"From: \"Ann\" <ann@example.test>\r\n", "ann@example.test"},
      {"From:ann@x.test;bob@y.test", "ann@x.test"},
      {"From: a,b@x.test,c", "b@x.test"},
      {"From: \tq@x.test\t(Q)", "q@x.test"},
      {"From: \"q@x\"", "q@x"},
      {"From: nobody", ""},
      {"From: <@>", "@"},
  };
  for (const auto& [line, address] : cases) EXPECT_EQ(AddressAround(line), address) << line;
  size_t next = 0;
  std::string line = "To: a@x.test, b@y.test\r\n";
  EXPECT_EQ(AddressAround(line, 0, &next), "a@x.test");
  EXPECT_EQ(AddressAround(line, next, &next), "b@y.test");
  EXPECT_EQ(AddressAround(line, next, &next), "");
  EXPECT_EQ(next, line.size());
}

class ReceptionTest : public ::testing::Test {
 protected:
  static bool IsLocal(std::string_view, std::string_view domain) {
    return domain == "example.test";
  }
  // The message received from these lines, and the stored text.
  std::string Receive(FetchedMessage& m, const std::vector<std::string>& lines) {
    EXPECT_TRUE(m.Open(sys_.system().TempPath, sys_.system().MailPath));
    for (const std::string& line : lines)
      if (!m.AddLine(line)) break;
    EXPECT_TRUE(m.Finish());
    std::string text(m.size(), '\0');
    EXPECT_TRUE(platform::ReadAt(m.fd(), text.data(), text.size(), 0));
    return text;
  }
  Pop3TestSystem sys_;
};

TEST_F(ReceptionTest, StoresLinesAsReceivedUpToTheEndLine) {
  std::string path;
  {
    FetchedMessage m(false, IsLocal);
    std::string text = Receive(
        m, {"Subject: x\r\n", "\r\n", "..leading dot\r\n", ". \r\n", "+OK not a status line\r\n",
            "-ERR neither\r\n", "bare lf\n", ".\r\n", "after the end\r\n"});
    EXPECT_EQ(text,
              "Subject: x\r\n\r\n..leading dot\r\n. \r\n+OK not a status line\r\n-ERR neither\r\n"
              "bare lf\n");
    path = m.path();
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
  }
  EXPECT_NE(::access(path.c_str(), F_OK), 0);  // the temporary file goes with the message
  EXPECT_TRUE(sys_.TempFiles().empty());
}

TEST_F(ReceptionTest, TheFileServesTheNextMessageEmptied) {
  FetchedMessage m(true, IsLocal);
  Receive(m, {"From: a@far.test\r\n", "To: ann@example.test\r\n", "\r\n", "a long first body\r\n"});
  std::string path = m.path();
  EXPECT_EQ(Receive(m, {"Subject: second\r\n", "\r\n", "b\r\n", ".\r\n"}),
            "Subject: second\r\n\r\nb\r\n");
  EXPECT_EQ(m.path(), path);
  EXPECT_EQ(m.sender(), "");
  EXPECT_TRUE(m.Recipients().empty());
  EXPECT_EQ(sys_.TempFiles().size(), 1u);
}

TEST_F(ReceptionTest, SenderFromTheFromFieldAndItsContinuation) {
  struct Case {
    std::vector<std::string> lines;
    std::string sender;
  };
  const std::vector<Case> cases = {
      {{"From: Ann <ann@example.test>\r\n", "\r\n"}, "ann@example.test"},
      {{"FROM:\r\n", "  \"Ann Smith\"\r\n", "\t<ann@remote.test>\r\n", "\r\n"}, "ann@remote.test"},
      {{"From: a@x.test\r\n", "From: b@x.test\r\n", "\r\n"}, "a@x.test"},
      // Other fields that hold "From:" are not the sender; neither is the body.
      {{"X-Original-From: c@x.test\r\n", "Resent-From: d@x.test\r\n", "\r\n", "From: e@x.test\r\n"},
       ""},
      {{"Received: from host by me\r\n", "\tfor <r@example.test>\r\n", "From: f@x.test\r\n"},
       "f@x.test"},
  };
  for (const Case& c : cases) {
    FetchedMessage m(false, IsLocal);
    Receive(m, c.lines);
    EXPECT_EQ(m.sender(), c.sender) << c.lines[0];
    EXPECT_TRUE(m.Recipients().empty());  // a personal account has no recipient list
  }
}

// "u<from>@domain" up to "u<to - 1>@domain".
std::vector<std::string> Numbered(const std::string& domain, int from, int to) {
  std::vector<std::string> addresses;
  for (int i = from; i < to; ++i) addresses.push_back("u" + std::to_string(i) + "@" + domain);
  return addresses;
}
// A header line that names them.
std::string Addresses(const std::string& field, const std::string& domain, int from, int to) {
  std::string line = field;
  for (const std::string& a : Numbered(domain, from, to)) line += " <" + a + ">,";
  return line + "\r\n";
}

TEST_F(ReceptionTest, RecipientsOfASharedAccount) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::string> recipients;
    size_t skipped = 0;
  };
  const std::vector<Case> cases = {
      {"the first local address of the Received lines",
       {"Received: from a by b for <x@foreign.test>; now\r\n", "Received: from c by d\r\n",
        "\tfor <Bob@example.test>; now\r\n", "Received: from e by f for <carl@example.test>\r\n",
        "To: ann@example.test\r\n", "\r\n"},
       {"Bob@example.test"},
       0},
      {"every local To and Cc address, each once",
       {"Received: from a by b for <x@foreign.test>\r\n",
        "To: Ann <ann@example.test>, bob@example.test\r\n", "Cc: ANN@example.TEST,\r\n",
        " carl@remote.test\r\n", "Reply-To: dave@example.test\r\n",
        "In-Reply-To: <id@example.test>\r\n", "\r\n", "To: body@example.test\r\n"},
       {"ann@example.test", "bob@example.test"},
       1},
      {"neither", {"Subject: hello\r\n", "\r\n", "To: body@example.test\r\n"}, {}, 0},
      {"300 foreign addresses", {Addresses("To:", "far.test", 0, 300), "\r\n"}, {}, 300},
      // Repeats of the first hundred do not count against the limit; the rest are left out.
      {"300 local addresses among 300 foreign ones",
       {Addresses("To:", "far.test", 0, 300), Addresses("Cc:", "example.test", 0, 150),
        Addresses(" ", "EXAMPLE.test", 0, 50), Addresses(" ", "example.test", 150, 300), "\r\n"},
       Numbered("example.test", 0, 100),
       300 + 200},
  };
  for (const Case& c : cases) {
    FetchedMessage m(true, IsLocal);
    Receive(m, c.lines);
    EXPECT_EQ(m.Recipients(), c.recipients) << c.name;
    EXPECT_EQ(m.skipped_recipients(), c.skipped) << c.name;
  }
}

TEST_F(ReceptionTest, ADroppedMessageIsReadToItsEndButNotStored) {
  FetchedMessage m(true, IsLocal);
  ASSERT_TRUE(m.Open(sys_.system().TempPath, sys_.system().MailPath));
  EXPECT_TRUE(m.AddLine("From: a@far.test\r\n"));
  EXPECT_TRUE(m.AddLine(std::string(70000, 'x') + "\r\n"));  // past the write buffer
  m.Drop();
  EXPECT_TRUE(m.dropped());
  // Lines after the drop are counted, not stored, not searched; the end line still ends it,
  // also when it comes after a piece of a long line has been given.
  for (const char* line : {"To: ann@example.test\r\n", "\r\n", "..\r\n", "partial .", ".\r\n"})
    EXPECT_TRUE(m.AddLine(line)) << line;
  EXPECT_FALSE(m.AddLine(".\r\n"));
  EXPECT_TRUE(m.Finish());
  EXPECT_EQ(platform::FileSizeOf(m.fd()), 0);
  EXPECT_EQ(m.size(), 18u + 70002u + 22u + 2u + 4u + 9u + 3u);
  EXPECT_TRUE(m.Recipients().empty());
  // The next message is stored again.
  EXPECT_EQ(Receive(m, {"Subject: next\r\n", "\r\n", ".\r\n"}), "Subject: next\r\n\r\n");
  EXPECT_FALSE(m.dropped());
}

}  // namespace
}  // namespace qv::pop3
