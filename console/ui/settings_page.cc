#include "console/ui/settings_page.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QTcpServer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "common/records.h"
#include "common/strings.h"
#include "console/ui/console_texts.h"
#include "console/ui/record_dialogs.h"

namespace qv::console {

QString QtFilter(const char* chooser) {
  QString text = QString::fromLatin1(chooser);
  const qsizetype bar = text.indexOf('|');
  if (bar < 0) return text;
  QString name = text.left(bar).trimmed();
  if (name.contains('(')) return name;
  QString patterns = text.mid(bar + 1);
  patterns.replace(';', ' ');
  return name + " (" + patterns + ")";
}

namespace {

class EnterFilter : public QObject {
 public:
  EnterFilter(QLineEdit* edit, std::function<void()> action)
      : QObject(edit), action_(std::move(action)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    action_();
    return true;
  }

 private:
  std::function<void()> action_;
};

}  // namespace

void OnEnter(QLineEdit* edit, std::function<void()> action) {
  edit->installEventFilter(new EnterFilter(edit, std::move(action)));
}

namespace {

struct Unit {
  const char* text;
  int32_t seconds;
};

// The units an interval of each kind is shown in, smallest first.
std::vector<Unit> UnitsOf(control::IntervalKind kind) {
  if (kind == control::IntervalKind::kSeconds)
    return {{kUnitSeconds, 1}, {kUnitMinutes, 60}, {kUnitHours, 3600}};
  return {{kUnitMinutes, 60}, {kUnitHours, 3600}, {kUnitDays, 86400}};
}

}  // namespace

IntervalEdit::IntervalEdit(control::IntervalKind kind, const QString& name, QWidget* parent)
    : QWidget(parent), kind_(kind), number_(new QSpinBox(this)), unit_(new QComboBox(this)) {
  setObjectName(name + "Interval");
  number_->setObjectName(name);
  unit_->setObjectName(name + "Unit");
  number_->setRange(0, std::numeric_limits<int>::max());
  for (const Unit& u : UnitsOf(kind)) unit_->addItem(QString::fromLatin1(u.text));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(number_, 1);
  row->addWidget(unit_);
  connect(number_, &QSpinBox::valueChanged, this, &IntervalEdit::changed);
  connect(unit_, &QComboBox::currentIndexChanged, this, &IntervalEdit::changed);
}

void IntervalEdit::SetSeconds(int32_t seconds) {
  int number = 0;
  const char* unit = nullptr;
  control::SplitInterval(seconds, kind_, &number, &unit);
  int index = 0;
  const std::vector<Unit> units = UnitsOf(kind_);
  for (size_t i = 0; i < units.size(); ++i)
    if (EqualsNoCase(unit, units[i].text)) index = static_cast<int>(i);
  number_->setValue(std::max(number, 0));
  unit_->setCurrentIndex(index);
  loaded_seconds_ = seconds;
  loaded_number_ = number_->value();
  loaded_unit_ = index;
}

void IntervalEdit::Rebase(int32_t seconds) {
  loaded_seconds_ = seconds;
  loaded_number_ = number_->value();
  loaded_unit_ = unit_->currentIndex();
}

int32_t IntervalEdit::Seconds() const {
  if (number_->value() == loaded_number_ && unit_->currentIndex() == loaded_unit_)
    return loaded_seconds_;
  const std::vector<Unit> units = UnitsOf(kind_);
  const int index = std::clamp(unit_->currentIndex(), 0, static_cast<int>(units.size()) - 1);
  const int64_t seconds = static_cast<int64_t>(number_->value()) * units[index].seconds;
  return static_cast<int32_t>(std::min<int64_t>(seconds, std::numeric_limits<int32_t>::max()));
}

ListEdit::ListEdit(const QString& name, size_t width, QWidget* parent)
    : QWidget(parent), width_(width), list_(new QListWidget(this)), entry_(new QLineEdit(this)) {
  setObjectName(name);
  list_->setObjectName(name + "List");
  entry_->setObjectName(name + "Entry");
  auto* add = new QPushButton(QString::fromLatin1(kAdd), this);
  auto* remove = new QPushButton(QString::fromLatin1(kRemove), this);
  add->setObjectName(name + "Add");
  remove->setObjectName(name + "Remove");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(list_, 1);
  auto* row = new QHBoxLayout;
  row->addWidget(entry_, 1);
  row->addWidget(add);
  row->addWidget(remove);
  column->addLayout(row);
  connect(add, &QPushButton::clicked, this, [this] {
    QString message;
    if (!AddEntry(&message) && !message.isEmpty()) emit refused(message);
  });
  OnEnter(entry_, [add] { add->click(); });
  connect(remove, &QPushButton::clicked, this, &ListEdit::RemoveSelected);
}

void ListEdit::SetText(const std::string& stored) {
  list_->clear();
  std::string_view rest = stored;
  while (!rest.empty()) {
    const size_t semi = rest.find(';');
    QString item = QString::fromStdString(std::string(rest.substr(0, semi))).trimmed();
    if (!item.isEmpty()) list_->addItem(item);
    if (semi == std::string_view::npos) break;
    rest.remove_prefix(semi + 1);
  }
  entry_->clear();
}

QStringList ListEdit::Entries() const {
  QStringList out;
  for (int i = 0; i < list_->count(); ++i) out << list_->item(i)->text();
  return out;
}

std::string ListEdit::Text() const {
  return Entries().join(';').toStdString();
}

bool ListEdit::AddEntry(QString* message) {
  const QString item = entry_->text().trimmed();
  // A separator inside an entry would split it into two when read back.
  if (item.isEmpty() || item.contains(';')) return false;
  for (const QString& existing : Entries())
    if (existing.compare(item, Qt::CaseInsensitive) == 0) return false;
  QStringList next = Entries();
  next << item;
  if (next.join(';').toStdString().size() + 1 > width_) {
    if (message != nullptr)
      *message = QString::fromStdString(Format(kListTooLong, static_cast<int>(width_ - 1)));
    return false;
  }
  list_->addItem(item);
  entry_->clear();
  emit changed();
  return true;
}

void ListEdit::RemoveSelected() {
  const int row = list_->currentRow();
  if (row < 0) return;
  std::unique_ptr<QListWidgetItem> taken(list_->takeItem(row));  // now ours to free
  emit changed();
}

void SettingsPage::Load() {
  for (Binding& b : bindings_) b.load(context().settings());
  LoadExtra();
  set_dirty(false);
}

void SettingsPage::Store() {
  for (Binding& b : bindings_) b.store(context().settings());
}

void SettingsPage::Bind(std::function<void(Settings&)> load, std::function<void(Settings&)> store) {
  bindings_.push_back({std::move(load), std::move(store)});
}

const SettingDef& SettingsPage::Row(SettingRecord record, const char* name) {
  const SettingDef* def = FindSetting(record, name);
  if (def == nullptr) std::abort();  // the page names a setting the table does not hold
  return *def;
}

namespace {

// The text as the field can hold it: up to a zero byte, cut to the width.
std::string_view Fitting(const SettingDef& def, std::string_view text) {
  text = text.substr(0, text.find('\0'));
  return text.substr(0, std::min(text.size(), def.width - 1));
}

}  // namespace

void SettingsPage::StoreText(Settings& settings, SettingRecord record, const char* name,
                             std::string_view text) {
  const SettingDef& def = Row(record, name);
  StoreSetting(settings, def, Fitting(def, text));
}

QLineEdit* SettingsPage::BindText(SettingRecord record, const char* name) {
  const SettingDef& def = Row(record, name);
  auto* edit = new QLineEdit(this);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setMaxLength(static_cast<int>(def.width - 1));
  Bind(
      [edit, &def](Settings& s) {
        edit->setText(
            QString::fromStdString(std::string(FieldText(SettingText(s, def), def.width))));
      },
      [edit, &def](Settings& s) {
        StoreSetting(s, def, Fitting(def, edit->text().toStdString()));
      });
  connect(edit, &QLineEdit::textChanged, this, [this] { MarkDirty(); });
  return edit;
}

QSpinBox* SettingsPage::BindNumber(SettingRecord record, const char* name,
                                   const char* object_name) {
  const SettingDef& def = Row(record, name);
  auto* spin = new QSpinBox(this);
  spin->setObjectName(QString::fromLatin1(object_name != nullptr ? object_name : name));
  spin->setRange(def.edit_lower, def.edit_upper);
  // A stored value outside the range is kept until the field is changed.
  auto loaded = std::make_shared<int32_t>(0);
  Bind(
      [spin, &def, loaded](Settings& s) {
        *loaded = SettingNumber(s, def);
        spin->setValue(*loaded);
      },
      [spin, &def, loaded](Settings& s) {
        if (spin->value() != std::clamp(*loaded, spin->minimum(), spin->maximum()))
          *loaded = spin->value();
        StoreSetting(s, def, *loaded);
      });
  connect(spin, &QSpinBox::valueChanged, this, [this] { MarkDirty(); });
  return spin;
}

QCheckBox* SettingsPage::BindFlag(const char* name, const QString& label, SettingRecord record,
                                  uint32_t bit) {
  const SettingDef& def = Row(record, "Flags");
  auto* box = new QCheckBox(label, this);
  box->setObjectName(QString::fromLatin1(name));
  Bind(
      [box, &def, bit](Settings& s) {
        box->setChecked((static_cast<uint32_t>(SettingNumber(s, def)) & bit) != 0);
      },
      [box, &def, bit](Settings& s) {
        uint32_t word = static_cast<uint32_t>(SettingNumber(s, def));
        word = box->isChecked() ? (word | bit) : (word & ~bit);
        StoreSetting(s, def, static_cast<int32_t>(word));
      });
  connect(box, &QCheckBox::toggled, this, [this] { MarkDirty(); });
  return box;
}

IntervalEdit* SettingsPage::BindInterval(SettingRecord record, const char* name) {
  const SettingDef& def = Row(record, name);
  const control::IntervalKind kind = def.conversion == SetConversion::kIdleInterval
                                         ? control::IntervalKind::kSeconds
                                         : control::IntervalKind::kMinutes;
  auto* edit = new IntervalEdit(kind, QString::fromLatin1(name), this);
  Bind([edit, &def](Settings& s) { edit->SetSeconds(SettingNumber(s, def)); },
       [edit, &def](Settings& s) {
         StoreSetting(s, def, edit->Seconds());
         edit->Rebase(SettingNumber(s, def));
       });
  connect(edit, &IntervalEdit::changed, this, [this] { MarkDirty(); });
  return edit;
}

ListEdit* SettingsPage::BindList(SettingRecord record, const char* name) {
  const SettingDef& def = Row(record, name);
  auto* edit = new ListEdit(QString::fromLatin1(name), def.width, this);
  Bind([edit, &def](
           Settings& s) { edit->SetText(std::string(FieldText(SettingText(s, def), def.width))); },
       [edit, &def](Settings& s) { StoreSetting(s, def, Fitting(def, edit->Text())); });
  connect(edit, &ListEdit::changed, this, [this] { MarkDirty(); });
  connect(edit, &ListEdit::refused, this,
          [this](const QString& message) { context().Message(kErrorTitle, message); });
  return edit;
}

QComboBox* SettingsPage::BindIndex(SettingRecord record, const char* name,
                                   const std::vector<QString>& items, const char* object_name) {
  const SettingDef& def = Row(record, name);
  auto* box = new QComboBox(this);
  box->setObjectName(QString::fromLatin1(object_name != nullptr ? object_name : name));
  for (const QString& item : items) box->addItem(item);
  auto loaded = std::make_shared<int32_t>(0);
  Bind(
      [box, &def, loaded](Settings& s) {
        *loaded = SettingNumber(s, def);
        box->setCurrentIndex(std::clamp(*loaded, 0, box->count() - 1));
      },
      [box, &def, loaded](Settings& s) {
        // A stored number without a name stays as it was unless another name is chosen.
        if (box->currentIndex() != std::clamp(*loaded, 0, box->count() - 1))
          *loaded = box->currentIndex();
        StoreSetting(s, def, *loaded);
      });
  connect(box, &QComboBox::currentIndexChanged, this, [this] { MarkDirty(); });
  return box;
}

QCheckBox* SettingsPage::BindSwitch(SettingRecord record, const char* name, const QString& label,
                                    const char* object_name) {
  const SettingDef& def = Row(record, name);
  auto* box = new QCheckBox(label, this);
  box->setObjectName(QString::fromLatin1(object_name != nullptr ? object_name : name));
  auto loaded = std::make_shared<int32_t>(0);
  Bind(
      [box, &def, loaded](Settings& s) {
        *loaded = SettingNumber(s, def);
        box->setChecked(*loaded != 0);
      },
      [box, &def, loaded](Settings& s) {
        if (box->isChecked() != (*loaded != 0)) *loaded = box->isChecked() ? 1 : 0;
        StoreSetting(s, def, *loaded);
      });
  connect(box, &QCheckBox::toggled, this, [this] { MarkDirty(); });
  return box;
}

namespace {

struct PortField {
  SettingRecord record;
  const char* name;
  const char* label;
  const char* widget;  // object name on its page
};

// The listening ports (the rows the settings table guards as such) as the console names them.
constexpr PortField kPortFields[] = {
    {SettingRecord::kSmtp, "Port", kSmtpPortName, "SmtpPort"},
    {SettingRecord::kPop3, "Port", kPop3PortName, "Pop3Port"},
    {SettingRecord::kSystem, "PasswordPort", kPasswordPortName, "PasswordPort"},
    {SettingRecord::kSystem, "Port", kControlPortName, ""},
};

// True when another program listens on `port` of this computer. A port the console may not
// bind (below 1024 without privileges) counts as free: the service runs with other rights.
bool PortInUse(int port) {
  QTcpServer probe;
  if (probe.listen(QHostAddress::AnyIPv4, static_cast<quint16>(port))) return false;
  return probe.serverError() == QAbstractSocket::AddressInUseError;
}

}  // namespace

std::optional<SettingsRefusal> CheckSettings(const Settings& before, const Settings& after,
                                             bool local) {
  auto number = [](const Settings& s, const PortField& field) {
    return SettingNumber(s, *FindSetting(field.record, field.name));
  };
  for (const PortField& field : kPortFields) {
    const int32_t port = number(after, field);
    if (port == number(before, field)) continue;
    const QString name = QString::fromLatin1(field.widget);
    for (const PortField& other : kPortFields) {
      if (&other == &field || number(after, other) != port) continue;
      return SettingsRefusal{
          QString::fromStdString(Format(kPortOfAnother, field.label, port, other.label, port)),
          name};
    }
    if (!local) continue;  // the ports of another host cannot be probed from here
    bool held_by_service = false;
    for (const PortField& other : kPortFields) held_by_service |= number(before, other) == port;
    if (!held_by_service && PortInUse(port))
      return SettingsRefusal{QString::fromStdString(Format(kPortInUse, field.label, port)), name};
  }
  const std::string_view forward = FieldText(after.smtp.ForwardUnknown);
  if (forward != FieldText(before.smtp.ForwardUnknown) && !IsMailAddressList(forward)) {
    return SettingsRefusal{NotAddressesText(QString::fromLatin1(kForwardUnknown)),
                           QStringLiteral("ForwardUnknown")};
  }
  return std::nullopt;
}

}  // namespace qv::console
