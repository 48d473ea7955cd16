#include "net/smtp_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/tests/chunk_server.h"
#include "net/tests/smtp_peer_util.h"

namespace qv {
namespace {

using testing::ChunkServer;

TEST(SmtpClient, ReadsRepliesWholeWhateverTheirPieces) {
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<std::string> replies;  // read one after another
  } cases[] = {
      {"one line", {"220 ready\r\n"}, {"220 ready\r\n"}},
      {"multi-line in one piece", {"220-a\r\n220-b\r\n220 c\r\n"}, {"220-a\r\n220-b\r\n220 c\r\n"}},
      {"multi-line split inside lines",
       {"250-fi", "rst\r", "\n250", "-second\r\n25", "0 last\r\n"},
       {"250-first\r\n250-second\r\n250 last\r\n"}},
      {"two replies in one piece", {"220 hi\r\n250 ok\r\n"}, {"220 hi\r\n", "250 ok\r\n"}},
      {"bare LF ends a line", {"220 hi\n"}, {"220 hi\n"}},
      {"a short line is final", {"250\r\n"}, {"250\r\n"}},
      {"text that only looks like a continuation", {"2x0-no\r\n"}, {"2x0-no\r\n"}},
      {"a reply cut by the close is no reply", {"250-one\r\n250 tw"}, {""}},
      {"closed at once", {}, {""}},
  };
  for (const Case& c : cases) {
    ChunkServer server(c.chunks, 0);
    SmtpClient conn;
    ASSERT_EQ(conn.Connect("127.0.0.1", server.port()), ConnectResult::kConnected);
    for (const std::string& want : c.replies) EXPECT_EQ(conn.ReadReply(2000), want) << c.what;
  }
}

TEST(SmtpClient, SilenceHugeRepliesAndCancelEndTheRead) {
  {
    ChunkServer silent({"220-only a start\r\n"}, 400);
    SmtpClient conn;
    ASSERT_EQ(conn.Connect("127.0.0.1", silent.port()), ConnectResult::kConnected);
    EXPECT_EQ(conn.ReadReply(100), "");
  }
  {
    std::vector<std::string> flood(100, std::string(1000, 'x'));
    flood.insert(flood.begin(), "220-");
    ChunkServer big(flood, 0);
    SmtpClient conn;
    ASSERT_EQ(conn.Connect("127.0.0.1", big.port()), ConnectResult::kConnected);
    EXPECT_EQ(conn.ReadReply(2000), "");
  }
  {
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    ChunkServer silent({}, 400);
    SmtpClient conn(pipefd[0]);
    ASSERT_EQ(conn.Connect("127.0.0.1", silent.port()), ConnectResult::kConnected);
    ASSERT_EQ(::write(pipefd[1], "x", 1), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn.ReadReply(60000), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    conn.Close();
    ::close(pipefd[0]);
    ::close(pipefd[1]);
  }
}

TEST(SmtpClient, ConnectFailures) {
  SmtpClient conn;
  EXPECT_EQ(conn.Connect("no-such-host.invalid", 25), ConnectResult::kUnknownHost);
  EXPECT_EQ(conn.fd(), -1);
  uint16_t closed = testing::FreeTcpPort();
  EXPECT_EQ(conn.Connect("127.0.0.1", closed), ConnectResult::kConnectFailed);
  EXPECT_GE(conn.fd(), 0) << "the socket stays until Close, for its number in the log";
  conn.Close();
  EXPECT_EQ(conn.fd(), -1);
  EXPECT_EQ(conn.ReadReply(10), "");
  EXPECT_FALSE(conn.Send("x"));
}

TEST(SmtpClient, SendsLargeDataAgainstASlowReader) {
  testing::FakeSmtpPeer peer;
  SmtpClient conn;
  ASSERT_EQ(conn.Connect("127.0.0.1", peer.port()), ConnectResult::kConnected);
  EXPECT_EQ(conn.ReadReply(), "220 peer.test ESMTP ready\r\n");
  ASSERT_TRUE(conn.Send("DATA\r\n"));
  EXPECT_EQ(conn.ReadReply(), "354 go ahead\r\n");
  std::string big;
  for (int i = 0; i < 40000; ++i) big += "0123456789012345678901234567890123456789\r\n";
  ASSERT_TRUE(conn.Send(big));
  ASSERT_TRUE(conn.Send(".\r\n"));
  EXPECT_EQ(conn.ReadReply(), "250 2.0.0 queued\r\n");
  ASSERT_EQ(peer.messages().size(), 1u);
  EXPECT_TRUE(peer.messages()[0] == big);
}

// The text as it goes on the wire, given in pieces cut at every position, then its end line.
std::string Wire(std::string_view text, bool stuff, size_t cut) {
  MessageText encoder(stuff);
  std::string wire;
  wire += encoder.Encode(text.substr(0, cut));
  wire += encoder.Encode(text.substr(cut));
  wire += encoder.EndLine();
  return wire;
}

TEST(SmtpClient, SmartHostsAreKnownByNameWhateverTheirPortOrCase) {
  const char* smart = "mail.isp.test:587; relay.isp.test,10.0.0.9\tlast.test";
  EXPECT_EQ(
      ExchangeHostList(smart),
      (std::vector<std::string>{"mail.isp.test:587", "relay.isp.test", "10.0.0.9", "last.test"}));
  struct Case {
    const char* host;
    bool smart;
  } cases[] = {{"mail.isp.test", true},       {"MAIL.ISP.test:25", true},
               {"relay.isp.test:2525", true}, {"10.0.0.9", true},
               {"last.test", true},           {"isp.test", false},
               {"mail.isp.test:x", false},    {"", false}};
  for (const Case& c : cases) EXPECT_EQ(IsExchangeHost(c.host, smart), c.smart) << c.host;
  EXPECT_FALSE(IsExchangeHost("mail.isp.test", ""));
}

TEST(MessageText, DotsAndTheEndLineWhereverThePiecesSplit) {
  struct Case {
    const char* text;
    bool stuff;
    const char* wire;
  } cases[] = {
      {"a\r\n", true, "a\r\n.\r\n"},
      {"a", true, "a\r\n.\r\n"},
      {"", true, ".\r\n"},
      {"a\r", true, "a\r\r\n.\r\n"},
      {"a\n", true, "a\n\r\n.\r\n"},
      {".\r\n", true, "..\r\n.\r\n"},
      {"x\r\n.\r\n..y\r\nz.\n.w\r.v", true, "x\r\n..\r\n...y\r\nz.\n.w\r.v\r\n.\r\n"},
      {".a\r\n", true, "..a\r\n.\r\n"},
      {"x\r\n..y\r\n", false, "x\r\n..y\r\n.\r\n"},
      {"x\r\n..y", false, "x\r\n..y\r\n.\r\n"},
  };
  for (const Case& c : cases) {
    std::string_view text = c.text;
    for (size_t cut = 0; cut <= text.size(); ++cut)
      EXPECT_EQ(Wire(text, c.stuff, cut), c.wire) << c.text << " cut at " << cut;
  }
}

}  // namespace
}  // namespace qv
