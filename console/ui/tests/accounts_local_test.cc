// The account tree and its dialogs against the real local store in a temporary system root: what
// the dialogs save is in the table and member files.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/table_env.h"
#include "console/ui/accounts_page.h"
#include "console/ui/members_dialog.h"
#include "console/ui/tests/qt_app_util.h"

namespace qv::console {
namespace {

class AccountsLocalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TestApp();
    context_ = std::make_unique<ConsoleContext>(MakeLocalStore());
    context_->set_message_sink(
        [this](const QString&, const QString& text) { messages_.push_back(text); });
    ASSERT_TRUE(context_->LoadSettings());
    page_ = std::make_unique<AccountsPage>(*context_);
  }

  // Runs the page's next dialog: fills the named fields and accepts it.
  void Fill(std::vector<std::pair<const char*, QString>> fields) {
    page_->set_dialog_runner([fields](QDialog& dialog) {
      if (qobject_cast<QMessageBox*>(&dialog)) return int(QMessageBox::Yes);
      for (const auto& [name, text] : fields) dialog.findChild<QLineEdit*>(name)->setText(text);
      dialog.accept();
      return dialog.result();
    });
  }
  // The records of a table as a fresh store reads them from the files.
  std::vector<TableRecord> Rows(qv::Table table) {
    Result<std::vector<TableRecord>> rows = MakeLocalStore()->LoadTable(table);
    EXPECT_TRUE(rows.ok()) << rows.error();
    return rows.ok() ? rows.value() : std::vector<TableRecord>{};
  }
  std::vector<std::string> IndexKeys(qv::Table table) {
    std::vector<std::string> keys;
    for (const auto& [key, offset] :
         qv::testing::ReadIndexEntries(GetTablePaths(env_.system(), table).index)) {
      keys.push_back(key);
    }
    return keys;
  }

  qv::testing::ToolEnv env_{"example.test"};
  std::unique_ptr<ConsoleContext> context_;
  std::unique_ptr<AccountsPage> page_;
  std::vector<QString> messages_;
};

TEST_F(AccountsLocalTest, AddEditAndRemoveAUserThroughTheTableFiles) {
  QTreeWidgetItem* users = page_->category(qv::Table::kUser);
  users->setExpanded(true);
  EXPECT_EQ(users->childCount(), 0);
  page_->tree()->setCurrentItem(users);
  Fill({{"Alias", "bob"}, {"Password", "pw"}, {"Name", "Bob"}});
  page_->AddRecord();
  ASSERT_TRUE(messages_.empty()) << messages_[0].toStdString();
  EXPECT_EQ(IndexKeys(qv::Table::kUser), std::vector<std::string>{"bob"});
  // The store gave the empty domain the primary one, and the node shows it.
  ASSERT_EQ(users->childCount(), 1);
  EXPECT_EQ(users->child(0)->text(0), "bob@example.test");
  EXPECT_EQ(page_->tree()->currentItem(), users->child(0));

  Fill({{"Name", "Robert"}});
  page_->EditRecord();
  std::vector<TableRecord> rows = Rows(qv::Table::kUser);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(FormatRecordLine(qv::Table::kUser, rows[0].data()),
            "bob|example.test|pw|Robert|bob||0|||||");

  // A second user of the same address is refused by the store, and reported.
  page_->tree()->setCurrentItem(users);
  int runs = 0;
  page_->set_dialog_runner([&](QDialog& dialog) {
    dialog.findChild<QLineEdit*>("Alias")->setText("BOB");
    dialog.findChild<QLineEdit*>("Domain")->setText("example.test");
    dialog.accept();
    ++runs;
    return dialog.result();
  });
  page_->AddRecord();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_EQ(IndexKeys(qv::Table::kUser).size(), 1u);

  page_->tree()->setCurrentItem(users->child(0));
  Fill({});
  page_->RemoveRecord();
  EXPECT_TRUE(Rows(qv::Table::kUser).empty());
  EXPECT_EQ(users->childCount(), 0);
}

TEST_F(AccountsLocalTest, NewListGetsItsMemberFileAndMembersLandInIt) {
  page_->tree()->setCurrentItem(page_->category(qv::Table::kLists));
  Fill({{"Name", "staff"}, {"Description", "All of us"}});
  page_->AddRecord();
  ASSERT_TRUE(messages_.empty()) << messages_[0].toStdString();
  std::vector<TableRecord> lists = Rows(qv::Table::kLists);
  ASSERT_EQ(lists.size(), 1u);
  const LISTSTRUCT& list = lists[0].as<LISTSTRUCT>();
  EXPECT_EQ(FieldText(list.FileName), env_.config() + "/staff.mls");

  MembersDialog members(*context_, list);
  EXPECT_EQ(members.windowTitle(), "Members of mailing list  'staff@example.test'");
  ASSERT_TRUE(members.Load());
  EXPECT_EQ(members.list()->count(), 0);
  EXPECT_TRUE(members.AddMember("ann@example.org", "Ann"));
  EXPECT_TRUE(members.AddMember("bob@example.org", ""));
  Result<std::vector<MEMBERSTRUCT>> stored = MakeLocalStore()->LoadMembers(list);
  ASSERT_TRUE(stored.ok());
  ASSERT_EQ(stored->size(), 2u);
  EXPECT_EQ(FormatMemberLine((*stored)[1]), "bob@example.org|");

  members.list()->item(0)->setSelected(true);
  EXPECT_TRUE(members.RemoveSelected());
  stored = MakeLocalStore()->LoadMembers(list);
  ASSERT_TRUE(stored.ok());
  ASSERT_EQ(stored->size(), 1u);
  EXPECT_EQ(FormatMemberLine((*stored)[0]), "bob@example.org|");
  EXPECT_TRUE(messages_.empty());
}

}  // namespace
}  // namespace qv::console
