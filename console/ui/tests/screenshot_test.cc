// Pictures of the console: the dialog with each page selected, saved as one PNG per page into
// the folder named by QV_SCREENSHOT_DIR. The test command runs this under Xvfb so that a person
// can look at the console without running it; without the variable the test is skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QPixmap>
#include <QTabWidget>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <cstdio>
#include <cstdlib>

#include "common/records.h"
#include "common/testing/table_env.h"
#include "console/ui/accounts_page.h"
#include "console/ui/console_dialog.h"
#include "console/ui/tests/fake_store_util.h"
#include "console/ui/tests/qt_app_util.h"

namespace qv::console::testing {
namespace {

// A small office's server, as the pictures show it.
std::unique_ptr<FakeStore> SampleServer() {
  auto store = std::make_unique<FakeStore>();
  Settings& s = store->settings;
  SYSTEMSTRUCT& sys = s.system;
  CopyField(sys.HostName, "mail.example.test");
  CopyField(sys.Domain, "example.test;example.org");
  CopyField(sys.NameServer, "192.0.2.53");
  CopyField(sys.MailPath, "/opt/quorvane/mail");
  CopyField(sys.TempPath, "/opt/quorvane/temp");
  CopyField(sys.LogPath, "/opt/quorvane/log");
  CopyField(sys.ConfigPath, "/opt/quorvane/config");
  CopyField(sys.AdministratorName, "admin");
  CopyField(sys.AdministratorMailBox, "admin");
  CopyField(sys.NTDomain, "example.test");
  CopyField(sys.NoResponse, "mailer-daemon@*;*-request@*");
  CopyField(sys.RASEntry, "Office");
  CopyField(sys.RASUser, "office");
  CopyField(sys.RASPassword, "secret");
  CopyField(sys.NTUser, "Users");
  sys.LogLevel = 3;
  sys.MaxLogTime = 7;
  sys.Port = 32000;
  sys.PasswordPort = 106;
  sys.ConnectTime = 3600;
  sys.ClosingTime = 90;
  sys.Flags = kSysDialup | kSysPing;
  s.smtp.Port = s.smtp.PortEx = 25;
  s.smtp.SMTPTimer = 900;
  s.smtp.ReturnTimer = 259200;
  s.smtp.ESMTPMaxMsgSize = 10485760;
  s.smtp.Flags = kSmtpUseMx | kSmtpImmediately | kSmtpReturnToSender | kSmtpSendInfo | kSmtpEsmtp |
                 kSmtpEnforceSize | kSmtpClientEhlo | kSmtpDomainAsHost;
  CopyField(s.smtp.ExchangeHost, "smarthost.example.net:587");
  CopyField(s.smtp.ExchangeUser, "office@example.net");
  CopyField(s.smtp.ExchangePassword, "secret");
  s.smtp.TLSOutgoing = 2;
  s.smtp.TLSVerify = 1;
  s.pop3.TLSRemote = 1;
  s.pop3.TLSVerify = 1;
  s.pop3.Port = s.pop3.PortEx = 110;
  s.autostart_smtp = s.autostart_pop3 = true;
  CopyField(s.net.Address, "192.0.2.25");
  store->states = {ServiceState::kStarted, ServiceState::kNotStarted};
  store->logs.smtp = {"s20261206.txt", "s20261207.txt", "s20261208.txt"};
  store->logs.pop3 = {"p20261207.txt", "p20261208.txt"};
  store->phone_book = {"Office", "Backup line"};
  store->groups = {"Users  (Ordinary users)", "Mail  (Mail users)"};
  for (const char* name : {"admin", "ann", "bob", "carol"}) {
    USERSTRUCT u = qv::testing::MakeUser(name, "example.test", "x", name);
    store->tables[Table::kUser].emplace_back(u);
  }
  LISTSTRUCT list{};
  CopyField(list.Name, "staff");
  CopyField(list.Domain, "example.test");
  store->tables[Table::kLists].emplace_back(list);
  return store;
}

TEST(ScreenshotTest, EveryPage) {
  const char* dir = std::getenv("QV_SCREENSHOT_DIR");
  if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "QV_SCREENSHOT_DIR not set";
  TestApp();
  ::mkdir(dir, 0755);
  ConsoleDialog dialog(SampleServer());
  dialog.context().set_message_sink([](const QString& title, const QString& text) {
    ADD_FAILURE() << title.toStdString() << ": " << text.toStdString();
  });
  dialog.Reload();
  dialog.resize(dialog.sizeHint().expandedTo(QSize(680, 620)));
  dialog.show();
  auto* accounts = dialog.findChild<AccountsPage*>();
  ASSERT_NE(accounts, nullptr);
  accounts->category(Table::kUser)->setExpanded(true);
  accounts->category(Table::kLists)->setExpanded(true);
  for (int i = 0; i < dialog.tabs()->count(); ++i) {
    dialog.tabs()->setCurrentIndex(i);
    QApplication::processEvents();
    QString name = dialog.tabs()->tabText(i).toLower().replace(' ', '-');
    const QString path = QString("%1/%2-%3.png").arg(dir).arg(i + 1, 2, 10, QChar('0')).arg(name);
    QPixmap picture = dialog.grab();
    ASSERT_FALSE(picture.isNull());
    EXPECT_TRUE(picture.save(path, "PNG")) << path.toStdString();
    std::printf("screenshot %s\n", path.toUtf8().constData());
  }
}

}  // namespace
}  // namespace qv::console::testing
