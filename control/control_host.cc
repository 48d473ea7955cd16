#include "control/control_host.h"

#include "common/tables.h"
#include "platform/rasapi_client.h"
#include "platform/registry.h"

namespace qv::control {

namespace {

constexpr char kRegistryNotWritten[] = "the settings could not be written to the registry";

}  // namespace

Status SaveAllSettings(const Settings& settings, const Settings& loaded) {
  reg::Batch batch;
  SaveSystemConfig(settings);
  SaveSmtpConfig(settings);
  SavePop3Config(settings);
  SettingChanges edited;
  edited.Note(loaded, settings);
  for (const SettingDef* def : OutgoingRows())
    if (edited.Changed(*def)) SaveSettingValues(settings, def->record, {def->name});
  if (batch.Commit() != reg::kSuccess) return Fail(kRegistryNotWritten);
  return {};
}

SystemControlHost::SystemControlHost(const Settings& loaded)
    : tables_(loaded.system), current_(loaded) {
  current_.nt_mode = false;  // the control service always starts and stops by presence
}

Settings SystemControlHost::CurrentSettings() {
  std::lock_guard<std::mutex> hold(mutex_);
  return current_;
}

Result<Settings> SystemControlHost::SaveChanges(const Settings& mine,
                                                const SettingChanges& changes) {
  Result<Settings> saved = SaveSettingChanges(mine, changes);
  std::lock_guard<std::mutex> hold(mutex_);
  if (saved) current_ = *saved;
  return saved;
}

Settings SystemControlHost::ReloadedSettings(const Settings& settings) {
  Settings reloaded = settings;
  LoadSystemConfig(reloaded);
  LoadSmtpConfig(reloaded);
  LoadPop3Config(reloaded);
  return reloaded;
}

int SystemControlHost::ServiceCommand(int service, int command) {
  Settings settings = CurrentSettings();
  settings.nt_mode = false;
  return qv::ServiceCommand(settings, service, command);
}

void SystemControlHost::SyncMailboxDirectories() {
  qv::SyncMailboxDirectories(tables_);
}

OptionsExtras SystemControlHost::Extras() {
  std::lock_guard<std::mutex> hold(mutex_);
  return extras_;
}

void SystemControlHost::SetExtras(const OptionsExtras& extras) {
  std::lock_guard<std::mutex> hold(mutex_);
  extras_ = extras;
}

std::vector<std::string> SystemControlHost::PhoneBookEntries() {
  // Through the dial-up layer: empty on a machine without it.
  return platform::ras::ListPhonebookEntries();
}

}  // namespace qv::control
