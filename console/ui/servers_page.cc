#include "console/ui/servers_page.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "common/strings.h"
#include "console/ui/console_texts.h"

namespace qv::console {

ConnectDialog::ConnectDialog(const ConnectRequest& defaults, QWidget* parent)
    : QDialog(parent),
      request_(defaults),
      login_(new QLineEdit(QString::fromStdString(defaults.login), this)),
      password_(new QLineEdit(this)),
      port_(new QSpinBox(this)) {
  setWindowTitle(QString::fromLatin1(kConnectTitle));
  setObjectName("ConnectDialog");
  login_->setObjectName("Login");
  password_->setObjectName("Password");
  password_->setEchoMode(QLineEdit::Password);
  port_->setObjectName("Port");
  port_->setRange(1, 65535);
  port_->setValue(defaults.port);
  auto* form = new QFormLayout(this);
  form->addRow(kRemoteHostLabel, new QLabel(QString::fromStdString(defaults.host), this));
  form->addRow(kLoginLabel, login_);
  form->addRow(kPasswordLabel, password_);
  form->addRow(kPortLabel, port_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  if (!defaults.login.empty()) password_->setFocus();
}

ConnectRequest ConnectDialog::Request() const {
  ConnectRequest r = request_;
  r.login = login_->text().trimmed().toStdString();
  r.password = password_->text().toStdString();
  r.port = static_cast<uint16_t>(port_->value());
  return r;
}

ServiceButtons ButtonsFor(ServiceState state, bool remote) {
  ServiceButtons b;
  switch (state) {
    case ServiceState::kUnknown:
      break;
    case ServiceState::kNotInstalled:
      b.install = true;
      break;
    case ServiceState::kNotStarted:
      b.start = b.remove = true;
      break;
    case ServiceState::kStarted:
      b.stop = b.remove = true;
      break;
    case ServiceState::kPaused:
      b.start = b.stop = b.remove = true;
      break;
  }
  if (remote) b.install = b.remove = false;
  return b;
}

const char* StateText(ServiceState state) {
  switch (state) {
    case ServiceState::kNotInstalled:
      return kStateNotInstalled;
    case ServiceState::kNotStarted:
      return kStateNotStarted;
    case ServiceState::kStarted:
      return kStateStarted;
    case ServiceState::kPaused:
      return kStatePaused;
    case ServiceState::kUnknown:
      break;
  }
  return kStateUnknown;
}

ServersPage::ServersPage(ConsoleContext& context, QWidget* parent)
    : SettingsPage(context, parent),
      remote_host_(new QLineEdit(this)),
      managed_(new QLabel(this)),
      connect_(new QPushButton(QString::fromLatin1(kConnectButton), this)),
      local_(new QPushButton(QString::fromLatin1(kLocalButton), this)) {
  auto* location = new QGroupBox(QString::fromLatin1(kLocationGroup), this);
  auto* location_form = new QFormLayout(location);
  managed_->setObjectName("Managed");
  remote_host_->setObjectName("RemoteHost");
  connect_->setObjectName("Connect");
  local_->setObjectName("Local");
  location_form->addRow(managed_);
  auto* host_row = new QHBoxLayout;
  host_row->addWidget(remote_host_, 1);
  host_row->addWidget(connect_);
  host_row->addWidget(local_);
  location_form->addRow(kLocationHostLabel, host_row);
  connect(connect_, &QPushButton::clicked, this, [this] { Connect(); });
  connect(remote_host_, &QLineEdit::returnPressed, connect_, &QPushButton::click);
  connect(local_, &QPushButton::clicked, this, &ServersPage::Disconnect);

  auto* server = new QGroupBox(QString::fromLatin1(kServerGroup), this);
  auto* server_form = new QFormLayout(server);
  server_form->addRow(kHostNameLabel, BindText(SettingRecord::kSystem, "HostName"));
  server_form->addRow(kNameServerLabel, BindText(SettingRecord::kSystem, "NameServer"));
  auto* domains = new QGroupBox(QString::fromLatin1(kDomainGroup), this);
  auto* domains_column = new QVBoxLayout(domains);
  domains_column->addWidget(BindList(SettingRecord::kSystem, "Domain"));

  auto* services = new QGroupBox(QString::fromLatin1(kServicesGroup), this);
  auto* grid = new QGridLayout(services);
  AddServiceRow(grid, 0, kServiceSmtp, kSmtpService, "Smtp", &Settings::autostart_smtp);
  AddServiceRow(grid, 1, kServicePop3, kPop3Service, "Pop3", &Settings::autostart_pop3);
  grid->setColumnStretch(1, 1);

  auto* column = new QVBoxLayout(this);
  column->addWidget(location);
  column->addWidget(server);
  column->addWidget(domains, 1);
  column->addWidget(services);

  host_prompt_ = [this] {
    bool ok = false;
    QString host =
        QInputDialog::getText(this, QString::fromLatin1(kHostTitle),
                              QString::fromLatin1(kHostPrompt), QLineEdit::Normal, QString(), &ok);
    return ok ? host.trimmed().toStdString() : std::string();
  };
  connect_prompt_ = [this](ConnectRequest* request) {
    ConnectDialog dialog(*request, this);
    if (dialog.exec() != QDialog::Accepted) return false;
    *request = dialog.Request();
    return true;
  };
  connector_ = [](const ConnectRequest& r) {
    return ConnectControl(r.host, r.login, r.password, r.port);
  };
  before_switch_ = [] { return true; };
}

void ServersPage::AddServiceRow(QGridLayout* grid, int row, int service, const char* label,
                                const char* name, bool Settings::*autostart) {
  const QString prefix = QString::fromLatin1(name);
  auto button = [&](const char* text, const char* suffix) {
    auto* b = new QPushButton(QString::fromLatin1(text), this);
    b->setObjectName(prefix + suffix);
    return b;
  };
  ServiceRow r{service,
               new QLabel(this),
               button(kButtonInstall, "Install"),
               button(kButtonStart, "Start"),
               button(kButtonStop, "Stop"),
               button(kButtonRemove, "Remove"),
               new QCheckBox(QString::fromLatin1(kAutostart), this)};
  r.state->setObjectName(prefix + "State");
  r.state->setMinimumWidth(r.state->fontMetrics().horizontalAdvance(kStateNotInstalled) + 8);
  r.autostart->setObjectName(prefix + "Autostart");
  grid->addWidget(new QLabel(QString::fromLatin1(label), this), row, 0);
  grid->addWidget(r.state, row, 1);
  grid->addWidget(r.install, row, 2);
  grid->addWidget(r.start, row, 3);
  grid->addWidget(r.stop, row, 4);
  grid->addWidget(r.remove, row, 5);
  grid->addWidget(r.autostart, row, 6);
  connect(r.install, &QPushButton::clicked, this,
          [this, service] { Act(service, kCommandInstall); });
  connect(r.start, &QPushButton::clicked, this, [this, service] { Act(service, kCommandStart); });
  connect(r.stop, &QPushButton::clicked, this, [this, service] { Act(service, kCommandStop); });
  connect(r.remove, &QPushButton::clicked, this, [this, service] { Act(service, kCommandRemove); });
  QCheckBox* box = r.autostart;
  Bind([box, autostart](Settings& s) { box->setChecked(s.*autostart); },
       [box, autostart](Settings& s) { s.*autostart = box->isChecked(); });
  connect(box, &QCheckBox::toggled, this, [this] { MarkDirty(); });
  rows_[row_count_++] = r;
  ShowState(rows_[row_count_ - 1], ServiceState::kUnknown);
}

void ServersPage::ShowState(ServiceRow& row, ServiceState state) {
  row.state->setText(QString::fromLatin1(StateText(state)));
  const ServiceButtons b = ButtonsFor(state, context().remote());
  row.install->setEnabled(b.install);
  row.start->setEnabled(b.start);
  row.stop->setEnabled(b.stop);
  row.remove->setEnabled(b.remove);
}

void ServersPage::LoadExtra() {
  const bool remote = context().remote();
  if (remote) {
    managed_->setText(
        QString::fromStdString(Format(kManagedRemote, context().store().host().c_str())));
  } else {
    managed_->setText(QString::fromLatin1(kManagedLocal));
    const SYSTEMSTRUCT& s = context().settings().system;
    remote_host_->setText(QString::fromStdString(std::string(FieldText(s.RemoteServer))));
    remembered_login_ = FieldText(s.RemoteLogin);
    remembered_port_ = s.Port;
  }
  local_->setEnabled(remote);
  for (int i = 0; i < row_count_; ++i) {
    rows_[i].install->setVisible(!remote);
    rows_[i].remove->setVisible(!remote);
    // The start entry is this computer's; the control service has no word for it.
    rows_[i].autostart->setEnabled(!remote);
  }
  RefreshStates();
}

void ServersPage::RefreshStates() {
  ServiceStates states;
  Result<ServiceStates> read = context().store().QueryServices();
  if (context().Check(read)) states = *read;
  for (int i = 0; i < row_count_; ++i)
    ShowState(rows_[i], rows_[i].service == kServiceSmtp ? states.smtp : states.pop3);
}

void ServersPage::Act(int service, int command) {
  {
    WaitCursor wait;
    if (!context().Check(context().store().ServiceAction(service, command))) return;
  }
  RefreshStates();
}

bool ServersPage::Connect() {
  ConnectRequest request;
  request.host = remote_host_->text().trimmed().toStdString();
  if (request.host.empty()) {
    request.host = host_prompt_();
    if (request.host.empty()) return false;
    remote_host_->setText(QString::fromStdString(request.host));
  }
  request.login = remembered_login_;
  request.port = static_cast<uint16_t>(
      remembered_port_ > 0 && remembered_port_ <= 65535 ? remembered_port_ : 32000);
  if (!connect_prompt_(&request)) return false;
  ConnectOutcome outcome;
  {
    WaitCursor wait;
    outcome = connector_(request);
  }
  if (!outcome.store) {
    context().Message(kErrorTitle,
                      QString::fromStdString(
                          Format(kConnectFailed, request.host.c_str(), outcome.error.c_str())));
    return false;
  }
  // Unsaved changes are settled before the pages show the other server (cancel: the new
  // connection ends again).
  if (!before_switch_()) return false;
  if (!context().remote()) {
    // Remembered on this computer: the host and the login. The port stays as it is: the same
    // value is the port this computer's own control service listens on.
    Settings remembered = context().settings();
    CopyField(remembered.system.RemoteServer, request.host);
    CopyField(remembered.system.RemoteLogin, request.login);
    SaveRemoteConfig(remembered);
  }
  remembered_login_ = request.login;
  context().SwitchStore(std::move(outcome.store));
  return true;
}

void ServersPage::Disconnect() {
  if (!context().remote() || !before_switch_()) return;
  context().SwitchStore(MakeLocalStore());
}

}  // namespace qv::console
