#include "console/ui/servers_page.h"

#include <sys/eventfd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <atomic>
#include <mutex>

#include "common/strings.h"
#include "console/ui/console_texts.h"
#include "platform/unique_fd.h"

namespace qv::console {

ConnectDialog::ConnectDialog(const ConnectRequest& defaults, QWidget* parent)
    : QDialog(parent),
      request_(defaults),
      login_(new QLineEdit(QString::fromStdString(defaults.login), this)),
      password_(new QLineEdit(this)),
      port_(new QSpinBox(this)),
      tls_(new QCheckBox(QString::fromLatin1(kUseTls), this)) {
  setWindowTitle(QString::fromLatin1(kConnectTitle));
  setObjectName("ConnectDialog");
  login_->setObjectName("Login");
  password_->setObjectName("Password");
  password_->setEchoMode(QLineEdit::Password);
  port_->setObjectName("Port");
  port_->setRange(1, 65535);
  port_->setValue(defaults.port);
  tls_->setObjectName("UseTls");
  tls_->setChecked(defaults.tls);
  // Wide enough for the host and the login as they are, and for an ordinary address.
  const QFontMetrics metrics = login_->fontMetrics();
  const int text_width =
      std::max({metrics.horizontalAdvance(QString::fromStdString(defaults.login)),
                metrics.horizontalAdvance(QString::fromStdString(defaults.host)),
                metrics.horizontalAdvance(QLatin1Char('x')) * 28});
  login_->setMinimumWidth(text_width + 2 * metrics.horizontalAdvance(QLatin1Char('x')) + 12);
  password_->setMinimumWidth(login_->minimumWidth());
  auto* form = new QFormLayout(this);
  form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
  form->setSizeConstraint(QLayout::SetMinimumSize);
  auto* host = new QLabel(QString::fromStdString(defaults.host), this);
  host->setObjectName("Host");
  form->addRow(kRemoteHostLabel, host);
  form->addRow(kLoginLabel, login_);
  form->addRow(kPasswordLabel, password_);
  form->addRow(kPortLabel, port_);
  form->addRow(QString(), tls_);
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
  r.tls = tls_->isChecked();
  return r;
}

// What the window and the attempt's thread share: the cancel descriptor, and the outcome once
// the attempt ended. The thread holds it too, so a cancelled attempt may outlive the window.
struct ConnectProgress::Shared {
  platform::UniqueFd cancel{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::mutex mutex;
  std::atomic<bool> done{false};
  ConnectOutcome outcome;  // under mutex
};

ConnectProgress::ConnectProgress(const std::string& host, QWidget* parent)
    : QDialog(parent), shared_(std::make_shared<Shared>()) {
  setObjectName("ConnectProgress");
  setWindowTitle(QString::fromLatin1(kConnectingTitle));
  setModal(true);
  auto* text = new QLabel(QString::fromStdString(Format(kConnectingText, host.c_str())), this);
  auto* busy = new QProgressBar(this);
  busy->setObjectName("ConnectBusy");
  busy->setRange(0, 0);  // no end known: the bar shows that something is under way
  busy->setTextVisible(false);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("ConnectCancel");
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* column = new QVBoxLayout(this);
  column->setSizeConstraint(QLayout::SetMinimumSize);
  column->addWidget(text);
  column->addWidget(busy);
  column->addWidget(buttons);
  busy->setMinimumWidth(std::max(text->sizeHint().width(), 280));
  poll_.setInterval(25);
  connect(&poll_, &QTimer::timeout, this, [this] {
    if (shared_->done.load()) accept();
  });
}

ConnectProgress::~ConnectProgress() {
  if (!shared_->done.load() && shared_->cancel) {
    const uint64_t one = 1;
    ssize_t ignored = ::write(shared_->cancel.get(), &one, sizeof one);
    (void)ignored;
  }
}

std::optional<ConnectOutcome> ConnectProgress::Run(Attempt attempt, std::thread* worker) {
  std::shared_ptr<Shared> shared = shared_;
  *worker = std::thread([shared, attempt = std::move(attempt)] {
    ConnectOutcome outcome = attempt(shared->cancel.get());
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->outcome = std::move(outcome);
    shared->done.store(true);
  });
  poll_.start();
  const int result = exec();
  poll_.stop();
  if (result != QDialog::Accepted) {
    const uint64_t one = 1;
    ssize_t ignored = ::write(shared_->cancel.get(), &one, sizeof one);
    (void)ignored;
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return std::move(shared_->outcome);
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
  connector_ = [](const ConnectRequest& r, int cancel_fd) {
    if (!r.tls) return ConnectControl(r.host, r.login, r.password, r.port, 10000, cancel_fd);
    TlsTrust trust{r.fingerprint, "", nullptr};
    return ConnectControl(r.host, r.login, r.password, r.port, 10000, cancel_fd, &trust);
  };
  trust_question_ = [this](const std::string& host, const std::string& fingerprint) {
    QString text = QString::fromStdString(
        Format(kTrustCertificate, host.c_str(), fingerprint.c_str(), host.c_str()));
    return QMessageBox::question(this, QString::fromLatin1(kCertificateTitle), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  before_switch_ = [] { return true; };
  remove_question_ = [this](const QString& text) {
    return QMessageBox::question(this, QString::fromLatin1(kRemoveServiceTitle), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  refresh_.setInterval(kStateRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, &ServersPage::RefreshOnTimer);
}

ServersPage::~ServersPage() {
  for (std::thread& attempt : cancelled_) attempt.join();
}

void ServersPage::showEvent(QShowEvent* event) {
  SettingsPage::showEvent(event);
  // Loading the page reported a failure already.
  RefreshStates(true);
  refresh_.start();
}

void ServersPage::hideEvent(QHideEvent* event) {
  refresh_.stop();
  SettingsPage::hideEvent(event);
}

void ServersPage::RefreshOnTimer() {
  // Not behind a box the console shows (a question, a message): the answer comes first.
  // A reading under way (its message box runs the event loop) is not repeated either.
  QWidget* modal = QApplication::activeModalWidget();
  if (refreshing_ > 0 || (modal != nullptr && modal != window())) return;
  RefreshStates(true);
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

void ServersPage::RefreshStates(bool quiet) {
  ++refreshing_;
  ServiceStates states;
  ConsoleStore* store = &context().store();
  Result<ServiceStates> read = store->QueryServices();
  if (read.ok()) {
    states = *read;
  } else if (!quiet || read.error() == kConnectionBroken) {
    context().Check(read);
  }
  // A broken connection returned the console to local mode, whose states are shown by now.
  if (store == &context().store()) {
    for (int i = 0; i < row_count_; ++i)
      ShowState(rows_[i], rows_[i].service == kServiceSmtp ? states.smtp : states.pop3);
  }
  --refreshing_;
}

ServersPage::ServiceRow* ServersPage::RowOf(int service) {
  for (int i = 0; i < row_count_; ++i)
    if (rows_[i].service == service) return &rows_[i];
  return nullptr;
}

void ServersPage::Act(int service, int command) {
  ServiceRow* row = RowOf(service);
  if (row == nullptr) return;
  if (command == kCommandRemove && !remove_question_(QString::fromStdString(
                                       Format(kRemoveServiceQuestion, ServiceName(service)))))
    return;
  ConsoleStore* store = &context().store();
  bool done;
  {
    WaitCursor wait;
    done = context().Check(store->ServiceAction(service, command));
  }
  if (store != &context().store()) return;  // the connection broke: local mode shows anew
  RefreshStates(!done);
  // The button pressed may be disabled now, and Qt would hand the focus to the next one in the
  // row, which may be Remove: the focus goes to the command that undoes this one instead.
  QPushButton* next = nullptr;
  switch (command) {
    case kCommandStart:
      next = row->stop;
      break;
    case kCommandStop:
      next = row->start;
      break;
    case kCommandInstall:
      next = row->start;
      break;
    case kCommandRemove:
      next = row->install;
      break;
    default:
      break;
  }
  for (QWidget* w : {static_cast<QWidget*>(next), static_cast<QWidget*>(row->start),
                     static_cast<QWidget*>(row->stop), static_cast<QWidget*>(row->autostart)}) {
    if (w != nullptr && w->isEnabled() && !w->isHidden()) {
      w->setFocus(Qt::OtherFocusReason);
      break;
    }
  }
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
  if (last_tls_) {
    request.tls = true;
    request.port = last_tls_port_;
  }
  if (!connect_prompt_(&request)) return false;
  if (request.tls) request.fingerprint = TrustedFingerprint(request.host);
  std::optional<ConnectOutcome> ended = Attempt(request);
  if (!ended) return false;
  if (ended->untrusted && !ended->fingerprint.empty()) {
    if (!request.fingerprint.empty()) {
      context().Message(kErrorTitle,
                        QString::fromStdString(Format(kCertificateChanged, request.host.c_str(),
                                                      ended->fingerprint.c_str())));
      return false;
    }
    if (!trust_question_(request.host, ended->fingerprint)) return false;
    TrustFingerprint(request.host, ended->fingerprint);
    request.fingerprint = ended->fingerprint;
    ended = Attempt(request);
    if (!ended) return false;
  }
  ConnectOutcome outcome = std::move(*ended);
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
  last_tls_ = request.tls;
  if (request.tls) last_tls_port_ = request.port;
  context().SwitchStore(std::move(outcome.store));
  return true;
}

std::optional<ConnectOutcome> ServersPage::Attempt(const ConnectRequest& request) {
  ConnectProgress progress(request.host, window());
  std::thread worker;
  std::optional<ConnectOutcome> ended = progress.Run(
      [connector = connector_, request](int cancel_fd) { return connector(request, cancel_fd); },
      &worker);
  if (!ended) {
    // Cancelled: the attempt ends by itself, and is joined when this page goes.
    cancelled_.push_back(std::move(worker));
    return std::nullopt;
  }
  worker.join();
  return ended;
}

void ServersPage::Disconnect() {
  if (!context().remote() || !before_switch_()) return;
  context().SwitchStore(MakeLocalStore());
}

}  // namespace qv::console
