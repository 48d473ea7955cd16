// Every setting of the three settings records, declared once: where it lives in qv::Settings,
// its registry value, its defaults, the numbers writers accept, its keyword and place in the
// control service's SET, SHOW and OPTIONS line, and the range the console offers. Loading,
// saving, the control service, the console and the installer all walk this table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <string_view>

#include "common/config.h"

namespace qv {

// The record, and so the registry key, a setting belongs to.
enum class SettingRecord : uint8_t { kSystem, kSmtp, kPop3 };

// A zero-terminated text of a fixed width, a 32-bit number, or a word of flag bits.
enum class SettingKind : uint8_t { kText, kNumber, kFlags };

// How the registry value is taken: a text of any type, a text of the text type, the same but
// not empty; a number of the number type, or whatever bytes are stored (at most four).
enum class ReadRule : uint8_t { kAnyText, kSz, kSzNonEmpty, kDword, kRawNumber };

// Where a value comes from when it is not (or not yet) read: left as it was, the row's text or
// number, the host name of the network facts, the machine's logon domain, the install path
// followed by the row's text, or the first of the domains (up to the first ";").
enum class Fallback : uint8_t {
  kKeep,
  kText,
  kNumber,
  kNetHostName,
  kLogonDomain,
  kUnderInstallPath,
  kFirstDomain
};

struct SettingDefault {
  Fallback rule = Fallback::kKeep;
  const char* text = "";
  int32_t number = 0;
};

// What loading does to a value once all of its key has been read: nothing, drop one trailing
// "/", replace a path ending in "/" by the install path followed by the row's text, raise a
// number to at least the row's number, or bring a number that is set (not 0) within the row's
// bounds.
enum class Tidy : uint8_t { kNone, kDropSlash, kSlashMeansUnderInstall, kAtLeast, kWithinBounds };

// What a row is to the rules across rows (SettingsChangeAccepted): one of the four listening
// ports, which must differ from each other, or a folder the services write into and clean up,
// which may not be the root or a system folder.
enum class SettingGuard : uint8_t { kNone, kListenerPort, kServiceFolder };

// How SET converts its value: not settable, a text, a decimal number, an interval whose bare
// number counts minutes (d/h units), or one whose bare number counts seconds (h/m units).
enum class SetConversion : uint8_t { kNone, kText, kDecimal, kPingInterval, kIdleInterval };

struct SettingDef {
  const char* name;  // the registry value, and the console's field name
  SettingRecord record;
  SettingKind kind;
  size_t offset;  // inside the record
  size_t width;   // of a text, with its terminating zero
  ReadRule read;
  SettingDefault initial;  // before loading, and all a missing key gives
  SettingDefault missing;  // a value missing (or refused by `read`) from an existing key
  Tidy tidy;
  SettingDefault tidy_with;
  // Numbers every writer accepts (SET, PUTSTREAM OPTIONS, the console); texts must fit `width`.
  int64_t lower;
  int64_t upper;
  // The range the console's number field offers (a stored value outside it is kept).
  int32_t edit_lower;
  int32_t edit_upper;
  int save;             // place among the key's values when the record is saved; -1: never saved
  int line;             // field of the OPTIONS line; -1: not in it
  int show;             // place of the value in SET's listing; -1: not shown
  const char* keyword;  // SET's keyword; nullptr: not settable
  SetConversion conversion;
  SettingGuard guard = SettingGuard::kNone;
  // A row added to the system's own settings. 0 (or an empty text) means "not set": the service
  // uses its own default, writers take 0 besides the bounds, loading keeps 0 for a missing value,
  // saving removes the value, and SET's listing and the OPTIONS line show the row only while
  // set (after the fixed lines and fields), so that without it every text stays as it was.
  bool optional = false;
  // A text that must be an IPv4 or IPv6 address literal when not empty (IsAddressLiteral).
  bool address = false;
};

// The rows in the order loading reads them (a default may depend on an earlier row).
std::span<const SettingDef> SettingsTable();

// The row of a record's value, or nullptr.
const SettingDef* FindSetting(SettingRecord record, std::string_view name);
// The row of a SET keyword (compared without regard to case), or nullptr.
const SettingDef* FindSettingKeyword(std::string_view keyword);

// The registry key of a record, and its class.
const char* SettingKey(SettingRecord record);
const char* SettingKeyClass(SettingRecord record);

// The field of a row inside a Settings value.
char* SettingText(Settings& settings, const SettingDef& def);
const char* SettingText(const Settings& settings, const SettingDef& def);
// A number or a flag word (the flags as their 32 bits).
int32_t& SettingNumber(Settings& settings, const SettingDef& def);
int32_t SettingNumber(const Settings& settings, const SettingDef& def);

// The one check of what writers may store: a number within the row's bounds (or 0 for an
// optional row), a text shorter than the row's width without a zero byte (and an address literal
// or empty for an address row). The Store functions check and store; false changes nothing.
bool SettingAccepts(const SettingDef& def, int64_t number);
bool SettingAccepts(const SettingDef& def, std::string_view text);
bool StoreSetting(Settings& settings, const SettingDef& def, int64_t number);
bool StoreSetting(Settings& settings, const SettingDef& def, std::string_view text);

// The rules across rows that keep the administrator able to reach and run the services: the four
// listening ports differ from each other, and none of the service folders is "/" or a system
// folder (IsSystemFolder). Only the rows that `after` changes from `before` are judged, so a value
// stored earlier by other means does not block an unrelated change. SET, PUTSTREAM OPTIONS and
// the console's save refuse a change that fails.
bool SettingsChangeAccepted(const Settings& before, const Settings& after);
// True for an IPv4 address in dotted decimal ("127.0.0.1") or an IPv6 address ("::1"), without
// blanks, brackets, a port or a zone.
bool IsAddressLiteral(std::string_view text);
// True while an optional row holds a value (not 0, not empty).
bool OptionalSettingSet(const Settings& settings, const SettingDef& def);

// True for "/" and the system folders (/etc, /usr, /bin, /sbin, /lib, /boot, /proc, /sys, /dev),
// also written with repeated or trailing slashes and "." or ".." steps. A relative path is none.
bool IsSystemFolder(std::string_view path);

// Loads one record from its key: every row's initial value, then what the key holds (a value
// missing or refused by the row's rule gives the row's `missing` default), then the tidying.
// False when the key is missing; the record then holds the initial values.
bool LoadSettingsRecord(Settings& settings, SettingRecord record);
// Writes every saved row of a record into its key (created when missing), in the rows' save
// order; false when the key cannot be created or a value cannot be stored.
bool SaveSettingsRecord(const Settings& settings, SettingRecord record);
// The same for the named values of a record only, in the order given.
bool SaveSettingValues(const Settings& settings, SettingRecord record,
                       std::initializer_list<std::string_view> names);

// The rows of one record in the order they are saved.
template <class Visit>
void ForEachSaved(SettingRecord record, Visit visit) {
  for (int place = 0;; ++place) {
    const SettingDef* found = nullptr;
    for (const SettingDef& def : SettingsTable())
      if (def.record == record && def.save == place) found = &def;
    if (found == nullptr) return;
    visit(*found);
  }
}

}  // namespace qv
