// The settings as the control protocol shows and takes them: the interval texts, the flag
// words, SET's keywords with their conversions, ShowOptions, and the whole configuration as one
// "|"-separated line (the OPTIONS stream the console reads and writes).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/settings_table.h"

namespace qv::control {

class SettingChanges;

// How an interval setting is shown: ConnectTime, SMTPTimer and ReturnTimer in minutes, hours
// or days; ClosingTime in seconds, minutes or hours; an account's Interval as POPA SHOW gives
// it (where 60 minutes already count as 1 hours).
enum class IntervalKind { kMinutes, kSeconds, kAccount };

// "%d %s": the number and its unit word.
std::string FormatInterval(int32_t seconds, IntervalKind kind);
// The same split into number and unit for formats that take them apart.
void SplitInterval(int32_t seconds, IntervalKind kind, int* number, const char** unit);

// The words of every set flag, each followed by one blank: the common flags DIALUP, PING,
// NTUSER, then the SMTP flags in bit order.
std::string FlagWords(const Settings& settings);

// The flag words cut into lines of at most 46 characters for ShowOptions: a piece ends at the
// last blank at or before the 46th character, and the next line is indented to the value
// column.
std::string WrapFlagWords(std::string_view words);

// SET without arguments.
std::string ShowOptions(const Settings& settings);

// One assignment of SET. The value loses leading and trailing quote characters; the keyword is
// compared as a whole word without regard to case. Texts longer than their setting's field,
// numbers and intervals that do not fit 32 bits, an unknown keyword, and FLAGS with nothing
// after it fail and change nothing. CONFIGDIR is shown but cannot be set. When `changes` is
// given, the row (or the flag bits) the assignment names is marked in it, changed or not.
bool SetOption(Settings& settings, std::string_view keyword, std::string_view value,
               SettingChanges* changes = nullptr);

// The arguments of a SET line (after the word SET and its blanks, without the line end):
// assignments "KEY=value" separated by blanks, or one word alone (FLAGS takes the rest of the
// line as its flag list; any other word is set to an empty value). All of them apply or none:
// false leaves `settings` as it was. The result must pass SettingsChangeAccepted. When all
// apply, the rows they name are marked in `changes` if it is given.
bool ApplySetArguments(Settings& settings, std::string_view arguments,
                       SettingChanges* changes = nullptr);

// Interval conversion of SET: the leading number times the unit named by the first letter that
// follows it ("d", "h" or else the default for PINGTIME and its kind; "h", "m" or else seconds
// for IDLETIME). False when the result does not fit 32 bits.
enum class IntervalInput { kPingLike, kIdle };
bool ParseInterval(std::string_view value, IntervalInput input, int32_t* seconds);

// The three texts and three numbers of the OPTIONS stream that the service only keeps from the
// last PUTSTREAM OPTIONS and sends back.
struct OptionsExtras {
  char texts[3][32] = {};
  int32_t numbers[3] = {};
};

// The outgoing connection settings, in the order SET lists them and the OPTIONS line sends
// them: SMTP ExchangeUser, ExchangePassword, TLSOutgoing, TLSVerify; POP3 TLSRemote, TLSVerify.
// They are not saved with their records: the control service writes one only when a session
// changed it, the console only when it was edited. A number outside the range the console
// offers (0 to 2, 0 or 1) is refused by SET and by the OPTIONS line.
const std::vector<const SettingDef*>& OutgoingRows();
bool IsOutgoingRow(const SettingDef& def);
// True while an outgoing row differs from its default (an empty text, the row's initial number):
// only then does SET list it and the OPTIONS line carry the outgoing group.
bool OutgoingSettingSet(const Settings& settings, const SettingDef& def);
// The text SET shows for the smart host's password instead of its value.
inline constexpr char kHiddenPassword[] = "********";

// The 43 fields, each followed by "|"; while one of the optional settings (ListenAddress,
// PreLogonTime, PreLogonPerAddress, PasswordPreLogonPerAddress) is set, those four follow;
// while one of the outgoing settings is set, those four (set or not) and the six outgoing ones.
// A group that `previous` sets is sent too, so that a value taken back to its default reaches
// the service (a line without a group leaves the group as it was).
std::string BuildOptionsLine(const Settings& settings, const OptionsExtras& extras,
                             const Settings* previous = nullptr);
// Reads an OPTIONS line with the stream field rules into the settings and the extras. The
// network facts (fields 35 to 37) describe the host the service runs on and are not taken.
// A line with fewer than the 43 fields changes nothing and gives false: taking the missing
// fields as empty would wipe the paths and ports that the services are started with. So does a
// number its row refuses (a port outside 1 to 65535) and a line SettingsChangeAccepted refuses.
// Fields 44 to 47 are the optional settings (missing ones not set, a value its row refuses
// refuses the line); a line without them leaves them as they were. Fields 48 to 53 are the
// outgoing settings: a missing one (the line ends before it) is left as it was, so that a line
// cut short never turns the certificate check off.
bool ParseOptionsLine(std::string_view line, Settings* settings, OptionsExtras* extras);
// The settings an OPTIONS line carries after its 43 fields, put back to their defaults (not
// set): what a reader of GETSTREAM OPTIONS starts from, since the service sends them only while
// set.
void ClearLineGroups(Settings& settings);

constexpr int kOptionsFieldCount = 43;
// The fields of the line BuildOptionsLine makes of `settings` (and `previous`): the 43, the four
// optional settings and the six outgoing ones as described there.
int OptionsFieldCount(const Settings& settings, const Settings* previous = nullptr);

}  // namespace qv::control
