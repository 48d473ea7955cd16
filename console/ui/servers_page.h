// The "Servers" page: which server the console manages (this computer, or the control service of
// another host), the server's names and local domains, and the state of the SMTP and POP3
// services with their buttons.
#pragma once

#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/ui/settings_page.h"

class QGridLayout;
class QLabel;
class QPushButton;
class QCheckBox;
class QSpinBox;

namespace qv::console {

// What the "Connect.." dialog asks.
struct ConnectRequest {
  std::string host;
  std::string login;
  std::string password;
  uint16_t port = 0;
  // The TLS control port, the server's certificate pinned by `fingerprint` (the one trusted for
  // the host before) or, without one, checked against the system's store.
  bool tls = false;
  std::string fingerprint = {};
};

// The "Connect.." dialog: login name, password, port and TLS, with the remembered ones as
// defaults.
class ConnectDialog : public QDialog {
  Q_OBJECT

 public:
  ConnectDialog(const ConnectRequest& defaults, QWidget* parent = nullptr);
  // The request with the fields as entered.
  ConnectRequest Request() const;

 private:
  ConnectRequest request_;
  QLineEdit* login_;
  QLineEdit* password_;
  QSpinBox* port_;
  QCheckBox* tls_;
};

// A connection attempt on a thread of its own, with a small modal window that shows it is under
// way and offers Cancel (Escape and the window's close button cancel too). Cancel returns at once:
// the attempt is told through its cancel descriptor and ends in the background (a host lookup
// still running finishes first); whatever it brings is dropped.
class ConnectProgress : public QDialog {
  Q_OBJECT

 public:
  // The attempt gets an eventfd that becomes readable on Cancel.
  using Attempt = std::function<ConnectOutcome(int cancel_fd)>;

  ConnectProgress(const std::string& host, QWidget* parent = nullptr);
  ~ConnectProgress() override;

  // Starts the attempt on `*worker` (the caller joins it, at once when it ended, else later)
  // and shows the window until the attempt ends (its outcome) or is cancelled (nothing).
  std::optional<ConnectOutcome> Run(Attempt attempt, std::thread* worker);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  QTimer poll_;
};

// Which buttons of a service are usable in a state: install only what is not installed, start
// what is not running, stop what runs, remove what is installed. Remote mode has only start and
// stop, and nothing is usable while the state is unknown.
struct ServiceButtons {
  bool install = false;
  bool start = false;
  bool stop = false;
  bool remove = false;
};
ServiceButtons ButtonsFor(ServiceState state, bool remote);
const char* StateText(ServiceState state);

class ServersPage : public SettingsPage {
  Q_OBJECT

 public:
  explicit ServersPage(ConsoleContext& context, QWidget* parent = nullptr);
  ~ServersPage() override;

  // How often the states are read while the page is visible.
  static constexpr int kStateRefreshMs = 3000;
  void set_refresh_interval(int ms) { refresh_.setInterval(ms); }

  // The questions the page asks, replaceable so that tests answer them without a modal window.
  // Host?: the host name when none was entered (empty: cancelled).
  using HostPrompt = std::function<std::string()>;
  // Connect..: fills in the login, password and port; false: cancelled.
  using ConnectPrompt = std::function<bool(ConnectRequest*)>;
  // Logs in (ConnectControl by default); runs on a thread of its own and ends early when
  // `cancel_fd` becomes readable.
  using Connector = std::function<ConnectOutcome(const ConnectRequest&, int cancel_fd)>;
  // Whether to trust the self-signed certificate of a host, shown by its SHA-256 fingerprint (a
  // question with Yes and No by default, No the default button).
  using TrustQuestion =
      std::function<bool(const std::string& host, const std::string& fingerprint)>;
  // Whether to remove a service (a question with Yes and No by default, No the default button).
  using RemoveQuestion = std::function<bool(const QString& text)>;
  // Asked before the console changes its mode, so that unsaved changes can be saved or kept;
  // false: stay.
  using BeforeSwitch = std::function<bool()>;
  void set_host_prompt(HostPrompt prompt) { host_prompt_ = std::move(prompt); }
  void set_connect_prompt(ConnectPrompt prompt) { connect_prompt_ = std::move(prompt); }
  void set_connector(Connector connector) { connector_ = std::move(connector); }
  void set_before_switch(BeforeSwitch check) { before_switch_ = std::move(check); }
  void set_remove_question(RemoveQuestion question) { remove_question_ = std::move(question); }
  void set_trust_question(TrustQuestion question) { trust_question_ = std::move(question); }

  // Connects to the host of the host field (asking for it when empty) and, on success, makes it
  // the managed server: the connection is remembered, every page reloads from the server. A
  // failure shows "The connection to '%s' failed.\n\n%s". True when connected. Over TLS, a
  // certificate not trusted is offered to the user by its fingerprint (trusted: remembered for
  // the host, and the attempt made again); one that differs from the host's remembered
  // fingerprint is refused with a message naming the host.
  bool Connect();
  // Back to this computer.
  void Disconnect();
  // Reads the states of the services and sets their texts and buttons. A failure is reported;
  // `quiet` reports only a broken connection (the timer's reading).
  void RefreshStates(bool quiet = false);
  // A button of a service: the command (a removal only when the question is answered yes),
  // then the states anew. The focus stays on the row's buttons, never on Remove.
  void Act(int service, int command);

 protected:
  void LoadExtra() override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct ServiceRow {
    int service;
    QLabel* state;
    QPushButton* install;
    QPushButton* start;
    QPushButton* stop;
    QPushButton* remove;
    QCheckBox* autostart;
  };
  void AddServiceRow(QGridLayout* grid, int row, int service, const char* label, const char* name,
                     bool Settings::*autostart);
  void ShowState(ServiceRow& row, ServiceState state);
  ServiceRow* RowOf(int service);
  void RefreshOnTimer();
  // Runs one attempt behind the progress window; nothing when it was cancelled.
  std::optional<ConnectOutcome> Attempt(const ConnectRequest& request);

  QLineEdit* remote_host_;
  QLabel* managed_;
  QPushButton* connect_;
  QPushButton* local_;
  ServiceRow rows_[2];
  int row_count_ = 0;
  // The remembered connection, from this computer's settings.
  std::string remembered_login_;
  int32_t remembered_port_ = 0;
  // The TLS choice and port of the last connection made from this page.
  bool last_tls_ = false;
  uint16_t last_tls_port_ = 0;
  HostPrompt host_prompt_;
  ConnectPrompt connect_prompt_;
  Connector connector_;
  BeforeSwitch before_switch_;
  RemoveQuestion remove_question_;
  TrustQuestion trust_question_;
  QTimer refresh_;
  int refreshing_ = 0;  // readings under way
  // Cancelled connection attempts still ending (a host lookup cannot be cut short).
  std::vector<std::thread> cancelled_;
};

}  // namespace qv::console
