#include "common/settings_table.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/testing/test_env.h"
#include "platform/registry.h"

namespace qv {
namespace {

using qv::testing::ScopedSystemRoot;

// A value for every row that no default, tidying or other row produces.
std::string TextFor(const SettingDef& def) {
  if (def.address) return "192.0.2." + std::to_string(def.width);
  std::string text = std::string("/v-") + def.name + "-" + std::to_string(def.width);
  return text.substr(0, def.width - 1);
}

int32_t NumberFor(const SettingDef& def, size_t index) {
  if (def.optional)  // within its bounds, and set
    return static_cast<int32_t>(def.lower + static_cast<int64_t>(index) % (def.upper - def.lower));
  const int32_t base = def.upper == 65535 ? 40000 : 70000;  // ports stay ports
  return base + static_cast<int32_t>(index) * 7;
}

// Every row of the table gets its own value.
Settings Distinct() {
  Settings s;
  size_t i = 0;
  for (const SettingDef& def : SettingsTable()) {
    if (def.kind == SettingKind::kText)
      EXPECT_TRUE(StoreSetting(s, def, TextFor(def))) << def.name;
    else
      EXPECT_TRUE(StoreSetting(s, def, NumberFor(def, i))) << def.name;
    ++i;
  }
  return s;
}

TEST(SettingsTableTest, PlacesAreDenseAndUnique) {
  struct Place {
    const char* what;
    int SettingDef::*place;
    bool per_record;
  };
  for (const Place& p :
       {Place{"save", &SettingDef::save, true}, Place{"line", &SettingDef::line, false},
        Place{"show", &SettingDef::show, false}}) {
    for (SettingRecord record :
         {SettingRecord::kSystem, SettingRecord::kSmtp, SettingRecord::kPop3}) {
      std::set<int> seen;
      for (const SettingDef& def : SettingsTable()) {
        if (def.*p.place < 0 || (p.per_record && def.record != record)) continue;
        EXPECT_TRUE(seen.insert(def.*p.place).second) << p.what << " " << def.name;
      }
      if (!seen.empty()) {
        EXPECT_EQ(*seen.begin(), 0) << p.what;
        EXPECT_EQ(*seen.rbegin(), static_cast<int>(seen.size()) - 1) << p.what;
      }
    }
  }
  std::set<std::string> keywords;
  for (const SettingDef& def : SettingsTable()) {
    if (def.keyword != nullptr) {
      EXPECT_TRUE(keywords.insert(def.keyword).second) << def.keyword;
    }
    EXPECT_EQ(FindSetting(def.record, def.name), &def);
    EXPECT_EQ(def.keyword == nullptr, def.conversion == SetConversion::kNone) << def.name;
    if (def.kind != SettingKind::kText) {
      EXPECT_LE(def.lower, def.edit_lower) << def.name;
      EXPECT_GE(def.upper, def.edit_upper) << def.name;
    }
  }
  EXPECT_EQ(FindSettingKeyword("maxmsgsize"), FindSetting(SettingRecord::kSmtp, "ESMTPMaxMsgSize"));
  EXPECT_EQ(FindSettingKeyword("CONFIGDIR"), nullptr);  // shown, never set
  EXPECT_EQ(FindSetting(SettingRecord::kPop3, "HostName"), nullptr);
}

// Every saved row comes back from the registry as it was saved; the one row never saved
// (InstallPath) comes from its own value written by the installation.
TEST(SettingsTableTest, EveryRowRoundTripsThroughTheRegistry) {
  ScopedSystemRoot root;
  const Settings saved = Distinct();
  for (SettingRecord record : {SettingRecord::kSystem, SettingRecord::kSmtp, SettingRecord::kPop3})
    ASSERT_TRUE(SaveSettingsRecord(saved, record));

  Settings loaded;
  for (SettingRecord record : {SettingRecord::kSystem, SettingRecord::kSmtp, SettingRecord::kPop3})
    ASSERT_TRUE(LoadSettingsRecord(loaded, record));
  for (const SettingDef& def : SettingsTable()) {
    if (def.save < 0 && def.kind == SettingKind::kText) {
      EXPECT_STREQ(SettingText(loaded, def), def.missing.text) << def.name;
    } else if (def.save < 0) {
      EXPECT_EQ(SettingNumber(loaded, def), def.missing.number) << def.name;
    } else if (def.kind == SettingKind::kText) {
      EXPECT_STREQ(SettingText(loaded, def), SettingText(saved, def)) << def.name;
    } else {
      EXPECT_EQ(SettingNumber(loaded, def), SettingNumber(saved, def)) << def.name;
    }
  }

  // What lies in the registry: each value under its own name and key, with its type.
  for (const SettingDef& def : SettingsTable()) {
    if (def.save < 0) continue;
    if (def.kind == SettingKind::kText) {
      std::string text;
      ASSERT_TRUE(reg::ReadString(SettingKey(def.record), def.name, &text)) << def.name;
      EXPECT_EQ(text, SettingText(saved, def));
    } else {
      uint32_t number = 0;
      ASSERT_TRUE(reg::ReadDword(SettingKey(def.record), def.name, &number)) << def.name;
      EXPECT_EQ(static_cast<int32_t>(number), SettingNumber(saved, def));
    }
  }
}

TEST(SettingsTableTest, OnlyTheNamedValuesAreSavedInTheirOrder) {
  ScopedSystemRoot root;
  const Settings saved = Distinct();
  ASSERT_TRUE(SaveSettingValues(saved, SettingRecord::kSmtp, {"PortEx", "ExchangeHost", "NoSuch"}));
  reg::Key key;
  ASSERT_EQ(reg::OpenKey(kSmtpKey, &key), reg::kSuccess);
  std::vector<std::string> names;
  for (const auto& v : key.values()) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"PortEx", "ExchangeHost"}));
}

TEST(SettingsTableTest, BoundsAreWhatWritersAcceptForEveryRow) {
  for (const SettingDef& def : SettingsTable()) {
    Settings s = Distinct();
    const Settings before = s;
    if (def.optional) {
      continue;  // OptionalRowsAreBoundedAndUnsetByZero
    } else if (def.kind == SettingKind::kText) {
      EXPECT_TRUE(SettingAccepts(def, std::string(def.width - 1, 'x'))) << def.name;
      EXPECT_TRUE(SettingAccepts(def, "")) << def.name;
      EXPECT_FALSE(StoreSetting(s, def, std::string(def.width, 'x'))) << def.name;
      EXPECT_FALSE(StoreSetting(s, def, std::string_view("a\0b", 3))) << def.name;
      EXPECT_FALSE(StoreSetting(s, def, int64_t{1})) << def.name;  // a number for a text
      EXPECT_EQ(std::memcmp(SettingText(s, def), SettingText(before, def), def.width), 0);
    } else if ((def.lower == 1 || def.lower == 0) && def.upper == 65535) {
      continue;  // a port: PortRowsTakeOnlyPorts, OptionalPortsAreOffUnlessTheRegistryNamesThem
    } else {
      // Every 32-bit number is taken, as SET, PUTSTREAM OPTIONS and the console always took it.
      for (int64_t n : {int64_t{INT32_MIN}, int64_t{-1}, int64_t{0}, int64_t{INT32_MAX}})
        EXPECT_TRUE(SettingAccepts(def, n)) << def.name << " " << n;
      for (int64_t n : {int64_t{INT32_MIN} - 1, int64_t{INT32_MAX} + 1}) {
        EXPECT_FALSE(StoreSetting(s, def, n)) << def.name << " " << n;
        EXPECT_EQ(SettingNumber(s, def), SettingNumber(before, def));
      }
      EXPECT_FALSE(SettingAccepts(def, std::string_view("1"))) << def.name;
    }
  }
}

// The four listening ports and the two ports clients connect to take 1 to 65535 and nothing else.
TEST(SettingsTableTest, PortRowsTakeOnlyPorts) {
  const std::vector<std::pair<SettingRecord, const char*>> ports = {
      {SettingRecord::kSystem, "Port"}, {SettingRecord::kSystem, "PasswordPort"},
      {SettingRecord::kSmtp, "Port"},   {SettingRecord::kSmtp, "PortEx"},
      {SettingRecord::kPop3, "Port"},   {SettingRecord::kPop3, "PortEx"}};
  int bounded = 0;
  for (const SettingDef& def : SettingsTable()) bounded += def.lower == 1 && def.upper == 65535;
  EXPECT_EQ(bounded, static_cast<int>(ports.size()));
  for (const auto& [record, name] : ports) {
    const SettingDef* def = FindSetting(record, name);
    ASSERT_NE(def, nullptr) << name;
    for (int64_t n : {int64_t{1}, int64_t{80}, int64_t{65535}})
      EXPECT_TRUE(SettingAccepts(*def, n)) << name << " " << n;
    for (int64_t n : {int64_t{0}, int64_t{-1}, int64_t{65536}, int64_t{70000}, int64_t{INT32_MIN},
                      int64_t{INT32_MAX}}) {
      Settings s = Distinct();
      const int32_t before = SettingNumber(s, *def);
      EXPECT_FALSE(StoreSetting(s, *def, n)) << name << " " << n;
      EXPECT_EQ(SettingNumber(s, *def), before) << name << " " << n;
    }
  }
}

// The TLS, submission and relay rows: absent from the registry they are off (ports 0, texts
// empty), 0 to 65535 is all a port takes, and no record save, OPTIONS line or SET shows them.
TEST(SettingsTableTest, OptionalPortsAreOffUnlessTheRegistryNamesThem) {
  const std::vector<std::pair<SettingRecord, const char*>> ports = {
      {SettingRecord::kSystem, "TlsControlPort"},
      {SettingRecord::kSmtp, "SubmissionPort"},
      {SettingRecord::kSmtp, "SmtpsPort"},
      {SettingRecord::kPop3, "Pop3sPort"}};
  for (const auto& [record, name] : ports) {
    const SettingDef* def = FindSetting(record, name);
    ASSERT_NE(def, nullptr) << name;
    EXPECT_EQ(def->initial.number, 0) << name;
    EXPECT_EQ(def->missing.number, 0) << name;
    for (int64_t n : {int64_t{0}, int64_t{465}, int64_t{65535}})
      EXPECT_TRUE(SettingAccepts(*def, n)) << name << " " << n;
    for (int64_t n : {int64_t{-1}, int64_t{65536}}) EXPECT_FALSE(SettingAccepts(*def, n)) << name;
  }
  for (const char* name : {"TlsCertificate", "TlsKey", "TlsControlPort", "SubmissionPort",
                           "SmtpsPort", "RelayNetworks", "Pop3sPort"}) {
    const SettingDef* def = nullptr;
    for (SettingRecord record :
         {SettingRecord::kSystem, SettingRecord::kSmtp, SettingRecord::kPop3})
      if (def == nullptr) def = FindSetting(record, name);
    ASSERT_NE(def, nullptr) << name;
    EXPECT_EQ(def->save, -1) << name;
    EXPECT_EQ(def->line, -1) << name;
    EXPECT_EQ(def->show, -1) << name;
    EXPECT_EQ(def->keyword, nullptr) << name;
  }
}

TEST(SettingsTableTest, SystemFolders) {
  for (const char* path : {"/",     "//",        "/./",     "/etc",        "/etc/",    "/etc//",
                           "//usr", "/bin/",     "/proc",   "/sys/",       "/dev",     "/sbin",
                           "/lib",  "/boot",     "/tmp/..", "/opt/../etc", "/./usr/.", "/../../dev",
                           "/var",  "/var/log/", "/home",   "/usr/local",  "/tmp"})
    EXPECT_TRUE(IsSystemFolder(path)) << path;
  for (const char* path : {"", ".", "etc", "mail", "/etc/quorvane", "/usr/local/mail",
                           "/opt/quorvane/mail", "/etcetera", "/devices", "/ETC2", "/tmp/etc"})
    EXPECT_FALSE(IsSystemFolder(path)) << path;
}

// Ports that would collide and folders that would point the services at the system: only a
// change brings them in; what was stored before does not block another change.
TEST(SettingsTableTest, ChangesAcrossRows) {
  auto base = [] {
    Settings s;
    s.system.Port = 32000;
    s.system.PasswordPort = 106;
    s.smtp.Port = 25;
    s.pop3.Port = 110;
    s.smtp.PortEx = 25;
    s.pop3.PortEx = 110;
    CopyField(s.system.MailPath, "/srv/mail");
    CopyField(s.system.ConfigPath, "/srv/config");
    CopyField(s.system.TempPath, "/srv/temp");
    CopyField(s.system.LogPath, "/srv/log");
    return s;
  };
  struct Case {
    const char* what;
    void (*change)(Settings&);
    bool accepted;
  };
  const Case cases[] = {
      {"nothing", [](Settings&) {}, true},
      {"control on a free port", [](Settings& s) { s.system.Port = 32001; }, true},
      {"control on SMTP's", [](Settings& s) { s.system.Port = 25; }, false},
      {"password on POP3's", [](Settings& s) { s.system.PasswordPort = 110; }, false},
      {"POP3 on control's", [](Settings& s) { s.pop3.Port = 32000; }, false},
      {"SMTP on password's", [](Settings& s) { s.smtp.Port = 106; }, false},
      {"two swap", [](Settings& s) { std::swap(s.smtp.Port, s.pop3.Port); }, true},
      {"two on one new port",
       [](Settings& s) {
         s.smtp.Port = 2525;
         s.pop3.Port = 2525;
       },
       false},
      {"outgoing port may equal a listener", [](Settings& s) { s.smtp.PortEx = 110; }, true},
      {"mail at the root", [](Settings& s) { CopyField(s.system.MailPath, "/"); }, false},
      {"config at /etc/", [](Settings& s) { CopyField(s.system.ConfigPath, "/etc/"); }, false},
      {"temp at /tmp/../dev", [](Settings& s) { CopyField(s.system.TempPath, "/tmp/../dev"); },
       false},
      {"log at //proc", [](Settings& s) { CopyField(s.system.LogPath, "//proc"); }, false},
      {"mail below /usr", [](Settings& s) { CopyField(s.system.MailPath, "/usr/mail"); }, true},
      {"install path is no service folder",
       [](Settings& s) { CopyField(s.system.InstallPath, "/"); }, true},
  };
  for (const Case& c : cases) {
    Settings after = base();
    c.change(after);
    EXPECT_EQ(SettingsChangeAccepted(base(), after), c.accepted) << c.what;
  }
  // Stored before by other means: an unrelated change still goes through, the same value too.
  Settings odd = base();
  odd.smtp.Port = odd.pop3.Port = 0;
  CopyField(odd.system.LogPath, "/");
  Settings changed = odd;
  changed.system.LogLevel = 3;
  EXPECT_TRUE(SettingsChangeAccepted(odd, changed));
  changed.smtp.Port = 2525;
  EXPECT_TRUE(SettingsChangeAccepted(odd, changed));  // pop3 still 0, but apart from 2525
}

// The rows added to the system's own: an address or nothing; numbers within their bounds or 0,
// which is "not set" and leaves no value in the registry; stored values out of bounds are brought
// within them, and an address that cannot be read whole is never taken as none.
TEST(SettingsTableTest, OptionalRowsAreBoundedAndUnsetByZero) {
  const SettingDef* address = FindSetting(SettingRecord::kSystem, "ListenAddress");
  ASSERT_NE(address, nullptr);
  for (const char* text :
       {"", "127.0.0.1", "0.0.0.0", "::1", "::", "2001:db8::25", "::ffff:192.0.2.1"})
    EXPECT_TRUE(SettingAccepts(*address, text)) << text;
  for (const char* text : {"localhost", "127.0.0.1:25", "[::1]", " 127.0.0.1", "127.0.0.1 ",
                           "127.1", "1.2.3.4.5", "256.0.0.1", "fe80::1%eth0", "::1/128", "0"})
    EXPECT_FALSE(SettingAccepts(*address, text)) << text;
  EXPECT_FALSE(IsAddressLiteral(std::string_view("127.0.0.1\0x", 11)));

  struct Bounds {
    const char* name;
    int32_t lower, upper;
  };
  for (const Bounds& b : {Bounds{"PreLogonTime", 5, 3600}, Bounds{"PreLogonPerAddress", 1, 25},
                          Bounds{"PasswordPreLogonPerAddress", 1, 5}}) {
    const SettingDef* def = FindSetting(SettingRecord::kSystem, b.name);
    ASSERT_NE(def, nullptr) << b.name;
    EXPECT_TRUE(def->optional);
    for (int64_t n : {int64_t{0}, int64_t{b.lower}, int64_t{b.upper}})
      EXPECT_TRUE(SettingAccepts(*def, n)) << b.name << " " << n;
    for (int64_t n :
         {int64_t{-1}, int64_t{b.lower} - 1, int64_t{b.upper} + 1, int64_t{INT32_MAX}}) {
      if (n == 0) continue;  // not set
      EXPECT_FALSE(SettingAccepts(*def, n)) << b.name << " " << n;
    }
  }

  ScopedSystemRoot root;
  Settings s;
  ASSERT_TRUE(SaveSettingsRecord(s, SettingRecord::kSystem));
  auto stored = [](const char* name) {
    reg::Key key;
    uint32_t type = 0, size = 0;
    return reg::OpenKey(kControlKey, &key) == reg::kSuccess &&
           reg::QueryValue(key, name, &type, nullptr, &size) == reg::kSuccess;
  };
  EXPECT_FALSE(stored("ListenAddress"));
  EXPECT_FALSE(stored("PreLogonTime"));
  ASSERT_TRUE(StoreSetting(s, *address, "::1"));
  s.system.PreLogonTime = 30;
  ASSERT_TRUE(SaveSettingsRecord(s, SettingRecord::kSystem));
  EXPECT_TRUE(stored("ListenAddress"));
  EXPECT_TRUE(stored("PreLogonTime"));
  EXPECT_FALSE(stored("PreLogonPerAddress"));
  s.system.PreLogonTime = 0;
  ASSERT_TRUE(SaveSettingValues(s, SettingRecord::kSystem, {"PreLogonTime"}));
  EXPECT_FALSE(stored("PreLogonTime"));
  EXPECT_TRUE(stored("ListenAddress"));

  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kControlKey, "", &key), reg::kSuccess);
  ASSERT_EQ(reg::SetDword(&key, "PreLogonTime", 1), reg::kSuccess);
  ASSERT_EQ(reg::SetDword(&key, "PreLogonPerAddress", 0xFFFFFFFFu), reg::kSuccess);
  ASSERT_EQ(reg::SetDword(&key, "PasswordPreLogonPerAddress", 9), reg::kSuccess);
  ASSERT_EQ(reg::SetString(&key, "ListenAddress", std::string(300, '1')), reg::kSuccess);
  reg::CloseKey(&key);
  Settings loaded;
  ASSERT_TRUE(LoadSettingsRecord(loaded, SettingRecord::kSystem));
  EXPECT_EQ(loaded.system.PreLogonTime, 5);
  EXPECT_EQ(loaded.system.PreLogonPerAddress, 1);
  EXPECT_EQ(loaded.system.PasswordPreLogonPerAddress, 5);
  EXPECT_EQ(std::string(loaded.system.ListenAddress), std::string(63, '1'));
  ASSERT_EQ(reg::CreateKey(kControlKey, "", &key), reg::kSuccess);
  ASSERT_EQ(reg::SetDword(&key, "ListenAddress", 0x0100007F), reg::kSuccess);
  reg::CloseKey(&key);
  ASSERT_TRUE(LoadSettingsRecord(loaded, SettingRecord::kSystem));
  EXPECT_NE(loaded.system.ListenAddress[0], '\0');  // a number is no address, and not none
  EXPECT_FALSE(IsAddressLiteral(loaded.system.ListenAddress));
}

// A missing key gives every row its initial value; an existing key without the row's value
// gives the `missing` default; both for each record.
TEST(SettingsTableTest, InitialAndMissingDefaultsPerRow) {
  ScopedSystemRoot root;
  Settings s;
  CopyField(s.net.HostName, "net-host");
  for (SettingRecord record : {SettingRecord::kSystem, SettingRecord::kSmtp, SettingRecord::kPop3})
    EXPECT_FALSE(LoadSettingsRecord(s, record));
  for (const SettingDef& def : SettingsTable()) {
    if (def.kind == SettingKind::kText) {
      const char* expected = def.initial.rule == Fallback::kNetHostName ? "net-host"
                             : def.initial.rule == Fallback::kText      ? def.initial.text
                                                                        : "";
      EXPECT_STREQ(SettingText(s, def), expected) << def.name;
    } else {
      EXPECT_EQ(SettingNumber(s, def), def.initial.number) << def.name;
    }
  }
  for (const char* key : {kControlKey, kSmtpKey, kPop3Key}) {
    reg::Key k;
    ASSERT_EQ(reg::CreateKey(key, "", &k), reg::kSuccess);
    ASSERT_EQ(reg::SetString(&k, "Unrelated", "x"), reg::kSuccess);
  }
  for (SettingRecord record : {SettingRecord::kSystem, SettingRecord::kSmtp, SettingRecord::kPop3})
    EXPECT_TRUE(LoadSettingsRecord(s, record));
  for (const SettingDef& def : SettingsTable()) {
    if (def.kind == SettingKind::kText) continue;  // texts: config_test
    const SettingDefault& d = def.missing.rule == Fallback::kNumber ? def.missing : def.initial;
    EXPECT_EQ(SettingNumber(s, def), d.number) << def.name;
  }
}

}  // namespace
}  // namespace qv
