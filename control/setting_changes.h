// What a control session changed of the settings, row by row of the settings table and, in a
// flag word, bit by bit; and the save that writes only those changes into what the registry
// holds at that moment, so values saved on the machine meanwhile (the console's local mode,
// qvreg, the installer) stay. Only the rows the control service owns count: those that SET or the
// OPTIONS line change and that are saved. Values of others, such as the console's remembered
// remote host and login, are never written.
#pragma once

#include <cstdint>
#include <vector>

#include "common/config.h"
#include "common/result.h"
#include "common/settings_table.h"

namespace qv::control {

class SettingChanges {
 public:
  static constexpr uint32_t kWholeRow = 0xFFFFFFFF;

  SettingChanges();

  // Every owned row whose value differs between `before` and `after` (the flag bits that
  // differ).
  void Note(const Settings& before, const Settings& after);
  // A row a command named, changed or not: for a flag word the bits it named.
  void Mark(const SettingDef& def, uint32_t bits = kWholeRow);
  void Add(const SettingChanges& other);
  void Clear();
  bool empty() const;
  bool Changed(const SettingDef& def) const { return Bits(def) != 0; }

  // `stored` with the changed rows and bits of `mine`.
  void ApplyTo(const Settings& mine, Settings& stored) const;

 private:
  uint32_t Bits(const SettingDef& def) const;

  std::vector<uint32_t> bits_;  // one word per row of SettingsTable()
};

// True for a row the control service may write: saved, and settable by SET or the OPTIONS line;
// or one of the outgoing settings (OutgoingRows), which are written only when changed.
bool ControlOwnsSetting(const SettingDef& def);

// Under the registry's writer lock: reads the three records as stored, applies the changes of
// `mine` and writes the changed values alone, in one replacement of the file; the service
// folders are made where missing. Without a change nothing is read or written. The settings as
// now stored (with the network facts and mode of `mine`), or an error when the registry could
// not be written.
Result<Settings> SaveSettingChanges(const Settings& mine, const SettingChanges& changes);

}  // namespace qv::control
