#include "console/ui/forwarding_page.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QVBoxLayout>

#include "console/ui/console_texts.h"

namespace qv::console {

ForwardingPage::ForwardingPage(ConsoleContext& context, QWidget* parent)
    : SettingsPage(context, parent) {
  auto* forward = new QGroupBox(QString::fromLatin1(kForwardGroup), this);
  auto* forward_form = new QFormLayout(forward);
  forward_form->addRow(BindFlag("USEDNS", kUseDns, SettingRecord::kSmtp, kSmtpUseDns));
  QCheckBox* use_mx = BindFlag("USEMX", kUseMx, SettingRecord::kSmtp, kSmtpUseMx);
  QLineEdit* host = BindText(SettingRecord::kSmtp, "ExchangeHost");
  forward_form->addRow(use_mx, host);
  // The login is given to the smart hosts only.
  QLineEdit* user = BindText(SettingRecord::kSmtp, "ExchangeUser");
  forward_form->addRow(kSmartHostUser, user);
  QLineEdit* password = BindText(SettingRecord::kSmtp, "ExchangePassword");
  password->setEchoMode(QLineEdit::Password);
  forward_form->addRow(kSmartHostPassword, password);
  for (QWidget* w : std::initializer_list<QWidget*>{host, user, password}) {
    connect(use_mx, &QCheckBox::toggled, w, &QWidget::setEnabled);
    w->setEnabled(false);
  }
  forward_form->addRow(
      BindFlag("IMMEDIATELLY", kImmediately, SettingRecord::kSmtp, kSmtpImmediately));
  forward_form->addRow(BindFlag("RETRY", kRetry, SettingRecord::kSmtp, kSmtpRetry),
                       BindInterval(SettingRecord::kSmtp, "SMTPTimer"));

  auto* encryption = new QGroupBox(QString::fromLatin1(kOutgoingTlsGroup), this);
  auto* encryption_form = new QFormLayout(encryption);
  QComboBox* tls =
      BindIndex(SettingRecord::kSmtp, "TLSOutgoing",
                {kOutgoingTlsChoices[0], kOutgoingTlsChoices[1], kOutgoingTlsChoices[2]});
  encryption_form->addRow(kOutgoingTls, tls);
  QCheckBox* verify =
      BindSwitch(SettingRecord::kSmtp, "TLSVerify", kCheckCertificates, "SmtpTLSVerify");
  encryption_form->addRow(verify);
  // Certificates are checked only where TLS is used.
  connect(tls, &QComboBox::currentIndexChanged, verify,
          [verify](int index) { verify->setEnabled(index != 0); });
  verify->setEnabled(false);

  auto* undeliverable = new QGroupBox(QString::fromLatin1(kUndeliverableGroup), this);
  auto* undeliverable_form = new QFormLayout(undeliverable);
  undeliverable_form->addRow(
      BindFlag("RETURNTOSENDER", kReturnToSender, SettingRecord::kSmtp, kSmtpReturnToSender));
  QCheckBox* send_info = BindFlag("SENDINFO", kSendInfo, SettingRecord::kSmtp, kSmtpSendInfo);
  undeliverable_form->addRow(send_info);
  QCheckBox* attach =
      BindFlag("ATTACHMESSAGE", kAttachMessage, SettingRecord::kSmtp, kSmtpAttachMessage);
  undeliverable_form->addRow(attach);
  connect(send_info, &QCheckBox::toggled, attach, &QWidget::setEnabled);
  attach->setEnabled(false);
  undeliverable_form->addRow(kReturnAfter, BindInterval(SettingRecord::kSmtp, "ReturnTimer"));

  auto* column = new QVBoxLayout(this);
  column->addWidget(forward);
  column->addWidget(encryption);
  column->addWidget(undeliverable);
  column->addStretch(1);
}

}  // namespace qv::console
