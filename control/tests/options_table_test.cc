// SET, SHOW and the OPTIONS line for every row of the settings table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/records.h"
#include "common/settings_table.h"
#include "control/options.h"

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
    if (def.keyword == nullptr) continue;
    SCOPED_TRACE(def.keyword);
    const Assignment a = AssignmentFor(def, index++);
    Settings s;
    ASSERT_TRUE(ApplySetArguments(s, std::string(def.keyword) + "=" + a.value));
    if (def.kind == SettingKind::kText)
      EXPECT_EQ(std::string(SettingText(s, def)), a.value);
    else
      EXPECT_EQ(SettingNumber(s, def), a.number);

    const std::string show = ShowOptions(s);
    EXPECT_EQ(ShowOptions(Settings{}).find(a.shown), std::string::npos);
    if (def.show >= 0) {
      EXPECT_NE(show.find(a.shown), std::string::npos) << show;
    } else {
      EXPECT_EQ(show, ShowOptions(Settings{}));  // the remote ports are not listed
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
    if (def.kind == SettingKind::kText)
      ASSERT_TRUE(StoreSetting(sent, def, std::string("r") + std::to_string(index) + def.name));
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
    if (def.kind == SettingKind::kText) {
      EXPECT_EQ(std::string(SettingText(received, def)),
                def.line >= 0 ? std::string(SettingText(sent, def)) : std::string());
    } else {
      EXPECT_EQ(SettingNumber(received, def), def.line >= 0 ? SettingNumber(sent, def) : 0);
    }
  }
}

// What SET refused before the table still is refused, and changes nothing; the edges are taken.
TEST(OptionsTableTest, SetRefusesOutOfBoundsForEveryRow) {
  for (const SettingDef& def : SettingsTable()) {
    if (def.keyword == nullptr) continue;
    SCOPED_TRACE(def.keyword);
    const std::string key = std::string(def.keyword) + "=";
    Settings s;
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

// What would lock the administrator out is refused: SET answers false and PUTSTREAM OPTIONS
// takes nothing of the line, neither the bad value nor the others beside it.
class PortsAndFolders : public ::testing::Test {
 protected:
  static Settings Running() {
    Settings s;
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
