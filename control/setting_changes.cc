#include "control/setting_changes.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "control/options.h"
#include "platform/registry.h"

namespace qv::control {

namespace {

constexpr char kRegistryNotWritten[] = "the settings could not be written to the registry";

size_t RowIndex(const SettingDef& def) {
  return static_cast<size_t>(&def - SettingsTable().data());
}

// The bits in which a row differs between two settings: all of them for a text or a number.
uint32_t Difference(const SettingDef& def, const Settings& a, const Settings& b) {
  if (def.kind == SettingKind::kText)
    return std::strncmp(SettingText(a, def), SettingText(b, def), def.width) == 0
               ? 0
               : SettingChanges::kWholeRow;
  uint32_t diff = static_cast<uint32_t>(SettingNumber(a, def) ^ SettingNumber(b, def));
  if (def.kind == SettingKind::kFlags) return diff;
  return diff == 0 ? 0 : SettingChanges::kWholeRow;
}

}  // namespace

bool ControlOwnsSetting(const SettingDef& def) {
  return (def.save >= 0 && (def.keyword != nullptr || def.line >= 0)) || IsOutgoingRow(def);
}

SettingChanges::SettingChanges() : bits_(SettingsTable().size(), 0) {}

void SettingChanges::Note(const Settings& before, const Settings& after) {
  for (const SettingDef& def : SettingsTable())
    if (ControlOwnsSetting(def)) bits_[RowIndex(def)] |= Difference(def, before, after);
}

void SettingChanges::Mark(const SettingDef& def, uint32_t bits) {
  if (ControlOwnsSetting(def)) bits_[RowIndex(def)] |= bits;
}

void SettingChanges::Add(const SettingChanges& other) {
  for (size_t i = 0; i < bits_.size(); ++i) bits_[i] |= other.bits_[i];
}

void SettingChanges::Clear() {
  std::fill(bits_.begin(), bits_.end(), 0);
}

bool SettingChanges::empty() const {
  return std::all_of(bits_.begin(), bits_.end(), [](uint32_t bits) { return bits == 0; });
}

uint32_t SettingChanges::Bits(const SettingDef& def) const {
  return bits_[RowIndex(def)];
}

void SettingChanges::ApplyTo(const Settings& mine, Settings& stored) const {
  for (const SettingDef& def : SettingsTable()) {
    uint32_t bits = Bits(def);
    if (bits == 0) continue;
    if (def.kind == SettingKind::kText) {
      std::memcpy(SettingText(stored, def), SettingText(mine, def), def.width);
    } else {
      uint32_t kept = static_cast<uint32_t>(SettingNumber(stored, def)) & ~bits;
      uint32_t taken = static_cast<uint32_t>(SettingNumber(mine, def)) & bits;
      SettingNumber(stored, def) = static_cast<int32_t>(kept | taken);
    }
  }
}

Result<Settings> SaveSettingChanges(const Settings& mine, const SettingChanges& changes) {
  if (changes.empty()) return mine;
  Settings merged = mine;
  reg::Batch batch;  // the writer lock, from this read to the replacement of the file
  LoadSystemConfig(merged);
  LoadSmtpConfig(merged);
  LoadPop3Config(merged);
  changes.ApplyTo(mine, merged);
  bool stored = true;
  for (const SettingDef& def : SettingsTable())
    if (changes.Changed(def))
      stored = SaveSettingValues(merged, def.record, {std::string_view(def.name)}) && stored;
  if (!stored || batch.Commit() != reg::kSuccess) return Fail(kRegistryNotWritten);
  MakeServiceFolders(merged.system);
  return merged;
}

}  // namespace qv::control
