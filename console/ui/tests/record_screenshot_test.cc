// Pictures of the account tree with a list's members and of the record and member dialogs, into
// the folder named by QV_SCREENSHOT_DIR (the test command runs every ScreenshotTest under Xvfb);
// skipped without the variable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QPixmap>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>

#include "common/records.h"
#include "common/testing/table_env.h"
#include "console/ui/accounts_page.h"
#include "console/ui/members_dialog.h"
#include "console/ui/record_dialogs.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

void Picture(QWidget& widget, const char* dir, const char* name) {
  widget.show();
  QApplication::processEvents();
  const QString path = QString("%1/%2.png").arg(dir).arg(name);
  QPixmap picture = widget.grab();
  ASSERT_FALSE(picture.isNull());
  EXPECT_TRUE(picture.save(path, "PNG")) << path.toStdString();
  std::printf("screenshot %s\n", path.toUtf8().constData());
}

TEST(ScreenshotTest, AccountDialogs) {
  const char* dir = std::getenv("QV_SCREENSHOT_DIR");
  if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "QV_SCREENSHOT_DIR not set";
  TestApp();
  ::mkdir(dir, 0755);
  auto store = std::make_unique<FakeStore>();
  FakeStore& fake = *store;
  CopyField(store->settings.system.Domain, "example.test");
  LISTSTRUCT list{};
  CopyField(list.Name, "announcements");
  CopyField(list.Domain, "headquarters.example.test");
  CopyField(list.FileName, "/var/lib/quorvane/config/announcements-headquarters.mls");
  CopyField(list.OwnerUser, "admin");
  CopyField(list.OwnerDomain, "example.test");
  CopyField(list.LogFile, "/var/lib/quorvane/log/announcements-headquarters.txt");
  list.Options = kListPublic | kListLog;
  store->tables[Table::kLists].emplace_back(list);
  USERSTRUCT ann = qv::testing::MakeUser("ann", "example.test", "x", "ann");
  CopyField(ann.Name, "Ann Archer");
  CopyField(ann.CopyIncoming, "archive@example.test");
  store->tables[Table::kUser].emplace_back(ann);
  for (const auto& [address, name] : {std::pair{"ann@example.test", "Ann Archer"},
                                      {"bob@example.org", "Bob Baker"},
                                      {"carol@example.net", ""}}) {
    MEMBERSTRUCT member{};
    CopyField(member.Address, address);
    CopyField(member.Name, name);
    fake.members[std::string(FieldText(list.FileName))].push_back(member);
  }
  ConsoleContext context(std::move(store));
  context.settings() = fake.settings;
  context.set_message_sink([](const QString& title, const QString& text) {
    ADD_FAILURE() << title.toStdString() << ": " << text.toStdString();
  });

  AccountsPage page(context);
  page.resize(480, 360);
  page.category(Table::kLists)->setExpanded(true);
  page.category(Table::kLists)->child(0)->setExpanded(true);
  page.category(Table::kUser)->setExpanded(true);
  Picture(page, dir, "accounts-members");

  ListDialog edit_list(context, fake.tables[Table::kLists][0], false);
  Picture(edit_list, dir, "list-dialog");
  ResponderDialog responder(context, TableRecord(Table::kResponder), true);
  Picture(responder, dir, "responder-dialog");
  UserDialog user(context, fake.tables[Table::kUser][0], false);
  Picture(user, dir, "user-dialog");
  MembersDialog members(context, list);
  ASSERT_TRUE(members.Load());
  Picture(members, dir, "members-dialog");
}

}  // namespace
}  // namespace qv::console::testing
