// The dialog as a whole: its tabs and titles, saving, the question before changes are lost,
// connecting to a control service and falling back to local mode, and the log viewer.
#include <sys/stat.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <chrono>
#include <thread>

#include "common/config.h"
#include "common/records.h"
#include "console/ui/console_texts.h"
#include "console/ui/event_log_page.h"
#include "console/ui/servers_page.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

using Answer = ConsoleDialog::Answer;

// Closing: counts the questions and answers them as told.
class ClosingTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    Answer(Answer::kCancel);
    dialog_->Reload();
  }
  void Answer(ConsoleDialog::Answer answer) {
    dialog_->set_save_question([this, answer] {
      ++asked_;
      return answer;
    });
  }
  bool Closed() {
    QSignalSpy finished(dialog_.get(), &QDialog::finished);
    dialog_->show();
    dialog_->reject();
    return finished.count() == 1;
  }
  int asked_ = 0;
};

TEST_F(ClosingTest, OnlyChangesAskAndTheAnswerDecides) {
  EXPECT_TRUE(Closed());
  EXPECT_EQ(asked_, 0);
  const struct {
    ConsoleDialog::Answer answer;
    bool closes;
    int saves;
  } cases[] = {{Answer::kCancel, false, 0}, {Answer::kNo, true, 0}, {Answer::kYes, true, 1}};
  for (const auto& c : cases) {
    MakeDialog(std::make_unique<FakeStore>());
    dialog_->Reload();
    Answer(c.answer);
    asked_ = 0;
    Find<QLineEdit>("HostName")->setText("changed.example.test");
    EXPECT_EQ(Closed(), c.closes);
    EXPECT_EQ(asked_, 1);
    EXPECT_EQ(store_->saves, c.saves);
    // Cancelled, the console stays with the change; saved, the store has it.
    if (!c.closes) {
      EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "changed.example.test");
    }
    EXPECT_EQ(FieldText(store_->settings.system.HostName) == "changed.example.test", c.saves == 1);
  }
}

TEST_F(ClosingTest, AFailedSaveKeepsTheConsoleOpen) {
  struct Refusing : FakeStore {
    Status SaveSettings(const Settings&) override { return Fail("the registry is read-only"); }
  };
  MakeDialog(std::make_unique<Refusing>());
  Answer(Answer::kYes);
  dialog_->Reload();
  Find<QLineEdit>("HostName")->setText("changed.example.test");
  EXPECT_FALSE(Closed());
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text.toStdString(), "the registry is read-only");
  EXPECT_EQ(DirtyPages(), 1);
}

TEST_F(ClosingTest, OkSavesOnlyWhatChanged) {
  // A save in remote mode restarts the services: never for nothing.
  QSignalSpy finished(dialog_.get(), &QDialog::finished);
  dialog_->accept();
  EXPECT_EQ(finished.count(), 1);
  EXPECT_EQ(store_->saves, 0);
  dialog_->Reload();
  Find<QLineEdit>("NameServer")->setText("127.0.0.1");
  dialog_->accept();
  EXPECT_EQ(store_->saves, 1);
  EXPECT_EQ(asked_, 0);
}

// Connecting from the Servers page, with the login answered by the test.
class ConnectTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    CopyField(store_->settings.system.RemoteServer, "remembered.example.test");
    CopyField(store_->settings.system.RemoteLogin, "admin@example.test");
    store_->settings.system.Port = 32123;
    dialog_->Reload();
    servers_ = dialog_->servers();
    servers_->set_connect_prompt([this](ConnectRequest* r) {
      asked_ = *r;
      r->password = "secret";
      if (port_answer_ != 0) r->port = port_answer_;
      return true;
    });
    servers_->set_connector([this](const ConnectRequest& r, int) {
      tried_ = r;
      ConnectOutcome outcome;
      if (!refuse_.empty()) {
        outcome.error = refuse_;
        return outcome;
      }
      auto remote = std::make_unique<FakeStore>(true, r.host);
      Defaults(remote->settings);
      CopyField(remote->settings.system.HostName, "far.example.test");
      remote->states = {ServiceState::kStarted, ServiceState::kNotStarted};
      remote_ = remote.get();
      outcome.store = std::move(remote);
      return outcome;
    });
  }

  ServersPage* servers_ = nullptr;
  ConnectRequest asked_;
  ConnectRequest tried_;
  std::string refuse_;
  uint16_t port_answer_ = 0;
  FakeStore* remote_ = nullptr;
};

TEST_F(ConnectTest, TheConnectDialogOffersTheDefaultsAndGivesTheEdits) {
  ConnectRequest defaults{"far.example.test", "admin@example.test", "", 32123};
  ConnectDialog connect(defaults);
  EXPECT_EQ(connect.windowTitle(), "Connect..");
  EXPECT_EQ(connect.findChild<QLineEdit*>("Login")->text(), "admin@example.test");
  EXPECT_EQ(connect.findChild<QSpinBox*>("Port")->value(), 32123);
  EXPECT_FALSE(connect.findChild<QCheckBox*>("UseTls")->isChecked());
  connect.findChild<QLineEdit*>("Login")->setText("  root@example.test ");
  connect.findChild<QLineEdit*>("Password")->setText(" secret ");
  connect.findChild<QSpinBox*>("Port")->setValue(32001);
  const ConnectRequest r = connect.Request();
  EXPECT_EQ(r.host, "far.example.test");
  EXPECT_EQ(r.login, "root@example.test");
  EXPECT_EQ(r.password, " secret ");  // a password is taken as typed
  EXPECT_EQ(r.port, 32001);
  EXPECT_FALSE(r.tls);
  connect.findChild<QCheckBox*>("UseTls")->setChecked(true);
  EXPECT_TRUE(connect.Request().tls);
}

TEST_F(ConnectTest, AFailureNamesHostAndReason) {
  refuse_ = "The host does not respond!";
  Find<QLineEdit>("RemoteHost")->setText("nohost.example.test");
  EXPECT_FALSE(servers_->Connect());
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text.toStdString(),
            "The connection to 'nohost.example.test' failed.\n\nThe host does not respond!");
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <local>");
  EXPECT_FALSE(dialog_->context().remote());
}

TEST_F(ConnectTest, WithoutAHostNameItIsAskedFor) {
  Find<QLineEdit>("RemoteHost")->clear();
  int asked = 0;
  servers_->set_host_prompt([&] {
    ++asked;
    return std::string();  // cancelled
  });
  EXPECT_FALSE(servers_->Connect());
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(tried_.host, "");
  servers_->set_host_prompt([] { return std::string("asked.example.test"); });
  EXPECT_TRUE(servers_->Connect());
  EXPECT_EQ(tried_.host, "asked.example.test");
}

TEST_F(ConnectTest, TheRememberedConnectionIsOfferedAndTheRemoteServerShown) {
  EXPECT_EQ(Find<QLineEdit>("RemoteHost")->text(), "remembered.example.test");
  EXPECT_FALSE(Find<QPushButton>("Local")->isEnabled());
  port_answer_ = 32999;
  ASSERT_TRUE(servers_->Connect());
  EXPECT_EQ(asked_.host, "remembered.example.test");
  EXPECT_EQ(asked_.login, "admin@example.test");
  EXPECT_EQ(asked_.port, 32123);
  EXPECT_EQ(tried_.password, "secret");
  EXPECT_EQ(tried_.port, 32999);
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <remembered.example.test>");
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "far.example.test");
  EXPECT_EQ(Find<QLabel>("SmtpState")->text(), "Started");
  EXPECT_TRUE(Find<QPushButton>("Local")->isEnabled());
  // Remembered on this computer: host and login; the port is this computer's control port.
  Settings local;
  LoadSettings(local);
  EXPECT_EQ(FieldText(local.system.RemoteServer), "remembered.example.test");
  EXPECT_EQ(FieldText(local.system.RemoteLogin), "admin@example.test");
  EXPECT_EQ(local.system.Port, 32123);
}

TEST_F(ConnectTest, UnsavedChangesAreSettledBeforeSwitching) {
  Find<QLineEdit>("HostName")->setText("changed.example.test");
  int asked = 0;
  dialog_->set_save_question([&] {
    ++asked;
    return Answer::kCancel;
  });
  // Cancel: the new connection is dropped again, the change stays.
  EXPECT_FALSE(servers_->Connect());
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(dialog_->context().remote());
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "changed.example.test");
  dialog_->set_save_question([&] {
    ++asked;
    return Answer::kYes;
  });
  EXPECT_TRUE(servers_->Connect());
  EXPECT_EQ(asked, 2);
  EXPECT_TRUE(dialog_->context().remote());
}

TEST_F(ConnectTest, ABrokenConnectionWhileThePagesLoad) {
  // The first page to find it broken switches to local mode; the rest load from there.
  ASSERT_TRUE(servers_->Connect());
  remote_->broken = true;
  shown_.clear();
  dialog_->Reload();
  EXPECT_FALSE(dialog_->context().remote());
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <local>");
  EXPECT_EQ(shown_[0].text.toStdString(), "The connection is broken!");
}

TEST_F(ConnectTest, LocalReturnsAndClosingEndsTheConnection) {
  ASSERT_TRUE(servers_->Connect());
  Find<QPushButton>("Local")->click();
  EXPECT_FALSE(dialog_->context().remote());
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <local>");
  Find<QLineEdit>("RemoteHost")->setText("far.example.test");
  ASSERT_TRUE(servers_->Connect());
  dialog_->set_save_question([] { return Answer::kNo; });
  dialog_->reject();
  EXPECT_FALSE(dialog_->context().remote());
}

// The log viewer: a script in place of a real one, writing what it was given.
TEST_F(DialogTest, TheLogViewerGetsTheLogFile) {
  qv::testing::TempDir dir;
  const std::string out = dir.Sub("viewed");
  qv::testing::WriteFileText(dir.Sub("viewer"), "#!/bin/sh\necho \"$@\" > " + out + ".tmp && mv " +
                                                    out + ".tmp " + out + "\n");
  chmod(dir.Sub("viewer").c_str(), 0755);
  CopyField(store_->settings.system.LogViewer, dir.Sub("viewer") + " --follow");
  CopyField(store_->settings.system.LogPath, "/var/log/qv");
  store_->logs.smtp = {"s20261208.txt"};
  dialog_->Reload();
  QListWidget* logs = dialog_->event_log()->smtp_logs();
  logs->setCurrentRow(0);
  Find<QPushButton>("SmtpLogsView")->click();
  for (int i = 0; i < 200 && qv::testing::ReadFileText(out).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_EQ(qv::testing::ReadFileText(out), "--follow /var/log/qv/s20261208.txt\n");
  EXPECT_TRUE(shown_.empty());
}

TEST_F(DialogTest, AViewerThatCannotStartIsReported) {
  // The program is there, but cannot be run (its interpreter is missing).
  qv::testing::TempDir dir;
  qv::testing::WriteFileText(dir.Sub("viewer"), "#!/nonexistent/sh\n");
  chmod(dir.Sub("viewer").c_str(), 0755);
  CopyField(store_->settings.system.LogViewer, dir.Sub("viewer"));
  dialog_->Reload();
  EXPECT_FALSE(dialog_->event_log()->ViewLog("s20261208.txt"));
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text.toStdString(), "Cannot open log viewer '" + dir.Sub("viewer") + "'!");
  EXPECT_EQ(dialog_->event_log()->log_window(), nullptr);
  // A name that would leave the log folder is no log file.
  shown_.clear();
  EXPECT_FALSE(dialog_->event_log()->ViewLog("../registry.reg"));
}

TEST_F(DialogTest, RemoteLogFilesAreNotViewedHere) {
  MakeDialog(std::make_unique<FakeStore>(true, "far.example.test"));
  dialog_->Reload();
  EXPECT_FALSE(Find<QPushButton>("SmtpLogsView")->isEnabled());
  EXPECT_FALSE(dialog_->event_log()->ViewLog("s20261208.txt"));
}

TEST(FindProgramTest, PathSearch) {
  EXPECT_EQ(FindProgram("/bin/sh"), "/bin/sh");
  EXPECT_EQ(FindProgram("/nonexistent/viewer"), "");  // a path that names no program
  EXPECT_FALSE(FindProgram("sh").empty());
  EXPECT_EQ(FindProgram("qv-no-such-program"), "");
  EXPECT_EQ(FindProgram(""), "");
}

}  // namespace
}  // namespace qv::console::testing
