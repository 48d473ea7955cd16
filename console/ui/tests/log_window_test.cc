// Viewing a log file when the LogViewer setting names no program that can be found: the order of
// the fallbacks, and the console's own log window with its find field, driven by keys.
#include "console/ui/log_window.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <optional>
#include <set>

#include "console/ui/event_log_page.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

// Sets an environment variable for the life of the object (null: unset), then restores it.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name(name) {
    if (const char* was = std::getenv(name)) old = was;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old ? setenv(name, old->c_str(), 1) : unsetenv(name); }
  const char* name;
  std::optional<std::string> old;
};

TEST(FallbackViewerTest, XdgOpenThenAPagerInATerminalThenTheLogWindow) {
  ScopedEnv terminal("TERMINAL", nullptr);
  ScopedEnv pager("PAGER", nullptr);
  std::set<std::string> present;
  auto find = [&](const std::string& name) {
    return present.count(name) != 0 ? "/usr/bin/" + name : std::string();
  };
  const std::string log = "/var/log/qv/s1.txt";
  // Nothing there: the log window (no command).
  EXPECT_TRUE(FallbackViewer(log, find).empty());
  // A pager without a terminal to show it in is no use.
  present = {"less", "more"};
  EXPECT_TRUE(FallbackViewer(log, find).empty());
  present.insert("x-terminal-emulator");
  EXPECT_EQ(FallbackViewer(log, find),
            (std::vector<std::string>{"/usr/bin/x-terminal-emulator", "-e", "/usr/bin/less", log}));
  present.erase("less");
  EXPECT_EQ(FallbackViewer(log, find)[2], "/usr/bin/more");
  {
    ScopedEnv chosen("PAGER", "most -s");
    present.insert("most");
    EXPECT_EQ(FallbackViewer(log, find),
              (std::vector<std::string>{"/usr/bin/x-terminal-emulator", "-e", "/usr/bin/most", "-s",
                                        log}));
  }
  present.insert("xdg-open");
  EXPECT_EQ(FallbackViewer(log, find), (std::vector<std::string>{"/usr/bin/xdg-open", log}));
}

class LogWindowTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    qv::testing::WriteFileText(dir_.Sub("s20261208.txt"),
                               "0001 08 Dec 2026 *** Service started\n"
                               "0002 08 Dec 2026 --> HELO far.example.test\n"
                               "0002 08 Dec 2026 <-- 250 mail.example.test\n"
                               "0003 08 Dec 2026 --> HELO near.example.test\n");
    CopyField(store_->settings.system.LogPath, dir_.path());
    store_->logs.smtp = {"s20261208.txt"};
  }

  // Views the first SMTP log as a user does: select it, press "View log..".
  LogWindow* View() {
    dialog_->Reload();
    dialog_->event_log()->smtp_logs()->setCurrentRow(0);
    QTest::mouseClick(Find<QPushButton>("SmtpLogsView"), Qt::LeftButton);
    return dialog_->event_log()->log_window();
  }

  qv::testing::TempDir dir_;
  qv::testing::TempDir empty_bin_;
  // No program of the fallbacks can be found.
  ScopedEnv path_{"PATH", empty_bin_.path().c_str()};
  ScopedEnv terminal_{"TERMINAL", nullptr};
};

TEST_F(LogWindowTest, AnEmptySettingOpensTheLogWindowWhichFindsText) {
  LogWindow* window = View();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(shown_.empty());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Log file s20261208.txt");
  EXPECT_TRUE(window->text()->isReadOnly());
  EXPECT_TRUE(window->text()->toPlainText().contains("250 mail.example.test"));

  // Type, Enter: the first place; Enter again: the next; round the end to the first again.
  QTest::keyClicks(window->find_field(), "HELO");
  QTest::keyClick(window->find_field(), Qt::Key_Return);
  EXPECT_EQ(window->text()->textCursor().blockNumber(), 1);
  EXPECT_EQ(window->text()->textCursor().selectedText(), "HELO");
  QTest::keyClick(window->find_field(), Qt::Key_Return);
  EXPECT_EQ(window->text()->textCursor().blockNumber(), 3);
  QTest::keyClick(window->find_field(), Qt::Key_Return);
  EXPECT_EQ(window->text()->textCursor().blockNumber(), 1);
  EXPECT_TRUE(window->isVisible());  // Enter finds; it does not close the window

  // Typing into the text changes nothing.
  QTest::keyClicks(window->text(), "xyz");
  EXPECT_FALSE(window->text()->toPlainText().contains("xyz"));

  window->find_field()->clear();
  QTest::keyClicks(window->find_field(), "RCPT");
  QTest::keyClick(window->find_field(), Qt::Key_Return);
  EXPECT_EQ(window->note()->text(), "'RCPT' was not found.");
  EXPECT_EQ(window->text()->textCursor().blockNumber(), 1);  // the cursor stays
  QTest::keyClick(window, Qt::Key_Escape);
  EXPECT_FALSE(window->isVisible());
}

TEST_F(LogWindowTest, AViewerThatCannotBeFoundFallsBackToo) {
  CopyField(store_->settings.system.LogViewer, "NOTEPAD.EXE");
  LogWindow* window = View();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(shown_.empty());
  EXPECT_TRUE(window->text()->toPlainText().startsWith("0001"));
}

TEST_F(LogWindowTest, AFileThatCannotBeReadIsReported) {
  store_->logs.smtp = {"s20261209.txt"};  // listed, but gone meanwhile
  View();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text.toStdString(),
            "Cannot read the log file '" + dir_.Sub("s20261209.txt") + "'!");
}

}  // namespace
}  // namespace qv::console::testing
