// The console on the real stores: in local mode the pages' values go through this computer's
// registry file and back; in remote mode the console logs in to a real qvctrl95 and shows what
// the service tells.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <chrono>
#include <functional>
#include <thread>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "console/ui/console_dialog.h"
#include "console/ui/servers_page.h"
#include "console/ui/settings_page.h"
#include "console/ui/tests/qt_app_util.h"
#include "platform/presence.h"
#include "platform/registry.h"

namespace qv::console::testing {
namespace {

using qv::testing::ReadFileText;

class ModesTest : public ::testing::Test {
 public:  // the edit table below reaches in
  void SetUp() override {
    TestApp();
    reg::Key key;
    reg::CreateKey(kControlKey, "QuorvaneControl", &key);
    reg::SetString(&key, "InstallPath", env_.tables().root());
    reg::SetString(&key, "TempPath", env_.tables().root() + "/temp");
    reg::SetString(&key, "LogPath", env_.tables().root() + "/log");
    reg::SetString(&key, "HostName", "mail.example.test");
    reg::CloseKey(&key);
  }

  void Open(std::unique_ptr<ConsoleStore> store) {
    dialog_ = std::make_unique<ConsoleDialog>(std::move(store));
    dialog_->context().set_message_sink(
        [this](const QString&, const QString& text) { shown_.push_back(text.toStdString()); });
    dialog_->set_save_question([] {
      ADD_FAILURE() << "unexpected question";
      return ConsoleDialog::Answer::kCancel;
    });
    dialog_->Reload();
  }

  template <class W>
  W* Find(const char* name) {
    W* w = dialog_->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  static Settings Registry() {
    Settings s;
    LoadSettings(s);
    return s;
  }

  qv::testing::ToolEnv env_{"example.test"};
  std::unique_ptr<ConsoleDialog> dialog_;
  std::vector<std::string> shown_;
};

struct Edit {
  const char* what;
  std::function<void(ModesTest&)> change;
  std::function<bool(const Settings&)> holds;
};

TEST_F(ModesTest, LocalValuesRoundTripThroughTheRegistryFile) {
  Open(MakeLocalStore());
  EXPECT_TRUE(shown_.empty()) << shown_.front();
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <local>");
  // What the registry holds is shown.
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "mail.example.test");
  EXPECT_EQ(dialog_->findChild<ListEdit*>("Domain")->Entries().join(";"), "example.test");
  EXPECT_EQ(Find<QSpinBox>("SmtpPort")->value(), 25);

  const Edit edits[] = {
      {"HostName", [](ModesTest& t) { t.Find<QLineEdit>("HostName")->setText("mx.example.test"); },
       [](const Settings& s) { return FieldText(s.system.HostName) == "mx.example.test"; }},
      {"Domain",
       [](ModesTest& t) {
         auto* domains = t.dialog_->findChild<ListEdit*>("Domain");
         domains->entry()->setText("example.org");
         domains->AddEntry();
       },
       [](const Settings& s) { return FieldText(s.system.Domain) == "example.test;example.org"; }},
      {"USEMX", [](ModesTest& t) { t.Find<QCheckBox>("USEMX")->setChecked(true); },
       [](const Settings& s) { return (s.smtp.Flags & kSmtpUseMx) != 0; }},
      {"NTUSER", [](ModesTest& t) { t.Find<QCheckBox>("NTUSER")->setChecked(true); },
       [](const Settings& s) { return (s.system.Flags & kSysNtUser) != 0; }},
      {"Pop3Port", [](ModesTest& t) { t.Find<QSpinBox>("Pop3Port")->setValue(1100); },
       [](const Settings& s) { return s.pop3.Port == 1100; }},
      {"SMTPTimer",
       [](ModesTest& t) {
         t.Find<QSpinBox>("SMTPTimer")->setValue(2);
         t.Find<QComboBox>("SMTPTimerUnit")->setCurrentText("Hours");
       },
       [](const Settings& s) { return s.smtp.SMTPTimer == 7200; }},
      {"LogLevel", [](ModesTest& t) { t.Find<QComboBox>("LogLevel")->setCurrentIndex(1); },
       [](const Settings& s) { return s.system.LogLevel == 1; }},
      {"NoResponse",
       [](ModesTest& t) {
         auto* masks = t.dialog_->findChild<ListEdit*>("NoResponse");
         masks->entry()->setText("mailer-daemon@*");
         masks->AddEntry();
       },
       [](const Settings& s) { return FieldText(s.system.NoResponse) == "mailer-daemon@*"; }},
  };
  for (const Edit& e : edits) e.change(*this);
  ASSERT_TRUE(dialog_->Save());
  const Settings saved = Registry();
  for (const Edit& e : edits) EXPECT_TRUE(e.holds(saved)) << e.what;
  const std::string file = ReadFileText(std::string(getenv("QUORVANE_SYSTEM")) + "/registry.reg");
  EXPECT_NE(file.find("mx.example.test"), std::string::npos);

  // A console opened afterwards shows the saved values.
  Open(MakeLocalStore());
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "mx.example.test");
  EXPECT_EQ(Find<QComboBox>("SMTPTimerUnit")->currentText(), "Hours");
  EXPECT_TRUE(Find<QCheckBox>("USEMX")->isChecked());
}

// Remote mode against the real control service.
class RemoteModeTest : public ModesTest {
 protected:
  void SetUp() override {
    ModesTest::SetUp();
    port_ = qv::testing::FreeLoopbackPort();
    reg::Key key;
    reg::CreateKey(kControlKey, "QuorvaneControl", &key);
    reg::SetDword(&key, "Port", static_cast<uint32_t>(port_));
    reg::SetDword(&key, "PasswordPort", static_cast<uint32_t>(qv::testing::FreeLoopbackPort()));
    reg::CloseKey(&key);
    ::mkdir((env_.tables().root() + "/temp").c_str(), 0755);
    ::mkdir((env_.tables().root() + "/log").c_str(), 0755);
    USERSTRUCT admin = qv::testing::MakeUser("admin", "example.test", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(env_.system(), &admin), 0);
    USERSTRUCT ann = qv::testing::MakeUser("ann", "example.test", "Other");
    ASSERT_EQ(AddRecord(env_.system(), &ann), 0);
    ASSERT_TRUE(control_.Start("qvctrl95", port_));
  }
  void TearDown() override {
    dialog_.reset();
    control_.Stop();
  }

  bool ConnectAs(const std::string& login, const std::string& password) {
    ServersPage* servers = dialog_->servers();
    Find<QLineEdit>("RemoteHost")->setText("127.0.0.1");
    servers->set_connect_prompt([&](ConnectRequest* r) {
      r->login = login;
      r->password = password;
      return true;
    });
    return servers->Connect();
  }

  int port_ = 0;
  qv::testing::ServiceProcess control_;
};

TEST_F(RemoteModeTest, ConnectedTheServiceStatesAndSettingsAreShown) {
  Open(MakeLocalStore());
  // The remembered port is this computer's control port: the one the service listens on here.
  ASSERT_TRUE(ConnectAs("admin@example.test", "secret")) << (shown_.empty() ? "" : shown_[0]);
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <127.0.0.1>");
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "mail.example.test");
  // STATE: neither mail service runs on the temporary root.
  EXPECT_EQ(Find<QLabel>("SmtpState")->text(), "Not started");
  EXPECT_EQ(Find<QLabel>("Pop3State")->text(), "Not started");
  EXPECT_TRUE(Find<QPushButton>("SmtpStart")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("SmtpStop")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("SmtpInstall")->isHidden());
  EXPECT_TRUE(shown_.empty()) << shown_.front();
}

TEST_F(RemoteModeTest, ALoginWithoutTheAdministratorOptionIsRefused) {
  Open(MakeLocalStore());
  EXPECT_FALSE(ConnectAs("ann@example.test", "other"));
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0],
            "The connection to '127.0.0.1' failed.\n\n"
            "You do not have permission to manage this server!");
  EXPECT_FALSE(dialog_->context().remote());
}

TEST_F(RemoteModeTest, AServiceThatGoesAwayReturnsTheConsoleToLocalMode) {
  Open(MakeLocalStore());
  ASSERT_TRUE(ConnectAs("admin@example.test", "secret"));
  control_.Stop();
  dialog_->servers()->RefreshStates();
  ASSERT_FALSE(shown_.empty());
  EXPECT_EQ(shown_[0], "The connection is broken!");
  EXPECT_FALSE(dialog_->context().remote());
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <local>");
}

}  // namespace
}  // namespace qv::console::testing
