// The console's fields of the settings table: each row the console shows is bound to a widget
// that offers what the row says (the text's width, the number's range, the interval's units).
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <map>
#include <string>

#include "common/settings_table.h"
#include "console/ui/settings_page.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

// The widget name of each row the console edits; the rows not listed are not on any page.
std::string WidgetName(const SettingDef& def) {
  static const std::map<std::pair<SettingRecord, std::string>, std::string> kRenamed = {
      {{SettingRecord::kSmtp, "Port"}, "SmtpPort"},
      {{SettingRecord::kSmtp, "PortEx"}, "SmtpPortEx"},
      {{SettingRecord::kPop3, "Port"}, "Pop3Port"},
      {{SettingRecord::kPop3, "PortEx"}, "Pop3PortEx"},
      {{SettingRecord::kSmtp, "TLSVerify"}, "SmtpTLSVerify"},
      {{SettingRecord::kPop3, "TLSVerify"}, "Pop3TLSVerify"},
  };
  auto it = kRenamed.find({def.record, def.name});
  return it != kRenamed.end() ? it->second : def.name;
}

bool NotOnAPage(const SettingDef& def) {
  const std::string name = def.name;
  // Only the installer writes it: never saved with its record, not in OPTIONS or SET.
  bool installer_only = def.save < 0 && def.line < 0 && def.keyword == nullptr;
  return def.kind == SettingKind::kFlags ||  // one check box per bit
         def.optional ||                     // the listen address and limits before a logon
         installer_only ||
         (def.record == SettingRecord::kSystem &&
          (name == "InstallPath" || name == "RemoteServer" || name == "RemoteLogin" ||
           name == "Port"));
}

TEST_F(DialogTest, EveryShownRowOffersWhatItsRowSays) {
  for (const SettingDef& def : SettingsTable()) {
    if (NotOnAPage(def)) continue;
    const std::string name = WidgetName(def);
    SCOPED_TRACE(name);
    QWidget* widget = Find<QWidget>(name.c_str());
    ASSERT_NE(widget, nullptr);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      EXPECT_EQ(def.kind, SettingKind::kText);
      EXPECT_EQ(edit->maxLength(), static_cast<int>(def.width - 1));
    } else if (auto* spin = qobject_cast<QSpinBox*>(widget)) {
      ASSERT_EQ(def.kind, SettingKind::kNumber);
      if (def.conversion == SetConversion::kDecimal) {
        EXPECT_EQ(spin->minimum(), def.edit_lower);
        EXPECT_EQ(spin->maximum(), def.edit_upper);
      } else {  // an interval: its units as SET reads a bare number
        auto* unit = Find<QComboBox>((name + "Unit").c_str());
        ASSERT_NE(unit, nullptr);
        EXPECT_EQ(unit->itemText(0).toStdString(),
                  def.conversion == SetConversion::kIdleInterval ? "Seconds" : "Minutes");
      }
    }
  }
}

// A chooser's text that is longer than its setting is stored cut, never refused.
TEST_F(DialogTest, ChosenTextsAreCutToTheirSetting) {
  const SettingDef& def = *FindSetting(SettingRecord::kSystem, "NTUser");
  dialog_->Reload();
  auto* user = Find<QComboBox>("NTUser");
  ASSERT_NE(user, nullptr);
  user->setEditText(QString(300, 'u'));
  EXPECT_EQ(std::string(SettingText(Saved(), def)), std::string(def.width - 1, 'u'));
}

}  // namespace
}  // namespace qv::console::testing
