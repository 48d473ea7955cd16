// A local start that fails says why: what the service's program wrote to its standard error
// before it ended (the programs here are scripts standing in for the services), and the wait
// ends as soon as the program has.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "common/testing/table_env.h"
#include "console/store/console_store.h"
#include "platform/unique_fd.h"

namespace qv::console {
namespace {

using qv::testing::ToolEnv;
using qv::testing::WriteFileText;

class LocalStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings s;
    ASSERT_TRUE(store_->LoadSettings(&s));
    CopyField(s.system.InstallPath, bin_.path());
    ASSERT_TRUE(store_->SaveSettings(s));
  }
  void Program(const char* name, const std::string& script) {
    WriteFileText(bin_.Sub(name), "#!/bin/sh\n" + script);
    ::chmod(bin_.Sub(name).c_str(), 0755);
  }
  // The start's error text, and whether it came within `seconds`.
  std::string Start(int service, int seconds = 3) {
    const auto began = std::chrono::steady_clock::now();
    Status started = store_->ServiceAction(service, kCommandStart);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(seconds));
    return started.ok() ? "started" : started.error();
  }

  ToolEnv env_{"example.test"};
  qv::testing::TempDir bin_;
  std::unique_ptr<ConsoleStore> store_ = MakeLocalStore();
};

TEST_F(LocalStartTest, TheProgramsOwnWordsFollowTheFirstLine) {
  Program("qvpop395", "echo 'QuorvanePop3: cannot listen on port 1100' >&2\nexit 1\n");
  EXPECT_EQ(Start(kServicePop3),
            "Cannot start QuorvanePop3 service.\n\nQuorvanePop3: cannot listen on port 1100");
  // A program that ends without a word, and one that is not there.
  Program("qvsmtp95", "exit 1\n");
  EXPECT_EQ(Start(kServiceSmtp), "Cannot start QuorvaneSmtp service.\n\nThe program " +
                                     bin_.Sub("qvsmtp95") + " ended without a message.");
  ::unlink(bin_.Sub("qvsmtp95").c_str());
  EXPECT_EQ(Start(kServiceSmtp), "Cannot start QuorvaneSmtp service.\n\nThe program " +
                                     bin_.Sub("qvsmtp95") + " cannot be run.");
}

TEST_F(LocalStartTest, TheRealPop3ServiceSaysItsPortIsTaken) {
  platform::UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  socklen_t size = sizeof at;
  ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(taken.get(), 1), 0);
  ASSERT_EQ(::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&at), &size), 0);
  Settings s;
  ASSERT_TRUE(store_->LoadSettings(&s));
  CopyField(s.system.InstallPath, qv::testing::BinDir());
  s.pop3.Port = ntohs(at.sin_port);
  ASSERT_TRUE(store_->SaveSettings(s));
  EXPECT_EQ(Start(kServicePop3),
            "Cannot start QuorvanePop3 service.\n\nQuorvanePop3: cannot listen on port " +
                std::to_string(ntohs(at.sin_port)));
}

TEST_F(LocalStartTest, AProgramThatKeepsRunningWithoutTheServiceTimesOut) {
  // Says something, but never takes the service's presence: the whole wait, then its words.
  Program("qvpop395", "echo 'still loading' >&2\nexec sleep 7\n");
  EXPECT_EQ(Start(kServicePop3, 8), "Cannot start QuorvanePop3 service.\n\nstill loading");
}

}  // namespace
}  // namespace qv::console
