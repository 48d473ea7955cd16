#include "console/ui/console_instance.h"

#include <unistd.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include "console/ui/console_dialog.h"
#include "platform/sysroot.h"

namespace qv::console {

namespace {

constexpr char kRaiseRequest[] = "RAISE\n";
constexpr char kRaiseAnswer[] = "OK\n";
constexpr int kRetryPauseMs = 100;

// One request to the holder: true when it answered.
bool AskToRaise(int timeout_ms) {
  QLocalSocket socket;
  QEventLoop loop;
  bool answered = false;
  QByteArray received;
  QObject::connect(&socket, &QLocalSocket::connected, &loop, [&] { socket.write(kRaiseRequest); });
  QObject::connect(&socket, &QLocalSocket::readyRead, &loop, [&] {
    received += socket.readAll();
    if (received.startsWith(kRaiseAnswer)) {
      answered = true;
      loop.quit();
    }
  });
  QObject::connect(&socket, &QLocalSocket::errorOccurred, &loop, [&] { loop.quit(); });
  QObject::connect(&socket, &QLocalSocket::disconnected, &loop, [&] { loop.quit(); });
  QTimer::singleShot(timeout_ms, &loop, [&] { loop.quit(); });
  socket.connectToServer(InstanceSocketName());
  if (socket.state() != QLocalSocket::UnconnectedState) loop.exec();
  return answered;
}

}  // namespace

QString InstanceSocketName() {
  const QByteArray root = QByteArray::fromStdString(platform::SystemRoot());
  const QByteArray digest = QCryptographicHash::hash(root, QCryptographicHash::Sha1).toHex();
  return QStringLiteral("qvcpl-%1-%2").arg(getuid()).arg(QString::fromLatin1(digest.left(16)));
}

ConsoleInstance::ConsoleInstance(std::unique_ptr<platform::PresenceLock> lock)
    : lock_(std::move(lock)), server_(new QLocalServer(this)) {
  if (lock_ == nullptr) return;
  // The lock is ours, so a socket left by a console that died is stale.
  QLocalServer::removeServer(InstanceSocketName());
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  server_->listen(InstanceSocketName());
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) Serve(socket);
  });
}

ConsoleInstance::~ConsoleInstance() {
  server_->close();
}

void ConsoleInstance::Serve(QLocalSocket* socket) {
  connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
    if (!socket->canReadLine()) {
      if (socket->bytesAvailable() > 64) socket->disconnectFromServer();
      return;
    }
    const QByteArray line = socket->readLine(64);
    if (line == kRaiseRequest) {
      Raise();
      socket->write(kRaiseAnswer);
      socket->flush();
      emit raised();
    }
    socket->disconnectFromServer();
  });
}

void ConsoleInstance::Raise() {
  if (window_ == nullptr) return;
  if (window_->isMinimized()) window_->showNormal();
  window_->raise();
  window_->activateWindow();
  // The box the console shows on top of its window (a question, a record dialog) comes too.
  QWidget* modal = QApplication::activeModalWidget();
  if (modal != nullptr && modal != window_) {
    modal->raise();
    modal->activateWindow();
  }
}

ClaimOutcome ClaimConsole(int ask_timeout_ms) {
  ClaimOutcome outcome;
  std::unique_ptr<platform::PresenceLock> lock = platform::PresenceLock::Acquire(kConsoleLockName);
  if (lock == nullptr && platform::FindServiceWindow(kConsoleLockName)) {
    // The holder may still be starting to listen: tries until the time is up.
    QElapsedTimer clock;
    clock.start();
    while (!outcome.other_raised && clock.elapsed() < ask_timeout_ms) {
      outcome.other_raised = AskToRaise(static_cast<int>(ask_timeout_ms - clock.elapsed()));
      if (outcome.other_raised) break;
      // It closed meanwhile: this console is the one after all.
      if (!platform::FindServiceWindow(kConsoleLockName)) return ClaimConsole(ask_timeout_ms);
      QEventLoop pause;
      QTimer::singleShot(kRetryPauseMs, &pause, &QEventLoop::quit);
      pause.exec();
    }
    return outcome;
  }
  outcome.instance.reset(new ConsoleInstance(std::move(lock)));
  return outcome;
}

bool OpenConsole(QWidget* parent) {
  ClaimOutcome claim = ClaimConsole();
  if (claim.instance == nullptr) return false;
  ConsoleDialog dialog(MakeLocalStore(), parent);
  claim.instance->set_window(&dialog);
  dialog.Reload();
  dialog.exec();
  return true;
}

}  // namespace qv::console
