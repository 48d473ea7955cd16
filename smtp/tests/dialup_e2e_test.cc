// The real qvsmtp95 with DIALUP set: a forward run brings the link up through the phone book's
// dial command, sends while it is up and takes it down afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/testing/line_client.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "common/testing/test_env.h"
#include "net/tests/smtp_peer_util.h"
#include "platform/sysroot.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using qv::testing::FakeSmtpPeer;
using qv::testing::LineClient;
using qv::testing::ReadFileText;
using qv::testing::WriteFileText;
using testing::SmtpEnv;

class DialupE2E : public testing::SmtpServiceTest {
 protected:
  void SetUp() override {
    state_ = env_.root() + "/link-state";
    dials_ = env_.root() + "/dials";
    hangups_ = env_.root() + "/hangups";
  }

  void WritePhonebook() {
    WriteFileText(platform::SystemPath("phonebook.ini"),
                  "[Provider]\nDial=/bin/sh -c \"echo d >> " + dials_ + "; echo up > " + state_ +
                      "\"\nHangUp=/bin/sh -c \"echo h >> " + hangups_ + "; rm -f " + state_ +
                      "\"\nStatus=/usr/bin/test -s " + state_ + "\n");
  }

  // The service with DIALUP on the entry "Provider", sending at once to `port_ex`.
  bool Start(int port_ex) {
    WriteKeys(kSmtpUseMx | kSmtpImmediately);
    qv::testing::ControlKey().Set("Flags", kSysDialup).Set("RASEntry", "Provider");
    env_.WriteForwarder(port_ex);
    return SmtpServiceTest::Start();
  }

  std::string Send(const std::string& rcpt) {
    return SendMessage("alice@example.test", rcpt, "Subject: t\r\n\r\nover the line");
  }

  template <typename Done>
  static bool WaitFor(Done done) {
    return qv::testing::WaitUntil(done, std::chrono::seconds(20));
  }

  std::string state_, dials_, hangups_;
};

TEST_F(DialupE2E, AForwardRunDialsSendsAndHangsUp) {
  WritePhonebook();
  // The peer notes whether the link was up when the message came.
  std::atomic<bool> up_at_mail{false};
  FakeSmtpPeer::Script script;
  script.reply = [&](const std::string& line) {
    if (line.rfind("MAIL", 0) == 0) up_at_mail = access(state_.c_str(), F_OK) == 0;
    return FakeSmtpPeer::StandardReply(line);
  };
  FakeSmtpPeer peer(script);
  ASSERT_TRUE(Start(peer.port()));
  EXPECT_EQ(Send("dora@remote.test").substr(0, 4), "250 ");
  ASSERT_TRUE(WaitFor([&] { return peer.messages().size() == 1; }));
  EXPECT_TRUE(up_at_mail);
  // The hang-up command has ended: its line is written and the link is down.
  ASSERT_TRUE(WaitFor(
      [&] { return ReadFileText(hangups_) == "h\n" && access(state_.c_str(), F_OK) != 0; }));
  EXPECT_EQ(ReadFileText(dials_), "d\n");
  EXPECT_TRUE(WaitFor([&] { return env_.Queue().empty(); }));
  EXPECT_EQ(env_.LogText().find("Could not open dial-up profile"), std::string::npos);
  EXPECT_EQ(service_.Stop(), 0);
}

TEST_F(DialupE2E, AnEntryMissingFromThePhoneBookKeepsTheMailQueued) {
  FakeSmtpPeer peer;
  ASSERT_TRUE(Start(peer.port()));
  EXPECT_EQ(Send("dora@remote.test").substr(0, 4), "250 ");
  ASSERT_TRUE(WaitFor([&] {
    return env_.LogText().find(
               "Could not open dial-up profile 'Provider';Error getting dial "
               "parameters") != std::string::npos;
  }));
  EXPECT_EQ(peer.connections(), 0);
  EXPECT_EQ(env_.Queue().size(), 1u);
  EXPECT_EQ(service_.Stop(), 0);
}

}  // namespace
}  // namespace qv::smtp
