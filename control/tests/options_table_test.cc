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

}  // namespace
}  // namespace qv::control
