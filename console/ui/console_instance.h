// One console per system root. The first console to open holds the lock "run/qvcpl.lock" under
// the system root for as long as it is open and listens on a local socket named after the root;
// a console opened while the lock is held asks the first one, through that socket, to bring its
// window (and whatever box it shows) to the front, and opens nothing itself.
//
// Protocol on the socket: the asking side sends "RAISE\n"; the first console raises its window
// and answers "OK\n". The asking side waits in a local event loop, so both sides may live in one
// thread (the tests do so).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>

#include "platform/presence.h"

class QLocalServer;
class QLocalSocket;

namespace qv::console {

// The lock's name under run/.
inline constexpr char kConsoleLockName[] = "qvcpl";

// The local socket's name: derived from the system root and the user.
QString InstanceSocketName();

struct ClaimOutcome;

class ConsoleInstance : public QObject {
  Q_OBJECT

 public:
  ~ConsoleInstance() override;

  // The window to bring forward when another console is opened.
  void set_window(QWidget* window) { window_ = window; }
  // Brings the window forward, with its topmost modal box.
  void Raise();

 signals:
  // A second console asked this one to come forward (after the window was raised).
  void raised();

 private:
  friend ClaimOutcome ClaimConsole(int ask_timeout_ms);
  ConsoleInstance(std::unique_ptr<platform::PresenceLock> lock);
  void Serve(QLocalSocket* socket);

  std::unique_ptr<platform::PresenceLock> lock_;
  QLocalServer* server_;
  QPointer<QWidget> window_;
};

struct ClaimOutcome {
  // This console is the one: show the dialog while `instance` lives. Null when another console
  // holds the system root.
  std::unique_ptr<ConsoleInstance> instance;
  // Another console holds it and answered the request to come forward.
  bool other_raised = false;
};

// Takes the system root's console lock, or asks its holder to come forward (waiting at most
// `ask_timeout_ms` for the answer). A root whose run folder cannot be written has no lock to
// take: the console then opens as if it were the first.
ClaimOutcome ClaimConsole(int ask_timeout_ms = 3000);

// The open message of the applet: claims the console and, when this is the first one, shows the
// dialog on this computer's settings as a modal window over `parent` until it is closed. False
// when no dialog was shown (another console came forward instead).
bool OpenConsole(QWidget* parent);

}  // namespace qv::console
