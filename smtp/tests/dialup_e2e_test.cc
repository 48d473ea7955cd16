// The real qvsmtp95 with DIALUP set: a forward run brings the link up through the phone book's
// dial command, sends while it is up and takes it down afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/testing/line_client.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "common/testing/test_env.h"
#include "net/tests/smtp_peer_util.h"
#include "platform/rasapi.h"
#include "platform/sysroot.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using qv::testing::BinDir;
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

  // The trace of the program's next start goes to `trace_` from `level` on, without prefixes.
  void TraceFrom(uint32_t level) {
    trace_ = env_.root() + "/trace.txt";
    std::filesystem::remove(trace_);
    qv::testing::KeyWriter(kTraceKey, "")
        .Set("DbgLevel", level)
        .Set("DbgOutTo", 2)
        .Set("DbgMex", 0)
        .Set("DbgLogfile", trace_);
  }

  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  std::string state_, dials_, hangups_, trace_;
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

// The link share library is loaded once the trace is set up: its lines follow the start line and
// come before the first open; without the library its failure is written where the load fails,
// before the lock error it causes.
TEST_F(DialupE2E, TheShareLibraryLoadIsTracedAfterTheStartLineAndBeforeTheFirstOpen) {
  constexpr char kStart[] = "SMTPMAIN.WinMain [hMainWindow=x";
  constexpr char kLoad[] = "myrasshr._LoadBrsLibrary: Will load BRASSHR dll\r\n";
  constexpr char kCannot[] = "myrasshr._LoadBrsLibrary: Cannot load BRASSHR.DLL!!\r\n";
  constexpr char kOpen[] = ">> OpenConnection [pszConnection=Provider]\r\n";
  constexpr char kLockError[] =
      "_LockRas: Error!! [erc=126, dwWaitResult=0, dwWaitTimeout=180000]\r\n";
  constexpr char kLogLine[] =
      "Could not open dial-up profile 'Provider';Error attempting to lock RAS Share";
  WritePhonebook();
  FakeSmtpPeer peer;

  TraceFrom(27);
  ASSERT_TRUE(Start(peer.port()));
  EXPECT_EQ(Send("dora@remote.test").substr(0, 4), "250 ");
  ASSERT_TRUE(WaitFor([&] { return ReadFileText(hangups_) == "h\n"; }));
  EXPECT_EQ(service_.Stop(), 0);
  std::string trace = ReadFileText(trace_);
  EXPECT_EQ(trace.rfind(kStart, 0), 0u) << trace;
  EXPECT_EQ(Count(trace, kLoad), 1u) << trace;
  EXPECT_LT(trace.find(kLoad), trace.find(kOpen)) << trace;
  EXPECT_EQ(Count(trace, kCannot), 0u) << trace;

  // The program and the dial-up layer in a folder without the link share library.
  std::string bin = env_.root() + "/bin";
  std::filesystem::create_directories(bin);
  for (const char* file : {"qvsmtp95", platform::ras::kLibraryName})
    std::filesystem::copy_file(BinDir() + "/" + file, bin + "/" + file);
  size_t failed_opens = 0;
  for (uint32_t level : {27u, 70u}) {
    TraceFrom(level);
    ASSERT_TRUE(service_.StartAt({bin + "/qvsmtp95"}, port_, platform::ChildOutput::kInherit));
    EXPECT_EQ(Send("dora@remote.test").substr(0, 4), "250 ");
    ++failed_opens;
    ASSERT_TRUE(WaitFor([&] { return Count(env_.LogText(), kLogLine) >= failed_opens; }));
    EXPECT_EQ(service_.Stop(), 0);
    failed_opens = Count(env_.LogText(), kLogLine);
    trace = ReadFileText(trace_);
    EXPECT_EQ(trace.rfind(kStart, 0), 0u) << trace;
    EXPECT_EQ(Count(trace, kCannot), 1u) << trace;
    EXPECT_LT(trace.find(kCannot), trace.find(kLockError)) << trace;
    if (level == 27) {
      EXPECT_EQ(Count(trace, kLoad), 1u) << trace;
      EXPECT_LT(trace.find(kLoad), trace.find(kCannot)) << trace;
      EXPECT_LT(trace.find(kCannot), trace.find(kOpen)) << trace;
    } else {
      EXPECT_EQ(Count(trace, kLoad), 0u) << trace;
    }
  }
  EXPECT_EQ(peer.connections(), 1);
}

}  // namespace
}  // namespace qv::smtp
