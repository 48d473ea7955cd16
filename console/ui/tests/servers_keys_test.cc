// The Servers page as a user meets it: states that follow the services while the page shows,
// the keyboard after Stop and Start, the question before a removal, and a connection attempt
// that can be cancelled; leaving a remote session ends it before the local settings load.
#include <netinet/in.h>
#include <sys/socket.h>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>

#include "console/ui/servers_page.h"
#include "console/ui/tests/dialog_fixture_util.h"
#include "platform/unique_fd.h"

namespace qv::console::testing {
namespace {

// Presses `key` in the next modal box once it is up; what it was asked goes to `*text`.
void AnswerNextBox(Qt::Key key, QString* text) {
  QTimer::singleShot(0, [key, text] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    *text = box->text();
    QTest::keyClick(box, key);
  });
}

class ServersKeysTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    store_->states = {ServiceState::kStarted, ServiceState::kStarted};
    dialog_->Reload();
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  bool Removed() const {
    return std::count(store_->actions.begin(), store_->actions.end(), "2:7") > 0;
  }
};

TEST_F(ServersKeysTest, AServiceStoppedElsewhereShowsAsStopped) {
  EXPECT_EQ(Find<QLabel>("Pop3State")->text(), "Started");
  // Stopped outside the console (qvctl STOP POP3): the next look at the page shows it.
  store_->states.pop3 = ServiceState::kNotStarted;
  dialog_->tabs()->setCurrentIndex(1);
  dialog_->tabs()->setCurrentIndex(0);
  EXPECT_EQ(Find<QLabel>("Pop3State")->text(), "Not started");
  // And while it stays on the page, within a few seconds.
  dialog_->servers()->set_refresh_interval(20);
  store_->states.pop3 = ServiceState::kStarted;
  for (int i = 0; i < 100 && Find<QLabel>("Pop3State")->text() != "Started"; ++i) QTest::qWait(20);
  EXPECT_EQ(Find<QLabel>("Pop3State")->text(), "Started");
  // Not while another page is in front.
  dialog_->tabs()->setCurrentIndex(1);
  store_->calls.clear();
  QTest::qWait(100);
  EXPECT_EQ(std::count(store_->calls.begin(), store_->calls.end(), "QueryServices"), 0);
}

TEST_F(ServersKeysTest, EnterAfterStopOrStartNeverRemoves) {
  auto* stop = Find<QPushButton>("Pop3Stop");
  store_->states.pop3 = ServiceState::kNotStarted;
  QTest::mouseClick(stop, Qt::LeftButton);
  EXPECT_EQ(store_->actions.back(), "2:6");
  EXPECT_EQ(QApplication::focusWidget(), Find<QPushButton>("Pop3Start"));
  store_->states.pop3 = ServiceState::kStarted;
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(store_->actions.back(), "2:5");
  EXPECT_EQ(QApplication::focusWidget(), stop);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_FALSE(Removed());
  EXPECT_TRUE(shown_.empty());
}

TEST_F(ServersKeysTest, RemoveAsksAndNoOrEscapeKeepsTheService) {
  auto* remove = Find<QPushButton>("Pop3Remove");
  QString asked;
  AnswerNextBox(Qt::Key_Escape, &asked);
  QTest::mouseClick(remove, Qt::LeftButton);
  EXPECT_EQ(asked, "Remove the QuorvanePop3 service?");
  EXPECT_FALSE(Removed());
  // Enter takes the default answer, No.
  AnswerNextBox(Qt::Key_Return, &asked);
  QTest::mouseClick(remove, Qt::LeftButton);
  EXPECT_FALSE(Removed());
  AnswerNextBox(Qt::Key_Y, &asked);
  QTest::mouseClick(remove, Qt::LeftButton);
  EXPECT_TRUE(Removed());
}

TEST_F(ServersKeysTest, CancelEndsAConnectionToASilentHostAtOnce) {
  // A host that takes the connection and never greets: the login would wait its 10 s.
  platform::UniqueFd silent(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(silent.get(), 4), 0);
  ASSERT_EQ(::getsockname(silent.get(), reinterpret_cast<sockaddr*>(&at), &size), 0);
  Find<QLineEdit>("RemoteHost")->setText("127.0.0.1");
  dialog_->servers()->set_connect_prompt([&](ConnectRequest* r) {
    r->port = ntohs(at.sin_port);
    return true;
  });
  dialog_->servers()->set_connector([](const ConnectRequest& r, int cancel_fd) {
    return ConnectControl(r.host, "admin", "pw", r.port, 10000, cancel_fd);
  });
  bool progress_shown = false;
  QTimer::singleShot(200, [&] {
    QWidget* progress = QApplication::activeModalWidget();
    ASSERT_NE(progress, nullptr);
    progress_shown = progress->objectName() == "ConnectProgress";
    // The window stays alive meanwhile: the console is not frozen.
    QTest::mouseClick(progress->findChild<QPushButton*>("ConnectCancel"), Qt::LeftButton);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(dialog_->servers()->Connect());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(progress_shown);
  EXPECT_TRUE(shown_.empty()) << shown_[0].text.toStdString();
  EXPECT_FALSE(dialog_->context().remote());
}

TEST_F(ServersKeysTest, LeavingARemoteSessionEndsItBeforeTheLocalSettingsLoad) {
  std::vector<std::string> order;
  struct Recording : FakeStore {
    Recording(bool remote, std::vector<std::string>* order) : FakeStore(remote), order(order) {}
    Status EndSession() override { return order->push_back("EndSession"), Status{}; }
    Status LoadSettings(Settings* s) override {
      order->push_back("LoadSettings");
      return FakeStore::LoadSettings(s);
    }
    std::vector<std::string>* order;
  };
  dialog_->context().SwitchStore(std::make_unique<Recording>(true, &order));
  auto local = std::make_unique<Recording>(false, &order);
  Defaults(local->settings);
  CopyField(local->settings.system.HostName, "changed.example.test");
  order.clear();
  dialog_->context().SwitchStore(std::move(local));
  EXPECT_EQ(order, (std::vector<std::string>{"EndSession", "LoadSettings"}));
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "changed.example.test");
}

}  // namespace
}  // namespace qv::console::testing
