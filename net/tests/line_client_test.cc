#include "net/line_client.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "common/testing/test_env.h"
#include "net/tests/chunk_server.h"
#include "net/tests/smtp_peer_util.h"
#include "platform/spawn.h"
#include "serve/testing/test_certificate.h"

namespace qv {
namespace {

using testing::ChunkServer;
using Clock = std::chrono::steady_clock;

// A POP3-style multi-line answer: it ends with the line ".".
bool IsDotLine(std::string_view line) {
  return line == ".\r\n";
}

TEST(LineClient, LinesAndMultiLineAnswersWhateverTheirPieces) {
  enum Read { kLine, kUntilDot };
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<std::pair<Read, std::string>> reads;  // one after another
  } cases[] = {
      {"several lines in one piece are read one by one",
       {"a\r\nb\nc\r\n"},
       {{kLine, "a\r\n"}, {kLine, "b\n"}, {kLine, "c\r\n"}}},
      {"multi-line answer split anywhere",
       {"+OK 2 messages\r\n1 1", "20\r\n2 300\r", "\n.", "\r\n"},
       {{kUntilDot, "+OK 2 messages\r\n1 120\r\n2 300\r\n.\r\n"}}},
      {"a dot inside a line does not end the answer",
       {"+OK\r\n.. stuffed\r\nx.\r\n.\r\n"},
       {{kUntilDot, "+OK\r\n.. stuffed\r\nx.\r\n.\r\n"}}},
      {"bytes after the answer stay for the next read",
       {"+OK\r\n.\r\n-ERR next\r\n"},
       {{kUntilDot, "+OK\r\n.\r\n"}, {kLine, "-ERR next\r\n"}}},
      {"an answer cut by the close is no answer", {"+OK\r\n1 120\r\n"}, {{kUntilDot, ""}}},
  };
  for (const Case& c : cases) {
    ChunkServer server(c.chunks, 0);
    LineClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", server.port(), 2000), ConnectResult::kConnected);
    for (const auto& [how, want] : c.reads) {
      std::string got =
          how == kUntilDot ? client.ReadUntil(IsDotLine, 2000) : client.ReadLine(2000);
      EXPECT_EQ(got, want) << c.what;
      EXPECT_EQ(client.failure(),
                want.empty() ? LineClient::Failure::kClosed : LineClient::Failure::kNone)
          << c.what;
    }
  }
}

TEST(LineClient, EveryWaitEndsWithItsReason) {
  {  // A silent peer: the read ends at its time limit, the partial line is not a line.
    ChunkServer silent({"+OK half a li"}, 1000);
    LineClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", silent.port(), 2000), ConnectResult::kConnected);
    auto start = Clock::now();
    EXPECT_EQ(client.ReadLine(150), "");
    EXPECT_EQ(client.failure(), LineClient::Failure::kTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
  }
  {  // A cancel ends a long wait at once, and stays in force for every later wait.
    int cancel[2];
    ASSERT_EQ(::pipe(cancel), 0);
    ChunkServer silent({}, 1000);
    LineClient client(cancel[0]);
    ASSERT_EQ(client.Connect("127.0.0.1", silent.port(), 2000), ConnectResult::kConnected);
    ASSERT_EQ(::write(cancel[1], "x", 1), 1);
    auto start = Clock::now();
    EXPECT_EQ(client.ReadUntil(IsDotLine, 60000), "");
    EXPECT_EQ(client.failure(), LineClient::Failure::kCancelled);
    EXPECT_FALSE(client.Send(std::string(64 << 20, 'x'), 60000));
    EXPECT_EQ(client.failure(), LineClient::Failure::kCancelled);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
    client.Close();
    ::close(cancel[0]);
    ::close(cancel[1]);
  }
  {  // A peer that takes nothing: the send ends at its time limit.
    ChunkServer deaf({}, 1500);
    LineClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", deaf.port(), 2000), ConnectResult::kConnected);
    EXPECT_FALSE(client.Send(std::string(64 << 20, 'x'), 150));
    EXPECT_EQ(client.failure(), LineClient::Failure::kTimeout);
  }
  {  // More than the size limit without a line end, or without the last line.
    ChunkServer flood({std::string(100, 'x')}, 0);
    LineClient client(-1, 64);
    ASSERT_EQ(client.Connect("127.0.0.1", flood.port(), 2000), ConnectResult::kConnected);
    EXPECT_EQ(client.ReadLine(2000), "");
    EXPECT_EQ(client.failure(), LineClient::Failure::kTooLong);
    ChunkServer lines({std::string(40, 'y') + "\r\n", std::string(40, 'z') + "\r\n"}, 0);
    ASSERT_EQ(client.Connect("127.0.0.1", lines.port(), 2000), ConnectResult::kConnected);
    EXPECT_EQ(client.ReadUntil(IsDotLine, 2000), "");
    EXPECT_EQ(client.failure(), LineClient::Failure::kTooLong);
  }
  {  // Without a connection nothing waits.
    LineClient client;
    EXPECT_EQ(client.ReadLine(60000), "");
    EXPECT_EQ(client.failure(), LineClient::Failure::kClosed);
    EXPECT_FALSE(client.SendLine("NOOP", 60000));
    EXPECT_EQ(client.Connect("127.0.0.1", testing::FreeTcpPort(), 2000),
              ConnectResult::kConnectFailed);
  }
}

TEST(LineClient, TlsAfterTheCommandThatAsksForIt) {
  {  // A peer that answers in clear, then never starts its side: the handshake ends at the limit,
     // and the clear bytes after the answer were never taken as part of the conversation.
    ChunkServer stalled({"+OK begin TLS\r\n-ERR injected\r\n"}, 1500);
    LineClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", stalled.port(), 2000), ConnectResult::kConnected);
    ASSERT_EQ(client.ReadLine(2000), "+OK begin TLS\r\n");
    auto start = Clock::now();
    EXPECT_EQ(client.StartTls("localhost", TlsTrust{}, false, 200), TlsChannel::Outcome::kFailed);
    EXPECT_EQ(client.failure(), LineClient::Failure::kTimeout);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1200));
    EXPECT_FALSE(client.secure());
    EXPECT_EQ(client.ReadLine(100), "");
  }
  // A real TLS peer (openssl's test server, which answers each line reversed).
  qv::testing::TempDir dir;
  auto cert = qv::testing::MakeTestCertificate(dir.path());
  ASSERT_TRUE(cert.ok);
  int port = qv::testing::FreeLoopbackPort();
  pid_t pid = -1;
  ASSERT_TRUE(platform::StartProgram(
      {"/usr/bin/openssl", "s_server", "-quiet", "-rev", "-accept",
       "127.0.0.1:" + std::to_string(port), "-cert", cert.certificate, "-key", cert.key},
      &pid));
  auto connect = [&](LineClient& client) {
    return qv::testing::WaitUntil([&] {
      return client.Connect("127.0.0.1", static_cast<uint16_t>(port), 2000) ==
             ConnectResult::kConnected;
    });
  };
  {  // Checked against the system's store, a self-signed certificate is refused, and says why.
    LineClient client;
    ASSERT_TRUE(connect(client));
    EXPECT_EQ(client.StartTls("localhost", TlsTrust{}, true, 5000),
              TlsChannel::Outcome::kUntrusted);
    EXPECT_FALSE(client.secure());
    EXPECT_NE(client.tls_error().find("not trusted"), std::string::npos) << client.tls_error();
  }
  {  // Trusted by its own file, or taken without the check: lines go through TLS both ways.
    for (bool verify : {true, false}) {
      LineClient client;
      ASSERT_TRUE(connect(client));
      TlsTrust trust;
      if (verify) trust.ca_file = cert.certificate;
      ASSERT_EQ(client.StartTls("localhost", trust, verify, 5000), TlsChannel::Outcome::kOk)
          << client.tls_error();
      EXPECT_TRUE(client.secure());
      ASSERT_TRUE(client.SendLine("olleh", 5000));
      EXPECT_EQ(client.ReadLine(5000), "hello\n");
    }
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace qv
