// The "Accounts" page: the tree of the six tables, each category loaded from the store when it
// is first expanded, with add, edit and remove through the record dialogs, and the members of
// a mailing list through "List Members".
//
// A category that has not been loaded holds one child "~". Expanding it removes that child and
// loads the table once (a later expansion loads nothing); Load(), called after every change of
// mode, puts every category back to "~". After a record was added or changed its category is
// loaded again, so that the tree shows the record as the store keeps it (the store fills an
// empty domain or mailbox); a removed record's node is taken out.
//
// A mailing list's node holds its members, "%s (%s)" of address and name, loaded with the lists
// and shown anew when "List Members" closes. A member file that cannot be read leaves its list
// without member nodes (its dialog reports why).
#pragma once

#include <QString>
#include <array>
#include <string>
#include <vector>

#include "common/records.h"
#include "console/store/console_store.h"
#include "console/ui/console_page.h"
#include "console/ui/record_dialogs.h"

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace qv::console {

class AccountsPage : public ConsolePage {
  Q_OBJECT

 public:
  explicit AccountsPage(ConsoleContext& context, QWidget* parent = nullptr);

  // Empties the tree: every category holds its "~" placeholder again and is loaded anew when
  // expanded (after a change of mode).
  void Load() override;

  // How the page runs its dialogs and the removal question (exec() by default).
  void set_dialog_runner(DialogRunner runner) { run_ = std::move(runner); }

  // The categories in their order, with their tables.
  static constexpr int kCategoryCount = 6;
  static Table CategoryTable(int index);
  QTreeWidget* tree() const { return tree_; }
  QTreeWidgetItem* category(Table table) const;
  bool loaded(Table table) const;
  // The record a node holds; null for a category, the placeholder or a member.
  static const TableRecord* RecordOf(const QTreeWidgetItem* item);
  // Whether a node is a member under its list's node.
  static bool IsMemberNode(const QTreeWidgetItem* item);
  // The node of a record in its category by the node text (without regard to case), or null.
  QTreeWidgetItem* FindNode(Table table, const std::string& text) const;

  // What the buttons do, on the current node: a new record in the current category; the record
  // of the current node changed or removed; the members of the current list (or of the list of
  // the current member).
  void AddRecord();
  void EditRecord();
  void RemoveRecord();
  void EditMembers();

 private:
  void Expanded(QTreeWidgetItem* item);
  // Loads a category's table into its nodes; on failure (reported) it is left unloaded.
  bool LoadCategory(int index);
  // Loads the members of a list's node into its children; false only when the connection
  // broke (reported).
  bool LoadMembers(QTreeWidgetItem* list_node);
  static void ShowMembers(QTreeWidgetItem* list_node, const std::vector<MEMBERSTRUCT>& members);
  void ResetCategory(int index);
  // Makes the node of a record just saved the current one, loading its category (again) first.
  void ShowRecord(const TableRecord& saved);
  QTreeWidgetItem* FindSaved(const TableRecord& saved) const;
  // The category of the current node, or -1.
  int CurrentCategory() const;
  void UpdateButtons();

  QTreeWidget* tree_;
  std::array<QTreeWidgetItem*, kCategoryCount> categories_{};
  std::array<bool, kCategoryCount> loaded_{};
  QPushButton* add_;
  QPushButton* edit_;
  QPushButton* remove_;
  QPushButton* members_;
  DialogRunner run_ = RunModal;
};

}  // namespace qv::console
