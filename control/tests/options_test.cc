#include "control/options.h"

#include <gtest/gtest.h>

#include <string>

#include "common/records.h"
#include "control/control_texts.h"
#include "control/stream_fields.h"
#include "control/tests/fake_host.h"

namespace qv::control {
namespace {

using testing::SampleSettings;

TEST(FormatIntervalTest, EachKindPicksItsUnit) {
  struct Case {
    int32_t seconds;
    IntervalKind kind;
    const char* text;
  } cases[] = {
      {3600, IntervalKind::kMinutes, "60 minutes"}, {7200, IntervalKind::kMinutes, "2 hours"},
      {86400, IntervalKind::kMinutes, "24 hours"},  {172800, IntervalKind::kMinutes, "2 days"},
      {900, IntervalKind::kMinutes, "15 minutes"},  {3630, IntervalKind::kMinutes, "60 minutes"},
      {0, IntervalKind::kMinutes, "0 minutes"},     {90, IntervalKind::kSeconds, "90 seconds"},
      {60, IntervalKind::kSeconds, "60 seconds"},   {120, IntervalKind::kSeconds, "2 minutes"},
      {3600, IntervalKind::kSeconds, "60 minutes"}, {7200, IntervalKind::kSeconds, "2 hours"},
      {3660, IntervalKind::kSeconds, "61 minutes"}, {3600, IntervalKind::kAccount, "1 hours"},
      {7200, IntervalKind::kAccount, "2 hours"},    {86400, IntervalKind::kAccount, "1 days"},
      {5400, IntervalKind::kAccount, "90 minutes"}, {-60, IntervalKind::kMinutes, "-1 minutes"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatInterval(c.seconds, c.kind), c.text) << c.seconds;
}

TEST(FlagWordsTest, WordsInOrderAndWrappedAt46) {
  Settings s = SampleSettings();
  s.system.Flags = kSysDialup | kSysPing | kSysNtUser | kSysNtMode;  // NT mode has no word
  s.smtp.Flags = 0xffff;
  std::string words = FlagWords(s);
  EXPECT_EQ(words,
            "DIALUP PING NTUSER USEDNS USEMX IMMEDIATELLY RETRY RETURNTOSENDER SENDINFO "
            "ATTACHMESSAGE ESMTP ESMTPSIZE NOTIFYUNKNOWN FORWARDUNKNOWN SEARCHUNKNOWN "
            "DNSSUBDOMAIN DOMAINASHOST ");
  std::string wrapped = WrapFlagWords(words);
  EXPECT_EQ(wrapped,
            "DIALUP PING NTUSER USEDNS USEMX IMMEDIATELLY\r\n"
            "                          RETRY RETURNTOSENDER SENDINFO ATTACHMESSAGE\r\n"
            "                          ESMTP ESMTPSIZE NOTIFYUNKNOWN FORWARDUNKNOWN\r\n"
            "                          SEARCHUNKNOWN DNSSUBDOMAIN DOMAINASHOST ");
  // Every line of words stays within 46 characters.
  size_t start = 0;
  while (start < wrapped.size()) {
    size_t end = wrapped.find("\r\n", start);
    std::string line =
        wrapped.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t first = line.find_first_not_of(' ');
    EXPECT_LE(line.size() - (first == std::string::npos ? line.size() : first), 46u) << line;
    if (end == std::string::npos) break;
    start = end + 2;
  }
  EXPECT_EQ(WrapFlagWords(""), "");
  EXPECT_EQ(WrapFlagWords("USEDNS "), "USEDNS ");
  // A run without blanks longer than a line is cut rather than looping.
  EXPECT_EQ(WrapFlagWords(std::string(50, 'X')),
            std::string(46, 'X') + kFlagBreak + std::string(4, 'X'));
}

TEST(ShowOptionsTest, FillsTheTemplateAndEndsWithFlagsAndPrompt) {
  Settings s = SampleSettings();
  CopyField(s.system.RASPassword, "secret");
  s.system.ConnectTime = 86400;
  s.system.ClosingTime = 7200;
  std::string text = ShowOptions(s);
  EXPECT_EQ(text.rfind("  LOCALHOST               mail.example.com\r\n", 0), 0u);
  EXPECT_NE(text.find("  LOGLEVEL/MAXLOGTIME     4/7 days\r\n"), std::string::npos);
  EXPECT_NE(text.find("  PORTS CTRL/SMTP/POP3/PW 32000/25/110/106\r\n"), std::string::npos);
  EXPECT_NE(text.find("  RASUSER/RASPASSWORD     /secret\r\n"), std::string::npos);
  EXPECT_NE(text.find("  PINGTIME/IDLETIME       24 hours/2 hours\r\n"), std::string::npos);
  EXPECT_NE(text.find("  RETRYTIMER              15 minutes\r\n"), std::string::npos);
  EXPECT_NE(text.find("  RETURNTIMER             3 days\r\n"), std::string::npos);
  EXPECT_NE(text.find("  MAXMSGSIZE              5000\r\n  FLAGS                   USEDNS \r\n>"),
            std::string::npos);
  // A text holding a format directive is shown as it is.
  CopyField(s.system.NameServer, "%s%n");
  EXPECT_NE(ShowOptions(s).find("  NAMESERVER              %s%n\r\n"), std::string::npos);
}

TEST(SetOptionTest, EveryKeywordReachesItsSetting) {
  Settings s = SampleSettings();
  struct TextCase {
    const char* keyword;
    const char* (*field)(const Settings&);
  } texts[] = {
      {"LOCALHOST", [](const Settings& x) -> const char* { return x.system.HostName; }},
      {"LOCALDOMAIN", [](const Settings& x) -> const char* { return x.system.Domain; }},
      {"NAMESERVER", [](const Settings& x) -> const char* { return x.system.NameServer; }},
      {"MAILDIR", [](const Settings& x) -> const char* { return x.system.MailPath; }},
      {"TEMPDIR", [](const Settings& x) -> const char* { return x.system.TempPath; }},
      {"LOGDIR", [](const Settings& x) -> const char* { return x.system.LogPath; }},
      {"RASENTRY", [](const Settings& x) -> const char* { return x.system.RASEntry; }},
      {"RASUSER", [](const Settings& x) -> const char* { return x.system.RASUser; }},
      {"RASPASSWORD", [](const Settings& x) -> const char* { return x.system.RASPassword; }},
      {"NTUSER", [](const Settings& x) -> const char* { return x.system.NTUser; }},
      {"NTDOMAIN", [](const Settings& x) -> const char* { return x.system.NTDomain; }},
      {"ADMINNAME", [](const Settings& x) -> const char* { return x.system.AdministratorName; }},
      {"ADMINMAILBOX",
       [](const Settings& x) -> const char* { return x.system.AdministratorMailBox; }},
      {"NORESPONSEMASK", [](const Settings& x) -> const char* { return x.system.NoResponse; }},
      {"EXCHANGEHOST", [](const Settings& x) -> const char* { return x.smtp.ExchangeHost; }},
      {"FORWARDUNKNOWN", [](const Settings& x) -> const char* { return x.smtp.ForwardUnknown; }},
  };
  for (const TextCase& c : texts) {
    ASSERT_TRUE(SetOption(s, c.keyword, "\"'value-of-it'\"")) << c.keyword;
    EXPECT_STREQ(c.field(s), "value-of-it") << c.keyword;
    ASSERT_TRUE(SetOption(s, std::string(c.keyword) == "NTUSER" ? "ntuser" : c.keyword, ""));
    EXPECT_STREQ(c.field(s), "") << c.keyword;
  }
  struct NumberCase {
    const char* keyword;
    const char* value;
    int32_t (*field)(const Settings&);
    int32_t expected;
  } numbers[] = {
      {"LOGLEVEL", "3", [](const Settings& x) { return x.system.LogLevel; }, 3},
      {"MAXLOGTIME", " 14days", [](const Settings& x) { return x.system.MaxLogTime; }, 14},
      {"CTRLPORT", "32001", [](const Settings& x) { return x.system.Port; }, 32001},
      {"SMTPPORT", "2525", [](const Settings& x) { return x.smtp.Port; }, 2525},
      {"POP3PORT", "1100", [](const Settings& x) { return x.pop3.Port; }, 1100},
      {"SMTPPORTEX", "26", [](const Settings& x) { return x.smtp.PortEx; }, 26},
      {"POP3PORTEX", "111", [](const Settings& x) { return x.pop3.PortEx; }, 111},
      {"PWPORT", "1060", [](const Settings& x) { return x.system.PasswordPort; }, 1060},
      {"MAXMSGSIZE", "abc", [](const Settings& x) { return x.smtp.ESMTPMaxMsgSize; }, 0},
      {"PINGTIME", "30", [](const Settings& x) { return x.system.ConnectTime; }, 1800},
      {"PINGTIME", "1d", [](const Settings& x) { return x.system.ConnectTime; }, 86400},
      {"PINGTIME", "2H", [](const Settings& x) { return x.system.ConnectTime; }, 7200},
      {"PINGTIME", "5m", [](const Settings& x) { return x.system.ConnectTime; }, 300},
      {"IDLETIME", "90", [](const Settings& x) { return x.system.ClosingTime; }, 90},
      {"IDLETIME", "2m", [](const Settings& x) { return x.system.ClosingTime; }, 120},
      {"IDLETIME", "1h", [](const Settings& x) { return x.system.ClosingTime; }, 3600},
      {"IDLETIME", "5d", [](const Settings& x) { return x.system.ClosingTime; }, 5},
      {"RETRYTIMER", "20", [](const Settings& x) { return x.smtp.SMTPTimer; }, 1200},
      {"RETURNTIMER", "3d", [](const Settings& x) { return x.smtp.ReturnTimer; }, 259200},
      {"LOGLEVEL", "", [](const Settings& x) { return x.system.LogLevel; }, 0},
  };
  for (const NumberCase& c : numbers) {
    ASSERT_TRUE(SetOption(s, c.keyword, c.value)) << c.keyword << "=" << c.value;
    EXPECT_EQ(c.field(s), c.expected) << c.keyword << "=" << c.value;
  }
}

TEST(SetOptionTest, RefusesWhatWouldChangeIntoSomethingElse) {
  Settings s = SampleSettings();
  Settings before = s;
  EXPECT_FALSE(SetOption(s, "CONFIGDIR", "/tmp"));  // shown, never set
  EXPECT_FALSE(SetOption(s, "NOSUCH", "1"));
  EXPECT_FALSE(SetOption(s, "LOCAL", "x"));  // a whole word, not a prefix
  EXPECT_FALSE(SetOption(s, "LOCALHOST", std::string(128, 'h')));
  EXPECT_TRUE(SetOption(s, "LOCALHOST", std::string(127, 'h')));
  EXPECT_FALSE(SetOption(s, "LOCALDOMAIN", std::string(255, 'd')));
  EXPECT_FALSE(SetOption(s, "NORESPONSEMASK", std::string(512, 'm')));
  EXPECT_FALSE(SetOption(s, "LOGLEVEL", "99999999999"));
  EXPECT_FALSE(SetOption(s, "PINGTIME", "99999999d"));
  EXPECT_FALSE(SetOption(s, "FLAGS", ""));
  EXPECT_EQ(s.system.LogLevel, before.system.LogLevel);
  EXPECT_EQ(s.system.ConnectTime, before.system.ConnectTime);
  EXPECT_TRUE(SetOption(s, "LOGLEVEL", "-2147483648"));
  EXPECT_EQ(s.system.LogLevel, INT32_MIN);
}

TEST(SetOptionTest, FlagListsSetClearAndIgnoreUnknownNames) {
  Settings s = SampleSettings();
  ASSERT_TRUE(SetOption(s, "FLAGS", "-USEDNS +DIALUP"));
  EXPECT_EQ(s.smtp.Flags & kSmtpUseDns, 0u);
  EXPECT_EQ(s.system.Flags & kSysDialup, kSysDialup);
  ASSERT_TRUE(SetOption(s, "flags", "esmtp,+ping, -dialup"));
  EXPECT_EQ(s.smtp.Flags & kSmtpEsmtp, kSmtpEsmtp);
  EXPECT_EQ(s.system.Flags, kSysPing);
  Settings before = s;
  ASSERT_TRUE(SetOption(s, "FLAGS", "+NOSUCH"));
  EXPECT_EQ(s.smtp.Flags, before.smtp.Flags);
  EXPECT_EQ(s.system.Flags, before.system.Flags);
  ASSERT_TRUE(SetOption(s, "FLAGS", "NTUSER FORWARDUNKNOWN"));
  EXPECT_EQ(s.system.Flags & kSysNtUser, kSysNtUser);
  EXPECT_EQ(s.smtp.Flags & kSmtpForwardUnknown, kSmtpForwardUnknown);
}

TEST(ApplySetArgumentsTest, SeveralAssignmentsApplyTogetherOrNotAtAll) {
  Settings s = SampleSettings();
  ASSERT_TRUE(ApplySetArguments(s, "LOGLEVEL=3 MAXLOGTIME=14"));
  EXPECT_EQ(s.system.LogLevel, 3);
  EXPECT_EQ(s.system.MaxLogTime, 14);
  ASSERT_TRUE(ApplySetArguments(s, "LOGLEVEL = 2   NAMESERVER= 10.0.0.1"));
  EXPECT_EQ(s.system.LogLevel, 2);
  EXPECT_STREQ(s.system.NameServer, "10.0.0.1");
  EXPECT_FALSE(ApplySetArguments(s, "LOGLEVEL=5 NOSUCH=1"));
  EXPECT_EQ(s.system.LogLevel, 2);
  EXPECT_FALSE(ApplySetArguments(s, "LOGLEVEL=5 stray"));
  EXPECT_EQ(s.system.LogLevel, 2);
  ASSERT_TRUE(ApplySetArguments(s, "NAMESERVER"));
  EXPECT_STREQ(s.system.NameServer, "");
  ASSERT_TRUE(ApplySetArguments(s, "FLAGS -USEDNS +ESMTP"));
  EXPECT_EQ(s.smtp.Flags, kSmtpEsmtp);
  EXPECT_FALSE(ApplySetArguments(s, "FLAGS"));
  EXPECT_FALSE(ApplySetArguments(s, "=3"));
  // A hundred assignments in one line.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "LOGLEVEL=" + std::to_string(i % 6) + " ";
  ASSERT_TRUE(ApplySetArguments(s, many));
  EXPECT_EQ(s.system.LogLevel, 99 % 6);
}

TEST(StreamFieldsTest, CutsAtWidthAndReadsMissingFieldsAsEmpty) {
  std::string line = "  alpha|" + std::string(300, 'x') + "|-12abc| 99999999999||tail\r\nignored|";
  StreamFields f(line);
  char small[8];
  f.Text(small);
  EXPECT_STREQ(small, "alpha");
  char wide[128];
  f.Text(wide);
  EXPECT_EQ(std::string(wide), std::string(127, 'x'));
  EXPECT_EQ(f.Number(), -12);
  EXPECT_EQ(f.Number(), INT32_MAX);
  EXPECT_EQ(f.Next(), "");
  EXPECT_EQ(f.Rest(), "tail");
  EXPECT_EQ(f.Next(), "tail");
  EXPECT_TRUE(f.AtEnd());
  char more[4] = {'z', 'z', 'z', 'z'};
  f.Text(more);
  EXPECT_STREQ(more, "");
  EXPECT_EQ(f.Number(), 0);
  EXPECT_EQ(ReadDecimal("-99999999999"), INT32_MIN);
  EXPECT_EQ(ReadDecimal("  +7x"), 7);

  StreamFields nul(std::string_view("a|b\0c|d", 7));
  EXPECT_EQ(nul.Next(), "a");
  EXPECT_EQ(nul.Next(), "b");
  EXPECT_TRUE(nul.AtEnd());
  StreamFields empty("");
  EXPECT_EQ(empty.Next(), "");
  EXPECT_TRUE(empty.AtEnd());
}

TEST(OptionsLineTest, BuildParseBuildGivesTheSameLine) {
  Settings s = SampleSettings();
  CopyField(s.system.NoResponse, "*@spam.example;*@junk.example");
  s.system.Flags = kSysDialup | kSysPing;
  s.smtp.Flags = 0x80000001u;  // the top bit survives as a negative number
  s.pop3.Flags = 3;
  OptionsExtras extras;
  CopyField(extras.texts[0], "one");
  CopyField(extras.texts[2], "three");
  extras.numbers[1] = -5;
  std::string line = BuildOptionsLine(s, extras);
  size_t bars = 0;
  for (char c : line) bars += c == '|';
  EXPECT_EQ(bars, 43u);
  EXPECT_EQ(line.rfind("mail.example.com|example.com;example.org||/srv/mail|", 0), 0u);

  Settings parsed = SampleSettings();
  std::memset(&parsed.system, 0, sizeof parsed.system);
  std::memset(&parsed.smtp, 0, sizeof parsed.smtp);
  parsed.smtp.TLSVerify = 1;  // the loader's default: the 43 fields do not carry it
  OptionsExtras parsed_extras;
  ASSERT_TRUE(ParseOptionsLine(line + "\r\n", &parsed, &parsed_extras));
  EXPECT_EQ(BuildOptionsLine(parsed, parsed_extras), line);
  EXPECT_EQ(parsed.smtp.Flags, 0x80000001u);
  EXPECT_STREQ(parsed_extras.texts[2], "three");
}

TEST(OptionsLineTest, ShortLinesChangeNothingAndLongTextsAreCut) {
  Settings s = SampleSettings();
  OptionsExtras extras;
  EXPECT_FALSE(ParseOptionsLine("", &s, &extras));
  EXPECT_FALSE(ParseOptionsLine("host|domain|", &s, &extras));
  std::string line = BuildOptionsLine(s, extras);
  EXPECT_FALSE(ParseOptionsLine(line.substr(0, line.rfind('|', line.size() - 2) + 1), &s, &extras));
  EXPECT_STREQ(s.system.HostName, "mail.example.com");

  // 200 fields: those after the 47th (the 43 and the four optional settings) are ignored; a long
  // host name is cut to its field.
  std::string wide = std::string(500, 'h') + line.substr(line.find('|')) + "|0|0|0|";
  for (int i = 0; i < 153; ++i) wide += "extra|";
  ASSERT_TRUE(ParseOptionsLine(wide, &s, &extras));
  EXPECT_EQ(std::string(s.system.HostName), std::string(127, 'h'));
  EXPECT_STREQ(s.system.ConfigPath, "/srv/config");
  // The host's own network facts are not taken from the line.
  std::string foreign = line;
  foreign.replace(foreign.find("127.0.0.1"), 9, "10.9.9.9");
  ASSERT_TRUE(ParseOptionsLine(foreign, &s, &extras));
  EXPECT_STREQ(s.net.Address, "127.0.0.1");
}

}  // namespace
}  // namespace qv::control
