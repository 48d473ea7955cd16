// What the control and password sessions need of the process around them: the settings last
// saved, their saving and reloading, the start and stop of the two mail services, the mailbox
// directories and the dial-up phone book. The sessions see only this seam, so tests drive them
// with a fake; SystemControlHost is the real one. Its methods may be called from a worker
// thread (the process runs the commands that wait for the services off its event loop).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/result.h"
#include "control/options.h"
#include "control/setting_changes.h"

namespace qv::control {

class ControlHost {
 public:
  virtual ~ControlHost() = default;
  // The process's settings: as loaded at start, then as a control session last saved them.
  virtual Settings CurrentSettings() = 0;
  // Writes the `changes` of a session's `mine` into the settings as stored (SaveSettingChanges);
  // the result, what is stored now, becomes the current settings.
  virtual Result<Settings> SaveChanges(const Settings& mine, const SettingChanges& changes) = 0;
  // `settings` with the three records reloaded from the registry (its network facts stay).
  virtual Settings ReloadedSettings(const Settings& settings) = 0;
  // ServiceCommand for the SMTP or POP3 service (kServiceSmtp, kServicePop3).
  virtual int ServiceCommand(int service, int command) = 0;
  virtual void SyncMailboxDirectories() = 0;
  // The OPTIONS stream's kept fields.
  virtual OptionsExtras Extras() = 0;
  virtual void SetExtras(const OptionsExtras& extras) = 0;
  // The names of the dial-up phone-book entries.
  virtual std::vector<std::string> PhoneBookEntries() = 0;
};

// Saves the three records whole in one locked, atomic replacement of the registry file, so a
// service started meanwhile reads either the old or the new settings (the console's local mode).
// An error when it could not be written.
// The outgoing settings (OutgoingRows), which are not saved with their records, are written
// only where they differ from `loaded` (the values the caller read and showed): settings saved
// without touching them write nothing of them.
Status SaveAllSettings(const Settings& settings, const Settings& loaded);

class SystemControlHost : public ControlHost {
 public:
  // `loaded`: the settings the process loaded at its start. The current settings start as a
  // copy; the mailbox directories are made after the tables of `loaded`, which must outlive
  // the host.
  explicit SystemControlHost(const Settings& loaded);

  Settings CurrentSettings() override;
  Result<Settings> SaveChanges(const Settings& mine, const SettingChanges& changes) override;
  Settings ReloadedSettings(const Settings& settings) override;
  int ServiceCommand(int service, int command) override;
  void SyncMailboxDirectories() override;
  OptionsExtras Extras() override;
  void SetExtras(const OptionsExtras& extras) override;
  std::vector<std::string> PhoneBookEntries() override;

 private:
  const SYSTEMSTRUCT& tables_;
  std::mutex mutex_;
  Settings current_;
  OptionsExtras extras_;
};

}  // namespace qv::control
