#include "console/ui/record_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "common/accounts.h"
#include "common/address.h"
#include "common/strings.h"
#include "console/ui/accounts_texts.h"
#include "mail/mail_util.h"

namespace qv::console {

namespace {

QString FromField(const char* bytes, size_t offset, size_t width) {
  std::string_view text = FieldText(bytes + offset, width);
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

int32_t NumberAt(const TableRecord& record, size_t offset) {
  int32_t value;
  std::memcpy(&value, static_cast<const char*>(record.data()) + offset, sizeof value);
  return value;
}

void SetNumberAt(TableRecord& record, size_t offset, int32_t value) {
  std::memcpy(static_cast<char*>(record.data()) + offset, &value, sizeof value);
}

QString Fmt(const char* format, const QString& arg) {
  return QString::fromStdString(Format(format, arg.toStdString().c_str()));
}

}  // namespace

int RunModal(QDialog& dialog) {
  return dialog.exec();
}

bool IsMailAddress(std::string_view text) {
  text = Trim(text);
  std::string local, domain;
  if (SplitAddress(text, &local, &domain) != 1 || local.empty() || domain.empty()) return false;
  // What the parser took is the whole text: nothing around the address, one "@", and none of
  // the separators of an address list.
  return local.size() + 1 + domain.size() == text.size() && domain.find('@') == std::string::npos &&
         text.find_first_of(",;") == std::string::npos;
}

bool IsMailAddressList(std::string_view text) {
  for (const std::string& item : mail::SplitAddressList(text))
    if (!IsMailAddress(item)) return false;
  return true;
}

QString NotAddressesText(const QString& label) {
  return Fmt(kFieldNotAddresses, label);
}

void FitToText(QLineEdit* edit, int limit) {
  const QFontMetrics metrics = edit->fontMetrics();
  // The frame and the text margins take about two characters.
  const int wanted = metrics.horizontalAdvance(edit->text()) + metrics.averageCharWidth() * 3;
  edit->setMinimumWidth(std::min(std::max(wanted, edit->minimumSizeHint().width()), limit));
}

struct RecordDialog::TextField {
  QString label;
  size_t offset;
  size_t width;
  TextKind kind;
  bool required = false;
  QLineEdit* line = nullptr;       // every kind but kMultiLine
  QPlainTextEdit* text = nullptr;  // kMultiLine
  QString shown = {};              // the text as the dialog opened with it
};

struct RecordDialog::OptionField {
  size_t offset;
  int32_t bit;
  QCheckBox* box;
};

RecordDialog::RecordDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                           QWidget* parent)
    : QDialog(parent), context_(context), record_(record), adding_(adding) {
  auto* layout = new QVBoxLayout(this);
  form_ = new QFormLayout;
  form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  layout->addLayout(form_);
  setMinimumWidth(fontMetrics().averageCharWidth() * 64);
  // A record read from one store is never saved into another.
  connect(&context_, &ConsoleContext::modeChanged, this, &QDialog::reject);
}

RecordDialog::~RecordDialog() = default;

QString RecordDialog::OptionName(int32_t bit) {
  return QStringLiteral("Option%1").arg(bit);
}

QWidget* RecordDialog::AddTextAt(const QString& label, const char* name, size_t offset,
                                 size_t width, TextKind kind, const char* filter) {
  TextField field{label, offset, width, kind};
  field.shown = FromField(Bytes(), offset, width);
  QWidget* row;
  if (kind == kMultiLine) {
    field.shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    field.text = new QPlainTextEdit(this);
    field.text->setPlainText(field.shown);
    field.text->setObjectName(QString::fromLatin1(name));
    field.text->setTabChangesFocus(true);
    field.text->setFixedHeight(field.text->fontMetrics().lineSpacing() * 5);
    row = field.text;
  } else {
    field.line = new QLineEdit(field.shown, this);
    field.line->setObjectName(QString::fromLatin1(name));
    field.line->setMaxLength(static_cast<int>(width) - 1);
    if (kind == kPassword) field.line->setEchoMode(QLineEdit::Password);
    row = field.line;
    // The files of a remote server are not on this machine: no chooser there.
    if ((kind == kOpenFile || kind == kSaveFile) && !context_.remote()) {
      auto* box = new QWidget(this);
      auto* h = new QHBoxLayout(box);
      h->setContentsMargins(0, 0, 0, 0);
      h->addWidget(field.line);
      auto* choose = new QToolButton(box);
      choose->setText(QString::fromLatin1(kChooseButton));
      QLineEdit* edit = field.line;
      connect(choose, &QToolButton::clicked, this,
              [this, edit, kind, filter] { ChooseFile(edit, kind, filter); });
      h->addWidget(choose);
      row = box;
    }
  }
  form_->addRow(label, row);
  QWidget* editor = field.line ? static_cast<QWidget*>(field.line) : field.text;
  texts_.push_back(std::move(field));
  return editor;
}

void RecordDialog::MarkKey(bool required) {
  TextField& field = texts_.back();
  field.required = required;
  if (!adding_ && field.line) {
    // Greyed out as well: a read-only line that looks like the others invites typing.
    field.line->setReadOnly(true);
    field.line->setEnabled(false);
  }
}

void RecordDialog::AddOption(const QString& label, size_t options_offset, int32_t bit) {
  if (!options_) {
    auto* group = new QGroupBox(QStringLiteral("Options"), this);
    options_ = new QVBoxLayout(group);
    form_->addRow(group);
  }
  auto* box = new QCheckBox(label, this);
  box->setObjectName(OptionName(bit));
  box->setChecked((NumberAt(record_, options_offset) & bit) != 0);
  options_->addWidget(box);
  flags_.push_back({options_offset, bit, box});
}

void RecordDialog::AddRow(const QString& label, QWidget* field) {
  form_->addRow(label, field);
}

int RecordDialog::WidthLimit() const {
  const QScreen* shown_on = screen();
  return shown_on ? shown_on->availableGeometry().width() * 2 / 3
                  : fontMetrics().averageCharWidth() * 120;
}

void RecordDialog::Finish() {
  const int limit = WidthLimit();
  for (const TextField& field : texts_)
    if (field.line && field.kind != kPassword) FitToText(field.line, limit);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &RecordDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  static_cast<QVBoxLayout*>(layout())->addWidget(buttons);
}

QLineEdit* RecordDialog::LineAt(const char* name) const {
  for (const TextField& field : texts_) {
    if (field.line && field.line->objectName() == QLatin1String(name)) return field.line;
  }
  return nullptr;
}

bool RecordDialog::Refuse(const QString& text, QWidget* field) {
  context_.Message(windowTitle(), text);
  if (field) field->setFocus();
  return false;
}

void RecordDialog::ChooseFile(QLineEdit* edit, TextKind kind, const char* filter) {
  QString chosen =
      kind == kOpenFile
          ? QFileDialog::getOpenFileName(this, QString(), edit->text(), QString::fromLatin1(filter))
          : QFileDialog::getSaveFileName(this, QString(), edit->text(), QString::fromLatin1(filter),
                                         nullptr, QFileDialog::DontConfirmOverwrite);
  if (chosen.isEmpty()) return;
  edit->setText(chosen);
  FitToText(edit, WidthLimit());
  resize(std::max(width(), sizeHint().width()), height());
}

bool RecordDialog::Collect(TableRecord& out) {
  char* bytes = static_cast<char*>(out.data());
  for (TextField& field : texts_) {
    QWidget* editor = field.line ? static_cast<QWidget*>(field.line) : field.text;
    QString text = field.line ? field.line->text() : field.text->toPlainText();
    if (field.required && text.trimmed().isEmpty())
      return Refuse(Fmt(kFieldEmpty, field.label), editor);
    if (text.contains(QLatin1Char('|'))) return Refuse(Fmt(kFieldHasBar, field.label), editor);
    if (field.kind != kMultiLine &&
        (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')))) {
      return Refuse(Fmt(kFieldHasLineBreak, field.label), editor);
    }
    if (text == field.shown) continue;  // the stored bytes stay as they are
    if (field.kind == kMultiLine) {
      text.remove(QLatin1Char('\r'));
      text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    }
    QByteArray utf8 = text.toUtf8();
    if (static_cast<size_t>(utf8.size()) > field.width - 1) {
      return Refuse(QString::fromStdString(Format(kFieldTooLong, field.label.toStdString().c_str(),
                                                  static_cast<int>(field.width) - 1)),
                    editor);
    }
    std::memset(bytes + field.offset, 0, field.width);
    std::memcpy(bytes + field.offset, utf8.constData(), static_cast<size_t>(utf8.size()));
  }
  for (const OptionField& flag : flags_) {
    int32_t options = NumberAt(out, flag.offset);
    options = flag.box->isChecked() ? (options | flag.bit) : (options & ~flag.bit);
    SetNumberAt(out, flag.offset, options);
  }
  return CollectMore(out);
}

void RecordDialog::accept() {
  TableRecord out = record_;
  if (!Collect(out)) return;
  Status status;
  {
    WaitCursor wait;
    status = adding_ ? context_.store().AddRecord(out) : context_.store().EditRecord(out);
  }
  // A failure is reported; after a broken connection the change of mode has closed the dialog.
  if (!context_.Check(status)) return;
  record_ = out;
  QDialog::accept();
}

// The user: the address and password, where the mail goes, and what else happens to it.
UserDialog::UserDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                       QWidget* parent)
    : RecordDialog(context, record, adding, parent) {
  setWindowTitle(QString::fromLatin1(kUserTitle));
  const auto& r = this->record().as<USERSTRUCT>();
  AddText(QStringLiteral("Alias"), "Alias", r.Alias);
  MarkKey();
  AddText(QStringLiteral("Domain"), "Domain", r.Domain);
  MarkKey(false);
  AddText(QStringLiteral("Password"), "Password", r.Password, kPassword);
  // No service lets a user without a password log on: the note says so while it is empty.
  auto* note = new QLabel(QString::fromLatin1(kNoPasswordNote), this);
  note->setObjectName(QStringLiteral("NoPasswordNote"));
  AddRow(QString(), note);
  QLineEdit* password = LineAt("Password");
  note->setVisible(password->text().isEmpty());
  connect(password, &QLineEdit::textChanged, note,
          [note](const QString& text) { note->setVisible(text.isEmpty()); });
  AddText(QStringLiteral("Full name"), "Name", r.Name);
  AddText(QStringLiteral("Mailbox"), "Mailbox", r.Mailbox);
  AddText(QStringLiteral("POP account"), "PopAccount", r.PopAccount);
  AddText(QStringLiteral("Copy incoming mail to"), "CopyIncoming", r.CopyIncoming);
  AddText(QStringLiteral("Copy outgoing mail to"), "CopyOutgoing", r.CopyOutgoing);
  AddText(QStringLiteral("Respond with"), "Responder", r.Responder);
  AddText(QStringLiteral("Add senders to list"), "MailingList", r.MailingList);
  const size_t options = offsetof(USERSTRUCT, Options);
  AddOption(QStringLiteral("Route to the remote address in Mailbox"), options, kUserRemote);
  AddOption(QStringLiteral("Fetch from the POP account"), options, kUserPopLookup);
  AddOption(QStringLiteral("Administrator"), options, kUserAdmin);
  AddOption(QStringLiteral("List manager"), options, kUserListManager);
  AddOption(QStringLiteral("Respond with the auto responder"), options, kUserRespond);
  AddOption(QStringLiteral("Add senders to the mailing list"), options, kUserJoinList);
  Finish();
}

bool UserDialog::CollectMore(TableRecord& out) {
  const auto& user = out.as<USERSTRUCT>();
  if ((user.Options & kUserRemote) != 0 && !IsMailAddress(FieldText(user.Mailbox)))
    return Refuse(Fmt(kFieldNotAddress, QStringLiteral("Mailbox")), LineAt("Mailbox"));
  const struct {
    const char* label;
    const char* name;
    std::string_view text;
  } copies[] = {{"Copy incoming mail to", "CopyIncoming", FieldText(user.CopyIncoming)},
                {"Copy outgoing mail to", "CopyOutgoing", FieldText(user.CopyOutgoing)}};
  for (const auto& copy : copies) {
    if (!IsMailAddressList(copy.text))
      return Refuse(NotAddressesText(QString::fromLatin1(copy.label)), LineAt(copy.name));
  }
  return true;
}

ListDialog::ListDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                       QWidget* parent)
    : RecordDialog(context, record, adding, parent) {
  setWindowTitle(QString::fromLatin1(kListTitle));
  const auto& r = this->record().as<LISTSTRUCT>();
  AddText(QStringLiteral("Name"), "Name", r.Name);
  MarkKey();
  AddText(QStringLiteral("Domain"), "Domain", r.Domain);
  MarkKey(false);
  AddText(QStringLiteral("Description"), "Description", r.Description);
  AddText(QStringLiteral("Member file"), "FileName", r.FileName, kSaveFile, kFilterLists);
  AddText(QStringLiteral("Owner"), "OwnerUser", r.OwnerUser);
  AddText(QStringLiteral("Owner's domain"), "OwnerDomain", r.OwnerDomain);
  AddText(QStringLiteral("Respond to new members with"), "Responder", r.Responder);
  AddText(QStringLiteral("Log activities to"), "LogFile", r.LogFile, kSaveFile, kFilterTexts);
  const size_t options = offsetof(LISTSTRUCT, Options);
  AddOption(QStringLiteral("List is p&ublic"), options, kListPublic);
  AddOption(QStringLiteral("Allow new &members to join automatically"), options, kListAutoJoin);
  AddOption(QStringLiteral("On&ly list owner can send messages to the list"), options,
            kListOwnerSends);
  AddOption(QStringLiteral("S&end copy of messages to list owner"), options, kListCopyOwner);
  AddOption(QStringLiteral("List members not &visible by query"), options, kListHidden);
  AddOption(QStringLiteral("&Respond to new members"), options, kListRespond);
  AddOption(QStringLiteral("Log lis&t activities to file:"), options, kListLog);
  Finish();
}

bool ListDialog::CollectMore(TableRecord& out) {
  const auto& list = out.as<LISTSTRUCT>();
  if (!Trim(FieldText(list.OwnerUser)).empty()) return true;
  // Without automatic joining a join request is mailed to the owner; the other two options
  // send to the owner or accept mail from the owner only.
  if ((list.Options & kListAutoJoin) == 0)
    return Refuse(Fmt(kOwnerForJoin, QStringLiteral("Owner")), LineAt("OwnerUser"));
  if ((list.Options & (kListOwnerSends | kListCopyOwner)) != 0)
    return Refuse(Fmt(kOwnerForOptions, QStringLiteral("Owner")), LineAt("OwnerUser"));
  return true;
}

ResponderDialog::ResponderDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                                 QWidget* parent)
    : RecordDialog(context, record, adding, parent) {
  setWindowTitle(QString::fromLatin1(kResponderTitle));
  const auto& r = this->record().as<AUTOSTRUCT>();
  AddText(QStringLiteral("Name"), "Name", r.Name);
  MarkKey();
  AddText(QStringLiteral("Text file"), "TextFile", r.TextFile, kOpenFile, kFilterTexts);
  AddText(QStringLiteral("Log file"), "LogFile", r.LogFile, kSaveFile, kFilterTexts);
  AddText(QStringLiteral("No response to"), "Exceptions", r.Exceptions);
  AddOption(QStringLiteral("&Log responses to file"), offsetof(AUTOSTRUCT, Options), kAutoLog);
  Finish();
}

CommandDialog::CommandDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                             QWidget* parent)
    : RecordDialog(context, record, adding, parent) {
  setWindowTitle(QString::fromLatin1(kCommandTitle));
  const auto& r = this->record().as<EXECSTRUCT>();
  AddText(QStringLiteral("Name"), "Name", r.Name);
  MarkKey();
  AddText(QStringLiteral("Domain"), "Domain", r.Domain);
  MarkKey(false);
  AddText(QStringLiteral("Description"), "Description", r.Description);
  AddText(QStringLiteral("Program"), "Application", r.Application, kOpenFile, kFilterPrograms);
  AddText(QStringLiteral("Parameters"), "Parameters", r.Parameters);
  AddText(QStringLiteral("Keywords"), "Keywords", r.Keywords, kMultiLine);
  AddOption(QStringLiteral("Apply the keywords"), offsetof(EXECSTRUCT, Options), kExecKeywords);
  Finish();
}

bool CommandDialog::CollectMore(TableRecord& out) {
  // A record line ends at a line break: the control service would take the keywords' first
  // line, and the fields behind them would be lost.
  std::string_view keywords = FieldText(out.as<EXECSTRUCT>().Keywords);
  if (context().remote() && keywords.find_first_of("\r\n") != std::string_view::npos) {
    return Refuse(QString::fromLatin1(kKeywordsRemote), findChild<QWidget*>("Keywords"));
  }
  return true;
}

void SplitInterval(int32_t seconds, int* number, int* unit) {
  *unit = 1;
  *number = seconds / 60;
  if (seconds == 0) return;
  for (int u = 3; u >= 0; --u) {
    if (seconds % kIntervalUnitSeconds[u] == 0) {
      *unit = u;
      *number = seconds / kIntervalUnitSeconds[u];
      return;
    }
  }
}

AccountDialog::AccountDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                             QWidget* parent)
    : RecordDialog(context, record, adding, parent) {
  setWindowTitle(QString::fromLatin1(kAccountTitle));
  const auto& r = this->record().as<ACCOUNTSTRUCT>();
  AddText(QStringLiteral("Name"), "Name", r.Name);
  MarkKey();
  AddText(QStringLiteral("POP3 server"), "Server", r.Server);
  AddText(QStringLiteral("Login name"), "Account", r.Account);
  AddText(QStringLiteral("Password"), "Password", r.Password, kPassword);

  int32_t seconds = NumberAt(this->record(), offsetof(ACCOUNTSTRUCT, Interval));
  if (adding && seconds == 0) seconds = 7200;
  int number, unit;
  SplitInterval(seconds, &number, &unit);
  auto* box = new QWidget(this);
  auto* h = new QHBoxLayout(box);
  h->setContentsMargins(0, 0, 0, 0);
  number_ = new QSpinBox(box);
  number_->setObjectName(QStringLiteral("IntervalNumber"));
  number_->setRange(std::min(number, 0), INT_MAX);
  number_->setValue(number);
  unit_ = new QComboBox(box);
  unit_->setObjectName(QStringLiteral("IntervalUnit"));
  for (const char* name : kIntervalUnits) unit_->addItem(QString::fromLatin1(name));
  unit_->setCurrentIndex(unit);
  h->addWidget(number_);
  h->addWidget(unit_);
  AddRow(QStringLiteral("Check every"), box);

  AddText(QStringLiteral("Dial-up profile"), "DialProfile", r.DialProfile);
  const size_t options = offsetof(ACCOUNTSTRUCT, Options);
  AddOption(QStringLiteral("Shared POP account"), options, kAccountShared);
  AddOption(QStringLiteral("Use the dial-up profile"), options, kAccountDialup);
  AddOption(QStringLiteral("Use the login of the user"), options, kAccountUserLogin);
  Finish();
}

bool AccountDialog::CollectMore(TableRecord& out) {
  int64_t seconds =
      static_cast<int64_t>(number_->value()) * kIntervalUnitSeconds[unit_->currentIndex()];
  if (seconds > INT32_MAX) return Refuse(QString::fromLatin1(kIntervalTooLong), number_);
  SetNumberAt(out, offsetof(ACCOUNTSTRUCT, Interval), static_cast<int32_t>(seconds));
  return true;
}

RouteDialog::RouteDialog(ConsoleContext& context, const TableRecord& record, bool adding,
                         QWidget* parent)
    : RecordDialog(context, record, adding, parent) {
  setWindowTitle(QString::fromLatin1(kRouteTitle));
  const auto& r = this->record().as<ROUTESTRUCT>();
  AddText(QStringLiteral("Address masks"), "Masks", r.Masks);
  type_ = new QComboBox(this);
  type_->setObjectName(QStringLiteral("Type"));
  for (int i = 0; i < 3; ++i) type_->addItem(QString::fromLatin1(kRouteTypes[i]), i);
  int32_t type = NumberAt(this->record(), offsetof(ROUTESTRUCT, Type));
  if (type < 0 || type > 2) {
    type_->addItem(QString::fromStdString(Format(kRouteTypeOther, type)), type);
    type_->setCurrentIndex(3);
  } else {
    type_->setCurrentIndex(type);
  }
  AddRow(QStringLiteral("Route"), type_);
  AddText(QStringLiteral("Destination"), "Destination", r.Destination);
  MarkKey();
  Finish();
}

bool RouteDialog::CollectMore(TableRecord& out) {
  auto& route = out.as<ROUTESTRUCT>();
  // The route table's add refuses a route without masks.
  if (FieldText(route.Masks).find_first_not_of(' ') == std::string_view::npos) {
    return Refuse(Fmt(kFieldEmpty, QStringLiteral("Address masks")), LineAt("Masks"));
  }
  SetNumberAt(out, offsetof(ROUTESTRUCT, Type), type_->currentData().toInt());
  return true;
}

std::unique_ptr<RecordDialog> MakeRecordDialog(ConsoleContext& context, const TableRecord& record,
                                               bool adding, QWidget* parent) {
  switch (record.table()) {
    case Table::kUser:
      return std::make_unique<UserDialog>(context, record, adding, parent);
    case Table::kLists:
      return std::make_unique<ListDialog>(context, record, adding, parent);
    case Table::kCommands:
      return std::make_unique<CommandDialog>(context, record, adding, parent);
    case Table::kRoutes:
      return std::make_unique<RouteDialog>(context, record, adding, parent);
    case Table::kResponder:
      return std::make_unique<ResponderDialog>(context, record, adding, parent);
    case Table::kAccounts:
      return std::make_unique<AccountDialog>(context, record, adding, parent);
  }
  return nullptr;
}

}  // namespace qv::console
