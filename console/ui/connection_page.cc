#include "console/ui/connection_page.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/ui/console_texts.h"

namespace qv::console {

ConnectionPage::ConnectionPage(ConsoleContext& context, QWidget* parent)
    : SettingsPage(context, parent), ras_entry_(new QComboBox(this)) {
  auto* link = new QGroupBox(QString::fromLatin1(kConnectionGroup), this);
  auto* link_form = new QFormLayout(link);
  auto* network = new QRadioButton(QString::fromLatin1(kNetwork), link);
  auto* dialup = new QRadioButton(QString::fromLatin1(kDialup), link);
  network->setObjectName("Network");
  dialup->setObjectName("DIALUP");
  link_form->addRow(network);
  link_form->addRow(dialup);
  Bind(
      [network, dialup](Settings& s) {
        const bool on = (s.system.Flags & kSysDialup) != 0;
        dialup->setChecked(on);
        network->setChecked(!on);
      },
      [dialup](Settings& s) {
        if (dialup->isChecked())
          s.system.Flags |= kSysDialup;
        else
          s.system.Flags &= ~kSysDialup;
      });
  connect(dialup, &QRadioButton::toggled, this, [this] { MarkDirty(); });

  ras_entry_->setObjectName("RASEntry");
  ras_entry_->setEditable(true);
  ras_entry_->setInsertPolicy(QComboBox::NoInsert);
  // Filled with the phone-book entries in LoadExtra.
  Bind([](Settings&) {},
       [this](Settings& s) {
         StoreText(s, SettingRecord::kSystem, "RASEntry",
                   ras_entry_->currentText().trimmed().toStdString());
       });
  connect(ras_entry_, &QComboBox::editTextChanged, this, [this] { MarkDirty(); });
  link_form->addRow(kRasEntryLabel, ras_entry_);
  QLineEdit* user = BindText(SettingRecord::kSystem, "RASUser");
  link_form->addRow(kRasUserLabel, user);
  QLineEdit* password = BindText(SettingRecord::kSystem, "RASPassword");
  password->setEchoMode(QLineEdit::Password);
  link_form->addRow(kRasPasswordLabel, password);
  QCheckBox* ping = BindFlag("PING", kPingFlag, SettingRecord::kSystem, kSysPing);
  IntervalEdit* connect_time = BindInterval(SettingRecord::kSystem, "ConnectTime");
  link_form->addRow(ping, connect_time);
  IntervalEdit* closing = BindInterval(SettingRecord::kSystem, "ClosingTime");
  link_form->addRow(kClosingLabel, closing);
  auto enable = [=, this] {
    const bool on = dialup->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{ras_entry_, user, password, ping, closing})
      w->setEnabled(on);
    connect_time->setEnabled(on && ping->isChecked());
  };
  connect(dialup, &QRadioButton::toggled, this, enable);
  connect(ping, &QCheckBox::toggled, this, enable);
  enable();

  auto* ports = new QGroupBox(QString::fromLatin1(kPortsGroup), this);
  auto* grid = new QGridLayout(ports);
  grid->addWidget(new QLabel(QString::fromLatin1(kLocalPort), ports), 0, 1);
  grid->addWidget(new QLabel(QString::fromLatin1(kRemotePort), ports), 0, 2);
  grid->addWidget(new QLabel(QString::fromLatin1(kSmtpPorts), ports), 1, 0);
  grid->addWidget(BindNumber(SettingRecord::kSmtp, "Port", "SmtpPort"), 1, 1);
  grid->addWidget(BindNumber(SettingRecord::kSmtp, "PortEx", "SmtpPortEx"), 1, 2);
  grid->addWidget(new QLabel(QString::fromLatin1(kPop3Ports), ports), 2, 0);
  grid->addWidget(BindNumber(SettingRecord::kPop3, "Port", "Pop3Port"), 2, 1);
  grid->addWidget(BindNumber(SettingRecord::kPop3, "PortEx", "Pop3PortEx"), 2, 2);
  grid->addWidget(new QLabel(QString::fromLatin1(kPasswordPortLabel), ports), 3, 0);
  grid->addWidget(BindNumber(SettingRecord::kSystem, "PasswordPort"), 3, 1);

  auto* column = new QVBoxLayout(this);
  column->addWidget(link);
  column->addWidget(ports);
  column->addStretch(1);
}

void ConnectionPage::LoadExtra() {
  ras_entry_->clear();
  Result<std::vector<std::string>> entries = context().store().PhoneBookEntries();
  if (Choices(entries))
    for (const std::string& e : *entries) ras_entry_->addItem(QString::fromStdString(e));
  ras_entry_->setEditText(
      QString::fromStdString(std::string(FieldText(context().settings().system.RASEntry))));
}

}  // namespace qv::console
