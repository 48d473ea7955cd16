// "List Members": the members of one mailing list, from the store, with adding (an address and
// a name typed in, or users picked in "Local Users") and removing. Every change goes to the
// store at once; the list shows what was changed without loading the members again. Failures
// are reported through the console's message sink; a change of mode closes the dialog. Enter in
// the address or name line means Add.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

#include "common/records.h"
#include "console/ui/console_page.h"
#include "console/ui/record_dialogs.h"

class QLineEdit;
class QListWidget;

namespace qv::console {

class MembersDialog : public QDialog {
  Q_OBJECT

 public:
  MembersDialog(ConsoleContext& context, const LISTSTRUCT& list, QWidget* parent = nullptr);

  // Loads the members (with the wait cursor); false after a failure, which was reported.
  bool Load();

  // How the "Local Users" dialog is run (exec() by default).
  void set_dialog_runner(DialogRunner runner) { run_ = std::move(runner); }

  // Adds one member after checking it: a mail address given, no "|" or line break, the field
  // widths, not a member yet (compared without regard to case). False after a refusal (reported
  // with the dialog's title) or a failure.
  bool AddMember(const QString& address, const QString& name);
  // Removes the selected members; false when one could not be removed.
  bool RemoveSelected();
  // Runs "Local Users" and adds the users chosen there.
  void AddLocalUsers();

  QListWidget* list() const { return rows_; }
  QLineEdit* address_edit() const { return address_; }
  QLineEdit* name_edit() const { return name_; }
  const std::vector<MEMBERSTRUCT>& members() const { return members_; }

 private:
  void ShowRows();

  ConsoleContext& context_;
  LISTSTRUCT list_;
  std::vector<MEMBERSTRUCT> members_;
  DialogRunner run_ = RunModal;
  QListWidget* rows_;
  QLineEdit* address_;
  QLineEdit* name_;
};

// The row text of a member: "%s (%s)" of address and name.
QString MemberRow(const MEMBERSTRUCT& member);

}  // namespace qv::console
