// The account tree in remote mode against the real qvctrl95 on a free loopback port, with a
// temporary system root: the tree shows the server's records and a record saved through a
// dialog lands in the server's table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QLineEdit>
#include <QTreeWidget>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "console/ui/accounts_page.h"
#include "console/ui/tests/qt_app_util.h"
#include "platform/registry.h"

namespace qv::console {
namespace {

class AccountsRemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TestApp();
    int port = qv::testing::FreeLoopbackPort();
    for (const char* dir : {"/temp", "/log", "/install"}) {
      ::mkdir((tables_.root() + dir).c_str(), 0755);
    }
    reg::Key key;
    reg::CreateKey(kControlKey, "QuorvaneControl", &key);
    reg::SetString(&key, "Domain", "example.test");
    reg::SetString(&key, "InstallPath", tables_.root() + "/install");
    reg::SetString(&key, "MailPath", tables_.mail());
    reg::SetString(&key, "TempPath", tables_.root() + "/temp");
    reg::SetString(&key, "LogPath", tables_.root() + "/log");
    reg::SetString(&key, "ConfigPath", tables_.config());
    reg::SetDword(&key, "Port", static_cast<uint32_t>(port));
    reg::SetDword(&key, "PasswordPort", static_cast<uint32_t>(qv::testing::FreeLoopbackPort()));
    reg::CloseKey(&key);
    USERSTRUCT admin = qv::testing::MakeUser("admin", "example.test", "secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(qv::AddRecord(tables_.system(), &admin), 0);
    ASSERT_TRUE(control_.Start("qvctrl95", port));

    ConnectOutcome connected =
        ConnectControl("127.0.0.1", "admin@example.test", "secret", static_cast<uint16_t>(port));
    ASSERT_TRUE(connected.store) << connected.error;
    context_ = std::make_unique<ConsoleContext>(std::move(connected.store));
    context_->set_message_sink(
        [this](const QString&, const QString& text) { messages_.push_back(text); });
    ASSERT_TRUE(context_->LoadSettings());
    page_ = std::make_unique<AccountsPage>(*context_);
  }

  qv::testing::ScopedSystemRoot root_;
  qv::testing::ScopedTables tables_{"example.test"};
  qv::testing::ServiceProcess control_;
  std::unique_ptr<ConsoleContext> context_;
  std::unique_ptr<AccountsPage> page_;
  std::vector<QString> messages_;
};

TEST_F(AccountsRemoteTest, TreeShowsTheServersUsersAndADialogsUserLandsInItsTable) {
  ASSERT_TRUE(context_->remote());
  QTreeWidgetItem* users = page_->category(Table::kUser);
  users->setExpanded(true);
  ASSERT_EQ(users->childCount(), 1);
  EXPECT_EQ(users->child(0)->text(0), "admin@example.test");

  page_->tree()->setCurrentItem(users);
  page_->set_dialog_runner([](QDialog& dialog) {
    dialog.findChild<QLineEdit*>("Alias")->setText("bob");
    dialog.findChild<QLineEdit*>("Domain")->setText("example.test");
    dialog.findChild<QLineEdit*>("Name")->setText("Bob");
    dialog.accept();
    return dialog.result();
  });
  page_->AddRecord();
  EXPECT_TRUE(messages_.empty()) << messages_[0].toStdString();
  USERSTRUCT bob{};
  ASSERT_EQ(FindRecord(tables_.system(), "bob", "example.test", &bob), 0);
  EXPECT_EQ(FieldText(bob.Name), "Bob");
  ASSERT_EQ(users->childCount(), 2);
  EXPECT_EQ(page_->tree()->currentItem(), users->child(1));
  EXPECT_EQ(users->child(1)->text(0), "bob@example.test");
}

}  // namespace
}  // namespace qv::console
