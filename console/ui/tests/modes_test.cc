// The console on the real stores: in local mode the pages' values go through this computer's
// registry file and back, and the account tree's records and members through the table and
// member files; in remote mode the console logs in to a real qvctrl95, shows what the
// service tells, and a user added through the account tree's dialog lands in its table.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/settings_table.h"
#include "console/store/tests/control_root_util.h"
#include "console/ui/accounts_page.h"
#include "console/ui/members_dialog.h"
#include "console/ui/settings_page.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

using qv::testing::ReadFileText;

class ModesTest : public DialogTest {
 protected:
  void OpenLocal() {
    Open(MakeLocalStore());
    dialog_->Reload();
  }
  std::string Shown() const { return shown_.empty() ? "" : shown_[0].text.toStdString(); }
  AccountsPage* Accounts() {
    auto* page = dialog_->findChild<AccountsPage*>();
    EXPECT_NE(page, nullptr);
    return page;
  }
  // Runs the account tree's next dialog: fills the named fields and accepts it (a question is
  // answered yes).
  void Fill(std::vector<std::pair<const char*, QString>> fields) {
    Accounts()->set_dialog_runner([fields](QDialog& dialog) {
      if (qobject_cast<QMessageBox*>(&dialog)) return int(QMessageBox::Yes);
      for (const auto& [name, text] : fields) dialog.findChild<QLineEdit*>(name)->setText(text);
      dialog.accept();
      return dialog.result();
    });
  }
  // The records of a table as a fresh local store reads them from the files.
  static std::vector<TableRecord> Rows(Table table) {
    Result<std::vector<TableRecord>> rows = MakeLocalStore()->LoadTable(table);
    EXPECT_TRUE(rows.ok()) << rows.error();
    return rows.ok() ? rows.value() : std::vector<TableRecord>{};
  }

  ControlRoot control_;  // the system root in use: made after the fixture's own
};

TEST_F(ModesTest, LocalValuesRoundTripThroughTheRegistryFile) {
  OpenLocal();
  EXPECT_TRUE(shown_.empty()) << Shown();
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <local>");
  // What the registry holds is shown.
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "mail.example.test");
  EXPECT_EQ(dialog_->findChild<ListEdit*>("Domain")->Entries().join(";"), "example.test");
  EXPECT_EQ(Find<QSpinBox>("SmtpPort")->value(), 25);

  Find<QLineEdit>("HostName")->setText("mx.example.test");
  auto* domains = dialog_->findChild<ListEdit*>("Domain");
  domains->entry()->setText("example.org");
  domains->AddEntry();
  Find<QCheckBox>("USEMX")->setChecked(true);
  Find<QSpinBox>("SMTPTimer")->setValue(2);
  Find<QComboBox>("SMTPTimerUnit")->setCurrentText("Hours");
  Find<QComboBox>("LogLevel")->setCurrentIndex(1);
  ASSERT_TRUE(dialog_->Save());
  Settings saved;
  LoadSettings(saved);
  EXPECT_EQ(FieldText(saved.system.HostName), "mx.example.test");
  EXPECT_EQ(FieldText(saved.system.Domain), "example.test;example.org");
  EXPECT_NE(saved.smtp.Flags & kSmtpUseMx, 0u);
  EXPECT_EQ(saved.smtp.SMTPTimer, 7200);
  EXPECT_EQ(saved.system.LogLevel, 1);
  const std::string file = ReadFileText(std::string(getenv("QUORVANE_SYSTEM")) + "/registry.reg");
  EXPECT_NE(file.find("mx.example.test"), std::string::npos);

  // A console opened afterwards shows the saved values.
  OpenLocal();
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "mx.example.test");
  EXPECT_EQ(Find<QComboBox>("SMTPTimerUnit")->currentText(), "Hours");
  EXPECT_TRUE(Find<QCheckBox>("USEMX")->isChecked());
}

// The outgoing settings in local mode: a save that does not touch them writes none of them; the
// pages show what the registry holds, and a save writes back only the ones edited.
TEST_F(ModesTest, OutgoingSettingsLoadAndStoreThroughTheRegistryFile) {
  const std::string registry = std::string(getenv("QUORVANE_SYSTEM")) + "/registry.reg";
  OpenLocal();
  EXPECT_EQ(Find<QComboBox>("TLSOutgoing")->currentIndex(), 0);
  EXPECT_TRUE(Find<QCheckBox>("SmtpTLSVerify")->isChecked());  // the default: checked
  Find<QLineEdit>("HostName")->setText("mx.example.test");
  ASSERT_TRUE(dialog_->Save());
  for (const char* name :
       {"ExchangeUser", "ExchangePassword", "TLSOutgoing", "TLSVerify", "TLSRemote"})
    EXPECT_EQ(ReadFileText(registry).find(name), std::string::npos) << name;

  Settings s;
  LoadSettings(s);
  CopyField(s.smtp.ExchangeUser, "office@isp.example");
  CopyField(s.smtp.ExchangePassword, "Pw9");
  s.smtp.TLSOutgoing = 1;
  ASSERT_TRUE(SaveSettingValues(s, SettingRecord::kSmtp,
                                {"ExchangeUser", "ExchangePassword", "TLSOutgoing"}));
  OpenLocal();
  EXPECT_EQ(Find<QLineEdit>("ExchangeUser")->text(), "office@isp.example");
  QLineEdit* password = Find<QLineEdit>("ExchangePassword");
  EXPECT_EQ(password->text(), "Pw9");
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  EXPECT_EQ(Find<QComboBox>("TLSOutgoing")->currentIndex(), 1);
  EXPECT_TRUE(Find<QCheckBox>("SmtpTLSVerify")->isEnabled());
  EXPECT_EQ(Find<QComboBox>("TLSRemote")->currentIndex(), 0);
  EXPECT_FALSE(Find<QCheckBox>("Pop3TLSVerify")->isEnabled());  // no TLS: nothing to check

  password->setText("New8");
  Find<QComboBox>("TLSRemote")->setCurrentIndex(2);
  Find<QCheckBox>("Pop3TLSVerify")->setChecked(false);
  ASSERT_TRUE(dialog_->Save());
  Settings saved;
  LoadSettings(saved);
  EXPECT_EQ(FieldText(saved.smtp.ExchangePassword), "New8");
  EXPECT_EQ(saved.smtp.TLSOutgoing, 1);
  EXPECT_EQ(saved.pop3.TLSRemote, 2);
  EXPECT_EQ(saved.pop3.TLSVerify, 0);
  uint32_t untouched = 0;
  EXPECT_FALSE(reg::ReadDword(kSmtpKey, "TLSVerify", &untouched));
}

TEST_F(ModesTest, AUserAddedEditedAndRemovedInTheTreeGoesThroughTheTableFiles) {
  OpenLocal();
  AccountsPage* page = Accounts();
  QTreeWidgetItem* users = page->category(Table::kUser);
  users->setExpanded(true);
  ASSERT_EQ(users->childCount(), 2);  // admin and ann
  page->tree()->setCurrentItem(users);
  Fill({{"Alias", "bob"}, {"Password", "pw"}, {"Name", "Bob"}});
  page->AddRecord();
  ASSERT_TRUE(shown_.empty()) << Shown();
  // The store gave the empty domain the primary one, and the node shows it.
  ASSERT_EQ(users->childCount(), 3);
  EXPECT_EQ(users->child(2)->text(0), "bob@example.test");
  EXPECT_EQ(page->tree()->currentItem(), users->child(2));

  Fill({{"Name", "Robert"}});
  page->EditRecord();
  std::vector<TableRecord> rows = Rows(Table::kUser);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(FormatRecordLine(Table::kUser, rows[2].data()),
            "bob|example.test|pw|Robert|bob||0|||||");

  Fill({});
  page->RemoveRecord();
  EXPECT_EQ(Rows(Table::kUser).size(), 2u);
  EXPECT_EQ(users->childCount(), 2);
}

TEST_F(ModesTest, ANewListGetsItsMemberFileAndMembersLandInIt) {
  OpenLocal();
  Accounts()->tree()->setCurrentItem(Accounts()->category(Table::kLists));
  // Join requests of a list without automatic joining go to its owner.
  Fill({{"Name", "staff"}, {"Description", "All of us"}, {"OwnerUser", "boss"}});
  Accounts()->AddRecord();
  ASSERT_TRUE(shown_.empty()) << Shown();
  std::vector<TableRecord> lists = Rows(Table::kLists);
  ASSERT_EQ(lists.size(), 1u);
  const LISTSTRUCT& list = lists[0].as<LISTSTRUCT>();
  EXPECT_EQ(FieldText(list.FileName), control_.tables().config() + "/staff.mls");

  MembersDialog members(dialog_->context(), list);
  EXPECT_EQ(members.windowTitle(), "Members of mailing list  'staff@example.test'");
  ASSERT_TRUE(members.Load());
  EXPECT_EQ(members.list()->count(), 0);
  EXPECT_TRUE(members.AddMember("bob@example.org", ""));
  Result<std::vector<MEMBERSTRUCT>> stored = MakeLocalStore()->LoadMembers(list);
  ASSERT_TRUE(stored.ok());
  ASSERT_EQ(stored->size(), 1u);
  EXPECT_EQ(FormatMemberLine((*stored)[0]), "bob@example.org|");
  EXPECT_TRUE(shown_.empty()) << Shown();
}

// Remote mode against the real control service.
class RemoteModeTest : public ModesTest {
 protected:
  void SetUp() override {
    ModesTest::SetUp();
    ASSERT_TRUE(control_.Start());
    OpenLocal();
  }
  void TearDown() override {
    dialog_.reset();
    control_.Stop();
  }

  bool ConnectAs(const std::string& login, const std::string& password) {
    Find<QLineEdit>("RemoteHost")->setText("127.0.0.1");
    dialog_->servers()->set_connect_prompt([&](ConnectRequest* r) {
      r->login = login;
      r->password = password;
      return true;
    });
    return dialog_->servers()->Connect();
  }
};

TEST_F(RemoteModeTest, ConnectedTheServiceStatesAndSettingsAreShown) {
  // The remembered port is this computer's control port: the one the service listens on here.
  ASSERT_TRUE(ConnectAs(kAdmin, "secret")) << Shown();
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <127.0.0.1>");
  EXPECT_EQ(Find<QLineEdit>("HostName")->text(), "mail.example.test");
  // STATE: neither mail service runs on the temporary root.
  EXPECT_EQ(Find<QLabel>("SmtpState")->text(), "Not started");
  EXPECT_EQ(Find<QLabel>("Pop3State")->text(), "Not started");
  EXPECT_TRUE(Find<QPushButton>("SmtpStart")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("SmtpStop")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("SmtpInstall")->isHidden());
  EXPECT_TRUE(shown_.empty()) << Shown();
}

TEST_F(RemoteModeTest, ALoginWithoutTheAdministratorOptionIsRefused) {
  EXPECT_FALSE(ConnectAs("ann@example.test", "pw"));
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(Shown(),
            "The connection to '127.0.0.1' failed.\n\n"
            "You do not have permission to manage this server!");
  EXPECT_FALSE(dialog_->context().remote());
}

TEST_F(RemoteModeTest, AServiceThatGoesAwayReturnsTheConsoleToLocalMode) {
  ASSERT_TRUE(ConnectAs(kAdmin, "secret"));
  control_.Stop();
  dialog_->servers()->RefreshStates();
  EXPECT_EQ(Shown(), "The connection is broken!");
  EXPECT_FALSE(dialog_->context().remote());
  EXPECT_EQ(dialog_->windowTitle().toStdString(), "Quorvane Console -- <local>");
}

TEST_F(RemoteModeTest, TheTreeShowsTheServersUsersAndADialogsUserLandsInItsTable) {
  ASSERT_TRUE(ConnectAs(kAdmin, "secret")) << Shown();
  auto* page = dialog_->findChild<AccountsPage*>();
  ASSERT_NE(page, nullptr);
  QTreeWidgetItem* users = page->category(Table::kUser);
  users->setExpanded(true);
  ASSERT_EQ(users->childCount(), 2);
  EXPECT_EQ(users->child(0)->text(0), "admin@example.test");

  page->tree()->setCurrentItem(users);
  Fill({{"Alias", "bob"}, {"Domain", "example.test"}, {"Name", "Bob"}});
  page->AddRecord();
  EXPECT_TRUE(shown_.empty()) << Shown();
  USERSTRUCT bob{};
  ASSERT_EQ(FindRecord(control_.tables().system(), "bob", "example.test", &bob), 0);
  EXPECT_EQ(FieldText(bob.Name), "Bob");
  ASSERT_EQ(users->childCount(), 3);
  EXPECT_EQ(page->tree()->currentItem(), users->child(2));
  EXPECT_EQ(users->child(2)->text(0), "bob@example.test");
}

}  // namespace
}  // namespace qv::console::testing
