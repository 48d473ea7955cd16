// A page that edits fields of the settings: each field is bound to the widget that shows it, so
// that loading, storing and the dirty flag come from one list of bindings instead of code per
// field; what a field is (width, range, units) comes from the settings table. Every bound widget
// carries the field's name as its object name (the flag word for a bit, e.g. "USEDNS"), which is
// how tests find it; an interval's unit box is "<name>Unit".
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/settings_table.h"
#include "console/ui/console_page.h"
#include "control/options.h"

class QListWidget;

namespace qv::console {

// The system's "name|patterns" chooser text ("Program files|*.exe;*.com;*.bat") as a Qt file
// dialog filter ("Program files (*.exe *.com *.bat)"); a name that already shows its patterns
// keeps them.
QString QtFilter(const char* chooser);

// Enter (Return, or the keypad's Enter) in `edit` runs `action` and nothing else: the key does not
// reach the dialog, whose default button would otherwise close it or press another button.
void OnEnter(QLineEdit* edit, std::function<void()> action);

// An interval of seconds shown as a number and a unit: the units of the interval's kind (minutes,
// hours and days, or seconds, minutes and hours) and the split that the control service shows.
class IntervalEdit : public QWidget {
  Q_OBJECT

 public:
  IntervalEdit(control::IntervalKind kind, const QString& name, QWidget* parent = nullptr);

  void SetSeconds(int32_t seconds);
  // The interval as shown; the value given to SetSeconds when the number and unit are still the
  // ones it showed (a value the units cannot show exactly, e.g. 90 seconds in minutes, is not
  // rounded by a save that did not touch it). At most INT32_MAX.
  int32_t Seconds() const;
  // The value the widgets now show was stored as `seconds`: a later change is measured from
  // here.
  void Rebase(int32_t seconds);

  QSpinBox* number() const { return number_; }
  QComboBox* unit() const { return unit_; }

 signals:
  void changed();

 private:
  control::IntervalKind kind_;
  QSpinBox* number_;
  QComboBox* unit_;
  int32_t loaded_seconds_ = 0;
  int loaded_number_ = 0;
  int loaded_unit_ = 0;
};

// A list of texts kept in one setting with a separator (the local domains, the responder
// exception masks): a list with an entry line, Add and Remove. Entries are trimmed, empty ones
// and repeats (without regard to case) are not added, and an entry that would make the stored
// text longer than its field is refused with a message. Enter in the entry line means Add.
class ListEdit : public QWidget {
  Q_OBJECT

 public:
  ListEdit(const QString& name, size_t width, QWidget* parent = nullptr);

  void SetText(const std::string& stored);
  std::string Text() const;
  // Adds the entry line's text; false when it was refused (too long: `message` tells why).
  bool AddEntry(QString* message = nullptr);
  void RemoveSelected();
  QStringList Entries() const;

  QListWidget* list() const { return list_; }
  QLineEdit* entry() const { return entry_; }

 signals:
  void changed();
  void refused(const QString& message);

 private:
  size_t width_;
  QListWidget* list_;
  QLineEdit* entry_;
};

// What saving the settings would refuse or regret, found before they leave the console, with a
// text that names the field: a listening port (SMTP, POP3, password and control service) changed
// to the port of another of them or, on this computer (`local`), to one that another program
// listens on (a port that one of the services held before is theirs to give up); an address list
// for mail to unknown users that holds something else. Only values changed from `before` are
// judged, as the store does. `field` is the object name of the widget showing the value (empty
// when no page shows it).
struct SettingsRefusal {
  QString text;
  QString field;
};
std::optional<SettingsRefusal> CheckSettings(const Settings& before, const Settings& after,
                                             bool local);

class SettingsPage : public ConsolePage {
  Q_OBJECT

 public:
  using ConsolePage::ConsolePage;

  // The bound fields from the settings, then LoadExtra; the page is clean afterwards.
  void Load() override;
  // The bound fields into the settings.
  void Store() override;

 protected:
  // What a page loads besides its bound fields (lists from the store, states).
  virtual void LoadExtra() {}

  // For the lists a page only offers as choices (phone-book entries, groups): true when `result`
  // holds them. Only a broken connection is reported; any other failure leaves the choice empty
  // and the field free to type in.
  template <class T>
  bool Choices(const Result<T>& result) {
    if (result.ok()) return true;
    if (result.error() == kConnectionBroken) context().Check(result);
    return false;
  }

  // Bindings of a setting of the settings table, found by its record and registry name: the
  // widget is made, named (by the setting's name unless `object_name` is given), limited to the
  // setting's width or the range the console offers for it, bound, and marks the page dirty when
  // it changes. Stored values go through the table's check.
  QLineEdit* BindText(SettingRecord record, const char* name);
  QSpinBox* BindNumber(SettingRecord record, const char* name, const char* object_name = nullptr);
  // A bit of the record's flag word.
  QCheckBox* BindFlag(const char* name, const QString& label, SettingRecord record, uint32_t bit);
  // The interval's units follow its SET conversion (minutes-like or seconds-like).
  IntervalEdit* BindInterval(SettingRecord record, const char* name);
  ListEdit* BindList(SettingRecord record, const char* name);
  // A combo box whose index is the number (the log level).
  QComboBox* BindIndex(SettingRecord record, const char* name, const std::vector<QString>& items,
                       const char* object_name = nullptr);
  // A check box for a number that is 1 (checked) or 0; a stored other number is kept until the
  // box is changed.
  QCheckBox* BindSwitch(SettingRecord record, const char* name, const QString& label,
                        const char* object_name = nullptr);
  // Any other widget: how it loads, how it stores; call MarkDirty from its change signal.
  // StoreText stores a text of such a widget into a setting, cut to the setting's width.
  void StoreText(Settings& settings, SettingRecord record, const char* name, std::string_view text);
  void Bind(std::function<void(Settings&)> load, std::function<void(Settings&)> store);

 private:
  // The row of a bound setting; a name the table does not hold is a fault of the page.
  static const SettingDef& Row(SettingRecord record, const char* name);

  struct Binding {
    std::function<void(Settings&)> load;
    std::function<void(Settings&)> store;
  };
  std::vector<Binding> bindings_;
};

}  // namespace qv::console
