// The account tree against the in-memory store: categories and their placeholder, loading on
// first expansion only, the node texts, add, edit and remove through the dialogs run from code,
// and failures reported through the message sink.
#include "console/ui/accounts_page.h"

#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTreeWidget>

#include "console/ui/members_dialog.h"
#include "console/ui/record_dialogs.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

class AccountsPageTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    LISTSTRUCT staff{};
    Put(staff.Name, "staff");
    Put(staff.Domain, "example.com");
    Put(staff.FileName, "staff.mls");
    ROUTESTRUCT route{};
    Put(route.Masks, "*@old.example");
    Put(route.Destination, "new.example");
    store_->tables[Table::kUser] = {User("alice", "example.com"), User("bob", "*")};
    store_->tables[Table::kLists] = {TableRecord(staff)};
    store_->tables[Table::kRoutes] = {TableRecord(route)};
    page_ = std::make_unique<AccountsPage>(*context_);
  }

  QStringList Children(QTreeWidgetItem* item) const {
    QStringList texts;
    for (int i = 0; i < item->childCount(); ++i) texts.append(item->child(i)->text(0));
    return texts;
  }
  QTreeWidgetItem* Category(Table table) const { return page_->category(table); }

  std::unique_ptr<AccountsPage> page_;
};

TEST_F(AccountsPageTest, EveryCategoryStartsWithThePlaceholderAndNoLoad) {
  ASSERT_EQ(page_->tree()->topLevelItemCount(), AccountsPage::kCategoryCount);
  for (int i = 0; i < AccountsPage::kCategoryCount; ++i) {
    QTreeWidgetItem* item = page_->tree()->topLevelItem(i);
    EXPECT_EQ(Children(item), QStringList{"~"});
    EXPECT_EQ(page_->category(AccountsPage::CategoryTable(i)), item);
  }
  EXPECT_TRUE(store_->calls.empty());
}

TEST_F(AccountsPageTest, ExpandingLoadsTheTableOnceAndShowsTheNodeTexts) {
  QTreeWidgetItem* users = Category(Table::kUser);
  users->setExpanded(true);
  EXPECT_EQ(Calls("LoadTable"), 1);
  EXPECT_EQ(Children(users), (QStringList{"alice@example.com", "bob@*"}));
  users->setExpanded(false);
  users->setExpanded(true);
  EXPECT_EQ(Calls("LoadTable"), 1) << "a second expansion loads nothing";
  EXPECT_EQ(Children(users).size(), 2);

  Category(Table::kLists)->setExpanded(true);
  EXPECT_EQ(Children(Category(Table::kLists)), QStringList{"staff@example.com"});
  Category(Table::kRoutes)->setExpanded(true);
  EXPECT_EQ(Children(Category(Table::kRoutes)), QStringList{"new.example"});
  // An empty table shows no child at all, not the placeholder.
  Category(Table::kAccounts)->setExpanded(true);
  EXPECT_EQ(Category(Table::kAccounts)->childCount(), 0);
  EXPECT_EQ(Calls("LoadTable"), 4);

  const TableRecord* record = AccountsPage::RecordOf(users->child(1));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Key(), "bob");
  EXPECT_EQ(AccountsPage::RecordOf(users), nullptr);
}

TEST_F(AccountsPageTest, LoadPutsThePlaceholderBackAndTheNextExpansionLoadsAgain) {
  Category(Table::kUser)->setExpanded(true);
  Category(Table::kRoutes)->setExpanded(true);
  page_->set_dirty(true);
  page_->Load();
  EXPECT_FALSE(page_->dirty());
  for (int i = 0; i < AccountsPage::kCategoryCount; ++i) {
    QTreeWidgetItem* item = page_->tree()->topLevelItem(i);
    EXPECT_EQ(Children(item), QStringList{"~"}) << i;
    EXPECT_FALSE(item->isExpanded());
    EXPECT_FALSE(page_->loaded(AccountsPage::CategoryTable(i)));
  }
  store_->tables[Table::kUser].push_back(User("carol", "example.com"));
  Category(Table::kUser)->setExpanded(true);
  EXPECT_EQ(Calls("LoadTable"), 3);
  EXPECT_EQ(Children(Category(Table::kUser)).size(), 3);

  // A change of mode does the same.
  emit context_->modeChanged();
  EXPECT_EQ(Children(Category(Table::kUser)), QStringList{"~"});
}

TEST_F(AccountsPageTest, AddThroughTheDialogAddsTheRecordAndShowsItsNode) {
  Category(Table::kUser)->setExpanded(true);
  page_->tree()->setCurrentItem(Category(Table::kUser));
  QString title;
  page_->set_dialog_runner([&](QDialog& dialog) {
    title = dialog.windowTitle();
    dialog.findChild<QLineEdit*>("Alias")->setText("dave");
    dialog.findChild<QLineEdit*>("Domain")->setText("example.com");
    dialog.accept();
    return dialog.result();
  });
  page_->AddRecord();
  EXPECT_EQ(title, "User");
  ASSERT_EQ(store_->tables[Table::kUser].size(), 3u);
  EXPECT_EQ(store_->tables[Table::kUser][2].NodeText(), "dave@example.com");
  // The category is loaded again to show the record as the store keeps it, and the new node
  // is the current one.
  EXPECT_EQ(Calls("LoadTable"), 2);
  ASSERT_NE(page_->tree()->currentItem(), nullptr);
  EXPECT_EQ(page_->tree()->currentItem()->text(0), "dave@example.com");

  // With a record selected, Add adds to its category; a category never expanded is loaded.
  page_->tree()->setCurrentItem(Category(Table::kRoutes));
  page_->set_dialog_runner([&](QDialog& dialog) {
    dialog.findChild<QLineEdit*>("Masks")->setText("*@a.example");
    dialog.findChild<QLineEdit*>("Destination")->setText("relay.example");
    dialog.accept();
    return dialog.result();
  });
  page_->AddRecord();
  EXPECT_TRUE(page_->loaded(Table::kRoutes));
  EXPECT_EQ(Children(Category(Table::kRoutes)), (QStringList{"new.example", "relay.example"}));
}

TEST_F(AccountsPageTest, CancelledDialogChangesNothing) {
  Category(Table::kUser)->setExpanded(true);
  page_->tree()->setCurrentItem(Category(Table::kUser)->child(0));
  page_->set_dialog_runner([](QDialog& dialog) {
    dialog.reject();
    return dialog.result();
  });
  page_->AddRecord();
  page_->EditRecord();
  page_->RemoveRecord();
  EXPECT_EQ(store_->calls, std::vector<std::string>{"LoadTable"});
  EXPECT_TRUE(messages_.empty());
}

TEST_F(AccountsPageTest, EditAndDoubleClickChangeTheRecordOfTheCurrentNode) {
  Category(Table::kUser)->setExpanded(true);
  QTreeWidgetItem* alice = Category(Table::kUser)->child(0);
  page_->tree()->setCurrentItem(alice);
  bool key_read_only = false;
  page_->set_dialog_runner([&](QDialog& dialog) {
    key_read_only = dialog.findChild<QLineEdit*>("Alias")->isReadOnly();
    dialog.findChild<QLineEdit*>("Name")->setText("Alice Smith");
    dialog.accept();
    return dialog.result();
  });
  emit page_->tree()->itemDoubleClicked(alice, 0);
  EXPECT_TRUE(key_read_only);
  ASSERT_EQ(Calls("EditRecord"), 1);
  EXPECT_EQ(FieldText(store_->tables[Table::kUser][0].as<USERSTRUCT>().Name), "Alice Smith");
  ASSERT_NE(page_->tree()->currentItem(), nullptr);
  EXPECT_EQ(page_->tree()->currentItem()->text(0), "alice@example.com");
  const TableRecord* shown = AccountsPage::RecordOf(page_->tree()->currentItem());
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(FieldText(shown->as<USERSTRUCT>().Name), "Alice Smith");

  // A double click on a category edits nothing.
  emit page_->tree()->itemDoubleClicked(Category(Table::kUser), 0);
  EXPECT_EQ(Calls("EditRecord"), 1);
}

TEST_F(AccountsPageTest, RemoveAsksAndTakesTheNodeOut) {
  Category(Table::kUser)->setExpanded(true);
  page_->tree()->setCurrentItem(Category(Table::kUser)->child(1));
  QString question;
  int answer = QMessageBox::No;
  page_->set_dialog_runner([&](QDialog& dialog) {
    auto* box = qobject_cast<QMessageBox*>(&dialog);
    EXPECT_NE(box, nullptr);
    if (box) question = box->text();
    return answer;
  });
  page_->RemoveRecord();
  EXPECT_EQ(question, "Remove 'bob@*'?");
  EXPECT_EQ(Calls("DeleteRecord"), 0);
  answer = QMessageBox::Yes;
  page_->RemoveRecord();
  EXPECT_EQ(Calls("DeleteRecord"), 1);
  EXPECT_EQ(Children(Category(Table::kUser)), QStringList{"alice@example.com"});
  EXPECT_EQ(store_->tables[Table::kUser].size(), 1u);
  EXPECT_EQ(Calls("LoadTable"), 1);
}

TEST_F(AccountsPageTest, FailedStoreCallIsReportedAndLeavesTheTreeAsItWas) {
  Category(Table::kUser)->setExpanded(true);
  page_->tree()->setCurrentItem(Category(Table::kUser)->child(0));
  store_->broken = true;  // a local store fails without a change of mode
  page_->set_dialog_runner([](QDialog&) { return int(QMessageBox::Yes); });
  page_->RemoveRecord();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "The connection is broken!");
  EXPECT_EQ(Children(Category(Table::kUser)).size(), 2);

  Category(Table::kLists)->setExpanded(true);
  EXPECT_EQ(messages_.size(), 2u);
  EXPECT_FALSE(page_->loaded(Table::kLists));
  EXPECT_EQ(Children(Category(Table::kLists)), QStringList{"~"});
  EXPECT_FALSE(Category(Table::kLists)->isExpanded());
}

TEST_F(AccountsPageTest, MembersOfTheCurrentListInTheirDialog) {
  MEMBERSTRUCT member{};
  Put(member.Address, "ann@example.org");
  Put(member.Name, "Ann");
  store_->members["staff.mls"] = {member};
  Category(Table::kLists)->setExpanded(true);
  page_->tree()->setCurrentItem(Category(Table::kLists)->child(0));
  QString title;
  QStringList rows;
  page_->set_dialog_runner([&](QDialog& dialog) {
    title = dialog.windowTitle();
    auto* members = qobject_cast<MembersDialog*>(&dialog);
    if (members) {
      for (int i = 0; i < members->list()->count(); ++i) {
        rows.append(members->list()->item(i)->text());
      }
    }
    return int(QDialog::Accepted);
  });
  page_->EditMembers();
  EXPECT_EQ(title, "Members of mailing list  'staff@example.com'");
  EXPECT_EQ(rows, QStringList{"ann@example.org (Ann)"});
  // Once for the members under the list's node, once for the dialog.
  EXPECT_EQ(Calls("LoadMembers"), 2);
}

class RemoteAccountsPageTest : public AccountsPageTest {
 protected:
  RemoteAccountsPageTest() { remote_ = true; }
};

TEST_F(RemoteAccountsPageTest, ABrokenConnectionClosesTheDialogAndTheTreeStartsAgainLocally) {
  Category(Table::kUser)->setExpanded(true);
  ASSERT_TRUE(page_->loaded(Table::kUser));
  page_->tree()->setCurrentItem(Category(Table::kUser));
  store_->broken = true;
  int result = -1;
  page_->set_dialog_runner([&](QDialog& dialog) {
    dialog.findChild<QLineEdit*>("Alias")->setText("eve");
    dialog.accept();
    result = dialog.result();
    return result;
  });
  page_->AddRecord();
  store_ = nullptr;  // gone: the console went back to local mode
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_FALSE(context_->remote());
  EXPECT_EQ(messages_.at(0), "The connection is broken!");
  for (int i = 0; i < AccountsPage::kCategoryCount; ++i) {
    EXPECT_EQ(Children(page_->tree()->topLevelItem(i)), QStringList{"~"}) << i;
    EXPECT_FALSE(page_->loaded(AccountsPage::CategoryTable(i)));
  }
}

}  // namespace
}  // namespace qv::console::testing
