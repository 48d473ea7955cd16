#include "control/options.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/settings_table.h"
#include "common/strings.h"
#include "control/control_texts.h"
#include "control/setting_changes.h"
#include "control/stream_fields.h"

namespace qv::control {

namespace {

// The flag words in the order ShowOptions lists them.
struct FlagDef {
  const char* word;
  bool smtp;  // a bit of the SMTP flags, else of the common flags
  uint32_t bit;
};

const FlagDef kFlags[] = {
    {"DIALUP", false, kSysDialup},
    {"PING", false, kSysPing},
    {"NTUSER", false, kSysNtUser},
    {"USEDNS", true, kSmtpUseDns},
    {"USEMX", true, kSmtpUseMx},
    {"IMMEDIATELLY", true, kSmtpImmediately},
    {"RETRY", true, kSmtpRetry},
    {"RETURNTOSENDER", true, kSmtpReturnToSender},
    {"SENDINFO", true, kSmtpSendInfo},
    {"ATTACHMESSAGE", true, kSmtpAttachMessage},
    {"ESMTP", true, kSmtpEsmtp},
    {"ESMTPSIZE", true, kSmtpEsmtpSize},
    {"NOTIFYUNKNOWN", true, kSmtpNotifyUnknown},
    {"FORWARDUNKNOWN", true, kSmtpForwardUnknown},
    {"SEARCHUNKNOWN", true, kSmtpSearchUnknown},
    {"DNSSUBDOMAIN", true, kSmtpDnsSubdomain},
    {"DOMAINASHOST", true, kSmtpDomainAsHost},
};

constexpr size_t kFlagLineWidth = 46;

// The registry value of the flag words.
constexpr char kFlagsRow[] = "Flags";

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The leading number of a text (leading blanks, optional sign, digits; 0 without digits), and
// the position after it. A number beyond 32 bits comes out as one past their range, for the
// setting's bounds to refuse.
int64_t ReadNumber(std::string_view text, size_t* end) {
  constexpr int64_t kBeyond = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 2;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i)
    value = std::min(value * 10 + (text[i] - '0'), kBeyond);
  *end = i;
  return negative ? -value : value;
}

// Interval conversion of SET, before the bounds: see ParseInterval.
int64_t IntervalSeconds(std::string_view value, IntervalInput input) {
  size_t end = 0;
  int64_t number = ReadNumber(value, &end);
  while (end < value.size() && (IsDigit(value[end]) || value[end] == ' ')) ++end;
  char unit = end < value.size() ? UpperAscii(value[end]) : '\0';
  int64_t factor = 1;
  if (input == IntervalInput::kPingLike)
    factor = unit == 'D' ? 86400 : unit == 'H' ? 3600 : 60;
  else
    factor = unit == 'H' ? 3600 : unit == 'M' ? 60 : 1;
  return number * factor;
}

// The values of SET's listing in the order of its template.
std::vector<std::string> ShownValues(const Settings& settings) {
  std::vector<std::string> values;
  for (const SettingDef& def : SettingsTable()) {
    if (def.show < 0) continue;
    if (values.size() <= static_cast<size_t>(def.show)) values.resize(def.show + 1);
    std::string& value = values[def.show];
    if (def.kind == SettingKind::kText)
      value = FieldText(SettingText(settings, def), def.width);
    else if (def.conversion == SetConversion::kPingInterval)
      value = FormatInterval(SettingNumber(settings, def), IntervalKind::kMinutes);
    else if (def.conversion == SetConversion::kIdleInterval)
      value = FormatInterval(SettingNumber(settings, def), IntervalKind::kSeconds);
    else
      value = std::to_string(SettingNumber(settings, def));
  }
  return values;
}

// `layout` with each "%s" and "%d" replaced by the next of `values`, taken as they are.
std::string FillIn(std::string_view layout, const std::vector<std::string>& values) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < layout.size(); ++i) {
    if (layout[i] == '%' && i + 1 < layout.size() &&
        (layout[i + 1] == 's' || layout[i + 1] == 'd')) {
      if (next < values.size()) out += values[next++];
      ++i;
    } else {
      out += layout[i];
    }
  }
  return out;
}

// The rows of the OPTIONS line in its order.
std::vector<const SettingDef*> LineRows() {
  std::vector<const SettingDef*> rows;
  for (const SettingDef& def : SettingsTable()) {
    if (def.line < 0) continue;
    if (rows.size() <= static_cast<size_t>(def.line)) rows.resize(def.line + 1);
    rows[def.line] = &def;
  }
  return rows;
}

// The optional rows in table order: listed after the fixed lines, sent after the fixed fields.
std::vector<const SettingDef*> OptionalRows() {
  std::vector<const SettingDef*> rows;
  for (const SettingDef& def : SettingsTable())
    if (def.optional) rows.push_back(&def);
  return rows;
}

// The outgoing rows by record and name; SET hides the value of the password row.
struct OutgoingName {
  SettingRecord record;
  const char* name;
};
constexpr OutgoingName kOutgoing[] = {
    {SettingRecord::kSmtp, "ExchangeUser"}, {SettingRecord::kSmtp, "ExchangePassword"},
    {SettingRecord::kSmtp, "TLSOutgoing"},  {SettingRecord::kSmtp, "TLSVerify"},
    {SettingRecord::kPop3, "TLSRemote"},    {SettingRecord::kPop3, "TLSVerify"},
};
constexpr char kSecretRow[] = "ExchangePassword";

// A number the control service takes for a row: an outgoing number only within the range the
// console offers.
bool NumberFits(const SettingDef& def, int64_t number) {
  return !IsOutgoingRow(def) || (number >= def.edit_lower && number <= def.edit_upper);
}

// The groups of settings a line carries after its 43 fields.
struct LineGroups {
  bool optional = false;
  bool outgoing = false;
};

LineGroups GroupsOf(const Settings& settings) {
  LineGroups groups;
  for (const SettingDef* def : OptionalRows())
    groups.optional = groups.optional || OptionalSettingSet(settings, *def);
  for (const SettingDef* def : OutgoingRows())
    groups.outgoing = groups.outgoing || OutgoingSettingSet(settings, *def);
  // The outgoing fields follow the optional ones, which are then sent too.
  groups.optional = groups.optional || groups.outgoing;
  return groups;
}

LineGroups GroupsOf(const Settings& settings, const Settings* previous) {
  LineGroups groups = GroupsOf(settings);
  if (previous != nullptr) {
    LineGroups before = GroupsOf(*previous);
    groups.optional = groups.optional || before.optional;
    groups.outgoing = groups.outgoing || before.outgoing;
  }
  return groups;
}

bool ApplyFlagList(Settings& settings, std::string_view list, SettingChanges* changes) {
  bool any = false;
  size_t pos = 0;
  while (pos < list.size()) {
    while (pos < list.size() && (list[pos] == ' ' || list[pos] == ',' || list[pos] == '\t')) ++pos;
    if (pos >= list.size()) break;
    size_t end = list.find_first_of(" ,\t", pos);
    if (end == std::string_view::npos) end = list.size();
    std::string_view item = list.substr(pos, end - pos);
    pos = end;
    any = true;
    bool set = true;
    if (item[0] == '+' || item[0] == '-') {
      set = item[0] == '+';
      item.remove_prefix(1);
    }
    for (const FlagDef& flag : kFlags) {
      if (!EqualsNoCase(item, flag.word)) continue;
      uint32_t& word = flag.smtp ? settings.smtp.Flags : settings.system.Flags;
      word = set ? (word | flag.bit) : (word & ~flag.bit);
      if (changes != nullptr)
        changes->Mark(
            *FindSetting(flag.smtp ? SettingRecord::kSmtp : SettingRecord::kSystem, kFlagsRow),
            flag.bit);
      break;
    }
  }
  return any;
}

// A row's field of the OPTIONS line.
template <class Field>
void FieldOf(const Settings& settings, const SettingDef& def, Field& field) {
  if (def.kind == SettingKind::kText)
    field(FieldText(SettingText(settings, def), def.width));
  else
    field(std::to_string(SettingNumber(settings, def)));
}

// Takes a row's field of an OPTIONS line; false when the row refuses it. A text longer than its
// field is cut, as every stream field is.
bool StoreField(Settings& settings, const SettingDef& def, StreamFields& f) {
  if (def.kind != SettingKind::kText) {
    const int32_t number = f.Number();
    return NumberFits(def, number) && StoreSetting(settings, def, number);
  }
  std::string_view value = f.Next();
  return StoreSetting(settings, def, value.substr(0, std::min(value.size(), def.width - 1)));
}

}  // namespace

const std::vector<const SettingDef*>& OutgoingRows() {
  static const std::vector<const SettingDef*> rows = [] {
    std::vector<const SettingDef*> found;
    for (const OutgoingName& row : kOutgoing) found.push_back(FindSetting(row.record, row.name));
    return found;
  }();
  return rows;
}

bool IsOutgoingRow(const SettingDef& def) {
  const std::vector<const SettingDef*>& rows = OutgoingRows();
  return std::find(rows.begin(), rows.end(), &def) != rows.end();
}

bool OutgoingSettingSet(const Settings& settings, const SettingDef& def) {
  return def.kind == SettingKind::kText ? SettingText(settings, def)[0] != '\0'
                                        : SettingNumber(settings, def) != def.initial.number;
}

void ClearLineGroups(Settings& settings) {
  for (const SettingDef* def : OptionalRows()) {
    if (def->kind == SettingKind::kText)
      StoreSetting(settings, *def, std::string_view());
    else
      SettingNumber(settings, *def) = 0;
  }
  for (const SettingDef* def : OutgoingRows()) {
    if (def->kind == SettingKind::kText)
      StoreSetting(settings, *def, std::string_view());
    else
      SettingNumber(settings, *def) = def->initial.number;
  }
}

void SplitInterval(int32_t seconds, IntervalKind kind, int* number, const char** unit) {
  int n = 0;
  const char* u = kUnitMinutes;
  switch (kind) {
    case IntervalKind::kMinutes:
      n = seconds / 60;
      if (n > 60 && n % 60 == 0) {
        n = seconds / 3600;
        u = kUnitHours;
        if (n > 24 && n % 24 == 0) {
          n = seconds / 86400;
          u = kUnitDays;
        }
      }
      break;
    case IntervalKind::kSeconds:
      n = seconds;
      u = kUnitSeconds;
      if (seconds > 60 && seconds % 60 == 0) {
        int m = seconds / 60;
        if (m < 61 || m % 60 != 0) {
          n = m;
          u = kUnitMinutes;
        } else {
          n = seconds / 3600;
          u = kUnitHours;
        }
      }
      break;
    case IntervalKind::kAccount:
      n = seconds / 60;
      if (n >= 60 && n % 60 == 0) {
        n /= 60;
        u = kUnitHours;
        if (n >= 24 && n % 24 == 0) {
          n /= 24;
          u = kUnitDays;
        }
      }
      break;
  }
  *number = n;
  *unit = u;
}

std::string FormatInterval(int32_t seconds, IntervalKind kind) {
  int n = 0;
  const char* unit = nullptr;
  SplitInterval(seconds, kind, &n, &unit);
  return Format(kInterval, n, unit);
}

std::string FlagWords(const Settings& settings) {
  std::string words;
  for (const FlagDef& flag : kFlags) {
    uint32_t word = flag.smtp ? settings.smtp.Flags : settings.system.Flags;
    if ((word & flag.bit) != 0) {
      words += flag.word;
      words += ' ';
    }
  }
  return words;
}

std::string WrapFlagWords(std::string_view words) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    while (pos < words.size() && words[pos] == ' ') ++pos;
    std::string_view rest = words.substr(pos);
    if (rest.size() < kFlagLineWidth) {
      out += rest;
      return out;
    }
    size_t cut = rest.rfind(' ', kFlagLineWidth - 1);
    if (cut == std::string_view::npos || cut == 0) cut = kFlagLineWidth;  // one word too long
    out += rest.substr(0, cut);
    out += kFlagBreak;
    pos += cut;
  }
}

std::string ShowOptions(const Settings& settings) {
  std::string out = FillIn(kShowOptions, ShownValues(settings));
  for (const SettingDef* def : OptionalRows()) {
    if (!OptionalSettingSet(settings, *def)) continue;
    out += Format(kShowOptional, def->keyword,
                  def->kind == SettingKind::kText
                      ? std::string(FieldText(SettingText(settings, *def), def->width)).c_str()
                      : std::to_string(SettingNumber(settings, *def)).c_str());
  }
  for (const SettingDef* def : OutgoingRows()) {
    if (!OutgoingSettingSet(settings, *def)) continue;
    std::string value = def->kind != SettingKind::kText
                            ? std::to_string(SettingNumber(settings, *def))
                        : std::string_view(def->name) == kSecretRow
                            ? std::string(kHiddenPassword)
                            : std::string(FieldText(SettingText(settings, *def), def->width));
    out += Format(kShowOptional, def->keyword, value.c_str());
  }
  out += kShowFlags;
  out += WrapFlagWords(FlagWords(settings));
  out += kPrompt;
  return out;
}

bool ParseInterval(std::string_view value, IntervalInput input, int32_t* seconds) {
  int64_t result = IntervalSeconds(value, input);
  if (result > std::numeric_limits<int32_t>::max() || result < std::numeric_limits<int32_t>::min())
    return false;
  *seconds = static_cast<int32_t>(result);
  return true;
}

bool SetOption(Settings& settings, std::string_view keyword, std::string_view value,
               SettingChanges* changes) {
  while (!value.empty() && IsQuote(value.front())) value.remove_prefix(1);
  while (!value.empty() && IsQuote(value.back())) value.remove_suffix(1);
  if (EqualsNoCase(keyword, kFlagsKeyword)) return ApplyFlagList(settings, value, changes);
  const SettingDef* def = FindSettingKeyword(keyword);
  if (def == nullptr) return false;
  size_t end = 0;
  bool stored = false;
  switch (def->conversion) {
    case SetConversion::kNone:
      return false;
    case SetConversion::kText:
      stored = StoreSetting(settings, *def, value);
      break;
    case SetConversion::kDecimal: {
      const int64_t number = ReadNumber(value, &end);
      stored = NumberFits(*def, number) && StoreSetting(settings, *def, number);
      break;
    }
    case SetConversion::kPingInterval:
      stored = StoreSetting(settings, *def, IntervalSeconds(value, IntervalInput::kPingLike));
      break;
    case SetConversion::kIdleInterval:
      stored = StoreSetting(settings, *def, IntervalSeconds(value, IntervalInput::kIdle));
      break;
  }
  if (stored && changes != nullptr) changes->Mark(*def);
  return stored;
}

bool ApplySetArguments(Settings& settings, std::string_view arguments, SettingChanges* changes) {
  Settings changed = settings;
  SettingChanges named;
  std::string_view rest = arguments;
  if (rest.find('=') != std::string_view::npos) {
    while (!rest.empty()) {
      size_t equals = rest.find('=');
      if (equals == std::string_view::npos) return false;  // a word that assigns nothing
      std::string_view keyword = rest.substr(0, equals);
      while (!keyword.empty() && keyword.back() == ' ') keyword.remove_suffix(1);
      size_t start = equals + 1;
      while (start < rest.size() && rest[start] == ' ') ++start;
      size_t end = rest.find(' ', start);
      std::string_view value =
          rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
      if (!SetOption(changed, keyword, value, &named)) return false;
      if (end == std::string_view::npos) break;
      rest = rest.substr(end);
      while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    }
  } else {
    size_t blank = rest.find(' ');
    std::string_view word = rest.substr(0, blank);
    std::string_view value;
    if (EqualsNoCase(word, kFlagsKeyword) && blank != std::string_view::npos)
      value = rest.substr(blank + 1);
    if (!SetOption(changed, word, value, &named)) return false;
  }
  if (!SettingsChangeAccepted(settings, changed)) return false;
  settings = changed;
  if (changes != nullptr) changes->Add(named);
  return true;
}

std::string BuildOptionsLine(const Settings& settings, const OptionsExtras& extras,
                             const Settings* previous) {
  std::string out;
  auto field = [&out](std::string_view value) {
    out += value;
    out += '|';
  };
  for (const SettingDef* def : LineRows()) FieldOf(settings, *def, field);
  const NETINFO& n = settings.net;
  for (std::string_view text :
       {FieldText(n.Description), FieldText(n.SystemStatus), FieldText(n.Address)})
    field(text);
  for (const auto& text : extras.texts) field(FieldText(text));
  for (int32_t number : extras.numbers) field(std::to_string(number));
  const LineGroups groups = GroupsOf(settings, previous);
  if (groups.optional)
    for (const SettingDef* def : OptionalRows()) FieldOf(settings, *def, field);
  if (groups.outgoing)
    for (const SettingDef* def : OutgoingRows()) FieldOf(settings, *def, field);
  return out;
}

int OptionsFieldCount(const Settings& settings, const Settings* previous) {
  const LineGroups groups = GroupsOf(settings, previous);
  return kOptionsFieldCount + (groups.optional ? static_cast<int>(OptionalRows().size()) : 0) +
         (groups.outgoing ? static_cast<int>(OutgoingRows().size()) : 0);
}

bool ParseOptionsLine(std::string_view line, Settings* settings, OptionsExtras* extras) {
  size_t end = line.find_first_of(std::string_view("\r\n\0", 3));
  std::string_view fields = line.substr(0, end);
  size_t bars = 0;
  for (char c : fields) bars += c == '|';
  if (bars < kOptionsFieldCount - 1 ||
      (bars == kOptionsFieldCount - 1 && fields.back() == '|'))  // the 43rd field is missing
    return false;
  Settings changed = *settings;
  StreamFields f(fields);
  for (const SettingDef* def : LineRows())
    if (!StoreField(changed, *def, f)) return false;  // a port out of its range
  f.Skip();                                           // the sockets layer's description,
  f.Skip();                                           // its status
  f.Skip();                                           // and the host address are the host's own
  OptionsExtras taken = *extras;
  for (auto& text : taken.texts) f.Text(text);
  for (int32_t& number : taken.numbers) number = f.Number();
  // The optional rows follow when the line has more fields; a line without them keeps them.
  if (!f.Rest().empty())
    for (const SettingDef* def : OptionalRows())
      if (!StoreField(changed, *def, f)) return false;  // a bad address or a number out of bounds
  // The outgoing rows after them, each only when the line holds its field.
  for (const SettingDef* def : OutgoingRows())
    if (!f.Rest().empty() && !StoreField(changed, *def, f)) return false;
  if (!SettingsChangeAccepted(*settings, changed)) return false;
  *settings = changed;
  *extras = taken;
  return true;
}

}  // namespace qv::control
