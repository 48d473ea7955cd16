// The record dialogs of the account tree, one per table: every field of the record, the option
// bits as check boxes. OK checks the fields and adds or changes the record through the store;
// the dialog stays open when a field is refused or the store fails (both reported through the
// console's message sink), and closes as rejected when the console changes mode meanwhile.
//
// Key fields (the name, with the domain where the table has one; a route's destination) are
// read-only, and greyed out, when an existing record is edited: a new key is a new record.
// Where a field asks for mail addresses, what it holds must be addresses ("name@domain"); a list
// that sends to its owner (join requests without automatic joining, copies, owner-only sending)
// must name one. Each line grows to show the text it holds, within the screen.
//
// Texts are shown as UTF-8; a field the user left as shown keeps its stored bytes, so texts of
// another encoding survive an edit of the other fields. No text may hold "|" (the control
// service's record lines are separated by it) nor a line break (it ends a record line); the one
// multi-line field, an executable's keyword definitions, is stored with CR LF line ends and
// refused in remote mode when it has more than one line.
#pragma once

#include <QDialog>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "console/store/console_store.h"
#include "console/ui/console_page.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;
class QVBoxLayout;
class QWidget;

namespace qv::console {

// How a page runs a modal dialog: exec() by default. Tests run one from code instead (fill its
// fields, accept it) and never block on a modal loop.
using DialogRunner = std::function<int(QDialog&)>;
int RunModal(QDialog& dialog);

// One mail address and nothing else: "name@domain" as SplitAddress reads it, both parts given,
// without a display name, brackets, blanks or a second "@".
bool IsMailAddress(std::string_view text);
// Every item of a list separated by ";", "," or blanks is a mail address (true for no item).
bool IsMailAddressList(std::string_view text);
// The refusal of a field that must hold mail addresses (by its label).
QString NotAddressesText(const QString& label);

// Widens a line edit so that its text shows whole, but not beyond `limit` pixels.
void FitToText(QLineEdit* edit, int limit);

class RecordDialog : public QDialog {
  Q_OBJECT

 public:
  // `adding`: OK adds `record` (AddRecord), else it changes the record of the same key
  // (EditRecord).
  RecordDialog(ConsoleContext& context, const TableRecord& record, bool adding,
               QWidget* parent = nullptr);
  ~RecordDialog() override;

  bool adding() const { return adding_; }
  // The record as last saved (after OK), else as given.
  const TableRecord& record() const { return record_; }

  // The editor of a field by the record field's name ("Alias", "Keywords"), and the check box
  // of an option bit (OptionName). Every editor carries that object name.
  static QString OptionName(int32_t bit);

  // Checks the fields and saves the record; closes the dialog when that succeeded.
  void accept() override;

 protected:
  // Building the form (subclass constructors). `field` points into record()'s bytes.
  enum TextKind { kLine, kPassword, kMultiLine, kOpenFile, kSaveFile };
  template <size_t N>
  QWidget* AddText(const QString& label, const char* name, const char (&field)[N],
                   TextKind kind = kLine, const char* filter = nullptr) {
    return AddTextAt(label, name, static_cast<size_t>(field - Bytes()), N, kind, filter);
  }
  // Marks the last added text as part of the key: read-only on edit; refused when empty and
  // `required` (a domain left empty is filled by the store with the primary domain).
  void MarkKey(bool required = true);
  void AddOption(const QString& label, size_t options_offset, int32_t bit);
  void AddRow(const QString& label, QWidget* field);
  void Finish();

  ConsoleContext& context() { return context_; }
  const char* Bytes() const { return static_cast<const char*>(record_.data()); }
  QLineEdit* LineAt(const char* name) const;

  // Extra fields of a table written into `out`; false after a refusal (reported).
  virtual bool CollectMore(TableRecord& out) {
    (void)out;
    return true;
  }
  // Refuses through the message sink with the dialog's title; focuses `field` when given.
  bool Refuse(const QString& text, QWidget* field = nullptr);

 private:
  struct TextField;
  struct OptionField;

  QWidget* AddTextAt(const QString& label, const char* name, size_t offset, size_t width,
                     TextKind kind, const char* filter);
  bool Collect(TableRecord& out);
  void ChooseFile(QLineEdit* edit, TextKind kind, const char* filter);
  // The widest a line may grow: most of the screen.
  int WidthLimit() const;

  ConsoleContext& context_;
  TableRecord record_;
  bool adding_;
  QFormLayout* form_ = nullptr;
  QVBoxLayout* options_ = nullptr;
  std::vector<TextField> texts_;
  std::vector<OptionField> flags_;
};

// The mailbox of a user routed to a remote address, and the copy fields, hold addresses.
class UserDialog : public RecordDialog {
  Q_OBJECT
 public:
  UserDialog(ConsoleContext& context, const TableRecord& record, bool adding,
             QWidget* parent = nullptr);

 protected:
  bool CollectMore(TableRecord& out) override;
};

// A new list left without a member file gets "<ConfigPath>/<name>.mls" from the store. The
// option labels are the ones the list's documentation uses, with their shortcuts.
class ListDialog : public RecordDialog {
  Q_OBJECT
 public:
  ListDialog(ConsoleContext& context, const TableRecord& record, bool adding,
             QWidget* parent = nullptr);

 protected:
  bool CollectMore(TableRecord& out) override;
};

class ResponderDialog : public RecordDialog {
  Q_OBJECT
 public:
  ResponderDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                  QWidget* parent = nullptr);
};

class CommandDialog : public RecordDialog {
  Q_OBJECT
 public:
  CommandDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                QWidget* parent = nullptr);

 protected:
  bool CollectMore(TableRecord& out) override;
};

// The interval as a number and a unit ("Seconds", "Minutes", "Hours", "Days"); a new account
// starts with 2 hours.
class AccountDialog : public RecordDialog {
  Q_OBJECT
 public:
  AccountDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                QWidget* parent = nullptr);

  QSpinBox* interval_number() const { return number_; }
  QComboBox* interval_unit() const { return unit_; }

 protected:
  bool CollectMore(TableRecord& out) override;

 private:
  QSpinBox* number_;
  QComboBox* unit_;
};

// The type as a choice; a type value this console does not know is kept.
class RouteDialog : public RecordDialog {
  Q_OBJECT
 public:
  RouteDialog(ConsoleContext& context, const TableRecord& record, bool adding,
              QWidget* parent = nullptr);

  QComboBox* type() const { return type_; }

 protected:
  bool CollectMore(TableRecord& out) override;

 private:
  QComboBox* type_;
};

// The dialog of the record's table.
std::unique_ptr<RecordDialog> MakeRecordDialog(ConsoleContext& context, const TableRecord& record,
                                               bool adding, QWidget* parent = nullptr);

// Splits an interval in seconds into a number and an index of kIntervalUnits: the largest unit
// that divides it (minutes for 0).
void SplitInterval(int32_t seconds, int* number, int* unit);

}  // namespace qv::console
