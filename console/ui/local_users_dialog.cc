#include "console/ui/local_users_dialog.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "common/strings.h"
#include "console/ui/accounts_texts.h"
#include "console/ui/members_dialog.h"

namespace qv::console {

std::string MemberAddressOf(const USERSTRUCT& user, const SYSTEMSTRUCT& system) {
  std::string_view alias = FieldText(user.Alias);
  std::string_view domain = FieldText(user.Domain);
  if (alias.empty()) return {};
  if (domain.empty() || domain.find_first_of("*?") != std::string_view::npos) {
    // A mask serves every domain: the member gets the first of the local domains.
    std::string_view domains = FieldText(system.Domain);
    domain = domains.substr(0, domains.find(';'));
    while (!domain.empty() && domain.front() == ' ') domain.remove_prefix(1);
    while (!domain.empty() && domain.back() == ' ') domain.remove_suffix(1);
    if (domain.empty()) return {};
  }
  std::string address = std::string(alias) + "@" + std::string(domain);
  if (address.size() > sizeof(MEMBERSTRUCT::Address) - 1) return {};
  return address;
}

LocalUsersDialog::LocalUsersDialog(ConsoleContext& context, QWidget* parent)
    : QDialog(parent), context_(context) {
  setWindowTitle(QString::fromLatin1(kLocalUsersTitle));
  auto* layout = new QVBoxLayout(this);
  setMinimumSize(fontMetrics().averageCharWidth() * 60, fontMetrics().height() * 24);
  rows_ = new QListWidget(this);
  rows_->setObjectName(QStringLiteral("Users"));
  rows_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  rows_->setUniformItemSizes(true);
  layout->addWidget(rows_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(rows_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  layout->addWidget(buttons);
  connect(&context_, &ConsoleContext::modeChanged, this, &QDialog::reject);
}

bool LocalUsersDialog::Load() {
  Result<std::vector<TableRecord>> table = [&] {
    WaitCursor wait;
    return context_.store().LoadTable(Table::kUser);
  }();
  if (!context_.Check(table)) return false;
  users_.clear();
  QStringList texts;
  for (const TableRecord& record : *table) {
    const auto& user = record.as<USERSTRUCT>();
    std::string address = MemberAddressOf(user, context_.settings().system);
    if (address.empty()) continue;
    MEMBERSTRUCT member{};
    std::memcpy(member.Address, address.data(), address.size());
    std::string_view name = FieldText(user.Name);
    std::memcpy(member.Name, name.data(), std::min(name.size(), sizeof member.Name - 1));
    users_.push_back(member);
    texts.append(MemberRow(member));
  }
  rows_->clear();
  rows_->addItems(texts);
  return true;
}

std::vector<MEMBERSTRUCT> LocalUsersDialog::Chosen() const {
  std::vector<MEMBERSTRUCT> chosen;
  for (int row = 0; row < rows_->count(); ++row) {
    if (rows_->item(row)->isSelected()) chosen.push_back(users_[static_cast<size_t>(row)]);
  }
  return chosen;
}

}  // namespace qv::console
