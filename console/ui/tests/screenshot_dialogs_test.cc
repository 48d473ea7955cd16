// Pictures of the Servers page's dialogs and the console's log window, saved beside the pages'
// pictures (QV_SCREENSHOT_DIR, see screenshot_test.cc); skipped without the variable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "common/testing/test_env.h"
#include "console/ui/console_dialog.h"
#include "console/ui/log_window.h"
#include "console/ui/servers_page.h"
#include "console/ui/tests/fake_store_util.h"
#include "console/ui/tests/qt_app_util.h"

namespace qv::console::testing {
namespace {

void Save(QWidget* widget, const char* name) {
  QApplication::processEvents();
  const QString path = QString("%1/%2.png").arg(std::getenv("QV_SCREENSHOT_DIR")).arg(name);
  EXPECT_TRUE(widget->grab().save(path, "PNG")) << path.toStdString();
  std::printf("screenshot %s\n", path.toUtf8().constData());
}

TEST(ScreenshotTest, ServersDialogsAndTheLogWindow) {
  const char* dir = std::getenv("QV_SCREENSHOT_DIR");
  if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "QV_SCREENSHOT_DIR not set";
  TestApp();
  ::mkdir(dir, 0755);

  ConnectDialog connect({"remembered.example.test", "admin@example.test", "", 32000});
  connect.show();
  Save(&connect, "20-connect");

  ConnectProgress progress("remembered.example.test");
  progress.show();
  Save(&progress, "21-connecting");

  auto store = std::make_unique<FakeStore>();
  store->states = {ServiceState::kStarted, ServiceState::kStarted};
  store->settings.system.Port = 32000;
  ConsoleDialog dialog(std::move(store));
  dialog.Reload();
  dialog.show();
  QTimer::singleShot(100, [] {
    QWidget* box = QApplication::activeModalWidget();
    ASSERT_NE(box, nullptr);
    Save(box, "22-remove-service");
    QTest::keyClick(box, Qt::Key_Escape);
  });
  QTest::mouseClick(dialog.findChild<QPushButton*>("Pop3Remove"), Qt::LeftButton);
  QMessageBox failed(QMessageBox::Critical, "Error",
                     "Cannot start QuorvanePop3 service.\n\n"
                     "QuorvanePop3: cannot listen on port 1100",
                     QMessageBox::Ok, &dialog);
  failed.show();
  Save(&failed, "23-start-failed");

  qv::testing::TempDir logs;
  std::string text;
  for (int i = 1; i <= 40; ++i)
    text += "000" + std::to_string(i % 10) + " 08 Dec 2026 12:00:" + std::to_string(10 + i) +
            (i % 3 == 0 ? " --> HELO far.example.test\n" : " <-- 250 mail.example.test\n");
  qv::testing::WriteFileText(logs.Sub("s20261208.txt"), text);
  auto* window = new LogWindow(&dialog);
  ASSERT_TRUE(window->Open(QString::fromStdString(logs.Sub("s20261208.txt"))));
  window->show();
  QTest::keyClicks(window->find_field(), "HELO");
  QTest::keyClick(window->find_field(), Qt::Key_Return);
  Save(window, "24-log-window");
  window->find_field()->setText("RCPT");
  window->FindNext();
  Save(window, "25-log-window-not-found");
  window->close();
}

}  // namespace
}  // namespace qv::console::testing
