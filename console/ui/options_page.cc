#include "console/ui/options_page.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QVBoxLayout>

#include "console/ui/console_texts.h"

namespace qv::console {

OptionsPage::OptionsPage(ConsoleContext& context, QWidget* parent) : SettingsPage(context, parent) {
  auto* esmtp = new QGroupBox(QString::fromLatin1(kEsmtpGroup), this);
  auto* esmtp_form = new QFormLayout(esmtp);
  QCheckBox* esmtp_flag = BindFlag("ESMTP", kEsmtp, SettingRecord::kSmtp, kSmtpEsmtp);
  esmtp_form->addRow(esmtp_flag);
  QSpinBox* size = BindNumber(SettingRecord::kSmtp, "ESMTPMaxMsgSize");
  esmtp_form->addRow(kMaxSizeLabel, size);
  esmtp_form->addRow(BindFlag("ENFORCESIZE", kEnforceSize, SettingRecord::kSmtp, kSmtpEnforceSize));
  QCheckBox* ehlo = BindFlag("CLIENTEHLO", kClientEhlo, SettingRecord::kSmtp, kSmtpClientEhlo);
  esmtp_form->addRow(ehlo);
  esmtp_form->addRow(BindFlag("ESMTPSIZE", kEsmtpSize, SettingRecord::kSmtp, kSmtpEsmtpSize));
  // The client's EHLO only applies with ESMTP on.
  connect(esmtp_flag, &QCheckBox::toggled, ehlo, &QWidget::setEnabled);
  ehlo->setEnabled(false);

  auto* unknown = new QGroupBox(QString::fromLatin1(kUnknownGroup), this);
  auto* unknown_form = new QFormLayout(unknown);
  unknown_form->addRow(
      BindFlag("SEARCHUNKNOWN", kSearchUnknown, SettingRecord::kSmtp, kSmtpSearchUnknown));
  unknown_form->addRow(
      BindFlag("NOTIFYUNKNOWN", kNotifyUnknown, SettingRecord::kSmtp, kSmtpNotifyUnknown));
  QCheckBox* forward =
      BindFlag("FORWARDUNKNOWN", kForwardUnknown, SettingRecord::kSmtp, kSmtpForwardUnknown);
  QLineEdit* forward_to = BindText(SettingRecord::kSmtp, "ForwardUnknown");
  unknown_form->addRow(forward, forward_to);
  connect(forward, &QCheckBox::toggled, forward_to, &QWidget::setEnabled);
  forward_to->setEnabled(false);

  auto* dns = new QGroupBox(QString::fromLatin1(kDnsGroup), this);
  auto* dns_form = new QFormLayout(dns);
  dns_form->addRow(
      BindFlag("DNSSUBDOMAIN", kDnsSubdomain, SettingRecord::kSmtp, kSmtpDnsSubdomain));
  dns_form->addRow(
      BindFlag("DOMAINASHOST", kDomainAsHost, SettingRecord::kSmtp, kSmtpDomainAsHost));

  // The collection of mail from remote POP accounts.
  auto* collection = new QGroupBox(QString::fromLatin1(kCollectionGroup), this);
  auto* collection_form = new QFormLayout(collection);
  QComboBox* tls =
      BindIndex(SettingRecord::kPop3, "TLSRemote",
                {kCollectionTlsChoices[0], kCollectionTlsChoices[1], kCollectionTlsChoices[2]});
  collection_form->addRow(kCollectionTls, tls);
  QCheckBox* verify =
      BindSwitch(SettingRecord::kPop3, "TLSVerify", kCheckCertificates, "Pop3TLSVerify");
  collection_form->addRow(verify);
  connect(tls, &QComboBox::currentIndexChanged, verify,
          [verify](int index) { verify->setEnabled(index != 0); });
  verify->setEnabled(false);

  auto* column = new QVBoxLayout(this);
  column->addWidget(esmtp);
  column->addWidget(unknown);
  column->addWidget(dns);
  column->addWidget(collection);
  column->addStretch(1);
}

}  // namespace qv::console
