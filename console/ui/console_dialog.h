// The console's dialog: the eight pages in their tabs, the window title that names the managed
// server, saving and the question before unsaved changes are lost.
//
// Saving stores every page into the settings and hands them to the store (in remote mode the
// control service saves them and restarts the mail services), so it happens only when a page
// was changed: on OK and Apply, and when closing or changing the managed server answers "Save
// your changes?" with yes. Closing the dialog ends a remote connection.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <vector>

#include "console/ui/console_page.h"

class QTabWidget;

namespace qv::console {

class AboutPage;
class AccountsPage;
class AdministratorPage;
class ConnectionPage;
class EventLogPage;
class ForwardingPage;
class OptionsPage;
class ServersPage;

class ConsoleDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ConsoleDialog(std::unique_ptr<ConsoleStore> store, QWidget* parent = nullptr);
  ~ConsoleDialog() override;

  ConsoleContext& context() { return *context_; }

  // Loads the settings from the store and fills every page.
  void Reload();
  // Stores every page, checks the settings (CheckSettings) and saves them; the pages are clean
  // afterwards. False when the check or the store refused (reported; a refused field is shown).
  bool Save();
  // Whether any page has unsaved changes.
  bool dirty() const;

  // The answer to "Save your changes?" (title "Save?"): a message box by default; tests answer
  // it themselves.
  enum class Answer { kYes, kNo, kCancel };
  using SaveQuestion = std::function<Answer()>;
  void set_save_question(SaveQuestion question) { save_question_ = std::move(question); }
  // Asks about unsaved changes, if there are any: yes saves, no drops them (the pages load the
  // settings anew), cancel stays. True when the console may go on.
  bool SettleChanges();

  QTabWidget* tabs() const { return tabs_; }
  ConsolePage* page(int index) const { return pages_.at(static_cast<size_t>(index)); }
  ServersPage* servers() const { return servers_; }
  EventLogPage* event_log() const { return event_log_; }

  // OK: saves when something changed, then closes (stays when saving failed).
  void accept() override;
  // Cancel, Escape and the window's close button: settles unsaved changes, then closes.
  void reject() override;
  // Every way of closing ends here: a remote connection ends.
  void done(int result) override;

 private:
  void ReloadPages();
  void UpdateTitle();

  std::unique_ptr<ConsoleContext> context_;
  QTabWidget* tabs_;
  std::vector<ConsolePage*> pages_;
  ServersPage* servers_ = nullptr;
  EventLogPage* event_log_ = nullptr;
  SaveQuestion save_question_;
  bool reloading_ = false;
  bool reload_again_ = false;
};

}  // namespace qv::console
