// The "Event Log" page: the log level, the transaction log files of the two mail services with a
// viewer, how long logs are kept, and the folders of the system.
#pragma once

#include <string>
#include <vector>

#include "console/ui/settings_page.h"

class QListWidget;

namespace qv::console {

// Where a program named on a command line is: a name with a "/" as it is, else the first
// executable of that name in $PATH; empty when there is none.
std::string FindProgram(const std::string& name);

class EventLogPage : public SettingsPage {
  Q_OBJECT

 public:
  explicit EventLogPage(ConsoleContext& context, QWidget* parent = nullptr);

  // Starts the log viewer (the LogViewer field as shown, or xdg-open when it is empty; it may carry
  // arguments of its own) with "<LogPath>/<file>". A viewer that cannot be started is reported with
  // "Cannot open log viewer '%s'!". Only in local mode: in remote mode the files are on the other
  // host.
  bool ViewLog(const QString& file);

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
};

}  // namespace qv::console
