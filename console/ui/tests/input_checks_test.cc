// What the console refuses before anything is saved, and the keys and looks of its dialogs, driven
// as a user would: keys typed and buttons clicked (QTest), offscreen. Listening ports that clash
// or are taken, addresses that are none, a list without the owner it needs; Enter in an entry
// line adds and closes nothing; key fields greyed out; members under their list in the tree.
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
  field->setFocus();
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
  void Apply() {
    auto* buttons = Find<QDialogButtonBox>("Buttons");
    QTest::mouseClick(buttons->button(QDialogButtonBox::Apply), Qt::LeftButton);
  }
  // A port this computer has free at the moment.
  static int FreePort() {
    QTcpServer probe;
    EXPECT_TRUE(probe.listen(QHostAddress::AnyIPv4, 0));
    return probe.serverPort();
  }
};

TEST_F(SettingsCheckTest, ClashingOrTakenPortsAreRefusedNamingTheField) {
  QTcpServer other;  // another program on this computer
  ASSERT_TRUE(other.listen(QHostAddress::AnyIPv4, 0));
  const int taken = other.serverPort();
  const struct {
    const char* field;
    int port;
    std::string message;
  } cases[] = {
      {"Pop3Port", 25, "'POP3 port' cannot be 25: the 'SMTP port' is 25 as well."},
      {"SmtpPort", 32000,
       "'SMTP port' cannot be 32000: the 'Control service port' is 32000 as well."},
      {"PasswordPort", 110,
       "'Password service port' cannot be 110: the 'POP3 port' is 110 as well."},
      {"PasswordPort", taken,
       "'Password service port' cannot be " + std::to_string(taken) +
           ": another program on this computer listens on that port."},
  };
  dialog_->tabs()->setCurrentIndex(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    shown_.clear();
    Retype(Find<QSpinBox>(c.field), QString::number(c.port));
    Apply();
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].text.toStdString(), c.message);
    EXPECT_TRUE(dialog_->tabs()->currentWidget()->isAncestorOf(Find<QSpinBox>(c.field)));
    EXPECT_EQ(store_->settings.smtp.Port, 25);
    EXPECT_EQ(store_->settings.pop3.Port, 110);
    EXPECT_EQ(store_->settings.system.PasswordPort, 106);
    Find<QSpinBox>(c.field)->setValue(c.field == std::string("SmtpPort")   ? 25
                                      : c.field == std::string("Pop3Port") ? 110
                                                                           : 106);
  }
  // The services' own ports change hands in one save: the port POP3 held is not "taken".
  store_->settings.pop3.Port = taken;
  dialog_->Reload();
  const int free_port = FreePort();
  Retype(Find<QSpinBox>("Pop3Port"), QString::number(free_port));
  Retype(Find<QSpinBox>("SmtpPort"), QString::number(taken));
  shown_.clear();
  Apply();
  EXPECT_TRUE(shown_.empty()) << shown_.at(0).text.toStdString();
  EXPECT_EQ(store_->settings.smtp.Port, taken);
  EXPECT_EQ(store_->settings.pop3.Port, free_port);
}

TEST_F(SettingsCheckTest, ForwardingUnknownUsersNeedsAddresses) {
  Find<QCheckBox>("FORWARDUNKNOWN")->setChecked(true);
  Retype(Find<QLineEdit>("ForwardUnknown"), "no at sign here");
  Apply();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text,
            "'Forward mail for unknown users' must hold mail addresses "
            "(name@domain), separated by ';'.");
  EXPECT_EQ(FieldText(store_->settings.smtp.ForwardUnknown), "");
  Retype(Find<QLineEdit>("ForwardUnknown"), "postmaster@example.test; admin@example.test");
  Apply();
  EXPECT_EQ(shown_.size(), 1u);
  EXPECT_EQ(FieldText(store_->settings.smtp.ForwardUnknown),
            "postmaster@example.test; admin@example.test");
}

TEST_F(SettingsCheckTest, EnterInLocalDomainsAddsAndKeepsTheConsoleOpen) {
  dialog_->show();
  auto* entry = Find<QLineEdit>("DomainEntry");
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
    Retype(entry, key == Qt::Key_Return ? "example.net" : "example.org");
    QTest::keyClick(entry, key);
    EXPECT_TRUE(dialog_->isVisible());
  }
  EXPECT_EQ(Find<QListWidget>("DomainList")->count(), 2);
  EXPECT_TRUE(entry->text().isEmpty());
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
    SettingNumber(after, def) = 2525;
    EXPECT_FALSE(CheckSettings(before, after, false).has_value()) << def.name;
  }
  EXPECT_EQ(listeners, 4);
}

TEST(AddressCheckTest, OneAddressAndAddressLists) {
  for (const char* good : {"ann@example.org", " ann@example.org "})
    EXPECT_TRUE(IsMailAddress(good)) << good;
  for (const char* bad : {"no at sign here", "", "ann@", "@example.org", "Ann <ann@example.org>",
                          "ann@x@y", "ann@x;bob@y", "ann@x,bob@y", "ann bob@x"})
    EXPECT_FALSE(IsMailAddress(bad)) << bad;
  EXPECT_TRUE(IsMailAddressList(""));
  EXPECT_TRUE(IsMailAddressList("a@x; b@y,c@z d@w"));
  EXPECT_FALSE(IsMailAddressList("a@x; bob"));
}

class RecordCheckTest : public AccountsTest {
 protected:
  // Accepts a new record of `table` with `fields` and `bits`; the message shown, if any.
  QString Add(Table table, const std::vector<std::pair<const char*, const char*>>& fields,
              int32_t bits = 0) {
    messages_.clear();
    std::unique_ptr<RecordDialog> dialog = MakeRecordDialog(*context_, TableRecord(table), true);
    for (const auto& [name, text] : fields) dialog->findChild<QLineEdit*>(name)->setText(text);
    for (int32_t bit = 1; bit <= 0x40; bit <<= 1)
      if (auto* box = dialog->findChild<QCheckBox*>(RecordDialog::OptionName(bit)))
        box->setChecked((bits & bit) != 0);
    dialog->accept();
    EXPECT_EQ(dialog->result() == QDialog::Accepted, messages_.empty());
    return messages_.empty() ? QString() : messages_.back();
  }
};

TEST_F(RecordCheckTest, AddressFieldsAndTheListOwnerAreChecked) {
  const char* kNotAddress = "'Mailbox' must be a mail address (name@domain).";
  const char* kJoin =
      "'Owner' must not be empty: without automatic joining, join requests go to the list's owner.";
  const char* kOptions =
      "'Owner' must not be empty: the options chosen send to the list's owner or accept mail from "
      "the owner only.";
  EXPECT_EQ(Add(Table::kUser, {{"Alias", "a"}, {"Mailbox", "far away"}}, kUserRemote), kNotAddress);
  EXPECT_EQ(Add(Table::kUser, {{"Alias", "b"}, {"CopyIncoming", "x@y; nobody"}}),
            "'Copy incoming mail to' must hold mail addresses (name@domain), separated by ';'.");
  EXPECT_EQ(Add(Table::kUser, {{"Alias", "c"}, {"CopyOutgoing", "x@y z"}}),
            "'Copy outgoing mail to' must hold mail addresses (name@domain), separated by ';'.");
  EXPECT_EQ(Add(Table::kUser, {{"Alias", "d"}, {"Mailbox", "d"}, {"CopyIncoming", "x@y, z@w"}}),
            QString());
  EXPECT_EQ(Add(Table::kUser, {{"Alias", "e"}, {"Mailbox", "e@far.example"}}, kUserRemote),
            QString());
  EXPECT_EQ(Add(Table::kLists, {{"Name", "news"}}), kJoin);
  EXPECT_EQ(Add(Table::kLists, {{"Name", "news"}, {"OwnerUser", "  "}}, kListPublic), kJoin);
  EXPECT_EQ(Add(Table::kLists, {{"Name", "news"}}, kListAutoJoin | kListCopyOwner), kOptions);
  EXPECT_EQ(Add(Table::kLists, {{"Name", "news"}}, kListAutoJoin), QString());
  EXPECT_EQ(Add(Table::kLists, {{"Name", "staff"}, {"OwnerUser", "boss"}}), QString());
  EXPECT_EQ(store_->tables[Table::kUser].size(), 2u);
  EXPECT_EQ(store_->tables[Table::kLists].size(), 2u);
}

TEST_F(RecordCheckTest, OptionLabelsAndTheirShortcuts) {
  ListDialog list(*context_, TableRecord(Table::kLists), true);
  const std::pair<int32_t, const char*> labels[] = {
      {kListPublic, "List is p&ublic"},
      {kListAutoJoin, "Allow new &members to join automatically"},
      {kListOwnerSends, "On&ly list owner can send messages to the list"},
      {kListCopyOwner, "S&end copy of messages to list owner"},
      {kListHidden, "List members not &visible by query"},
      {kListRespond, "&Respond to new members"},
      {kListLog, "Log lis&t activities to file:"},
  };
  for (const auto& [bit, label] : labels)
    EXPECT_EQ(list.findChild<QCheckBox*>(RecordDialog::OptionName(bit))->text(), label);
  ResponderDialog responder(*context_, TableRecord(Table::kResponder), true);
  EXPECT_EQ(responder.findChild<QCheckBox*>(RecordDialog::OptionName(kAutoLog))->text(),
            "&Log responses to file");

  list.show();
  QApplication::setActiveWindow(&list);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&list));
  auto* shortcut = list.findChild<QCheckBox*>(RecordDialog::OptionName(kListPublic));
  QTest::keyClick(&list, Qt::Key_U, Qt::AltModifier);
  // A shortcut clicks its button after a short animation.
  for (int i = 0; i < 50 && !shortcut->isChecked(); ++i) QTest::qWait(20);
  EXPECT_TRUE(shortcut->isChecked());
}

TEST_F(RecordCheckTest, KeyFieldsOfARecordAreGreyedAndLinesShowTheirText) {
  LISTSTRUCT staff{};
  Put(staff.Name, "staff");
  Put(staff.Domain, "example.com");
  const std::string path = "/var/lib/quorvane/config/announcements-for-the-office.mls";
  Put(staff.FileName, path);
  ListDialog dialog(*context_, TableRecord(staff), false);
  dialog.show();
  for (const char* key : {"Name", "Domain"}) {
    auto* line = dialog.findChild<QLineEdit*>(key);
    EXPECT_TRUE(line->isReadOnly() && !line->isEnabled()) << key;
    QTest::keyClicks(line, "x");
    EXPECT_EQ(line->text().size(), std::string(key) == "Name" ? 5 : 11) << key;
  }
  auto* file = dialog.findChild<QLineEdit*>("FileName");
  EXPECT_TRUE(file->isEnabled());
  EXPECT_GT(file->width(), file->fontMetrics().horizontalAdvance(QString::fromStdString(path)));

  ListDialog adding(*context_, TableRecord(Table::kLists), true);
  EXPECT_TRUE(adding.findChild<QLineEdit*>("Name")->isEnabled());
}

class MemberTreeTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    LISTSTRUCT staff{};
    Put(staff.Name, "staff");
    Put(staff.Domain, "example.com");
    Put(staff.FileName, "staff.mls");
    Put(staff.OwnerUser, "boss");
    store_->tables[Table::kLists] = {TableRecord(staff)};
    MEMBERSTRUCT ann{};
    Put(ann.Address, "ann@example.org");
    Put(ann.Name, "Ann");
    store_->members["staff.mls"] = {ann};
    page_ = std::make_unique<AccountsPage>(*context_);
    page_->category(Table::kLists)->setExpanded(true);
  }
  QStringList Members() const {
    QStringList texts;
    QTreeWidgetItem* list = page_->category(Table::kLists)->child(0);
    for (int i = 0; i < list->childCount(); ++i) texts.append(list->child(i)->text(0));
    return texts;
  }
  std::unique_ptr<AccountsPage> page_;
};

// The members dialog as a user works it: Enter adds, a bad address is refused, the dialog
// stays open; the tree shows the members when it closes.
TEST_F(MemberTreeTest, MembersShowUnderTheListAndFollowTheDialog) {
  EXPECT_EQ(Members(), QStringList{"ann@example.org (Ann)"});
  QTreeWidgetItem* ann = page_->category(Table::kLists)->child(0)->child(0);
  EXPECT_EQ(AccountsPage::RecordOf(ann), nullptr);
  page_->tree()->setCurrentItem(ann);
  bool stayed_open = true;
  page_->set_dialog_runner([&](QDialog& dialog) {
    auto& members = dynamic_cast<MembersDialog&>(dialog);
    members.show();
    QLineEdit* address = members.address_edit();
    for (const char* typed : {"no at sign here", "bob@example.net"}) {
      Retype(address, typed);
      Retype(members.name_edit(), "Bob");
      QTest::keyClick(members.name_edit(), Qt::Key_Return);
      stayed_open = stayed_open && members.isVisible();
    }
    dialog.reject();
    return dialog.result();
  });
  page_->EditMembers();
  EXPECT_TRUE(stayed_open);
  EXPECT_EQ(messages_, std::vector<QString>{"'Address' must be a mail address (name@domain)."});
  EXPECT_EQ(Members(), (QStringList{"ann@example.org (Ann)", "bob@example.net (Bob)"}));
  EXPECT_EQ(store_->members["staff.mls"].size(), 2u);

  // The dialog is wide enough for a long list address in its title.
  LISTSTRUCT news{};
  Put(news.Name, "announcements-for-the-whole-office");
  Put(news.Domain, "headquarters.example.com");
  MembersDialog long_title(*context_, news);
  EXPECT_GT(long_title.minimumWidth(),
            long_title.fontMetrics().horizontalAdvance(long_title.windowTitle()));
}

}  // namespace
}  // namespace qv::console::testing
