#include "console/ui/console_page.h"

#include <QApplication>
#include <QCursor>
#include <QMessageBox>

namespace qv::console {

ConsoleContext::ConsoleContext(std::unique_ptr<ConsoleStore> store, QObject* parent)
    : QObject(parent), store_(std::move(store)) {}

ConsoleContext::~ConsoleContext() = default;

void ConsoleContext::SwitchStore(std::unique_ptr<ConsoleStore> store) {
  if (store_->remote()) {
    // The session's end is awaited: the service writes its settings before it answers, and the
    // pages are to show what is stored once it has.
    WaitCursor wait;
    store_->EndSession();
  }
  store_ = std::move(store);
  LoadSettings();
  emit modeChanged();
}

void ConsoleContext::EndConnection() {
  if (store_->remote()) store_ = MakeLocalStore();
}

bool ConsoleContext::LoadSettings() {
  WaitCursor wait;
  return Check(store_->LoadSettings(&settings_));
}

bool ConsoleContext::Check(const Status& status) {
  return status.ok() || Report(status.error());
}

void ConsoleContext::Message(const QString& title, const QString& text) {
  if (sink_) {
    sink_(title, text);
  } else {
    QMessageBox::critical(window_, title, text);
  }
}

bool ConsoleContext::Report(const std::string& error) {
  Message(QStringLiteral("Error"), QString::fromStdString(error));
  if (error == kConnectionBroken && store_->remote()) SwitchStore(MakeLocalStore());
  return false;
}

WaitCursor::WaitCursor() {
  QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}
WaitCursor::~WaitCursor() {
  QApplication::restoreOverrideCursor();
}

ConsolePage::ConsolePage(ConsoleContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {}

}  // namespace qv::console
