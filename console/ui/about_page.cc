#include "console/ui/about_page.h"

#include <QFont>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

#include "common/strings.h"
#include "console/ui/console_texts.h"

#ifndef QV_VERSION_TEXT
#define QV_VERSION_TEXT "0.0.0.0"
#endif

namespace qv::console {

QLabel* AboutPage::Value(const char* name) {
  auto* label = new QLabel(this);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

AboutPage::AboutPage(ConsoleContext& context, QWidget* parent)
    : ConsolePage(context, parent),
      host_(Value("AboutHost")),
      address_(Value("AboutAddress")),
      domain_(Value("AboutDomain")),
      smtp_(Value("SmtpVersion")),
      pop3_(Value("Pop3Version")),
      control_(Value("ControlVersion")) {
  auto* product = new QLabel(QString::fromLatin1(kAboutProduct), this);
  QFont big = product->font();
  big.setPointSizeF(big.pointSizeF() * 1.5);
  big.setBold(true);
  product->setFont(big);
  auto* version = new QLabel(QString::fromStdString(Format(kAboutVersion, QV_VERSION_TEXT)), this);
  version->setObjectName("ConsoleVersion");
  auto* purpose = new QLabel(QString::fromLatin1(kAboutCopyright), this);

  auto* server = new QGroupBox(QString::fromLatin1(kAboutServerGroup), this);
  auto* server_form = new QFormLayout(server);
  server_form->addRow(kAboutHost, host_);
  server_form->addRow(kAboutAddress, address_);
  server_form->addRow(kAboutDomain, domain_);

  auto* programs = new QGroupBox(QString::fromLatin1(kAboutProgramsGroup), this);
  auto* programs_form = new QFormLayout(programs);
  programs_form->addRow(kAboutSmtp, smtp_);
  programs_form->addRow(kAboutPop3, pop3_);
  programs_form->addRow(kAboutControl, control_);

  auto* column = new QVBoxLayout(this);
  column->addWidget(product);
  column->addWidget(version);
  column->addWidget(purpose);
  column->addSpacing(12);
  column->addWidget(server);
  column->addWidget(programs);
  column->addStretch(1);
}

void AboutPage::Load() {
  const AboutFacts facts = context().store().About(context().settings());
  auto show = [](QLabel* label, const std::string& text) {
    label->setText(QString::fromStdString(text));
  };
  show(host_, facts.host_name);
  show(address_, facts.address);
  show(domain_, facts.domain);
  show(smtp_, facts.smtp_version);
  show(pop3_, facts.pop3_version);
  show(control_, facts.control_version);
  set_dirty(false);
}

}  // namespace qv::console
