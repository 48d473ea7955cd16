// The applet and its loader: one console per system root (a second open brings the first one
// forward), CPlApplet's messages through dlopen as a control panel would call it, and qvrun
// showing the console in a process of its own.
#include "console/ui/applet.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QSignalSpy>
#include <QWidget>
#include <chrono>
#include <thread>

#include "common/testing/test_env.h"
#include "console/ui/console_instance.h"
#include "console/ui/tests/qt_app_util.h"
#include "platform/presence.h"
#include "platform/spawn.h"

namespace qv::console::testing {
namespace {

using qv::testing::BinDir;
using qv::testing::ScopedSystemRoot;

class InstanceTest : public ::testing::Test {
 protected:
  void SetUp() override { TestApp(); }
  ScopedSystemRoot root_;
};

TEST_F(InstanceTest, ASecondOpenBringsTheFirstForward) {
  ClaimOutcome first = ClaimConsole();
  ASSERT_NE(first.instance, nullptr);
  EXPECT_TRUE(platform::FindServiceWindow("qvcpl"));
  QWidget window;
  first.instance->set_window(&window);
  QSignalSpy raised(first.instance.get(), &ConsoleInstance::raised);

  ClaimOutcome second = ClaimConsole(5000);
  EXPECT_EQ(second.instance, nullptr);
  EXPECT_TRUE(second.other_raised);
  EXPECT_EQ(raised.count(), 1);

  // Closed, the console is free for the next one.
  first.instance.reset();
  EXPECT_FALSE(platform::FindServiceWindow("qvcpl"));
  ClaimOutcome third = ClaimConsole(1000);
  EXPECT_NE(third.instance, nullptr);
}

TEST_F(InstanceTest, EachSystemRootHasItsOwnConsole) {
  ClaimOutcome first = ClaimConsole();
  ASSERT_NE(first.instance, nullptr);
  const QString first_name = InstanceSocketName();
  ScopedSystemRoot other;
  EXPECT_NE(InstanceSocketName(), first_name);
  ClaimOutcome second = ClaimConsole(1000);
  EXPECT_NE(second.instance, nullptr);
  EXPECT_FALSE(second.other_raised);
}

TEST_F(InstanceTest, AHolderThatDoesNotAnswerOpensNoSecondConsole) {
  // The lock held by something that never listens: the open gives up after its time.
  std::unique_ptr<platform::PresenceLock> lock = platform::PresenceLock::Acquire("qvcpl");
  ASSERT_NE(lock, nullptr);
  const auto start = std::chrono::steady_clock::now();
  ClaimOutcome claim = ClaimConsole(500);
  EXPECT_EQ(claim.instance, nullptr);
  EXPECT_FALSE(claim.other_raised);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// libqvcpl.so, loaded as a control panel loads it.
class AppletTest : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    // Never closed: Qt keeps the library's types registered until the process ends, as a
    // control panel keeps its applets.
    lib_ = dlopen((BinDir() + "/libqvcpl.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(lib_, nullptr) << dlerror();
    entry_ = reinterpret_cast<decltype(&CPlApplet)>(dlsym(lib_, "CPlApplet"));
    ASSERT_NE(entry_, nullptr);
  }
  void* lib_ = nullptr;
  decltype(&CPlApplet) entry_ = nullptr;
};

TEST_F(AppletTest, AnswersTheControlPanelsMessages) {
  EXPECT_EQ(entry_(nullptr, kCplInit, 0, 0), 1);
  EXPECT_EQ(entry_(nullptr, kCplGetCount, 0, 0), 1);
  QvCplInquiry inquiry{};
  EXPECT_EQ(entry_(nullptr, kCplNewInquire, 0, reinterpret_cast<intptr_t>(&inquiry)), 0);
  EXPECT_STREQ(inquiry.name, "Quorvane");
  EXPECT_EQ(entry_(nullptr, kCplInquire, 0, 0), 0);  // nothing to fill: no crash
  EXPECT_EQ(entry_(nullptr, kCplStop, 0, 0), 0);
  EXPECT_EQ(entry_(nullptr, kCplExit, 0, 0), 0);  // the test's application is not the applet's
  EXPECT_NE(QApplication::instance(), nullptr);
}

TEST_F(AppletTest, OpeningWhileAConsoleIsOpenRaisesIt) {
  // The open message of the library, while this test holds the console: no dialog (it would
  // block here), the holder is asked to come forward instead.
  ClaimOutcome first = ClaimConsole();
  ASSERT_NE(first.instance, nullptr);
  QWidget window;
  first.instance->set_window(&window);
  QSignalSpy raised(first.instance.get(), &ConsoleInstance::raised);
  EXPECT_EQ(entry_(&window, kCplOpen, 0, 0), 0);
  EXPECT_EQ(raised.count(), 1);
}

TEST_F(InstanceTest, QvrunShowsTheConsoleAndASecondOpenRaisesIt) {
  pid_t pid = -1;
  ASSERT_TRUE(platform::StartProgram({BinDir() + "/qvrun"}, &pid, platform::ChildOutput::kInherit));
  bool up = false;
  for (int i = 0; i < 1200 && !up; ++i) {  // a sanitizer build loads slowly
    up = platform::FindServiceWindow("qvcpl");
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      break;
    }
  }
  ASSERT_TRUE(up) << "qvrun did not open the console";
  ClaimOutcome second = ClaimConsole(10000);
  EXPECT_EQ(second.instance, nullptr);
  EXPECT_TRUE(second.other_raised);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace qv::console::testing
