#include "console/ui/settings_page.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "common/records.h"
#include "common/strings.h"
#include "console/ui/console_texts.h"

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
  connect(entry_, &QLineEdit::returnPressed, add, &QPushButton::click);
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

void SettingsPage::BindTextField(QLineEdit* edit, const char* name,
                                 std::function<FieldRef(Settings&)> get) {
  edit->setObjectName(QString::fromLatin1(name));
  Bind(
      [edit, get](Settings& s) {
        FieldRef f = get(s);
        edit->setMaxLength(static_cast<int>(f.width - 1));
        edit->setText(QString::fromStdString(std::string(FieldText(f.text, f.width))));
      },
      [edit, get](Settings& s) {
        FieldRef f = get(s);
        CopyField(f.text, f.width, edit->text().toStdString());
      });
  connect(edit, &QLineEdit::textChanged, this, [this] { MarkDirty(); });
}

QSpinBox* SettingsPage::BindNumber(const char* name, std::function<int32_t&(Settings&)> get,
                                   int minimum, int maximum) {
  auto* spin = new QSpinBox(this);
  spin->setObjectName(QString::fromLatin1(name));
  spin->setRange(minimum, maximum);
  // A stored value outside the range is kept until the field is changed.
  auto loaded = std::make_shared<int32_t>(0);
  Bind(
      [spin, get, loaded](Settings& s) {
        *loaded = get(s);
        spin->setValue(*loaded);
      },
      [spin, get, loaded](Settings& s) {
        if (spin->value() != std::clamp(*loaded, spin->minimum(), spin->maximum()))
          *loaded = spin->value();
        get(s) = *loaded;
      });
  connect(spin, &QSpinBox::valueChanged, this, [this] { MarkDirty(); });
  return spin;
}

QCheckBox* SettingsPage::BindFlag(const char* name, const QString& label,
                                  std::function<uint32_t&(Settings&)> word, uint32_t bit) {
  auto* box = new QCheckBox(label, this);
  box->setObjectName(QString::fromLatin1(name));
  Bind([box, word, bit](Settings& s) { box->setChecked((word(s) & bit) != 0); },
       [box, word, bit](Settings& s) {
         if (box->isChecked())
           word(s) |= bit;
         else
           word(s) &= ~bit;
       });
  connect(box, &QCheckBox::toggled, this, [this] { MarkDirty(); });
  return box;
}

IntervalEdit* SettingsPage::BindInterval(const char* name, control::IntervalKind kind,
                                         std::function<int32_t&(Settings&)> get) {
  auto* edit = new IntervalEdit(kind, QString::fromLatin1(name), this);
  Bind([edit, get](Settings& s) { edit->SetSeconds(get(s)); },
       [edit, get](Settings& s) {
         get(s) = edit->Seconds();
         edit->Rebase(get(s));
       });
  connect(edit, &IntervalEdit::changed, this, [this] { MarkDirty(); });
  return edit;
}

ListEdit* SettingsPage::BindList(const char* name, std::function<FieldRef(Settings&)> get) {
  FieldRef probe = get(context().settings());
  auto* edit = new ListEdit(QString::fromLatin1(name), probe.width, this);
  Bind(
      [edit, get](Settings& s) {
        FieldRef f = get(s);
        edit->SetText(std::string(FieldText(f.text, f.width)));
      },
      [edit, get](Settings& s) {
        FieldRef f = get(s);
        CopyField(f.text, f.width, edit->Text());
      });
  connect(edit, &ListEdit::changed, this, [this] { MarkDirty(); });
  connect(edit, &ListEdit::refused, this,
          [this](const QString& message) { context().Message(kErrorTitle, message); });
  return edit;
}

QComboBox* SettingsPage::BindIndex(const char* name, const std::vector<QString>& items,
                                   std::function<int32_t&(Settings&)> get) {
  auto* box = new QComboBox(this);
  box->setObjectName(QString::fromLatin1(name));
  for (const QString& item : items) box->addItem(item);
  auto loaded = std::make_shared<int32_t>(0);
  Bind(
      [box, get, loaded](Settings& s) {
        *loaded = get(s);
        box->setCurrentIndex(std::clamp(*loaded, 0, box->count() - 1));
      },
      [box, get, loaded](Settings& s) {
        // A stored number without a name stays as it was unless another name is chosen.
        if (box->currentIndex() != std::clamp(*loaded, 0, box->count() - 1))
          *loaded = box->currentIndex();
        get(s) = *loaded;
      });
  connect(box, &QComboBox::currentIndexChanged, this, [this] { MarkDirty(); });
  return box;
}

}  // namespace qv::console
