// The outgoing connection settings in SET, its listing and the OPTIONS line: absent they change
// no text; set they are listed (the password hidden) and sent after the optional settings;
// numbers outside their range are refused; a line without them, or cut inside them, keeps them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/records.h"
#include "common/settings_table.h"
#include "control/options.h"
#include "control/setting_changes.h"
#include "control/tests/fake_host.h"

namespace qv::control {
namespace {

std::vector<std::string> Tail(const std::string& line, size_t from) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t bar = line.find('|'); bar != std::string::npos; bar = line.find('|', start)) {
    fields.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  return {fields.begin() + static_cast<long>(std::min(from, fields.size())), fields.end()};
}

constexpr char kSetAll[] =
    "EXCHANGEUSER=relay@isp.example EXCHANGEPASSWORD='s3cret' TLSOUTGOING=2 TLSVERIFY=0 "
    "TLSREMOTE=1";

TEST(OutgoingSettings, ListedAndSentOnlyWhileSetThePasswordHidden) {
  const Settings plain = testing::SampleSettings();
  const std::string show = ShowOptions(plain), line = BuildOptionsLine(plain, {});
  EXPECT_EQ(OptionsFieldCount(plain), kOptionsFieldCount);
  Settings s = plain;
  ASSERT_TRUE(ApplySetArguments(s, kSetAll));
  EXPECT_STREQ(s.smtp.ExchangePassword, "s3cret");
  EXPECT_EQ(s.smtp.TLSOutgoing, 2);
  EXPECT_EQ(s.smtp.TLSVerify, 0);
  EXPECT_EQ(s.pop3.TLSRemote, 1);
  const size_t flags = show.find("  FLAGS ");
  EXPECT_EQ(ShowOptions(s), show.substr(0, flags) +
                                "  EXCHANGEUSER            relay@isp.example\r\n"
                                "  EXCHANGEPASSWORD        ********\r\n"
                                "  TLSOUTGOING             2\r\n"
                                "  TLSVERIFY               0\r\n"
                                "  TLSREMOTE               1\r\n" +
                                show.substr(flags));
  // After the 43 fields: the four optional settings (not set), then the six.
  EXPECT_EQ(Tail(BuildOptionsLine(s, {}), kOptionsFieldCount),
            (std::vector<std::string>{"", "0", "0", "0", "relay@isp.example", "s3cret", "2", "0",
                                      "1", "1"}));
  EXPECT_EQ(OptionsFieldCount(s), kOptionsFieldCount + 10);

  // Back at their defaults every text is as before; a writer that held them still sends them.
  Settings back = s;
  ASSERT_TRUE(ApplySetArguments(back, "EXCHANGEUSER"));  // a word alone empties its setting
  ASSERT_TRUE(ApplySetArguments(back, "EXCHANGEPASSWORD"));
  ASSERT_TRUE(ApplySetArguments(back, "TLSOUTGOING=0 TLSVERIFY=1 TLSREMOTE=0"));
  EXPECT_EQ(ShowOptions(back), show);
  EXPECT_EQ(BuildOptionsLine(back, {}), line);
  EXPECT_EQ(Tail(BuildOptionsLine(back, {}, &s), kOptionsFieldCount + 4),
            (std::vector<std::string>{"", "", "0", "1", "0", "1"}));
  EXPECT_EQ(OptionsFieldCount(back, &s), kOptionsFieldCount + 10);
}

TEST(OutgoingSettings, NumbersOutsideTheirRangeAreRefusedBySetAndByTheLine) {
  Settings s = testing::SampleSettings();
  ASSERT_TRUE(ApplySetArguments(s, kSetAll));
  const Settings set = s;
  for (const std::string& refused : std::vector<std::string>{
           "TLSOUTGOING=3", "TLSVERIFY=2", "TLSREMOTE=-1", "POP3TLSVERIFY=7",
           "LOGLEVEL=2 TLSOUTGOING=9", "EXCHANGEUSER=" + std::string(128, 'u')}) {
    EXPECT_FALSE(ApplySetArguments(s, refused)) << refused;
    EXPECT_EQ(BuildOptionsLine(s, {}), BuildOptionsLine(set, {})) << refused;
  }
  const std::string line = BuildOptionsLine(set, {});
  const std::string head = line.substr(0, line.size() - std::string("2|0|1|1|").size());
  OptionsExtras extras;
  for (const char* tail : {"3|0|1|1|", "2|5|1|1|", "2|0|1|-1|"}) {
    Settings t = set;
    EXPECT_FALSE(ParseOptionsLine("other|" + head.substr(head.find('|') + 1) + tail, &t, &extras))
        << tail;
    EXPECT_STREQ(t.system.HostName, "mail.example.com");
  }
}

TEST(OutgoingSettings, ALineTakesThemAndOneWithoutOrCutShortKeepsThem) {
  Settings s = testing::SampleSettings();
  ASSERT_TRUE(ApplySetArguments(s, kSetAll));
  const Settings set = s;
  OptionsExtras extras;
  // Without the group (an older console's line), and with only the optional group.
  const std::string plain = BuildOptionsLine(testing::SampleSettings(), {});
  ASSERT_TRUE(ParseOptionsLine(plain, &s, &extras));
  ASSERT_TRUE(ParseOptionsLine(plain + "|0|0|0|", &s, &extras));
  EXPECT_EQ(BuildOptionsLine(s, {}), BuildOptionsLine(set, {}));
  // Cut after the login: the TLS choices stay as they were.
  ASSERT_TRUE(ParseOptionsLine(plain + "|0|0|0|other@isp.example|pw2|", &s, &extras));
  EXPECT_STREQ(s.smtp.ExchangeUser, "other@isp.example");
  EXPECT_STREQ(s.smtp.ExchangePassword, "pw2");
  EXPECT_EQ(s.smtp.TLSOutgoing, 2);
  EXPECT_EQ(s.smtp.TLSVerify, 0);
  // The whole group takes all six.
  ASSERT_TRUE(ParseOptionsLine(plain + "|0|0|0|||1|1|2|0|", &s, &extras));
  EXPECT_STREQ(s.smtp.ExchangeUser, "");
  EXPECT_EQ(s.smtp.TLSOutgoing, 1);
  EXPECT_EQ(s.smtp.TLSVerify, 1);
  EXPECT_EQ(s.pop3.TLSRemote, 2);
  EXPECT_EQ(s.pop3.TLSVerify, 0);

  // A reader of GETSTREAM OPTIONS starts from the defaults: what the line lacks is not set.
  ClearLineGroups(s);
  EXPECT_EQ(BuildOptionsLine(s, {}), plain);
}

TEST(OutgoingSettings, TheSessionOwnsAndTracksThem) {
  Settings before = testing::SampleSettings(), after = before;
  ASSERT_TRUE(ApplySetArguments(after, "TLSREMOTE=2"));
  SettingChanges changes;
  changes.Note(before, after);
  for (const SettingDef* def : OutgoingRows()) {
    EXPECT_TRUE(ControlOwnsSetting(*def)) << def->name;
    EXPECT_EQ(changes.Changed(*def), std::string(def->name) == "TLSRemote") << def->name;
  }
}

}  // namespace
}  // namespace qv::control
