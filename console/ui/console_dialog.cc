#include "console/ui/console_dialog.h"

#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <optional>
#include <string_view>

#include "common/strings.h"
#include "console/ui/about_page.h"
#include "console/ui/accounts_page.h"
#include "console/ui/administrator_page.h"
#include "console/ui/connection_page.h"
#include "console/ui/console_texts.h"
#include "console/ui/event_log_page.h"
#include "console/ui/forwarding_page.h"
#include "console/ui/options_page.h"
#include "console/ui/servers_page.h"
#include "console/ui/settings_page.h"

namespace qv::console {

static_assert(std::string_view(kConnectionBrokenText) == kConnectionBroken);

ConsoleDialog::ConsoleDialog(std::unique_ptr<ConsoleStore> store, QWidget* parent)
    : QDialog(parent),
      context_(std::make_unique<ConsoleContext>(std::move(store))),
      tabs_(new QTabWidget(this)) {
  setObjectName("ConsoleDialog");
  context_->set_window(this);
  tabs_->setObjectName("Pages");
  servers_ = new ServersPage(*context_, tabs_);
  event_log_ = new EventLogPage(*context_, tabs_);
  const std::pair<ConsolePage*, const char*> pages[] = {
      {servers_, kTabServers},
      {new AdministratorPage(*context_, tabs_), kTabAdministrator},
      {new ConnectionPage(*context_, tabs_), kTabConnection},
      {new AccountsPage(*context_, tabs_), kTabAccounts},
      {new ForwardingPage(*context_, tabs_), kTabForwarding},
      {new OptionsPage(*context_, tabs_), kTabOptions},
      {event_log_, kTabEventLog},
      {new AboutPage(*context_, tabs_), kTabAbout},
  };
  for (const auto& [page, title] : pages) {
    tabs_->addTab(page, QString::fromLatin1(title));
    pages_.push_back(page);
  }
  servers_->set_before_switch([this] { return SettleChanges(); });

  auto* buttons = new QDialogButtonBox(
      QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
  buttons->setObjectName("Buttons");
  connect(buttons, &QDialogButtonBox::accepted, this, &ConsoleDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &ConsoleDialog::reject);
  connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, [this] {
    if (dirty()) Save();
  });
  auto* column = new QVBoxLayout(this);
  column->addWidget(tabs_, 1);
  column->addWidget(buttons);

  save_question_ = [this] {
    switch (QMessageBox::question(this, QString::fromLatin1(kSaveTitle),
                                  QString::fromLatin1(kSaveQuestion),
                                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel)) {
      case QMessageBox::Yes:
        return Answer::kYes;
      case QMessageBox::No:
        return Answer::kNo;
      default:
        return Answer::kCancel;
    }
  };
  connect(context_.get(), &ConsoleContext::modeChanged, this, [this] {
    ReloadPages();
    UpdateTitle();
  });
  UpdateTitle();
  resize(660, 600);
}

ConsoleDialog::~ConsoleDialog() {
  // The pages refer to the context: they (Qt children of the tabs) go before it does.
  pages_.clear();
  std::unique_ptr<QTabWidget> pages(tabs_);
  tabs_ = nullptr;
}

void ConsoleDialog::Reload() {
  context_->LoadSettings();
  ReloadPages();
  UpdateTitle();
}

void ConsoleDialog::ReloadPages() {
  // A page that finds the connection broken switches the mode, which reloads every page while
  // this loop is still running: the loop then starts over instead of nesting.
  if (reloading_) {
    reload_again_ = true;
    return;
  }
  reloading_ = true;
  do {
    reload_again_ = false;
    for (ConsolePage* page : pages_) {
      page->Load();
      if (reload_again_) break;
    }
  } while (reload_again_);
  reloading_ = false;
}

void ConsoleDialog::UpdateTitle() {
  if (context_->remote())
    setWindowTitle(QString::fromStdString(Format(kTitleRemote, context_->store().host().c_str())));
  else
    setWindowTitle(QString::fromLatin1(kTitleLocal));
}

bool ConsoleDialog::dirty() const {
  for (const ConsolePage* page : pages_)
    if (page->dirty()) return true;
  return false;
}

bool ConsoleDialog::Save() {
  const Settings before = context_->settings();
  for (ConsolePage* page : pages_) page->Store();
  if (std::optional<SettingsRefusal> refused =
          CheckSettings(before, context_->settings(), !context_->remote())) {
    // Nothing is saved; the pages still show what was typed, on the page of the field.
    context_->settings() = before;
    context_->Message(QString::fromLatin1(kErrorTitle), refused->text);
    if (QWidget* field = refused->field.isEmpty() ? nullptr : findChild<QWidget*>(refused->field)) {
      for (ConsolePage* page : pages_)
        if (page->isAncestorOf(field)) tabs_->setCurrentWidget(page);
      field->setFocus();
    }
    return false;
  }
  {
    WaitCursor wait;
    if (!context_->Check(context_->store().SaveSettings(context_->settings()))) return false;
  }
  for (ConsolePage* page : pages_) page->set_dirty(false);
  // A remote save restarts the mail services; a local one may change the start entry.
  servers_->RefreshStates();
  return true;
}

bool ConsoleDialog::SettleChanges() {
  if (!dirty()) return true;
  switch (save_question_()) {
    case Answer::kYes:
      return Save();
    case Answer::kNo:
      ReloadPages();
      return true;
    case Answer::kCancel:
      break;
  }
  return false;
}

void ConsoleDialog::accept() {
  if (dirty() && !Save()) return;
  QDialog::accept();
}

void ConsoleDialog::reject() {
  if (!SettleChanges()) return;
  QDialog::reject();
}

void ConsoleDialog::done(int result) {
  context_->EndConnection();
  QDialog::done(result);
}

}  // namespace qv::console
