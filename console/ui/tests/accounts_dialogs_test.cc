// The record dialogs, "List Members" and "Local Users" against the in-memory store: every table's
// fields reach the record, refusals are reported and save nothing, stored bytes the user did
// not touch survive, and member changes go to the store.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QToolButton>

#include "console/ui/local_users_dialog.h"
#include "console/ui/members_dialog.h"
#include "console/ui/record_dialogs.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

class AccountsDialogTest : public AccountsTest {
 protected:
  template <class D = RecordDialog>
  std::unique_ptr<D> Dialog(const TableRecord& record, bool adding) {
    std::unique_ptr<RecordDialog> dialog = MakeRecordDialog(*context_, record, adding);
    auto* typed = dynamic_cast<D*>(dialog.get());
    EXPECT_NE(typed, nullptr);
    dialog.release();
    return std::unique_ptr<D>(typed);
  }
  static void Set(QDialog& dialog, const char* name, const QString& text) {
    auto* line = dialog.findChild<QLineEdit*>(name);
    ASSERT_NE(line, nullptr) << name;
    line->setText(text);
  }
  static bool Accept(QDialog& dialog) {
    dialog.accept();
    return dialog.result() == QDialog::Accepted;
  }
};

// Every field and option bit of each table reaches its place in the record (shown as the
// record's text form).
TEST_F(AccountsDialogTest, EachTablesDialogWritesEveryField) {
  using Fields = std::vector<std::pair<const char*, const char*>>;
  const struct {
    Table table;
    const char* title;
    Fields fields;
    std::vector<int32_t> bits;
    const char* line;
  } cases[] = {
      {Table::kUser,
       "User",
       {{"Alias", "bob"},
        {"Domain", "example.com"},
        {"Password", "pw"},
        {"Name", "Bob"},
        {"Mailbox", "b@far"},
        {"PopAccount", "isp"},
        {"CopyIncoming", "in@x"},
        {"CopyOutgoing", "out@x"},
        {"Responder", "away"},
        {"MailingList", "fans"}},
       {kUserRemote, kUserAdmin, kUserJoinList},
       "bob|example.com|pw|Bob|b@far|isp|37|in@x|out@x|away|fans|"},
      {Table::kLists,
       "Mailing List",
       {{"Name", "staff"},
        {"Domain", "example.com"},
        {"Description", "All"},
        {"FileName", "/s.mls"},
        {"OwnerUser", "boss"},
        {"OwnerDomain", "example.com"},
        {"Responder", "hi"},
        {"LogFile", "/s.log"}},
       {kListPublic, kListHidden, kListLog},
       "staff|example.com|All|/s.mls|boss|example.com|81|hi|/s.log|"},
      {Table::kCommands,
       "Executable",
       {{"Name", "run"},
        {"Domain", "*"},
        {"Description", "d"},
        {"Application", "/bin/p"},
        {"Parameters", "%%a%%"}},
       {kExecKeywords},
       "run|*|d|/bin/p|%%a%%||1|"},
      {Table::kResponder,
       "Auto Responder",
       {{"Name", "away"}, {"TextFile", "/a.txt"}, {"LogFile", "/a.log"}, {"Exceptions", "*@x"}},
       {kAutoLog},
       "away|/a.txt|1|/a.log|*@x|"},
      {Table::kAccounts,
       "Remote POP Account",
       {{"Name", "isp"},
        {"Server", "pop.isp"},
        {"Account", "me"},
        {"Password", "pw"},
        {"DialProfile", "dial"}},
       {kAccountShared, kAccountUserLogin},
       "isp|pop.isp|me|pw|7200|dial|5|"},
      {Table::kRoutes,
       "Static Route",
       {{"Masks", "*@old"}, {"Destination", "new"}},
       {},
       "*@old|0|new|"},
  };
  for (const auto& c : cases) {
    auto dialog = Dialog(TableRecord(c.table), true);
    EXPECT_EQ(dialog->windowTitle(), c.title);
    for (const auto& [name, text] : c.fields) Set(*dialog, name, text);
    for (int32_t bit : c.bits) {
      dialog->findChild<QCheckBox*>(RecordDialog::OptionName(bit))->setChecked(true);
    }
    ASSERT_TRUE(Accept(*dialog)) << c.title;
    ASSERT_EQ(store_->tables[c.table].size(), 1u);
    EXPECT_EQ(FormatRecordLine(c.table, store_->tables[c.table][0].data()), c.line);
  }
  EXPECT_EQ(Calls("AddRecord"), 6);
  EXPECT_TRUE(messages_.empty());
  auto user = Dialog(TableRecord(Table::kUser), true);
  EXPECT_EQ(user->findChild<QLineEdit*>("Password")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(user->findChild<QLineEdit*>("Password")->maxLength(), 80);
}

TEST_F(AccountsDialogTest, RefusedFieldsAreReportedAndNothingIsSaved) {
  struct Case {
    Table table;
    const char* field;
    QString text;
    const char* message;
  };
  const Case cases[] = {
      {Table::kUser, "Name", "a|b", "'Full name' cannot hold the character '|'."},
      {Table::kUser, "Alias", "", "'Alias' must not be empty."},
      {Table::kUser, "Alias", "   ", "'Alias' must not be empty."},
      {Table::kUser, "Mailbox", "a\nb", "'Mailbox' cannot hold a line break."},
      // 80 characters fit the line edit but not the field's 127 bytes as UTF-8.
      {Table::kUser, "Name", QString(80, QChar(0x00e9)),
       "'Full name' is too long: at most 127 bytes."},
      {Table::kLists, "Description", "x|", "'Description' cannot hold the character '|'."},
      {Table::kCommands, "Parameters", "%%a%%|", "'Parameters' cannot hold the character '|'."},
      {Table::kResponder, "Exceptions", "*@a;*|",
       "'No response to' cannot hold the character '|'."},
      {Table::kAccounts, "Server", "pop|x", "'POP3 server' cannot hold the character '|'."},
      {Table::kRoutes, "Destination", "", "'Destination' must not be empty."},
      {Table::kRoutes, "Masks", "", "'Address masks' must not be empty."},
  };
  for (const Case& c : cases) {
    messages_.clear();
    auto dialog = Dialog(TableRecord(c.table), true);
    for (const char* key : {"Alias", "Name", "Destination", "Masks"}) {
      if (auto* line = dialog->findChild<QLineEdit*>(key)) line->setText("key");
    }
    Set(*dialog, c.field, c.text);
    EXPECT_FALSE(Accept(*dialog)) << c.field;
    ASSERT_EQ(messages_.size(), 1u) << c.field;
    EXPECT_EQ(messages_[0], c.message);
  }
  EXPECT_TRUE(store_->calls.empty());
}

TEST_F(AccountsDialogTest, UntouchedFieldsKeepTheirStoredBytes) {
  USERSTRUCT user{};
  Put(user.Alias, "bob");
  Put(user.Domain, "example.com");
  Put(user.Name, "M\xfcller");  // Latin-1, not UTF-8
  store_->tables[Table::kUser] = {TableRecord(user)};
  auto dialog = Dialog(TableRecord(user), false);
  Set(*dialog, "Mailbox", "bobby");
  ASSERT_TRUE(Accept(*dialog));
  const auto& stored = store_->tables[Table::kUser][0].as<USERSTRUCT>();
  EXPECT_EQ(FieldText(stored.Name), "M\xfcller");
  EXPECT_EQ(FieldText(stored.Mailbox), "bobby");
}

// A user without a password is saved, with a note that it cannot log on while the field is
// empty.
TEST_F(AccountsDialogTest, AnEmptyPasswordIsNotedAndStillSaved) {
  struct Case {
    const char* stored;  // the record's password when the dialog opens
    bool adding;
    std::vector<std::pair<QString, bool>> typed;  // text typed, note shown after it
    bool shown;                                   // the note on opening
  } cases[] = {
      {"", true, {{"pw", false}, {"", true}}, true},
      {"Secret", false, {{"", true}, {"x", false}}, false},
      {"", false, {}, true},
  };
  for (const Case& c : cases) {
    USERSTRUCT user{};
    Put(user.Alias, "bob");
    Put(user.Domain, "example.com");
    Put(user.Password, c.stored);
    store_->tables[Table::kUser] = {};
    if (!c.adding) store_->tables[Table::kUser] = {TableRecord(user)};
    auto dialog = Dialog(TableRecord(user), c.adding);
    auto* note = dialog->findChild<QLabel*>("NoPasswordNote");
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->text(), "Note: A user without a password cannot log on.");
    EXPECT_EQ(!note->isHidden(), c.shown) << c.stored;
    for (const auto& [text, shown] : c.typed) {
      Set(*dialog, "Password", text);
      EXPECT_EQ(!note->isHidden(), shown) << c.stored << " / " << text.toStdString();
    }
    ASSERT_TRUE(Accept(*dialog)) << c.stored;
    ASSERT_EQ(store_->tables[Table::kUser].size(), 1u);
  }
  EXPECT_TRUE(messages_.empty());
}

TEST_F(AccountsDialogTest, CommandKeywordsAreStoredWithCrLf) {
  EXECSTRUCT command{};
  Put(command.Name, "changepass");
  Put(command.Keywords, "User: %%username%%\r\nOldPass: %%oldpass%%\r\n");
  command.Options = kExecKeywords;
  store_->tables[Table::kCommands] = {TableRecord(command)};
  auto dialog = Dialog(TableRecord(command), false);
  auto* keywords = dialog->findChild<QPlainTextEdit*>("Keywords");
  ASSERT_NE(keywords, nullptr);
  EXPECT_EQ(keywords->toPlainText(), "User: %%username%%\nOldPass: %%oldpass%%\n");
  keywords->setPlainText("User: %%username%%\nNewPass: %%newpass%%");
  ASSERT_TRUE(Accept(*dialog));
  EXPECT_EQ(FieldText(store_->tables[Table::kCommands][0].as<EXECSTRUCT>().Keywords),
            "User: %%username%%\r\nNewPass: %%newpass%%");
}

TEST_F(AccountsDialogTest, AccountIntervalIsNumberAndUnit) {
  int number, unit;
  const struct {
    int32_t seconds;
    int number;
    int unit;
  } splits[] = {{0, 0, 1}, {90, 90, 0}, {7200, 2, 2}, {5400, 90, 1}, {172800, 2, 3}};
  for (const auto& s : splits) {
    SplitInterval(s.seconds, &number, &unit);
    EXPECT_EQ(number, s.number) << s.seconds;
    EXPECT_EQ(unit, s.unit) << s.seconds;
  }

  auto dialog = Dialog<AccountDialog>(TableRecord(Table::kAccounts), true);
  EXPECT_EQ(dialog->interval_number()->value(), 2);
  EXPECT_EQ(dialog->interval_unit()->currentText(), "Hours");
  EXPECT_EQ(dialog->findChild<QLineEdit*>("Name")->maxLength(), 31);
  Set(*dialog, "Name", "isp");
  Set(*dialog, "Server", "pop.isp.example");
  dialog->interval_number()->setValue(30);
  dialog->interval_unit()->setCurrentIndex(1);
  dialog->findChild<QCheckBox*>(RecordDialog::OptionName(kAccountDialup))->setChecked(true);
  ASSERT_TRUE(Accept(*dialog));
  const auto& account = store_->tables[Table::kAccounts].at(0).as<ACCOUNTSTRUCT>();
  EXPECT_EQ(int32_t{account.Interval}, 1800);
  EXPECT_EQ(int32_t{account.Options}, kAccountDialup);

  dialog = Dialog<AccountDialog>(TableRecord(Table::kAccounts), true);
  Set(*dialog, "Name", "long");
  dialog->interval_number()->setValue(100000);
  dialog->interval_unit()->setCurrentIndex(3);
  EXPECT_FALSE(Accept(*dialog));
  EXPECT_EQ(messages_.at(0), "The interval is too long.");
}

TEST_F(AccountsDialogTest, RouteTypeIsAChoiceAndAnUnknownTypeIsKept) {
  auto dialog = Dialog<RouteDialog>(TableRecord(Table::kRoutes), true);
  ASSERT_EQ(dialog->type()->count(), 3);
  Set(*dialog, "Masks", "*@old.example");
  Set(*dialog, "Destination", "new.example");
  dialog->type()->setCurrentIndex(kRouteToDomain);
  ASSERT_TRUE(Accept(*dialog));
  EXPECT_EQ(int32_t{store_->tables[Table::kRoutes].at(0).as<ROUTESTRUCT>().Type}, 2);

  ROUTESTRUCT odd{};
  Put(odd.Masks, "*");
  Put(odd.Destination, "odd.example");
  odd.Type = 7;
  store_->tables[Table::kRoutes].push_back(TableRecord(odd));
  dialog = Dialog<RouteDialog>(TableRecord(odd), false);
  EXPECT_EQ(dialog->type()->currentText(), "Type 7");
  ASSERT_TRUE(Accept(*dialog));
  EXPECT_EQ(int32_t{store_->tables[Table::kRoutes].at(1).as<ROUTESTRUCT>().Type}, 7);
}

TEST_F(AccountsDialogTest, StoreRefusalKeepsTheDialogOpen) {
  AUTOSTRUCT away{};
  Put(away.Name, "away");
  store_->tables[Table::kResponder] = {TableRecord(away)};
  auto dialog = Dialog(TableRecord(Table::kResponder), true);
  EXPECT_EQ(dialog->findChildren<QToolButton*>().size(), 2) << "file choosers in local mode";
  Set(*dialog, "Name", "AWAY");
  EXPECT_FALSE(Accept(*dialog));
  EXPECT_EQ(messages_, std::vector<QString>{"the record exists"});
  Set(*dialog, "Name", "back");
  EXPECT_TRUE(Accept(*dialog));
  EXPECT_EQ(store_->tables[Table::kResponder].size(), 2u);
}

class RemoteDialogTest : public AccountsDialogTest {
 protected:
  RemoteDialogTest() { remote_ = true; }
};

TEST_F(RemoteDialogTest, NoFileChoosersAndNoMultiLineKeywords) {
  auto dialog = Dialog(TableRecord(Table::kCommands), true);
  EXPECT_EQ(dialog->findChild<QToolButton*>(), nullptr);
  Set(*dialog, "Name", "run");
  dialog->findChild<QPlainTextEdit*>("Keywords")->setPlainText("A: %%a%%\nB: %%b%%");
  EXPECT_FALSE(Accept(*dialog));
  EXPECT_EQ(messages_.at(0),
            "Keyword definitions of more than one line cannot be sent to a remote server.");
  dialog->findChild<QPlainTextEdit*>("Keywords")->setPlainText("A: %%a%%");
  EXPECT_TRUE(Accept(*dialog));
  EXPECT_EQ(Calls("AddRecord"), 1);
}

// "List Members" and "Local Users".
class MembersDialogTest : public AccountsDialogTest {
 protected:
  void SetUp() override {
    AccountsDialogTest::SetUp();
    Put(list_.Name, "staff");
    Put(list_.Domain, "example.com");
    Put(list_.FileName, "/srv/staff.mls");
    MEMBERSTRUCT ann{};
    Put(ann.Address, "ann@example.org");
    Put(ann.Name, "Ann");
    store_->members["/srv/staff.mls"] = {ann};
  }
  QStringList Rows(QListWidget* list) const {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) rows.append(list->item(i)->text());
    return rows;
  }
  std::vector<std::string> Stored() {
    std::vector<std::string> lines;
    for (const MEMBERSTRUCT& m : store_->members["/srv/staff.mls"])
      lines.push_back(FormatMemberLine(m));
    return lines;
  }
  LISTSTRUCT list_{};
};

TEST_F(MembersDialogTest, AddAndRemoveGoToTheStore) {
  MembersDialog dialog(*context_, list_);
  ASSERT_TRUE(dialog.Load());
  EXPECT_TRUE(dialog.AddMember("bob@example.net", "Bob"));
  EXPECT_TRUE(dialog.AddMember(" carl@example.net ", ""));
  EXPECT_EQ(Rows(dialog.list()),
            (QStringList{"ann@example.org (Ann)", "bob@example.net (Bob)", "carl@example.net ()"}));
  EXPECT_EQ(Stored(), (std::vector<std::string>{"ann@example.org|Ann", "bob@example.net|Bob",
                                                "carl@example.net|"}));
  dialog.list()->item(0)->setSelected(true);
  dialog.list()->item(2)->setSelected(true);
  EXPECT_TRUE(dialog.RemoveSelected());
  EXPECT_EQ(Rows(dialog.list()), QStringList{"bob@example.net (Bob)"});
  EXPECT_EQ(Stored(), std::vector<std::string>{"bob@example.net|Bob"});
  EXPECT_EQ(Calls("DeleteMember"), 2);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MembersDialogTest, RefusedMembersAreReported) {
  MembersDialog dialog(*context_, list_);
  ASSERT_TRUE(dialog.Load());
  const struct {
    QString address, name;
    const char* message;
  } cases[] = {
      {"", "Nobody", "'Address' must not be empty."},
      {"a|b@x", "", "'Address' cannot hold the character '|'."},
      {"d@x", "D|E", "'Name' cannot hold the character '|'."},
      {"ANN@example.ORG", "Ann again", "'ANN@example.ORG' is already a member of the list."},
  };
  for (const auto& c : cases) {
    messages_.clear();
    EXPECT_FALSE(dialog.AddMember(c.address, c.name));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], c.message);
  }
  EXPECT_EQ(Calls("AddMember"), 0);
}

TEST_F(MembersDialogTest, FailedLoadAndFailedAddAreReported) {
  MembersDialog dialog(*context_, list_);
  store_->broken = true;
  EXPECT_FALSE(dialog.Load());
  EXPECT_FALSE(dialog.AddMember("x@y", ""));
  EXPECT_EQ(messages_,
            (std::vector<QString>{"The connection is broken!", "The connection is broken!"}));
  EXPECT_EQ(dialog.list()->count(), 0);
}

TEST_F(MembersDialogTest, LocalUsersArePickedAndAdded) {
  auto user = [](const char* alias, const char* domain, const char* name) {
    USERSTRUCT u{};
    Put(u.Alias, alias);
    Put(u.Domain, domain);
    Put(u.Name, name);
    return TableRecord(u);
  };
  store_->tables[Table::kUser] = {user("ann", "example.org", "Ann"), user("bob", "*", "Bob"),
                                  user("cy", "example.net", "Cy")};
  MembersDialog dialog(*context_, list_);
  ASSERT_TRUE(dialog.Load());
  QStringList offered;
  dialog.set_dialog_runner([&](QDialog& d) {
    auto* pick = qobject_cast<LocalUsersDialog*>(&d);
    EXPECT_NE(pick, nullptr);
    EXPECT_EQ(d.windowTitle(), "Local Users");
    offered = Rows(pick->list());
    for (int i = 0; i < pick->list()->count(); ++i) pick->list()->item(i)->setSelected(true);
    d.accept();
    return d.result();
  });
  dialog.AddLocalUsers();
  // A user whose domain is a mask gets the first local domain; ann is a member already.
  EXPECT_EQ(offered,
            (QStringList{"ann@example.org (Ann)", "bob@example.com (Bob)", "cy@example.net (Cy)"}));
  EXPECT_EQ(Stored(), (std::vector<std::string>{"ann@example.org|Ann", "bob@example.com|Bob",
                                                "cy@example.net|Cy"}));
  EXPECT_EQ(Calls("AddMember"), 2);
  EXPECT_TRUE(messages_.empty());

  SYSTEMSTRUCT none{};
  USERSTRUCT masked{};
  Put(masked.Alias, "x");
  Put(masked.Domain, "*.example");
  EXPECT_EQ(MemberAddressOf(masked, none), "");
  EXPECT_EQ(MemberAddressOf(masked, context_->settings().system), "x@example.com");
}

}  // namespace
}  // namespace qv::console::testing
