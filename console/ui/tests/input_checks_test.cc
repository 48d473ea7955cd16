// What the console refuses before anything is saved, and the keys and looks of its dialogs, driven
// as a user would (QTest keys and clicks, offscreen): clashing or taken listening ports, addresses
// that are none, a list without the owner it needs; Enter in an entry line adds and closes
// nothing; key fields greyed out; members under their list in the tree.
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTest>
#include <QTreeWidget>

#include "console/ui/accounts_page.h"
#include "console/ui/members_dialog.h"
#include "console/ui/record_dialogs.h"
#include "console/ui/settings_page.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

// Types `text` over what a spin box or line edit holds, as a user selecting it all would.
void Retype(QWidget* field, const QString& text) {
  QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(field, text);
}

class SettingsCheckTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    dialog_->Reload();
    dialog_->show();
  }
  // Types into a field, clicks Apply: the message shown, if any.
  QString Apply(const char* field, const QString& text) {
    shown_.clear();
    Retype(Find<QWidget>(field), text);
    QTest::mouseClick(Find<QDialogButtonBox>("Buttons")->button(QDialogButtonBox::Apply),
                      Qt::LeftButton);
    return shown_.empty() ? QString() : shown_.back().text;
  }
};

TEST_F(SettingsCheckTest, ClashingOrTakenPortsAndNonAddressesAreRefusedNamingTheField) {
  QTcpServer other;  // another program on this computer
  ASSERT_TRUE(other.listen(QHostAddress::AnyIPv4, 0));
  const QString taken = QString::number(other.serverPort());
  EXPECT_EQ(Apply("Pop3Port", "25"), "'POP3 port' cannot be 25: the 'SMTP port' is 25 as well.");
  EXPECT_EQ(dialog_->tabs()->currentIndex(), 2);  // the Connection page, which shows it
  EXPECT_EQ(store_->settings.pop3.Port, 110);
  Find<QSpinBox>("Pop3Port")->setValue(110);
  EXPECT_EQ(Apply("PasswordPort", taken), "'Password service port' cannot be " + taken +
                                              ": another program on this computer listens on "
                                              "that port.");
  EXPECT_EQ(store_->settings.system.PasswordPort, 106);
  Find<QSpinBox>("PasswordPort")->setValue(106);
  Find<QCheckBox>("FORWARDUNKNOWN")->setChecked(true);
  EXPECT_EQ(Apply("ForwardUnknown", "no at sign here"),
            "'Forward mail for unknown users' must hold mail addresses (name@domain), separated "
            "by ';'.");
  EXPECT_EQ(Apply("ForwardUnknown", "postmaster@example.test, admin@example.test"), QString());

  // The services' own ports change hands in one save: the port POP3 held is not "taken".
  store_->settings.pop3.Port = other.serverPort();
  dialog_->Reload();
  Retype(Find<QSpinBox>("Pop3Port"), "110");
  EXPECT_EQ(Apply("SmtpPort", taken), QString());
  EXPECT_EQ(store_->settings.smtp.Port, other.serverPort());
  EXPECT_EQ(store_->settings.pop3.Port, 110);
}

TEST_F(SettingsCheckTest, EnterInLocalDomainsAddsAndKeepsTheConsoleOpen) {
  auto* entry = Find<QLineEdit>("DomainEntry");
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
    Retype(entry, key == Qt::Key_Return ? "example.net" : "example.org");
    QTest::keyClick(entry, key);
    EXPECT_TRUE(dialog_->isVisible());
  }
  EXPECT_EQ(Find<QListWidget>("DomainList")->count(), 2);
  EXPECT_EQ(DirtyPages(), 1);
}

// Every port the settings table guards as a listening port is one the console checks.
TEST(PortCheckTest, EveryListeningPortIsChecked) {
  Settings before{};
  before.system.Port = 32000;
  before.system.PasswordPort = 106;
  before.smtp.Port = 25;
  before.pop3.Port = 110;
  int listeners = 0;
  for (const SettingDef& def : SettingsTable()) {
    if (def.guard != SettingGuard::kListenerPort) continue;
    ++listeners;
    Settings after = before;
    SettingNumber(after, def) = SettingNumber(before, def) == 25 ? 110 : 25;
    EXPECT_TRUE(CheckSettings(before, after, false).has_value()) << def.name;
  }
  EXPECT_EQ(listeners, 4);
}

TEST(AddressCheckTest, OneAddressAndAddressLists) {
  EXPECT_TRUE(IsMailAddress(" ann@example.org "));
  for (const char* bad : {"no at sign here", "", "ann@", "@example.org", "Ann <ann@example.org>",
                          "ann@x@y", "ann@x;bob@y", "ann@x,bob@y", "ann bob@x"})
    EXPECT_FALSE(IsMailAddress(bad)) << bad;
  EXPECT_TRUE(IsMailAddressList(""));
  EXPECT_TRUE(IsMailAddressList("a@x; b@y,c@z d@w"));
  EXPECT_FALSE(IsMailAddressList("a@x; bob"));
}

class RecordCheckTest : public AccountsTest {
 protected:
  // Accepts a new record of `table` with `fields` and `bits`: the message shown, if any.
  QString Add(Table table, const std::vector<std::pair<const char*, const char*>>& fields,
              int32_t bits = 0) {
    messages_.clear();
    std::unique_ptr<RecordDialog> dialog = MakeRecordDialog(*context_, TableRecord(table), true);
    for (const auto& [name, text] : fields) dialog->findChild<QLineEdit*>(name)->setText(text);
    for (auto* box : dialog->findChildren<QCheckBox*>())
      box->setChecked((bits & box->objectName().mid(6).toInt()) != 0);
    dialog->accept();
    EXPECT_EQ(dialog->result() == QDialog::Accepted, messages_.empty());
    return messages_.empty() ? QString() : messages_.back();
  }
};

TEST_F(RecordCheckTest, AddressFieldsAndTheListOwnerAreChecked) {
  const QString join =
      "'Owner' must not be empty: without automatic joining, join requests go to the list's owner.";
  EXPECT_EQ(Add(Table::kUser, {{"Alias", "a"}, {"Mailbox", "far away"}}, kUserRemote),
            "'Mailbox' must be a mail address (name@domain).");
  EXPECT_EQ(Add(Table::kUser, {{"Alias", "b"}, {"CopyOutgoing", "x@y; nobody"}}),
            "'Copy outgoing mail to' must hold mail addresses (name@domain), separated by ';'.");
  EXPECT_EQ(Add(Table::kUser, {{"Alias", "e"}, {"Mailbox", "e@far"}, {"CopyIncoming", "x@y z@w"}},
                kUserRemote),
            QString());
  EXPECT_EQ(Add(Table::kLists, {{"Name", "news"}}), join);
  EXPECT_EQ(Add(Table::kLists, {{"Name", "news"}, {"OwnerUser", "  "}}, kListPublic), join);
  EXPECT_EQ(Add(Table::kLists, {{"Name", "news"}}, kListAutoJoin | kListCopyOwner),
            "'Owner' must not be empty: the options chosen send to the list's owner or accept "
            "mail from the owner only.");
  EXPECT_EQ(Add(Table::kLists, {{"Name", "news"}}, kListAutoJoin), QString());
  EXPECT_EQ(Add(Table::kLists, {{"Name", "staff"}, {"OwnerUser", "boss"}}), QString());
  EXPECT_EQ(store_->tables[Table::kUser].size(), 1u);
  EXPECT_EQ(store_->tables[Table::kLists].size(), 2u);
}

TEST_F(RecordCheckTest, ShortcutsKeyFieldsAndWidths) {
  LISTSTRUCT staff{};
  Put(staff.Name, "staff");
  Put(staff.Domain, "example.com");
  const QString path = "/var/lib/quorvane/config/announcements-for-the-office.mls";
  Put(staff.FileName, path.toStdString());
  ListDialog dialog(*context_, TableRecord(staff), false);
  dialog.show();
  QApplication::setActiveWindow(&dialog);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  // "List is p&ublic": Alt+U checks it (a shortcut clicks after a short animation).
  auto* public_list = dialog.findChild<QCheckBox*>(RecordDialog::OptionName(kListPublic));
  QTest::keyClick(&dialog, Qt::Key_U, Qt::AltModifier);
  for (int i = 0; i < 50 && !public_list->isChecked(); ++i) QTest::qWait(20);
  EXPECT_TRUE(public_list->isChecked());

  auto* name = dialog.findChild<QLineEdit*>("Name");
  EXPECT_TRUE(name->isReadOnly() && !name->isEnabled());
  QTest::keyClicks(name, "x");
  EXPECT_EQ(name->text(), "staff");
  auto* file = dialog.findChild<QLineEdit*>("FileName");
  EXPECT_GT(file->width(), file->fontMetrics().horizontalAdvance(path));
  ListDialog adding(*context_, TableRecord(Table::kLists), true);
  EXPECT_TRUE(adding.findChild<QLineEdit*>("Name")->isEnabled());
}

// The members dialog as a user works it (Enter adds, a bad address is refused, the dialog stays
// open) and the tree, which shows the members under their list when it closes.
TEST_F(AccountsTest, MembersShowUnderTheListAndFollowTheDialog) {
  LISTSTRUCT staff{};
  Put(staff.Name, "staff");
  Put(staff.Domain, "example.com");
  Put(staff.FileName, "staff.mls");
  store_->tables[Table::kLists] = {TableRecord(staff)};
  MEMBERSTRUCT ann{};
  Put(ann.Address, "ann@example.org");
  Put(ann.Name, "Ann");
  store_->members["staff.mls"] = {ann};
  AccountsPage page(*context_);
  page.category(Table::kLists)->setExpanded(true);
  QTreeWidgetItem* list = page.category(Table::kLists)->child(0);
  auto members = [list] {
    QStringList texts;
    for (int i = 0; i < list->childCount(); ++i) texts.append(list->child(i)->text(0));
    return texts;
  };
  EXPECT_EQ(members(), QStringList{"ann@example.org (Ann)"});
  EXPECT_EQ(AccountsPage::RecordOf(list->child(0)), nullptr);
  page.tree()->setCurrentItem(list->child(0));
  bool stayed_open = true;
  page.set_dialog_runner([&](QDialog& dialog) {
    auto& edit = dynamic_cast<MembersDialog&>(dialog);
    edit.show();
    for (const char* typed : {"no at sign here", "bob@example.net"}) {
      Retype(edit.address_edit(), typed);
      Retype(edit.name_edit(), "Bob");
      QTest::keyClick(edit.name_edit(), Qt::Key_Return);
      stayed_open = stayed_open && edit.isVisible();
    }
    dialog.reject();
    return dialog.result();
  });
  page.EditMembers();
  EXPECT_TRUE(stayed_open);
  EXPECT_EQ(messages_, std::vector<QString>{"'Address' must be a mail address (name@domain)."});
  EXPECT_EQ(members(), (QStringList{"ann@example.org (Ann)", "bob@example.net (Bob)"}));

  Put(staff.Name, "announcements-for-the-whole-office");  // a title that needs the room
  MembersDialog wide(*context_, staff);
  EXPECT_GT(wide.minimumWidth(), wide.fontMetrics().horizontalAdvance(wide.windowTitle()));
}

}  // namespace
}  // namespace qv::console::testing
