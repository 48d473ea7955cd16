#include "control/connection.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>

#include "common/recordstore.h"
#include "common/testing/table_env.h"
#include "control/control_texts.h"
#include "control/tests/fake_host.h"
#include "serve/testing/fake_link.h"

namespace qv::control {
namespace {

using qv::testing::FakeLink;
using qv::testing::MakeUser;
using qv::testing::ScopedTables;
using testing::FakeHost;

// Timers and off-loop work held until the test lets them run.
struct Pending {
  std::deque<std::function<void()>> timers;
  std::deque<std::function<void()>> done;
  std::chrono::milliseconds last_delay{0};

  ConnectionContext Context() {
    ConnectionContext c;
    c.offload = [this](std::function<void()> work, std::function<void()> then) {
      work();
      done.push_back(std::move(then));
    };
    c.after = [this](std::chrono::milliseconds delay, std::function<void()> fn) {
      last_delay = delay;
      timers.push_back(std::move(fn));
    };
    return c;
  }
  void RunTimers() {
    while (!timers.empty()) {
      auto fn = std::move(timers.front());
      timers.pop_front();
      fn();
    }
  }
  void RunDone() {
    while (!done.empty()) {
      auto fn = std::move(done.front());
      done.pop_front();
      fn();
    }
  }
};

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    USERSTRUCT admin = MakeUser("admin", "example.com", "pw");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    USERSTRUCT ann = MakeUser("ann", "example.com", "old");
    ASSERT_EQ(AddRecord(tables_.system(), &ann), 0);
    tables_.system().LogLevel = -1;
  }
  ScopedTables tables_;
  FakeHost host_;
  Pending pending_;
};

TEST_F(ConnectionTest, EachConnectionGathersItsOwnLines) {
  ConnectionContext context = pending_.Context();
  FakeLink a_link, b_link;
  ControlConnection a(tables_.settings(), a_link, "10.0.0.1", host_, context);
  ControlConnection b(tables_.settings(), b_link, "10.0.0.2", host_, context);
  EXPECT_EQ(a_link.idle_limit, std::chrono::minutes(10));
  a.OnReceive("adm");
  b.OnReceive("nobody@exa");
  a.OnReceive("in@example.com\r");
  b.OnReceive("mple.com\r\n");
  a.OnReceive("\n");
  EXPECT_EQ(a_link.Take(), kPasswordPrompt);
  EXPECT_EQ(b_link.Take(), kPasswordPrompt);
  EXPECT_EQ(a.session().user_name(), "admin@example.com");
  EXPECT_EQ(b.session().user_name(), "nobody@example.com");
  // Every line of one read, in order.
  a.OnReceive("pw\r\nNOOP\r\nHELP NOOP\r\nSET LOGLEVEL=2\r\n");
  EXPECT_EQ(a_link.Take(), std::string(kLoginOk) + kPrompt + kHelpNoop + kPrompt);
  EXPECT_EQ(a.session().settings().system.LogLevel, 2);
}

TEST_F(ConnectionTest, FailedLoginIsAnsweredAfterThePauseAndHoldsLaterLines) {
  ConnectionContext context = pending_.Context();
  FakeLink link;
  ControlConnection c(tables_.settings(), link, "10.0.0.1", host_, context);
  c.OnReceive("admin@example.com\r\nwrong\r\npw\r\nNOOP\r\n");
  EXPECT_EQ(link.Take(), kPasswordPrompt);
  ASSERT_EQ(pending_.timers.size(), 1u);
  EXPECT_EQ(pending_.last_delay, std::chrono::milliseconds(kFailureDelayMs));
  EXPECT_TRUE(c.paused());
  pending_.RunTimers();
  EXPECT_EQ(link.Take(), std::string(kInvalidPassword) + kLoginOk + kPrompt);
  EXPECT_FALSE(c.paused());
}

TEST_F(ConnectionTest, ServiceCommandsRunOffTheLoopInOrder) {
  ConnectionContext context = pending_.Context();
  FakeLink link;
  ControlConnection c(tables_.settings(), link, "10.0.0.1", host_, context);
  c.OnReceive("admin@example.com\r\npw\r\nSET LOGLEVEL=3\r\n");
  link.Take();
  c.OnReceive("SAVE\r\nNOOP\r\nSET LOGLEVEL=2\r\nQUIT\r\nNOOP\r\n");
  EXPECT_EQ(link.Take(), "");  // the save runs elsewhere; NOOP waits for it
  EXPECT_EQ(host_.saves, 1);
  pending_.RunDone();
  EXPECT_EQ(link.Take(),
            std::string(kSaved) + kPrompt + kPrompt + "10.0.0.1 closing connection\r\n");
  EXPECT_TRUE(link.closed);
  EXPECT_EQ(host_.saves, 2);
}

TEST_F(ConnectionTest, LateCallbacksFindTheConnectionGone) {
  ConnectionContext context = pending_.Context();
  {
    FakeLink link;
    ControlConnection c(tables_.settings(), link, "10.0.0.1", host_, context);
    c.OnReceive("nobody@example.com\r\nx\r\n");
    c.OnReceive("admin@example.com\r\npw\r\n");
  }
  {
    FakeLink link;
    auto c =
        std::make_unique<ControlConnection>(tables_.settings(), link, "10.0.0.1", host_, context);
    c->OnReceive("admin@example.com\r\npw\r\nSTATE\r\n");
    c.reset();
  }
  pending_.RunTimers();
  pending_.RunDone();
}

TEST_F(ConnectionTest, OverlongLineClosesAndIdleCloses) {
  ConnectionContext context = pending_.Context();
  FakeLink link;
  ControlConnection c(tables_.settings(), link, "10.0.0.1", host_, context);
  c.OnReceive(std::string(1500, 'a'));
  EXPECT_FALSE(link.closed);
  c.OnReceive(std::string(600, 'a'));
  EXPECT_EQ(link.Take(), kLineTooLong);
  EXPECT_TRUE(link.closed);

  FakeLink idle_link;
  PasswordConnection idle(tables_.settings(), idle_link, context);
  idle.OnIdle();
  EXPECT_TRUE(idle_link.closed);

  FakeLink pw_link;
  PasswordConnection pw(tables_.settings(), pw_link, context);
  pw.OnReceive(std::string(3000, 'p'));
  EXPECT_EQ(pw_link.Take(), kPwLineTooLong);
  EXPECT_TRUE(pw_link.closed);
}

TEST_F(ConnectionTest, PasswordChangeAndItsDelayedFailure) {
  ConnectionContext context = pending_.Context();
  FakeLink link;
  PasswordConnection ok(tables_.settings(), link, context);
  ok.OnReceive("USER ann@example.com\r\nPASS OLD\r\nNEWPASS new\r\nQUIT\r\n");
  EXPECT_EQ(link.Take(), std::string(kPwOk) + kPwOk + kPwOk);
  EXPECT_TRUE(link.closed);
  USERSTRUCT u{};
  ASSERT_EQ(FindRecord(tables_.system(), "ann", "example.com", &u), 0);
  EXPECT_STREQ(u.Password, "new");

  FakeLink bad_link;
  PasswordConnection bad(tables_.settings(), bad_link, context);
  bad.OnReceive("USER ann@example.com\r\nPASS wrong\r\nNEWPASS x\r\n");
  EXPECT_EQ(bad_link.Take(), std::string(kPwOk) + kPwOk);
  EXPECT_FALSE(bad_link.closed);
  pending_.RunTimers();
  EXPECT_EQ(bad_link.Take(), kPwInvalidPassword);
  EXPECT_TRUE(bad_link.closed);
}

}  // namespace
}  // namespace qv::control

namespace qv::control {
namespace {

// Connections that share one logon guard on a clock the test moves.
class GuardedConnectionTest : public ConnectionTest {
 protected:
  ConnectionContext Guarded() {
    ConnectionContext context = pending_.Context();
    context.guard = &guard_;
    context.log_failure = [this](std::string_view text) { log_ += text; };
    return context;
  }
  // The delay the password line of a control login waited for, or -1 ms when it was
  // answered at once; the timers are run.
  std::chrono::milliseconds LoginDelay(const char* peer, const char* password) {
    ConnectionContext context = Guarded();
    FakeLink link;
    ControlConnection c(tables_.settings(), link, peer, host_, context);
    c.OnReceive("admin@example.com\r\n");
    pending_.RunTimers();
    link.Take();
    c.OnReceive(std::string(password) + "\r\n");
    if (!link.Take().empty()) return std::chrono::milliseconds(-1);
    std::chrono::milliseconds delay = pending_.last_delay;
    pending_.RunTimers();
    EXPECT_FALSE(link.Take().empty());
    return delay;
  }

  std::chrono::steady_clock::time_point now_{std::chrono::seconds(100)};
  LogonGuard guard_{LogonGuardLimits{}, [this] { return now_; }};
  std::string log_;
};

TEST_F(GuardedConnectionTest, EveryAnswerToALogonWaitsForThePeersBackOff) {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  const struct {
    const char* peer;
    const char* password;
    milliseconds advance;  // before the line
    milliseconds delay;    // -1: answered at once
  } cases[] = {
      {"10.0.0.1", "pw", milliseconds(0), milliseconds(-1)},
      {"10.0.0.1", "bad", milliseconds(0), seconds(1)},
      {"10.0.0.1", "bad", milliseconds(0), seconds(3)},
      {"10.0.0.1", "pw", milliseconds(0), seconds(3)},  // right, but the back-off lasts
      {"10.0.0.2", "pw", milliseconds(0), milliseconds(-1)},
      {"10.0.0.1", "pw", milliseconds(2500), milliseconds(500)},
      {"10.0.0.1", "pw", seconds(1), milliseconds(-1)},
  };
  for (const auto& c : cases) {
    now_ += c.advance;
    EXPECT_EQ(LoginDelay(c.peer, c.password), c.delay) << c.peer << " " << c.password;
  }
  EXPECT_EQ(log_,
            "Logon of user 'admin@example.com' from 10.0.0.1 failed\r\n"
            "Logons from 10.0.0.1 are answered late\r\n"
            "Logon of user 'admin@example.com' from 10.0.0.1 failed\r\n");
}

TEST_F(GuardedConnectionTest, PasswordChangesShareTheCountWithTheControlPort) {
  ConnectionContext context = Guarded();
  for (int i = 0; i < 2; ++i) {
    FakeLink link;
    PasswordConnection c(tables_.settings(), link, context, "10.0.0.3");
    c.OnReceive("USER ann@example.com\r\nPASS wrong\r\nNEWPASS x\r\n");
    EXPECT_EQ(link.Take(), std::string(kPwOk) + kPwOk);
    EXPECT_EQ(pending_.last_delay, std::chrono::seconds(i == 0 ? 1 : 3));
    pending_.RunTimers();
    EXPECT_EQ(link.Take(), kPwInvalidPassword);
  }
  // QUIT is no logon: answered at once.
  FakeLink quit_link;
  PasswordConnection quitting(tables_.settings(), quit_link, context, "10.0.0.3");
  quitting.OnReceive("USER ann@example.com\r\nPASS old\r\nQUIT\r\n");
  EXPECT_EQ(quit_link.Take(), std::string(kPwOk) + kPwOk + kPwOk);
  // The right old password waits for the back-off, and the control login from there too.
  FakeLink link;
  PasswordConnection c(tables_.settings(), link, context, "10.0.0.3");
  c.OnReceive("USER ann@example.com\r\nPASS old\r\nNEWPASS new\r\n");
  EXPECT_EQ(link.Take(), std::string(kPwOk) + kPwOk);
  EXPECT_EQ(pending_.last_delay, std::chrono::seconds(3));
  pending_.RunTimers();
  EXPECT_EQ(link.Take(), kPwOk);
  EXPECT_EQ(LoginDelay("10.0.0.3", "pw"), std::chrono::seconds(3));
}

TEST_F(GuardedConnectionTest, TheLogonDeadlineClosesOnlyConnectionsNotLoggedOn) {
  ConnectionContext context = Guarded();
  context.logon_deadline = std::chrono::seconds(60);
  PeerCount peers(5);
  FakeLink waiting_link, admin_link, pw_link;
  ControlConnection waiting(tables_.settings(), waiting_link, "10.0.0.4", host_, context);
  waiting.HoldPreLogonPlace(peers.Take("10.0.0.4"));
  ControlConnection admin(tables_.settings(), admin_link, "10.0.0.4", host_, context);
  admin.HoldPreLogonPlace(peers.Take("10.0.0.4"));
  PasswordConnection pw(tables_.settings(), pw_link, context, "10.0.0.4");
  EXPECT_EQ(pending_.last_delay, std::chrono::seconds(60));
  EXPECT_EQ(peers.Held("10.0.0.4"), 2u);
  admin.OnReceive("admin@example.com\r\npw\r\n");
  EXPECT_EQ(peers.Held("10.0.0.4"), 1u);  // the logon gave its place back
  waiting.OnReceive("admin@exa");         // input does not extend the deadline
  pending_.RunTimers();
  EXPECT_TRUE(waiting_link.closed);
  EXPECT_TRUE(pw_link.closed);
  EXPECT_FALSE(admin_link.closed);
}

}  // namespace
}  // namespace qv::control
