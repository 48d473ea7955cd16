// End to end: password guessing against the real qvctrl95 from two loopback addresses. Six
// clients guess in parallel, each hanging up when no answer comes within a short wait; the
// number of answers they get (and what silence could tell them) is what the count of failures
// per address must keep low, while another address logs on at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "control/control_texts.h"
#include "control/service.h"
#include "platform/registry.h"

namespace qv::control {
namespace {

using Clock = std::chrono::steady_clock;
using qv::testing::FreeLoopbackPort;
using qv::testing::MakeUser;
using qv::testing::ScopedSystemRoot;
using qv::testing::ScopedTables;
using qv::testing::ServiceProcess;
using std::chrono::milliseconds;

// A client connected from a chosen loopback address (to 127.0.0.1 or another), with reads that
// give up after a wait.
class Peer {
 public:
  Peer(const char* from, int port, const char* to = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, from, &addr.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      Drop();
      return;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, to, &addr.sin_addr);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      Drop();
      return;
    }
  }
  ~Peer() { Drop(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool ok() const { return fd_ >= 0; }
  void Send(const std::string& text) {
    if (fd_ >= 0) (void)::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
  }
  // True when the peer closes within `wait` (what arrives meanwhile is dropped).
  bool Closed(milliseconds wait) {
    auto deadline = Clock::now() + wait;
    for (;;) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (fd_ < 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char buf[1024];
      if (recv(fd_, buf, sizeof buf, 0) <= 0) return true;
    }
  }

  // What arrived up to and with `end`, or empty when it does not come within `wait`.
  std::string ReadUntil(std::string_view end, milliseconds wait) {
    auto deadline = Clock::now() + wait;
    for (;;) {
      size_t at = buffered_.find(end);
      if (at != std::string::npos) {
        std::string text = buffered_.substr(0, at + end.size());
        buffered_.erase(0, at + end.size());
        return text;
      }
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (fd_ < 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return {};
      char buf[1024];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return {};
      buffered_.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  void Drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  std::string buffered_;
};

// Waits until `check` holds, for up to five seconds.
template <class Check>
bool Eventually(Check check) {
  return qv::testing::WaitUntil(check, std::chrono::seconds(5));
}

// How long a guesser waits for an answer before it hangs up and tries again.
constexpr milliseconds kGuesserPatience{250};
constexpr milliseconds kGuessingTime{5000};
constexpr int kGuessers = 6;
// The first line of the login's success.
const std::string kLoginOkLine = std::string(kLoginOk).substr(0, std::string(kLoginOk).find('>'));

struct Tally {
  int sent = 0;
  int answered = 0;
};

class GuessingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctrl_port_ = FreeLoopbackPort();
    pw_port_ = FreeLoopbackPort();
    reg::Key key;
    reg::CreateKey(kControlKey, "QuorvaneControl", &key);
    reg::SetString(&key, "Domain", "example.test");
    reg::SetString(&key, "MailPath", tables_.mail());
    reg::SetString(&key, "TempPath", tables_.root() + "/temp");
    reg::SetString(&key, "LogPath", log_path_);
    reg::SetString(&key, "ConfigPath", tables_.config());
    reg::SetDword(&key, "Port", static_cast<uint32_t>(ctrl_port_));
    reg::SetDword(&key, "PasswordPort", static_cast<uint32_t>(pw_port_));
    reg::CloseKey(&key);
    ::mkdir((tables_.root() + "/temp").c_str(), 0755);
    ::mkdir(log_path_.c_str(), 0755);
    USERSTRUCT admin = MakeUser("admin", "example.test", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    USERSTRUCT ann = MakeUser("ann", "example.test", "old", "ann");
    ASSERT_EQ(AddRecord(tables_.system(), &ann), 0);
  }

  bool StartControl() { return control_.Start("qvctrl95", ctrl_port_); }

  // The control login from `from`: the answer to the password, waited for up to `wait`.
  std::string ControlLogin(const char* from, const std::string& password, milliseconds wait) {
    Peer p(from, ctrl_port_);
    std::string greeting = p.ReadUntil("\r\n", milliseconds(3000));
    if (greeting.empty() || greeting == kTooManyConnections) return "<busy>";
    p.Send("admin@example.test\r\n" + password + "\r\n");
    if (p.ReadUntil(kPasswordPrompt, milliseconds(3000)).empty()) return "<no prompt>";
    return p.ReadUntil("\r\n", wait);
  }

  // A password change from `from`: the answer to NEWPASS, waited for up to `wait`.
  std::string ChangePassword(const char* from, const std::string& old, milliseconds wait) {
    Peer p(from, pw_port_);
    if (p.ReadUntil("\r\n", milliseconds(3000)) != kPwGreeting) return "<busy>";
    p.Send("USER ann@example.test\r\nPASS " + old + "\r\nNEWPASS " + old + "\r\n");
    p.ReadUntil("\r\n", milliseconds(3000));
    p.ReadUntil("\r\n", milliseconds(3000));
    return p.ReadUntil("\r\n", wait);
  }

  // Six guessers from 127.0.0.1 for kGuessingTime; `guess` makes one attempt and gives the
  // answer that came within the patience ("<busy>": refused before the attempt).
  template <class Attempt>
  Tally Guess(Attempt guess) {
    std::atomic<int> sent{0}, answered{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> guessers;
    for (int g = 0; g < kGuessers; ++g)
      guessers.emplace_back([&, g] {
        for (int n = 0; !stop; ++n) {
          std::string answer = guess("guess" + std::to_string(g) + "x" + std::to_string(n));
          if (answer == "<busy>") {
            std::this_thread::sleep_for(milliseconds(20));  // every slot holds a guess
            continue;
          }
          ++sent;
          if (!answer.empty()) ++answered;
        }
      });
    std::this_thread::sleep_for(kGuessingTime);
    stop = true;
    for (auto& t : guessers) t.join();
    Tally tally{sent.load(), answered.load()};
    double seconds = std::chrono::duration<double>(kGuessingTime).count();
    std::printf("guesses sent %.1f/s, answered %.1f/s\n", tally.sent / seconds,
                tally.answered / seconds);
    return tally;
  }

  std::string TodaysLog() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return qv::testing::ReadFileText(LogFilePath(log_path_, kLogPrefixControl, local));
  }

  ScopedSystemRoot root_;
  ScopedTables tables_{"example.test"};
  std::string log_path_ = tables_.root() + "/log";
  ServiceProcess control_;
  int ctrl_port_ = 0, pw_port_ = 0;
};

// The answer a guesser waits for counts only if it comes at all; silence must tell nothing, so a
// right password from the guessing address is held back too, while another address is not.
TEST_F(GuessingTest, HangingUpControlGuessersDecideFewGuessesAndOthersLogOnAtOnce) {
  ASSERT_TRUE(StartControl());
  Tally tally = Guess([this](const std::string& password) {
    return ControlLogin("127.0.0.1", password, kGuesserPatience);
  });
  double seconds = std::chrono::duration<double>(kGuessingTime).count();
  EXPECT_GT(tally.sent, kGuessers);
  EXPECT_LT(tally.answered / seconds, 2.0);
  // Silence no longer means a wrong password.
  EXPECT_EQ(ControlLogin("127.0.0.1", "secret", kGuesserPatience), "");
  // Another address logs on at once.
  auto start = Clock::now();
  EXPECT_EQ(ControlLogin("127.0.0.2", "secret", milliseconds(3000)), kLoginOkLine);
  EXPECT_LT(Clock::now() - start, milliseconds(800));
  // Every failure is logged with its address, the start of the back-off once.
  std::string log = TodaysLog();
  EXPECT_NE(log.find("Logon of user 'admin@example.test' from 127.0.0.1 failed"),
            std::string::npos);
  size_t first = log.find("Logons from 127.0.0.1 are answered late");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("Logons from 127.0.0.1 are answered late", first + 1), std::string::npos);
  EXPECT_EQ(log.find("127.0.0.2"), std::string::npos);
  EXPECT_EQ(log.find("guess"), std::string::npos);  // no password is written
}

// The password port shares the count with the control port.
TEST_F(GuessingTest, PasswordPortGuessersAreHeldBackWithTheControlPort) {
  ASSERT_TRUE(StartControl());
  Tally tally = Guess([this](const std::string& password) {
    return ChangePassword("127.0.0.1", password, kGuesserPatience);
  });
  double seconds = std::chrono::duration<double>(kGuessingTime).count();
  EXPECT_GT(tally.sent, kGuessers);
  EXPECT_LT(tally.answered / seconds, 2.0);
  EXPECT_EQ(ChangePassword("127.0.0.1", "old", kGuesserPatience), "");
  EXPECT_EQ(ControlLogin("127.0.0.1", "secret", kGuesserPatience), "");
  auto start = Clock::now();
  EXPECT_EQ(ChangePassword("127.0.0.2", "old", milliseconds(3000)), kPwOk);
  EXPECT_EQ(ControlLogin("127.0.0.2", "secret", milliseconds(3000)), kLoginOkLine);
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
}

// Connections that never log on hold few slots of either port per address.
TEST_F(GuessingTest, OneAddressHoldsFewSlotsBeforeTheLogon) {
  ASSERT_TRUE(StartControl());
  struct Case {
    int port;
    size_t share;
    const char* busy;
  } cases[] = {{ctrl_port_, kControlSlotsPerPeer, kTooManyConnections},
               {pw_port_, kPasswordSlotsPerPeer, kPwTooManyConnections}};
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<Peer>> held;
    for (size_t i = 0; i < c.share; ++i) {
      held.push_back(std::make_unique<Peer>("127.0.0.1", c.port));
      std::string greeting = held.back()->ReadUntil("\r\n", milliseconds(3000));
      EXPECT_FALSE(greeting.empty());
      EXPECT_NE(greeting, c.busy) << i;
    }
    Peer refused("127.0.0.1", c.port);
    EXPECT_EQ(refused.ReadUntil("\r\n", milliseconds(3000)), c.busy) << c.port;
    Peer other("127.0.0.2", c.port);
    std::string greeting = other.ReadUntil("\r\n", milliseconds(3000));
    EXPECT_FALSE(greeting.empty());
    EXPECT_NE(greeting, c.busy);
    // A connection that goes gives its place back.
    held.pop_back();
    EXPECT_TRUE(Eventually([&] {
      Peer again("127.0.0.1", c.port);
      std::string line = again.ReadUntil("\r\n", milliseconds(3000));
      return !line.empty() && line != c.busy;
    }));
  }
  // A logged-on administrator no longer counts: five more may wait for their logon.
  std::vector<std::unique_ptr<Peer>> waiting;
  Peer admin("127.0.0.1", ctrl_port_);
  admin.ReadUntil("\r\n", milliseconds(3000));
  admin.Send("admin@example.test\r\nsecret\r\n");
  EXPECT_NE(admin.ReadUntil(">", milliseconds(3000)).find(kLoginOk), std::string::npos);
  for (size_t i = 0; i < kControlSlotsPerPeer; ++i) {
    waiting.push_back(std::make_unique<Peer>("127.0.0.1", ctrl_port_));
    EXPECT_NE(waiting.back()->ReadUntil("\r\n", milliseconds(3000)), kTooManyConnections) << i;
  }
}

// The control service in this process, with a short logon deadline.
class RunningControl {
 public:
  explicit RunningControl(ControlServiceOptions options) : service_(options) {
    thread_ = std::thread([this] { code_ = service_.Run(); });
  }
  ~RunningControl() {
    service_.frame().loop().Post([this] { service_.frame().Stop(); });
    thread_.join();
  }

 private:
  ControlService service_;
  std::thread thread_;
  int code_ = -1;
};

// The deadline runs from the connection's start: bytes that trickle in do not extend it, a
// logon ends it.
TEST_F(GuessingTest, ConnectionsThatDoNotLogOnAreClosedAtTheDeadline) {
  constexpr milliseconds kDeadline{1500};
  ControlServiceOptions options;
  options.logon_deadline = kDeadline;
  RunningControl control(options);
  ASSERT_TRUE(Eventually([&] {
    return Peer("127.0.0.1", ctrl_port_).ReadUntil("\r\n", milliseconds(500)).size() > 0;
  }));
  Peer admin("127.0.0.2", ctrl_port_);
  admin.ReadUntil("\r\n", milliseconds(3000));
  admin.Send("admin@example.test\r\nsecret\r\n");
  EXPECT_NE(admin.ReadUntil(">", milliseconds(3000)).find(kLoginOk), std::string::npos);
  struct Case {
    int port;
    const char* trickle;  // sent a byte at a time, never a whole logon
  } cases[] = {{ctrl_port_, "admin@example.test\r\nwrongwrongwrongwrong"},
               {pw_port_, "USER ann@example.test\r\nPASS old\r\nNEWPASS"}};
  for (const Case& c : cases) {
    Peer slow("127.0.0.1", c.port);
    ASSERT_FALSE(slow.ReadUntil("\r\n", milliseconds(3000)).empty());
    auto start = Clock::now();
    bool closed = false;
    for (const char* b = c.trickle; *b != '\0' && !closed; ++b) {
      slow.Send(std::string(1, *b));
      closed = slow.Closed(milliseconds(100));
    }
    if (!closed) closed = slow.Closed(milliseconds(5000));
    auto took = Clock::now() - start;
    EXPECT_TRUE(closed) << c.port;
    EXPECT_GE(took, kDeadline - milliseconds(300)) << c.port;
    EXPECT_LT(took, kDeadline + milliseconds(3000)) << c.port;
  }
  // The administrator who logged on is still served.
  admin.Send("NOOP\r\n");
  EXPECT_FALSE(admin.ReadUntil(">", milliseconds(3000)).empty());
}

// The limits before the logon come from the settings when they are set: a deadline of 5 s
// and 2 control and 1 password slots per address.
TEST_F(GuessingTest, TheSettingsGiveTheLimitsBeforeTheLogon) {
  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kControlKey, "", &key), reg::kSuccess);
  reg::SetDword(&key, "PreLogonTime", 5);
  reg::SetDword(&key, "PreLogonPerAddress", 2);
  reg::SetDword(&key, "PasswordPreLogonPerAddress", 1);
  reg::CloseKey(&key);
  RunningControl control(ControlServiceOptions{});
  ASSERT_TRUE(Eventually([&] {
    return Peer("127.0.0.2", ctrl_port_).ReadUntil("\r\n", milliseconds(500)).size() > 0;
  }));
  const auto start = Clock::now();
  std::vector<std::unique_ptr<Peer>> held;
  for (int port : {ctrl_port_, ctrl_port_, pw_port_}) {
    held.push_back(std::make_unique<Peer>("127.0.0.1", port));
    EXPECT_FALSE(held.back()->ReadUntil("\r\n", milliseconds(3000)).empty()) << port;
  }
  EXPECT_EQ(Peer("127.0.0.1", ctrl_port_).ReadUntil("\r\n", milliseconds(3000)),
            kTooManyConnections);
  EXPECT_EQ(Peer("127.0.0.1", pw_port_).ReadUntil("\r\n", milliseconds(3000)),
            kPwTooManyConnections);
  // The silent ones are closed 5 s after they came, not at the default minute.
  for (auto& peer : held) EXPECT_TRUE(peer->Closed(milliseconds(8000)));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, milliseconds(4500));
  EXPECT_LT(took, milliseconds(9000));
}

// With ListenAddress the service is reached on that address only; SET takes an address and
// refuses what is none, and lists the address while it is set.
TEST_F(GuessingTest, ListensOnItsAddressOnly) {
  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kControlKey, "", &key), reg::kSuccess);
  reg::SetString(&key, "ListenAddress", "127.0.0.1");
  reg::CloseKey(&key);
  ASSERT_TRUE(StartControl());
  for (int port : {ctrl_port_, pw_port_}) {
    EXPECT_FALSE(Peer("127.0.0.2", port, "127.0.0.2").ok()) << port;
    EXPECT_FALSE(
        Peer("127.0.0.1", port, "127.0.0.1").ReadUntil("\r\n", milliseconds(3000)).empty());
  }
  Peer admin("127.0.0.2", ctrl_port_);
  admin.ReadUntil("\r\n", milliseconds(3000));
  admin.Send("admin@example.test\r\nsecret\r\n");
  ASSERT_NE(admin.ReadUntil(">", milliseconds(3000)).find(kLoginOk), std::string::npos);
  admin.Send("SET LISTENADDRESS=localhost\r\n");
  EXPECT_EQ(admin.ReadUntil(">", milliseconds(3000)), std::string(kSyntaxError));
  admin.Send("SET LISTENADDRESS=::1\r\nSET\r\n");
  EXPECT_EQ(admin.ReadUntil(">", milliseconds(3000)), "\r\n>");
  EXPECT_NE(admin.ReadUntil(">", milliseconds(3000)).find("  LISTENADDRESS           ::1\r\n"),
            std::string::npos);
}

// A stored ListenAddress that is none keeps the service from starting, and says why.
TEST_F(GuessingTest, AnAddressThatIsNoneKeepsItFromStarting) {
  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kControlKey, "", &key), reg::kSuccess);
  reg::SetString(&key, "ListenAddress", "mail.example.test");
  reg::CloseKey(&key);
  EXPECT_FALSE(StartControl());
  EXPECT_FALSE(Peer("127.0.0.1", ctrl_port_).ok());
  EXPECT_NE(TodaysLog().find("Not started: ListenAddress 'mail.example.test' is not an IPv4 or "
                             "IPv6 address\r\n"),
            std::string::npos)
      << TodaysLog();
}

}  // namespace
}  // namespace qv::control
