#include "console/ui/administrator_page.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QVBoxLayout>

#include "console/ui/console_texts.h"

namespace qv::console {

std::string GroupName(const QString& choice) {
  const qsizetype comment = choice.indexOf(QStringLiteral("  ("));
  return (comment < 0 ? choice : choice.left(comment)).trimmed().toStdString();
}

AdministratorPage::AdministratorPage(ConsoleContext& context, QWidget* parent)
    : SettingsPage(context, parent), nt_user_(new QComboBox(this)) {
  auto* admin = new QGroupBox(QString::fromLatin1(kAdminGroup), this);
  auto* admin_form = new QFormLayout(admin);
  admin_form->addRow(kAdminNameLabel, BindText(SettingRecord::kSystem, "AdministratorName"));
  admin_form->addRow(kAdminMailboxLabel, BindText(SettingRecord::kSystem, "AdministratorMailBox"));

  auto* nt = new QGroupBox(QString::fromLatin1(kNtGroup), this);
  auto* nt_form = new QFormLayout(nt);
  QCheckBox* nt_flag = BindFlag("NTUSER", kNtUserFlag, SettingRecord::kSystem, kSysNtUser);
  nt_form->addRow(nt_flag);
  QLineEdit* nt_domain = BindText(SettingRecord::kSystem, "NTDomain");
  nt_form->addRow(kNtDomainLabel, nt_domain);
  nt_user_->setObjectName("NTUser");
  nt_user_->setEditable(true);
  nt_user_->setInsertPolicy(QComboBox::NoInsert);
  nt_form->addRow(kNtUserLabel, nt_user_);
  // Filled with the groups in LoadExtra; stored as the bare group name.
  Bind([](Settings&) {},
       [this](Settings& s) {
         StoreText(s, SettingRecord::kSystem, "NTUser", GroupName(nt_user_->currentText()));
       });
  connect(nt_user_, &QComboBox::editTextChanged, this, [this] { MarkDirty(); });
  auto enable = [nt_flag, nt_domain, this] {
    nt_domain->setEnabled(nt_flag->isChecked());
    nt_user_->setEnabled(nt_flag->isChecked());
  };
  connect(nt_flag, &QCheckBox::toggled, this, enable);
  enable();

  auto* masks = new QGroupBox(QString::fromLatin1(kNoResponseGroup), this);
  auto* masks_column = new QVBoxLayout(masks);
  masks_column->addWidget(BindList(SettingRecord::kSystem, "NoResponse"));

  auto* column = new QVBoxLayout(this);
  column->addWidget(admin);
  column->addWidget(nt);
  column->addWidget(masks, 1);
}

void AdministratorPage::LoadExtra() {
  nt_user_->clear();
  Result<std::vector<std::string>> groups = context().store().NtGroups();
  if (Choices(groups))
    for (const std::string& g : *groups) nt_user_->addItem(QString::fromStdString(g));
  nt_user_->setEditText(
      QString::fromStdString(std::string(FieldText(context().settings().system.NTUser))));
}

}  // namespace qv::console
