#include "console/ui/members_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <string>

#include "common/strings.h"
#include "console/ui/accounts_texts.h"
#include "console/ui/local_users_dialog.h"
#include "console/ui/settings_page.h"

namespace qv::console {

namespace {

QString FromField(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString MemberRow(const MEMBERSTRUCT& member) {
  return QString::fromStdString(Format(kMemberRow, std::string(FieldText(member.Address)).c_str(),
                                       std::string(FieldText(member.Name)).c_str()));
}

MembersDialog::MembersDialog(ConsoleContext& context, const LISTSTRUCT& list, QWidget* parent)
    : QDialog(parent), context_(context), list_(list) {
  std::string address =
      std::string(FieldText(list_.Name)) + "@" + std::string(FieldText(list_.Domain));
  setWindowTitle(QString::fromStdString(Format(kMembersTitle, address.c_str())));

  auto* layout = new QVBoxLayout(this);
  // Wide enough for the title with the list's address beside the window's buttons (the title
  // bar's font is often bold and larger than the dialog's).
  const int title = fontMetrics().horizontalAdvance(windowTitle()) * 5 / 4 +
                    fontMetrics().averageCharWidth() * 24;
  setMinimumSize(std::max(fontMetrics().averageCharWidth() * 60, title),
                 fontMetrics().height() * 24);
  rows_ = new QListWidget(this);
  rows_->setObjectName(QStringLiteral("Members"));
  rows_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  rows_->setUniformItemSizes(true);
  layout->addWidget(rows_);

  auto* form = new QFormLayout;
  address_ = new QLineEdit(this);
  address_->setObjectName(QStringLiteral("Address"));
  address_->setMaxLength(static_cast<int>(sizeof(MEMBERSTRUCT::Address)) - 1);
  name_ = new QLineEdit(this);
  name_->setObjectName(QStringLiteral("Name"));
  name_->setMaxLength(static_cast<int>(sizeof(MEMBERSTRUCT::Name)) - 1);
  form->addRow(QStringLiteral("Address"), address_);
  form->addRow(QStringLiteral("Name"), name_);
  layout->addLayout(form);

  auto* buttons = new QHBoxLayout;
  auto* add = new QPushButton(QString::fromLatin1(kButtonAddMember), this);
  auto* remove = new QPushButton(QString::fromLatin1(kButtonRemove), this);
  auto* local = new QPushButton(QString::fromLatin1(kButtonLocalUsers), this);
  buttons->addWidget(add);
  buttons->addWidget(remove);
  buttons->addWidget(local);
  buttons->addStretch();
  layout->addLayout(buttons);
  auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
  layout->addWidget(close);

  connect(add, &QPushButton::clicked, this, [this] {
    if (AddMember(address_->text(), name_->text())) {
      address_->clear();
      name_->clear();
      address_->setFocus();
    }
  });
  // Enter in the entry lines adds the member; it never closes the dialog.
  OnEnter(address_, [add] { add->click(); });
  OnEnter(name_, [add] { add->click(); });
  connect(remove, &QPushButton::clicked, this, [this] { RemoveSelected(); });
  connect(local, &QPushButton::clicked, this, [this] { AddLocalUsers(); });
  connect(close, &QDialogButtonBox::rejected, this, &QDialog::accept);
  // The members belong to the store the dialog was opened with.
  connect(&context_, &ConsoleContext::modeChanged, this, &QDialog::reject);
}

bool MembersDialog::Load() {
  Result<std::vector<MEMBERSTRUCT>> loaded = [&] {
    WaitCursor wait;
    return context_.store().LoadMembers(list_);
  }();
  if (!context_.Check(loaded)) return false;
  members_ = std::move(loaded).value();
  ShowRows();
  return true;
}

void MembersDialog::ShowRows() {
  rows_->setUpdatesEnabled(false);
  rows_->clear();
  QStringList texts;
  texts.reserve(static_cast<qsizetype>(members_.size()));
  for (const MEMBERSTRUCT& member : members_) texts.append(MemberRow(member));
  rows_->addItems(texts);
  rows_->setUpdatesEnabled(true);
}

bool MembersDialog::AddMember(const QString& address_text, const QString& name_text) {
  auto refuse = [this](const std::string& text, QLineEdit* field) {
    context_.Message(windowTitle(), QString::fromStdString(text));
    field->setFocus();
    return false;
  };
  struct Check {
    const char* label;
    QString text;
    QLineEdit* field;
    size_t width;
  } checks[] = {{"Address", address_text.trimmed(), address_, sizeof(MEMBERSTRUCT::Address)},
                {"Name", name_text.trimmed(), name_, sizeof(MEMBERSTRUCT::Name)}};
  for (const Check& check : checks) {
    if (check.text.contains(QLatin1Char('|')))
      return refuse(Format(kFieldHasBar, check.label), check.field);
    if (check.text.contains(QLatin1Char('\r')) || check.text.contains(QLatin1Char('\n'))) {
      return refuse(Format(kFieldHasLineBreak, check.label), check.field);
    }
    if (static_cast<size_t>(check.text.toUtf8().size()) > check.width - 1) {
      return refuse(Format(kFieldTooLong, check.label, static_cast<int>(check.width) - 1),
                    check.field);
    }
  }
  std::string address = checks[0].text.toStdString();
  std::string name = checks[1].text.toStdString();
  if (address.empty()) return refuse(Format(kFieldEmpty, "Address"), address_);
  if (!IsMailAddress(address)) return refuse(Format(kFieldNotAddress, "Address"), address_);
  for (const MEMBERSTRUCT& member : members_) {
    if (EqualsNoCase(FieldText(member.Address), address)) {
      return refuse(Format(kAlreadyMember, address.c_str()), address_);
    }
  }
  MEMBERSTRUCT member{};
  std::memcpy(member.Address, address.data(), address.size());
  std::memcpy(member.Name, name.data(), name.size());
  Status added;
  {
    WaitCursor wait;
    added = context_.store().AddMember(list_, member);
  }
  if (!context_.Check(added)) return false;
  members_.push_back(member);
  rows_->addItem(MemberRow(member));
  return true;
}

bool MembersDialog::RemoveSelected() {
  std::vector<int> rows;
  for (const QListWidgetItem* item : rows_->selectedItems()) rows.push_back(rows_->row(item));
  // From the last, so that the rows before stay where they are.
  std::sort(rows.rbegin(), rows.rend());
  for (int row : rows) {
    Status removed;
    {
      WaitCursor wait;
      removed = context_.store().DeleteMember(list_, members_[static_cast<size_t>(row)]);
    }
    if (!context_.Check(removed)) return false;
    members_.erase(members_.begin() + row);
    delete rows_->takeItem(row);
  }
  return true;
}

void MembersDialog::AddLocalUsers() {
  LocalUsersDialog pick(context_, this);
  if (!pick.Load() || run_(pick) != QDialog::Accepted) return;
  for (const MEMBERSTRUCT& member : pick.Chosen()) {
    // Users that are members already are passed over without a message each.
    bool present = std::any_of(members_.begin(), members_.end(), [&](const MEMBERSTRUCT& m) {
      return EqualsNoCase(FieldText(m.Address), FieldText(member.Address));
    });
    if (present) continue;
    if (!AddMember(FromField(FieldText(member.Address)), FromField(FieldText(member.Name)))) {
      return;
    }
  }
}

}  // namespace qv::console
