#include "console/ui/event_log_page.h"

#include <unistd.h>

#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdlib>
#include <initializer_list>

#include "common/strings.h"
#include "console/ui/console_texts.h"
#include "platform/spawn.h"

namespace qv::console {

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate.push_back('/');
    candidate += name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return {};
    dirs.remove_prefix(colon + 1);
  }
}

std::vector<std::string> FallbackViewer(
    const std::string& path, const std::function<std::string(const std::string&)>& find) {
  if (std::string opener = find(kDefaultLogViewer); !opener.empty()) return {opener, path};
  auto first_of = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (name == nullptr || *name == '\0') continue;
      // A variable may carry arguments of its own ("less -S").
      std::vector<std::string> words = platform::SplitCommandLine(name);
      if (words.empty()) continue;
      words.front() = find(words.front());
      if (!words.front().empty()) return words;
    }
    return std::vector<std::string>{};
  };
  std::vector<std::string> terminal = first_of({std::getenv("TERMINAL"), "x-terminal-emulator"});
  std::vector<std::string> pager = first_of({std::getenv("PAGER"), "less", "more"});
  if (terminal.empty() || pager.empty()) return {};
  // Terminals take the program to run after -e.
  terminal.push_back("-e");
  terminal.insert(terminal.end(), pager.begin(), pager.end());
  terminal.push_back(path);
  return terminal;
}

EventLogPage::EventLogPage(ConsoleContext& context, QWidget* parent)
    : SettingsPage(context, parent),
      smtp_logs_(new QListWidget(this)),
      pop3_logs_(new QListWidget(this)) {
  auto* top = new QFormLayout;
  std::vector<QString> levels;
  for (const char* level : kLogLevels) levels.push_back(QString::fromLatin1(level));
  top->addRow(kLogLevelLabel, BindIndex(SettingRecord::kSystem, "LogLevel", levels));

  auto* logs = new QGridLayout;
  smtp_logs_->setObjectName("SmtpLogs");
  pop3_logs_->setObjectName("Pop3Logs");
  int column = 0;
  for (QListWidget* list : {smtp_logs_, pop3_logs_}) {
    auto* title = new QLabel(QString::fromLatin1(list == smtp_logs_ ? kSmtpLogs : kPop3Logs), this);
    auto* view = new QPushButton(QString::fromLatin1(kViewLog), this);
    view->setObjectName(list->objectName() + "View");
    logs->addWidget(title, 0, column);
    logs->addWidget(list, 1, column);
    logs->addWidget(view, 2, column, Qt::AlignLeft);
    view_buttons_.push_back(view);
    connect(view, &QPushButton::clicked, this, [this, list] { ViewSelected(list); });
    connect(list, &QListWidget::itemDoubleClicked, this, [this, list] { ViewSelected(list); });
    ++column;
  }

  auto* keep = new QFormLayout;
  keep->addRow(kMaxLogTimeLabel, BindNumber(SettingRecord::kSystem, "MaxLogTime"));
  viewer_ = BindText(SettingRecord::kSystem, "LogViewer");
  viewer_->setPlaceholderText(QString::fromLatin1(kDefaultLogViewer));
  auto* browse = new QPushButton(QString::fromLatin1(kBrowse), this);
  connect(browse, &QPushButton::clicked, this, &EventLogPage::ChooseViewer);
  auto* viewer_row = new QHBoxLayout;
  viewer_row->addWidget(viewer_, 1);
  viewer_row->addWidget(browse);
  keep->addRow(kLogViewerLabel, viewer_row);

  auto* paths = new QGroupBox(QString::fromLatin1(kPathsGroup), this);
  auto* paths_form = new QFormLayout(paths);
  paths_form->addRow(kLogPathLabel, BindText(SettingRecord::kSystem, "LogPath"));
  paths_form->addRow(kTempPathLabel, BindText(SettingRecord::kSystem, "TempPath"));
  paths_form->addRow(kMailPathLabel, BindText(SettingRecord::kSystem, "MailPath"));
  paths_form->addRow(kConfigPathLabel, BindText(SettingRecord::kSystem, "ConfigPath"));

  auto* page = new QVBoxLayout(this);
  page->addLayout(top);
  page->addLayout(logs, 1);
  page->addLayout(keep);
  page->addWidget(paths);
}

void EventLogPage::LoadExtra() {
  smtp_logs_->clear();
  pop3_logs_->clear();
  Result<LogFiles> files = context().store().ListLogFiles();
  if (context().Check(files)) {
    for (const std::string& f : files->smtp) smtp_logs_->addItem(QString::fromStdString(f));
    for (const std::string& f : files->pop3) pop3_logs_->addItem(QString::fromStdString(f));
  }
  for (QWidget* button : view_buttons_) button->setEnabled(!context().remote());
}

void EventLogPage::ViewSelected(QListWidget* list) {
  if (list->currentItem() != nullptr) ViewLog(list->currentItem()->text());
}

bool EventLogPage::ViewLog(const QString& file) {
  if (context().remote() || file.isEmpty() || file.contains('/')) return false;
  const std::string path =
      std::string(FieldText(context().settings().system.LogPath)) + "/" + file.toStdString();
  const std::string viewer = viewer_->text().trimmed().toStdString();
  std::vector<std::string> words = platform::SplitCommandLine(viewer);
  std::string program = words.empty() ? std::string() : FindProgram(words.front());
  if (!program.empty()) {
    // The administrator's own choice: when it fails, say so rather than show something else.
    std::vector<std::string> args(words.begin() + 1, words.end());
    args.push_back(path);
    if (platform::StartDetached(program, args)) return true;
    context().Message(kErrorTitle, QString::fromStdString(Format(kViewerFailed, viewer.c_str())));
    return false;
  }
  std::vector<std::string> fallback = FallbackViewer(path, FindProgram);
  if (!fallback.empty() &&
      platform::StartDetached(fallback.front(), {fallback.begin() + 1, fallback.end()}))
    return true;
  if (log_window_ != nullptr) log_window_->close();
  log_window_ = new LogWindow(window());
  if (!log_window_->Open(QString::fromStdString(path))) {
    log_window_->close();
    context().Message(kErrorTitle, QString::fromStdString(Format(kLogUnreadable, path.c_str())));
    return false;
  }
  log_window_->show();
  log_window_->raise();
  log_window_->activateWindow();
  return true;
}

void EventLogPage::ChooseViewer() {
  const QString filters = QtFilter(kChoosePrograms) + ";;" + QString::fromLatin1(kChooseAllFiles);
  QString chosen =
      QFileDialog::getOpenFileName(this, QString::fromLatin1(kLogViewerLabel), QString(), filters);
  if (!chosen.isEmpty()) viewer_->setText(chosen);
}

}  // namespace qv::console
