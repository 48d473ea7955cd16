// The client side of TLS against peers that do not finish a handshake: each wait is bounded and
// the cancel descriptor ends it; and the fingerprint's forms. Handshakes with a real server are
// tested end to end by qvctl's and the console's tests.
#include "net/tls_channel.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "net/control_client.h"
#include "net/tests/chunk_server.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ChunkServer;

TEST(TlsChannelTest, FingerprintsAreNormalisedOrRefused) {
  std::string hex(64, 'a');
  std::string normal = NormalFingerprint(hex);
  ASSERT_EQ(normal.size(), 95u);
  EXPECT_EQ(normal.substr(0, 6), "AA:AA:");
  EXPECT_EQ(NormalFingerprint(normal), normal);
  EXPECT_EQ(NormalFingerprint(" " + normal + "\n"), normal);
  EXPECT_EQ(NormalFingerprint(hex.substr(2)), "");        // too short
  EXPECT_EQ(NormalFingerprint(hex + "aa"), "");           // too long
  EXPECT_EQ(NormalFingerprint("g" + hex.substr(1)), "");  // not hexadecimal
}

TEST(TlsChannelTest, ATrustIsLoadedOnceOrSaysWhyNot) {
  TlsTrust trust;
  trust.ca_file = "/nonexistent/ca.pem";
  Status loaded = LoadTlsTrust(&trust);
  EXPECT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().find("cannot load the CA certificates /nonexistent/ca.pem"),
            std::string::npos)
      << loaded.error();
  EXPECT_EQ(trust.loaded, nullptr);
  trust.ca_file.clear();  // the system's store
  ASSERT_TRUE(LoadTlsTrust(&trust).ok());
  ASSERT_NE(trust.loaded, nullptr);
  TlsTrust copy = trust;  // copies share the one context
  EXPECT_EQ(copy.loaded, trust.loaded);
}

TEST(TlsChannelTest, ASilentOrPlainPeerEndsTheHandshake) {
  {
    // Accepted, never answered: the time limit ends it.
    ChunkServer server({}, 1000);
    ControlClient client(-1, 300);
    client.UseTls(TlsTrust{});
    auto start = Clock::now();
    EXPECT_EQ(client.Login("127.0.0.1", server.port(), "admin", "pw"), ControlLogin::kTlsFailed);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(client.tls_error().find("time limit"), std::string::npos) << client.tls_error();
    EXPECT_EQ(client.fingerprint(), "");
  }
  {
    // The cancel descriptor ends a wait long before its limit.
    ChunkServer server({}, 1000);
    int cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ControlClient client(cancel, 20000);
    client.UseTls(TlsTrust{std::string(64, '0'), "", nullptr});
    std::thread canceller([cancel] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      uint64_t one = 1;
      EXPECT_EQ(::write(cancel, &one, sizeof one), 8);
    });
    auto start = Clock::now();
    EXPECT_EQ(client.Login("127.0.0.1", server.port(), "admin", "pw"), ControlLogin::kTlsFailed);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(client.tls_error().find("cancelled"), std::string::npos) << client.tls_error();
    canceller.join();
    ::close(cancel);
  }
  {
    // A plain control service's greeting is no TLS answer.
    ChunkServer server({"Quorvane Control Service ready\r\nUsername: "}, 1000);
    ControlClient client(-1, 2000);
    client.UseTls(TlsTrust{});
    EXPECT_EQ(client.Login("127.0.0.1", server.port(), "admin", "pw"), ControlLogin::kTlsFailed);
  }
}

}  // namespace
}  // namespace qv
