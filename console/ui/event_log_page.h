// The "Event Log" page: the log level, the transaction log files of the two mail services with a
// viewer, how long logs are kept, and the folders of the system.
#pragma once

#include <QPointer>
#include <functional>
#include <string>
#include <vector>

#include "console/ui/log_window.h"
#include "console/ui/settings_page.h"

class QListWidget;

namespace qv::console {

// Where a program named on a command line is: a name with a "/" as it is, else the first
// executable of that name in $PATH; empty when there is none (or the named file is no program).
std::string FindProgram(const std::string& name);

// How a log file is shown when the LogViewer setting names no program that can be found: the
// first of xdg-open, a pager in a terminal window ($TERMINAL or x-terminal-emulator, with
// $PAGER, less or more; only when both are there), or the console's own log window (an empty
// command). `find` looks a program up (FindProgram in the console).
std::vector<std::string> FallbackViewer(const std::string& path,
                                        const std::function<std::string(const std::string&)>& find);

class EventLogPage : public SettingsPage {
  Q_OBJECT

 public:
  explicit EventLogPage(ConsoleContext& context, QWidget* parent = nullptr);

  // Shows "<LogPath>/<file>": with the viewer of the LogViewer field as shown (it may carry
  // arguments of its own), or, when the field is empty or its program cannot be found, with the
  // FallbackViewer. A named viewer that cannot be started is reported with "Cannot open log
  // viewer '%s'!". Only in local mode: in remote mode the files are on the other host.
  bool ViewLog(const QString& file);
  // The console's own log window last opened (null when none is open).
  LogWindow* log_window() const { return log_window_; }

  QListWidget* smtp_logs() const { return smtp_logs_; }
  QListWidget* pop3_logs() const { return pop3_logs_; }

 protected:
  void LoadExtra() override;

 private:
  void ViewSelected(QListWidget* list);
  void ChooseViewer();

  QListWidget* smtp_logs_;
  QListWidget* pop3_logs_;
  QLineEdit* viewer_ = nullptr;
  std::vector<QWidget*> view_buttons_;
  QPointer<LogWindow> log_window_;
};

}  // namespace qv::console
