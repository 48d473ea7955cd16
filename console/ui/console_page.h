// The console's pages share one context: the store of the current mode (local, or a control
// service), the settings as last loaded from it, and the way a page reports a failure. A page
// fills its fields from the settings (Load), writes them back (Store) and marks itself dirty when
// the user changes a field, so that closing the console can ask whether to save.
#pragma once

#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "common/config.h"
#include "common/result.h"
#include "console/store/console_store.h"

namespace qv::console {

class ConsoleContext : public QObject {
  Q_OBJECT

 public:
  // Starts in local mode with `store` (tests give a store of their own).
  explicit ConsoleContext(std::unique_ptr<ConsoleStore> store, QObject* parent = nullptr);
  ~ConsoleContext() override;

  ConsoleStore& store() { return *store_; }
  Settings& settings() { return settings_; }
  const Settings& settings() const { return settings_; }
  bool remote() const { return store_->remote(); }

  // The window that message boxes belong to.
  void set_window(QWidget* window) { window_ = window; }
  QWidget* window() const { return window_; }

  // Where messages go (title, text): a message box by default; tests collect them instead of
  // blocking on a modal box.
  using MessageSink = std::function<void(const QString& title, const QString& text)>;
  void set_message_sink(MessageSink sink) { sink_ = std::move(sink); }
  // Shows a message through the sink.
  void Message(const QString& title, const QString& text);

  // Replaces the store (a new connection, or back to local mode), reloads the settings and
  // tells every page (modeChanged). A remote session that is left is ended first, and waited
  // for, so that the settings loaded next include what it saved.
  void SwitchStore(std::unique_ptr<ConsoleStore> store);

  // Ends a remote connection without loading anything, for a console that is closing: the store
  // becomes this computer's again (the remote store's end sends QUIT); the settings and the
  // pages stay as they were and nobody is told.
  void EndConnection();

  // Loads the settings from the store with the wait cursor shown; false after a failure (which
  // was reported).
  bool LoadSettings();

  // Reports a failed store call in a message box. A broken connection shows "The connection is
  // broken!" and switches back to local mode. True when `status` was ok.
  bool Check(const Status& status);
  template <class T>
  bool Check(const Result<T>& result) {
    return result.ok() || Report(result.error());
  }

 signals:
  // The store or its settings were replaced: every page reloads.
  void modeChanged();

 private:
  bool Report(const std::string& error);

  std::unique_ptr<ConsoleStore> store_;
  Settings settings_;
  QWidget* window_ = nullptr;
  MessageSink sink_;
};

// Shows the wait cursor while it lives.
class WaitCursor {
 public:
  WaitCursor();
  ~WaitCursor();
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

class ConsolePage : public QWidget {
  Q_OBJECT

 public:
  ConsolePage(ConsoleContext& context, QWidget* parent = nullptr);

  // Fills the fields from context().settings() (and whatever else the page shows); clears dirty.
  virtual void Load() = 0;
  // Writes the fields into context().settings(). Pages that save on their own (the account
  // tree saves each record as its dialog closes) do nothing here.
  virtual void Store() {}

  bool dirty() const { return dirty_; }
  void set_dirty(bool dirty) { dirty_ = dirty; }

 protected:
  ConsoleContext& context() { return context_; }
  // Connect each field's change signal here.
  void MarkDirty() { dirty_ = true; }

 private:
  ConsoleContext& context_;
  bool dirty_ = false;
};

}  // namespace qv::console
