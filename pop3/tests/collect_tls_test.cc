// The collection over TLS: STLS and POP3S against Dovecot with TLS required, the certificate
// check, servers without STLS when TLS is required (the login never goes out), and handshakes
// that stall or are cancelled.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "net/tests/chunk_server.h"
#include "platform/unique_fd.h"
#include "pop3/collect.h"
#include "pop3/collect_runner.h"
#include "pop3/service.h"
#include "pop3/tests/collect_util.h"
#include "pop3/tests/pop3_util.h"
#include "serve/testing/test_certificate.h"

namespace qv::pop3 {
namespace {

using Clock = std::chrono::steady_clock;
using testing::DovecotServer;
using testing::Pop3TestSystem;
using testing::ScriptedPop3Server;

TEST(ParseAccountServer, TheSchemeOrPort995AskForTlsFromTheStart) {
  struct Case {
    const char* server;
    int port_ex;
    int tls_remote;
    bool ok;
    const char* host;
    int port;
    bool implicit_tls;
  };
  const Case cases[] = {
      {"mail.far.test", 0, 0, true, "mail.far.test", 110, false},
      {"mail.far.test", 1110, 2, true, "mail.far.test", 1110, false},
      {"mail.far.test:995", 110, 0, true, "mail.far.test", 995, false},  // 0: as always
      {"mail.far.test:995", 110, 1, true, "mail.far.test", 995, true},
      {"mail.far.test", 995, 2, true, "mail.far.test", 995, true},
      {"pop3s://mail.far.test", 110, 0, true, "mail.far.test", 995, true},
      {"POP3S://mail.far.test:2995", 110, 1, true, "mail.far.test", 2995, true},
      {"pop3s://", 110, 2, false, "", 0, false},
      {"pop3s://mail.far.test:99999", 110, 2, false, "", 0, false},
  };
  for (const Case& c : cases) {
    AccountServer where;
    EXPECT_EQ(ParseAccountServer(c.server, c.port_ex, c.tls_remote, &where), c.ok) << c.server;
    if (!c.ok) continue;
    EXPECT_EQ(where.host, c.host) << c.server;
    EXPECT_EQ(where.port, c.port) << c.server;
    EXPECT_EQ(where.implicit_tls, c.implicit_tls) << c.server;
  }
}

class CollectTlsTest : public ::testing::Test {
 protected:
  CollectTlsTest() : scripted_("remote", "secret") {
    cert_ = qv::testing::MakeTestCertificate(sys_.root());
    context_.settings.system = sys_.system();
    context_.settings.pop3.TLSRemote = 2;
    context_.settings.pop3.TLSVerify = 1;
    context_.tls_ca_file = cert_.certificate;
    context_.receive_timeout_ms = 5000;
    context_.connect_timeout_ms = 5000;
    context_.pause_between_users = std::chrono::milliseconds(1);
    context_.deliver = [this](const std::vector<std::string>&, std::string_view sender, int) {
      std::lock_guard<std::mutex> lock(mutex_);
      senders_.push_back(std::string(sender));
      return true;
    };
  }

  // Dovecot with TLS required before the login, on a POP3 port (STLS) and a POP3S port.
  void StartDovecot() {
    ASSERT_TRUE(cert_.ok);
    dovecot_.UseTls(cert_.certificate, cert_.key);
    std::string error;
    ASSERT_TRUE(dovecot_.Start(&error)) << error;
    dovecot_.AddUser("office", "officepw");
  }

  void AddAccount(const std::string& name, const std::string& server, int options = kAccountShared,
                  const std::string& login = "office", const std::string& password = "officepw") {
    ACCOUNTSTRUCT a{};
    CopyField(a.Name, name);
    CopyField(a.Server, server);
    CopyField(a.Account, login);
    CopyField(a.Password, password);
    a.Interval = 900;
    a.Options = options;
    ASSERT_EQ(AddRecord(sys_.system(), &a), 0);
  }
  std::string Stls() const { return "localhost:" + std::to_string(dovecot_.port()); }
  std::string Pop3s() const { return "pop3s://localhost:" + std::to_string(dovecot_.pop3s_port()); }

  std::string Log() const {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return qv::testing::ReadFileText(LogFilePath(sys_.system().LogPath, kLogPrefixPop3, local));
  }
  // The commands the staged server received, once there are `count` (it records them on its own
  // thread, the last perhaps after the check ended).
  std::vector<std::string> ScriptedCommands(size_t count) {
    qv::testing::WaitUntil([&] { return scripted_.Commands().size() >= count; });
    return scripted_.Commands();
  }
  size_t Fetched() {
    std::lock_guard<std::mutex> lock(mutex_);
    return senders_.size();
  }
  // Dovecot's logins, all of them or those over TLS (marker ", TLS,").
  size_t Logins(const char* marker = "Login: user=<office>") const {
    std::string log = dovecot_.Log();
    size_t n = 0;
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) ++n;
    return n;
  }

  Pop3TestSystem sys_;
  qv::testing::TestCertificate cert_;
  DovecotServer dovecot_;
  ScriptedPop3Server scripted_;
  CollectContext context_;
  std::mutex mutex_;
  std::vector<std::string> senders_;
};

std::string Message(int n) {
  return "From: <sender" + std::to_string(n) + "@far.test>\r\nSubject: " + std::to_string(n) +
         "\r\n\r\nbody\r\n";
}

TEST_F(CollectTlsTest, StlsAndPop3sFetchEveryMessageOnceAndDeleteIt) {
  StartDovecot();
  AddAccount("stls", Stls());
  AddAccount("pop3s", Pop3s());
  for (int i = 1; i <= 3; ++i) dovecot_.AddMessage("office", Message(i));
  EXPECT_EQ(CheckAccount(context_, "stls"), 1) << Log();
  EXPECT_EQ(Fetched(), 3u);
  EXPECT_EQ(dovecot_.MessageCount("office"), 0u);
  EXPECT_NE(Log().find("<-- STLS\r\n"), std::string::npos) << Log();

  // A pop3s:// account is TLS from the first byte, whatever TLSRemote says.
  context_.settings.pop3.TLSRemote = 0;
  dovecot_.AddMessage("office", Message(4));
  EXPECT_EQ(CheckAccount(context_, "pop3s"), 1) << Log();
  EXPECT_EQ(Fetched(), 4u);
  EXPECT_EQ(dovecot_.MessageCount("office"), 0u);
  // Every login went over TLS.
  EXPECT_EQ(Logins(), 2u) << dovecot_.Log();
  EXPECT_EQ(Logins(", TLS,"), 2u) << dovecot_.Log();
}

TEST_F(CollectTlsTest, TheCertificateIsCheckedAsTlsVerifySays) {
  StartDovecot();
  AddAccount("stls", Stls());
  AddAccount("pop3s", Pop3s());
  dovecot_.AddMessage("office", Message(1));
  // The test's certificate is not in the system's store: refused before any login.
  context_.tls_ca_file.clear();
  for (const char* name : {"stls", "pop3s"}) {
    EXPECT_EQ(CheckAccount(context_, name), 0) << name;
    std::string failed = "TLS with POP server " +
                         std::string(name == std::string("stls") ? Stls() : Pop3s()) +
                         " failed; account '" + name + "' not logged on to: ";
    EXPECT_NE(Log().find(failed), std::string::npos) << Log();
  }
  EXPECT_EQ(Fetched(), 0u);
  EXPECT_EQ(dovecot_.MessageCount("office"), 1u);
  EXPECT_EQ(Logins(), 0u);
  EXPECT_EQ(Log().find("USER office"), std::string::npos);

  context_.settings.pop3.TLSVerify = 0;  // taken unchecked
  EXPECT_EQ(CheckAccount(context_, "stls"), 1) << Log();
  EXPECT_EQ(Fetched(), 1u);
  EXPECT_EQ(dovecot_.MessageCount("office"), 0u);
}

TEST_F(CollectTlsTest, WithoutStlsTheLoginIsNeverSentWhenTlsIsRequired) {
  // The staged server knows no CAPA (so offers no STLS).
  std::string plain = "127.0.0.1:" + std::to_string(scripted_.port());
  AddAccount("plain", plain, kAccountShared, "remote", "secret");
  AddAccount("users", plain, 0, "remote", "secret");
  for (const char* alias : {"ann", "bob"}) {
    USERSTRUCT u{};
    CopyField(u.Alias, alias);
    CopyField(u.Domain, "example.test");
    CopyField(u.PopAccount, "users");
    u.Options = kUserPopLookup;
    ASSERT_EQ(AddRecord(sys_.system(), &u), 0);
  }
  scripted_.AddMessage(Message(1));
  EXPECT_EQ(CheckAccount(context_, "plain"), 0);
  EXPECT_EQ(ScriptedCommands(2), (std::vector<std::string>{"CAPA", "QUIT"}));
  EXPECT_NE(Log().find("POP server " + plain +
                       " does not offer STLS and TLS is required; account 'plain' not logged on "
                       "to\r\n"),
            std::string::npos)
      << Log();
  // A personal account: its first user finds no STLS, and the others are not tried.
  scripted_.ClearCommands();
  EXPECT_EQ(CheckAccount(context_, "users"), 0);
  EXPECT_EQ(ScriptedCommands(2), (std::vector<std::string>{"CAPA", "QUIT"}));
  EXPECT_EQ(scripted_.connections(), 2);
  EXPECT_EQ(scripted_.MessageCount(), 1u);

  // STLS only when offered: in clear as before.
  context_.settings.pop3.TLSRemote = 1;
  scripted_.ClearCommands();
  EXPECT_EQ(CheckAccount(context_, "plain"), 1);
  EXPECT_EQ(ScriptedCommands(8),
            (std::vector<std::string>{"CAPA", "USER remote", "PASS secret", "STAT", "LIST 1",
                                      "RETR 1", "DELE 1", "QUIT"}));
  EXPECT_EQ(Fetched(), 1u);
}

TEST_F(CollectTlsTest, TheNextAccountGoesOnAndTheServiceTakesTheTestCaFile) {
  StartDovecot();
  std::string plain = "127.0.0.1:" + std::to_string(scripted_.port());
  AddAccount("a-plain", plain, kAccountShared, "remote", "secret");
  AddAccount("b-stls", Stls());
  sys_.AddUser("ann", "annpw", "ann");
  dovecot_.AddMessage("office", "From: sam@far.test\r\nTo: ann@example.test\r\n\r\nhi\r\n");
  sys_.settings().pop3.TLSRemote = 2;
  sys_.settings().pop3.TLSVerify = 1;
  ::setenv(kCollectCaFileVariable, cert_.certificate.c_str(), 1);

  Pop3ServiceOptions options;
  options.account_period = std::chrono::milliseconds(100);
  Pop3Service service(options);
  service.settings() = sys_.settings();
  ASSERT_TRUE(service.listener().Listen(0));
  service.Started();
  std::thread loop([&] { service.frame().loop().Run(); });
  EXPECT_TRUE(qv::testing::WaitUntil(
      [&] { return dovecot_.MessageCount("office") == 0 && !sys_.MailboxFiles("ann").empty(); },
      std::chrono::seconds(30)))
      << Log();
  service.frame().loop().Post([&] { service.frame().Stop(); });
  loop.join();
  service.frame().CloseAll();
  ::unsetenv(kCollectCaFileVariable);

  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 1u);
  // The server without STLS was asked for it, and given nothing more.
  std::vector<std::string> asked = scripted_.Commands();
  EXPECT_FALSE(asked.empty());
  for (const std::string& command : asked) EXPECT_TRUE(command == "CAPA" || command == "QUIT");
}

TEST_F(CollectTlsTest, AStalledHandshakeEndsAtTheLimitAndAtOnceOnCancel) {
  // The server agrees to STLS, then never answers the handshake.
  qv::testing::ChunkServer stalled({"+OK hi\r\n", "+OK\r\nSTLS\r\n.\r\n", "+OK begin TLS\r\n"},
                                   2000);
  AddAccount("stalled", "localhost:" + std::to_string(stalled.port()));
  context_.receive_timeout_ms = 300;
  auto start = Clock::now();
  EXPECT_EQ(CheckAccount(context_, "stalled"), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_NE(Log().find("TLS with POP server localhost:"), std::string::npos) << Log();

  // A POP3S server that takes the connection and says nothing, until the service stops.
  qv::testing::ChunkServer silent({}, 1500);
  AddAccount("silent", "pop3s://127.0.0.1:" + std::to_string(silent.port()));
  int cancel[2];
  ASSERT_EQ(::pipe2(cancel, O_CLOEXEC), 0);
  platform::UniqueFd cancel_read(cancel[0]), cancel_write(cancel[1]);
  context_.cancel_fd = cancel_read.get();
  context_.receive_timeout_ms = 60000;
  std::thread stop([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(::write(cancel_write.get(), "x", 1), 1);
  });
  start = Clock::now();
  EXPECT_EQ(CheckAccount(context_, "silent"), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));  // before the peer closes
  stop.join();
}

}  // namespace
}  // namespace qv::pop3
