#include "console/ui/accounts_page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <vector>

#include "common/strings.h"
#include "console/ui/accounts_texts.h"
#include "console/ui/members_dialog.h"

namespace qv::console {

namespace {

struct Category {
  const char* text;
  Table table;
};

constexpr Category kCategories[AccountsPage::kCategoryCount] = {
    {kCategoryUsers, Table::kUser},           {kCategoryLists, Table::kLists},
    {kCategoryResponders, Table::kResponder}, {kCategoryCommands, Table::kCommands},
    {kCategoryAccounts, Table::kAccounts},    {kCategoryRoutes, Table::kRoutes},
};

// Node types: a category, a record's node (which holds the record), a list's member.
constexpr int kCategoryNode = QTreeWidgetItem::UserType;
constexpr int kRecordNode = QTreeWidgetItem::UserType + 1;
constexpr int kMemberNode = QTreeWidgetItem::UserType + 2;

QString NodeString(const TableRecord& record) {
  return QString::fromStdString(record.NodeText());
}

class RecordNode : public QTreeWidgetItem {
 public:
  explicit RecordNode(TableRecord record)
      : QTreeWidgetItem(QStringList(NodeString(record)), kRecordNode), record_(std::move(record)) {}
  const TableRecord& record() const { return record_; }

 private:
  TableRecord record_;
};

}  // namespace

Table AccountsPage::CategoryTable(int index) {
  return kCategories[index].table;
}

AccountsPage::AccountsPage(ConsoleContext& context, QWidget* parent)
    : ConsolePage(context, parent) {
  auto* layout = new QVBoxLayout(this);
  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("AccountTree"));
  tree_->setColumnCount(1);
  tree_->header()->hide();
  // Every row has the same height: a table of thousands of records lays out at once.
  tree_->setUniformRowHeights(true);
  tree_->setSortingEnabled(false);
  for (int i = 0; i < kCategoryCount; ++i) {
    categories_[i] = new QTreeWidgetItem(
        tree_, QStringList(QString::fromLatin1(kCategories[i].text)), kCategoryNode);
    new QTreeWidgetItem(categories_[i], QStringList(QString::fromLatin1(kPlaceholder)));
  }
  layout->addWidget(tree_);

  auto* buttons = new QHBoxLayout;
  add_ = new QPushButton(QString::fromLatin1(kButtonAdd), this);
  edit_ = new QPushButton(QString::fromLatin1(kButtonEdit), this);
  remove_ = new QPushButton(QString::fromLatin1(kButtonRemove), this);
  members_ = new QPushButton(QString::fromLatin1(kButtonMembers), this);
  for (QPushButton* button : {add_, edit_, remove_, members_}) buttons->addWidget(button);
  buttons->addStretch();
  layout->addLayout(buttons);

  connect(tree_, &QTreeWidget::itemExpanded, this, &AccountsPage::Expanded);
  connect(tree_, &QTreeWidget::currentItemChanged, this, &AccountsPage::UpdateButtons);
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    // Either may reload the category, which frees `item`.
    if (RecordOf(item))
      EditRecord();
    else if (IsMemberNode(item))
      EditMembers();
  });
  connect(add_, &QPushButton::clicked, this, &AccountsPage::AddRecord);
  connect(edit_, &QPushButton::clicked, this, &AccountsPage::EditRecord);
  connect(remove_, &QPushButton::clicked, this, &AccountsPage::RemoveRecord);
  connect(members_, &QPushButton::clicked, this, &AccountsPage::EditMembers);
  connect(&context, &ConsoleContext::modeChanged, this, &AccountsPage::Load);
  UpdateButtons();
}

void AccountsPage::Load() {
  for (int i = 0; i < kCategoryCount; ++i) ResetCategory(i);
  set_dirty(false);
  UpdateButtons();
}

QTreeWidgetItem* AccountsPage::category(Table table) const {
  for (int i = 0; i < kCategoryCount; ++i) {
    if (kCategories[i].table == table) return categories_[i];
  }
  return nullptr;
}

bool AccountsPage::loaded(Table table) const {
  for (int i = 0; i < kCategoryCount; ++i) {
    if (kCategories[i].table == table) return loaded_[i];
  }
  return false;
}

const TableRecord* AccountsPage::RecordOf(const QTreeWidgetItem* item) {
  if (item == nullptr || item->type() != kRecordNode) return nullptr;
  return &static_cast<const RecordNode*>(item)->record();
}

bool AccountsPage::IsMemberNode(const QTreeWidgetItem* item) {
  return item != nullptr && item->type() == kMemberNode;
}

QTreeWidgetItem* AccountsPage::FindNode(Table table, const std::string& text) const {
  QTreeWidgetItem* parent = category(table);
  for (int i = 0; i < parent->childCount(); ++i) {
    const TableRecord* record = RecordOf(parent->child(i));
    if (record && EqualsNoCase(record->NodeText(), text)) return parent->child(i);
  }
  return nullptr;
}

QTreeWidgetItem* AccountsPage::FindSaved(const TableRecord& saved) const {
  if (QTreeWidgetItem* node = FindNode(saved.table(), saved.NodeText())) return node;
  // The store filled an empty domain: the first record of that name is the one.
  QTreeWidgetItem* parent = category(saved.table());
  for (int i = 0; i < parent->childCount(); ++i) {
    const TableRecord* record = RecordOf(parent->child(i));
    if (record && EqualsNoCase(record->Key(), saved.Key())) return parent->child(i);
  }
  return nullptr;
}

void AccountsPage::ResetCategory(int index) {
  QTreeWidgetItem* parent = categories_[index];
  loaded_[index] = false;
  parent->setExpanded(false);
  qDeleteAll(parent->takeChildren());
  new QTreeWidgetItem(parent, QStringList(QString::fromLatin1(kPlaceholder)));
}

void AccountsPage::Expanded(QTreeWidgetItem* item) {
  if (item->type() != kCategoryNode) return;
  for (int i = 0; i < kCategoryCount; ++i) {
    if (categories_[i] == item && !loaded_[i]) {
      LoadCategory(i);
      return;
    }
  }
}

bool AccountsPage::LoadCategory(int index) {
  Result<std::vector<TableRecord>> rows = [&] {
    WaitCursor wait;
    return context().store().LoadTable(kCategories[index].table);
  }();
  if (!context().Check(rows)) {
    // A broken connection has reset the tree already; either way the category waits for its
    // next expansion.
    ResetCategory(index);
    return false;
  }
  // The nodes are made first and inserted in one step: one change of the model, one layout.
  QList<QTreeWidgetItem*> nodes;
  nodes.reserve(static_cast<qsizetype>(rows->size()));
  for (TableRecord& record : rows.value()) {
    if (!record.Key().empty()) nodes.append(new RecordNode(std::move(record)));
  }
  if (kCategories[index].table == Table::kLists) {
    WaitCursor wait;
    for (QTreeWidgetItem* node : nodes) {
      if (LoadMembers(node)) continue;
      // The broken connection has reset the tree; these nodes never joined it.
      qDeleteAll(nodes);
      return false;
    }
  }
  QTreeWidgetItem* parent = categories_[index];
  tree_->setUpdatesEnabled(false);
  qDeleteAll(parent->takeChildren());
  parent->addChildren(nodes);
  tree_->setUpdatesEnabled(true);
  loaded_[index] = true;
  return true;
}

bool AccountsPage::LoadMembers(QTreeWidgetItem* list_node) {
  Result<std::vector<MEMBERSTRUCT>> members =
      context().store().LoadMembers(RecordOf(list_node)->as<LISTSTRUCT>());
  if (!members.ok()) {
    if (members.error() != kConnectionBroken) return true;
    context().Check(members);
    return false;
  }
  ShowMembers(list_node, *members);
  return true;
}

void AccountsPage::ShowMembers(QTreeWidgetItem* list_node,
                               const std::vector<MEMBERSTRUCT>& members) {
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(members.size()));
  for (const MEMBERSTRUCT& member : members)
    rows.append(new QTreeWidgetItem(QStringList(MemberRow(member)), kMemberNode));
  qDeleteAll(list_node->takeChildren());
  list_node->addChildren(rows);
}

void AccountsPage::ShowRecord(const TableRecord& saved) {
  QTreeWidgetItem* parent = category(saved.table());
  int index = static_cast<int>(std::find(categories_.begin(), categories_.end(), parent) -
                               categories_.begin());
  if (loaded_[index]) {
    if (!LoadCategory(index)) return;
    parent->setExpanded(true);
  } else {
    parent->setExpanded(true);  // loads it
    if (!loaded_[index]) return;
  }
  if (QTreeWidgetItem* node = FindSaved(saved)) tree_->setCurrentItem(node);
}

int AccountsPage::CurrentCategory() const {
  QTreeWidgetItem* item = tree_->currentItem();
  while (item && item->parent()) item = item->parent();
  for (int i = 0; i < kCategoryCount; ++i) {
    if (item && categories_[i] == item) return i;
  }
  return -1;
}

void AccountsPage::UpdateButtons() {
  const TableRecord* record = RecordOf(tree_->currentItem());
  add_->setEnabled(CurrentCategory() >= 0);
  edit_->setEnabled(record != nullptr);
  remove_->setEnabled(record != nullptr);
  members_->setEnabled((record != nullptr && record->table() == Table::kLists) ||
                       IsMemberNode(tree_->currentItem()));
}

void AccountsPage::AddRecord() {
  int index = CurrentCategory();
  if (index < 0) return;
  std::unique_ptr<RecordDialog> dialog =
      MakeRecordDialog(context(), TableRecord(kCategories[index].table), true, this);
  if (run_(*dialog) != QDialog::Accepted) return;
  ShowRecord(dialog->record());
}

void AccountsPage::EditRecord() {
  const TableRecord* current = RecordOf(tree_->currentItem());
  if (current == nullptr) return;
  // The node may be gone when the dialog returns (a change of mode empties the tree): the
  // dialog works on its own copy.
  std::unique_ptr<RecordDialog> dialog = MakeRecordDialog(context(), *current, false, this);
  if (run_(*dialog) != QDialog::Accepted) return;
  ShowRecord(dialog->record());
}

void AccountsPage::RemoveRecord() {
  const TableRecord* current = RecordOf(tree_->currentItem());
  if (current == nullptr) return;
  TableRecord record = *current;
  std::string text = record.NodeText();
  QMessageBox question(QMessageBox::Question, QString::fromLatin1(kRemoveTitle),
                       QString::fromStdString(Format(kRemoveQuestion, text.c_str())),
                       QMessageBox::Yes | QMessageBox::No, this);
  if (run_(question) != QMessageBox::Yes) return;
  Status removed;
  {
    WaitCursor wait;
    removed = context().store().DeleteRecord(record);
  }
  if (!context().Check(removed)) return;
  delete FindNode(record.table(), text);
}

void AccountsPage::EditMembers() {
  QTreeWidgetItem* item = tree_->currentItem();
  if (IsMemberNode(item)) item = item->parent();
  const TableRecord* current = RecordOf(item);
  if (current == nullptr || current->table() != Table::kLists) return;
  const std::string text = current->NodeText();
  MembersDialog dialog(context(), current->as<LISTSTRUCT>(), this);
  dialog.set_dialog_runner(run_);
  if (!dialog.Load()) return;
  run_(dialog);
  // The list's node is gone when a change of mode closed the dialog and emptied the tree.
  if (QTreeWidgetItem* list_node = FindNode(Table::kLists, text))
    ShowMembers(list_node, dialog.members());
}

}  // namespace qv::console
