// SET, SHOW and the OPTIONS line for every row of the settings table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/records.h"
#include "common/settings_table.h"
#include "control/options.h"
#include "control/service.h"

namespace qv::control {
namespace {

std::vector<std::string> LineFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t bar = line.find('|'); bar != std::string::npos; bar = line.find('|', start)) {
    fields.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  return fields;
}

// Settings as loaded from an empty registry as far as the line's groups go: the outgoing
// settings at their defaults (a zero-filled TLSVerify would count as set).
Settings Unset() {
  Settings s;
  ClearLineGroups(s);
  return s;
}

// What SET is given for a row, what the row then holds and how SHOW shows it.
struct Assignment {
  std::string value;
  std::string shown;
  int32_t number = 0;
};

Assignment AssignmentFor(const SettingDef& def, int index) {
  const std::string n = std::to_string(4100 + index);
  switch (def.conversion) {
    case SetConversion::kText:
      return {"t" + n + def.keyword, "t" + n + def.keyword};
    case SetConversion::kPingInterval:  // 3 days for rows counted in minutes
      return {std::to_string(index + 3) + "d", std::to_string(index + 3) + " days",
              (index + 3) * 86400};
    case SetConversion::kIdleInterval:
      return {std::to_string(index + 2) + "m", std::to_string(index + 2) + " minutes",
              (index + 2) * 60};
    default:
      return {n, n, 4100 + index};
  }
}

TEST(OptionsTableTest, EverySetKeywordIsShownAndSentInTheOptionsLine) {
  int index = 0;
  for (const SettingDef& def : SettingsTable()) {
    // optional: OptionalRows below; outgoing: outgoing_settings_test.cc
    if (def.keyword == nullptr || def.optional || IsOutgoingRow(def)) continue;
    SCOPED_TRACE(def.keyword);
    const Assignment a = AssignmentFor(def, index++);
    Settings s = Unset();
    ASSERT_TRUE(ApplySetArguments(s, std::string(def.keyword) + "=" + a.value));
    if (def.kind == SettingKind::kText)
      EXPECT_EQ(std::string(SettingText(s, def)), a.value);
    else
      EXPECT_EQ(SettingNumber(s, def), a.number);

    const std::string show = ShowOptions(s);
    EXPECT_EQ(ShowOptions(Unset()).find(a.shown), std::string::npos);
    if (def.show >= 0) {
      EXPECT_NE(show.find(a.shown), std::string::npos) << show;
    } else {
      EXPECT_EQ(show, ShowOptions(Unset()));  // the remote ports are not listed
    }

    const std::vector<std::string> fields = LineFields(BuildOptionsLine(s, {}));
    ASSERT_EQ(fields.size(), static_cast<size_t>(kOptionsFieldCount));
    ASSERT_GE(def.line, 0);
    EXPECT_EQ(fields[def.line],
              def.kind == SettingKind::kText ? a.value : std::to_string(a.number));
  }
}

// PUTSTREAM OPTIONS takes back every row the line carries, and leaves the others.
TEST(OptionsTableTest, EveryRowOfTheLineRoundTrips) {
  Settings sent;
  int index = 0;
  for (const SettingDef& def : SettingsTable()) {
    if (def.address)
      ASSERT_TRUE(StoreSetting(sent, def, "2001:db8::" + std::to_string(index)));
    else if (def.kind == SettingKind::kText)
      ASSERT_TRUE(StoreSetting(sent, def, std::string("r") + std::to_string(index) + def.name));
    else if (def.optional)
      ASSERT_TRUE(StoreSetting(sent, def, def.upper - 1));
    else if (IsOutgoingRow(def))  // within the range the line takes
      ASSERT_TRUE(StoreSetting(sent, def, def.edit_upper));
    else if (def.upper == 65535)  // a port
      ASSERT_TRUE(StoreSetting(sent, def, 5000 + index));
    else
      ASSERT_TRUE(StoreSetting(sent, def, -5000 - index));
    ++index;
  }
  Settings received;
  OptionsExtras extras;
  ASSERT_TRUE(ParseOptionsLine(BuildOptionsLine(sent, {}), &received, &extras));
  for (const SettingDef& def : SettingsTable()) {
    SCOPED_TRACE(def.name);
    const bool carried = def.line >= 0 || def.optional || IsOutgoingRow(def);
    if (def.kind == SettingKind::kText) {
      EXPECT_EQ(std::string(SettingText(received, def)),
                carried ? std::string(SettingText(sent, def)) : std::string());
    } else {
      EXPECT_EQ(SettingNumber(received, def), carried ? SettingNumber(sent, def) : 0);
    }
  }
}

// What SET refused before the table still is refused, and changes nothing; the edges are taken.
TEST(OptionsTableTest, SetRefusesOutOfBoundsForEveryRow) {
  for (const SettingDef& def : SettingsTable()) {
    // optional: OptionalRows below; outgoing: outgoing_settings_test.cc
    if (def.keyword == nullptr || def.optional || IsOutgoingRow(def)) continue;
    SCOPED_TRACE(def.keyword);
    const std::string key = std::string(def.keyword) + "=";
    Settings s = Unset();
    const std::string before = BuildOptionsLine(s, {});
    std::vector<std::string> refused, taken;
    switch (def.conversion) {
      case SetConversion::kText:
        refused = {std::string(def.width, 'w')};
        taken = {std::string(def.width - 1, 'w')};
        break;
      case SetConversion::kDecimal:
        refused = {"2147483648", "-2147483649", "99999999999999999999"};
        taken = {"2147483647", "-2147483648", "0"};
        if (def.upper == 65535) taken = {"65535", "1", "4000"};  // a port: PortsAndFolders
        break;
      case SetConversion::kPingInterval:
        refused = {"35791395", "24856d", "-35791395"};  // beyond 32 bits once in seconds
        taken = {"35791394", "24855d", "-35791394"};
        break;
      case SetConversion::kIdleInterval:
        refused = {"2147483648", "596524h", "-35791395m"};
        taken = {"2147483647", "596523h", "-35791394m"};
        break;
      case SetConversion::kNone:
        break;
    }
    for (const std::string& value : refused) {
      EXPECT_FALSE(ApplySetArguments(s, key + value)) << value;
      EXPECT_EQ(BuildOptionsLine(s, {}), before) << value;
    }
    for (const std::string& value : taken) EXPECT_TRUE(ApplySetArguments(s, key + value)) << value;
  }
}

// The settings added to the fixed listing and line appear only while set: the listing gets a
// line before FLAGS, the OPTIONS line all of them after its 43 fields. Unset again, both are as
// before, byte for byte. A value its row refuses changes nothing, by SET or by the line.
TEST(OptionalRows, ShownAndSentOnlyWhileSet) {
  Settings plain = Unset();
  plain.system.Port = 32000;
  plain.system.PasswordPort = 106;
  plain.smtp.Port = plain.smtp.PortEx = 25;
  plain.pop3.Port = plain.pop3.PortEx = 110;
  const std::string show = ShowOptions(plain), line = BuildOptionsLine(plain, {});
  const size_t flags = show.find("  FLAGS ");
  ASSERT_NE(flags, std::string::npos);
  Settings s = plain;
  ASSERT_TRUE(ApplySetArguments(s, "LISTENADDRESS=127.0.0.1 PRELOGONTIME=30"));
  EXPECT_EQ(ShowOptions(s), show.substr(0, flags) +
                                "  LISTENADDRESS           127.0.0.1\r\n"
                                "  PRELOGONTIME            30\r\n" +
                                show.substr(flags));
  std::vector<std::string> fields = LineFields(BuildOptionsLine(s, {}));
  ASSERT_EQ(fields.size(), static_cast<size_t>(kOptionsFieldCount) + 4);
  EXPECT_EQ(OptionsFieldCount(s), kOptionsFieldCount + 4);
  EXPECT_EQ(OptionsFieldCount(plain), kOptionsFieldCount);
  EXPECT_EQ(std::vector<std::string>(fields.begin() + kOptionsFieldCount, fields.end()),
            (std::vector<std::string>{"127.0.0.1", "30", "0", "0"}));
  // The slots one address may hold go up to the port's own.
  const std::string most = "PWPRELOGONPERADDRESS=" + std::to_string(kPasswordSlots) +
                           " PRELOGONPERADDRESS=" + std::to_string(kControlSlots);
  ASSERT_TRUE(ApplySetArguments(s, most));
  EXPECT_EQ(s.system.PasswordPreLogonPerAddress, static_cast<int32_t>(kPasswordSlots));
  EXPECT_EQ(FindSettingKeyword("PRELOGONPERADDRESS")->upper, static_cast<int64_t>(kControlSlots));
  EXPECT_EQ(FindSettingKeyword("PWPRELOGONPERADDRESS")->upper,
            static_cast<int64_t>(kPasswordSlots));

  const Settings set = s;
  for (const char* refused : {"LISTENADDRESS=localhost", "LOGLEVEL=2 LISTENADDRESS=[::1]",
                              "PRELOGONTIME=4", "PWPRELOGONPERADDRESS=6"}) {
    EXPECT_FALSE(ApplySetArguments(s, refused)) << refused;
    EXPECT_EQ(BuildOptionsLine(s, {}), BuildOptionsLine(set, {})) << refused;
  }
  // A line of the 43 fields keeps them; a longer one sets them, or is refused whole.
  OptionsExtras extras;
  ASSERT_TRUE(ParseOptionsLine(line, &s, &extras));
  EXPECT_EQ(BuildOptionsLine(s, {}), BuildOptionsLine(set, {}));
  for (const char* tail : {"::2|0|0|0|", "nowhere|0|0|0|", "|4|0|0|", "|0|0|6|"}) {
    Settings t = set;
    std::string changed = "other|" + line.substr(line.find('|') + 1) + tail;
    bool taken = std::string(tail) == "::2|0|0|0|";
    EXPECT_EQ(ParseOptionsLine(changed, &t, &extras), taken) << tail;
    EXPECT_EQ(std::string(t.system.HostName), taken ? "other" : "") << tail;
    if (taken) {
      EXPECT_EQ(BuildOptionsLine(t, {}), changed);
    }
  }
  ASSERT_TRUE(ApplySetArguments(s, "LISTENADDRESS"));  // a word alone empties its setting
  ASSERT_TRUE(ApplySetArguments(s, "PRELOGONTIME=0 PRELOGONPERADDRESS=0 PWPRELOGONPERADDRESS=0"));
  EXPECT_EQ(ShowOptions(s), show);
  EXPECT_EQ(BuildOptionsLine(s, {}), line);
}

// What would lock the administrator out is refused: SET answers false and PUTSTREAM OPTIONS
// takes nothing of the line, neither the bad value nor the others beside it.
class PortsAndFolders : public ::testing::Test {
 protected:
  static Settings Running() {
    Settings s = Unset();
    s.system.Port = 32000;
    s.system.PasswordPort = 106;
    s.smtp.Port = 25;
    s.smtp.PortEx = 25;
    s.pop3.Port = 110;
    s.pop3.PortEx = 110;
    CopyField(s.system.MailPath, "/srv/q/mail");
    CopyField(s.system.TempPath, "/srv/q/temp");
    CopyField(s.system.LogPath, "/srv/q/log");
    CopyField(s.system.ConfigPath, "/srv/q/config");
    return s;
  }

  // The OPTIONS line of `s` with one field replaced and LOGLEVEL changed beside it.
  static std::string LineWith(const Settings& s, int field, const std::string& value) {
    std::vector<std::string> fields = LineFields(BuildOptionsLine(s, {}));
    fields[field] = value;
    fields[FindSettingKeyword("LOGLEVEL")->line] = "4";
    std::string line;
    for (const std::string& f : fields) line += f + "|";
    return line;
  }
};

TEST_F(PortsAndFolders, RefusedBySetAndByPutstream) {
  struct Case {
    const char* keyword;  // of SET; also names the row of the line
    const char* value;
  };
  const Case refused[] = {
      {"CTRLPORT", "70000"},  {"CTRLPORT", "0"},       {"PWPORT", "-1"},
      {"SMTPPORT", "0"},      {"POP3PORT", "65536"},   {"SMTPPORTEX", "0"},
      {"POP3PORTEX", "-110"}, {"CTRLPORT", "25"},      {"PWPORT", "32000"},
      {"SMTPPORT", "110"},    {"POP3PORT", "106"},     {"CTRLPORT", "abc"},
      {"MAILDIR", "/"},       {"MAILDIR", "/etc"},     {"TEMPDIR", "/usr/"},
      {"LOGDIR", "/bin//"},   {"LOGDIR", "/proc"},     {"TEMPDIR", "/sys"},
      {"MAILDIR", "/dev/"},   {"MAILDIR", "/srv/../"}, {"TEMPDIR", "/srv/q/../../etc"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(std::string(c.keyword) + "=" + c.value);
    const SettingDef* def = FindSettingKeyword(c.keyword);
    ASSERT_NE(def, nullptr);
    Settings s = Running();
    const std::string before = BuildOptionsLine(s, {});
    EXPECT_FALSE(ApplySetArguments(s, std::string("LOGLEVEL=4 ") + c.keyword + "=" + c.value));
    EXPECT_FALSE(ApplySetArguments(s, std::string(c.keyword) + "=" + c.value));
    EXPECT_EQ(BuildOptionsLine(s, {}), before);

    OptionsExtras extras;
    CopyField(extras.texts[0], "kept");
    EXPECT_FALSE(ParseOptionsLine(LineWith(s, def->line, c.value), &s, &extras));
    EXPECT_EQ(BuildOptionsLine(s, {}), before);
    EXPECT_EQ(FieldText(extras.texts[0]), "kept");
  }
  // ConfigPath has no SET keyword; the line alone carries it.
  const int config = FindSetting(SettingRecord::kSystem, "ConfigPath")->line;
  for (const char* value : {"/", "/etc/", "//dev"}) {
    Settings s = Running();
    OptionsExtras extras;
    EXPECT_FALSE(ParseOptionsLine(LineWith(s, config, value), &s, &extras)) << value;
    EXPECT_EQ(FieldText(s.system.ConfigPath), "/srv/q/config");
  }
}

TEST_F(PortsAndFolders, TheSoundNeighboursAreTaken) {
  Settings s = Running();
  ASSERT_TRUE(ApplySetArguments(s, "CTRLPORT=65535 PWPORT=1 SMTPPORTEX=110 MAILDIR=/etc/mail"));
  EXPECT_EQ(s.system.Port, 65535);
  EXPECT_EQ(s.system.PasswordPort, 1);
  EXPECT_EQ(FieldText(s.system.MailPath), "/etc/mail");
  // Two listeners that trade their ports in one line are apart again afterwards.
  ASSERT_TRUE(ApplySetArguments(s, "SMTPPORT=110 POP3PORT=25"));
  EXPECT_EQ(s.smtp.Port, 110);
  OptionsExtras extras;
  const int smtp = FindSettingKeyword("SMTPPORT")->line;
  ASSERT_TRUE(ParseOptionsLine(LineWith(s, smtp, "2525"), &s, &extras));
  EXPECT_EQ(s.smtp.Port, 2525);
  EXPECT_EQ(s.system.LogLevel, 4);
}

}  // namespace
}  // namespace qv::control
