#include "common/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/testing/test_env.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "platform/winprofile.h"

namespace qv {
namespace {

using qv::testing::ReadFileText;
using qv::testing::ScopedSystemRoot;
using qv::testing::TempDir;
using qv::testing::WriteFileText;

void SetText(const char* key_path, const char* name, const std::string& value) {
  reg::Key key;
  ASSERT_EQ(reg::CreateKey(key_path, "", &key), reg::kSuccess);
  ASSERT_EQ(reg::SetString(&key, name, value), reg::kSuccess);
}

void SetNumber(const char* key_path, const char* name, uint32_t value) {
  reg::Key key;
  ASSERT_EQ(reg::CreateKey(key_path, "", &key), reg::kSuccess);
  ASSERT_EQ(reg::SetDword(&key, name, value), reg::kSuccess);
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetNetworkInfo();
    g_NtMode = false;
  }
  ScopedSystemRoot root_;
};

TEST_F(ConfigTest, DefaultsWithoutAnyKey) {
  ASSERT_TRUE(LoadSystemConfig());
  EXPECT_EQ(g_System.LogLevel, 1);  // 1 only when the key itself is missing
  EXPECT_STREQ(g_System.HostName, g_NetInfo.HostName);
  EXPECT_STREQ(g_System.LogViewer, "NOTEPAD.EXE");
  EXPECT_EQ(g_System.MaxLogTime, 7);
  EXPECT_EQ(g_System.ConnectTime, 3600);
  EXPECT_EQ(g_System.ClosingTime, 90);
  EXPECT_EQ(g_System.Port, 32000);
  EXPECT_EQ(g_System.PasswordPort, 106);
  EXPECT_STREQ(g_System.InstallPath, "");  // paths are only defaulted when the key exists

  ASSERT_TRUE(LoadSmtpConfig());
  EXPECT_EQ(g_Smtp.Flags, 1u);  // 1 when the key is missing
  EXPECT_EQ(g_Smtp.SMTPTimer, 900);
  EXPECT_EQ(g_Smtp.ReturnTimer, 259200);
  EXPECT_EQ(g_Smtp.ESMTPMaxMsgSize, 5000);
  EXPECT_EQ(g_Smtp.Port, 25);
  EXPECT_EQ(g_Smtp.PortEx, 25);
  ASSERT_TRUE(LoadPop3Config());
  EXPECT_EQ(g_Pop3.Port, 110);
  EXPECT_EQ(g_Pop3.PortEx, 110);
  EXPECT_EQ(g_Pop3.Flags, 0u);
}

TEST_F(ConfigTest, DefaultsWithAnEmptyKey) {
  SetText(kControlKey, "Unrelated", "x");
  SetText(kSmtpKey, "Unrelated", "x");
  ASSERT_TRUE(LoadSystemConfig());
  EXPECT_EQ(g_System.LogLevel, 4);
  EXPECT_STREQ(g_System.InstallPath, "/opt/quorvane");
  EXPECT_STREQ(g_System.MailPath, "/opt/quorvane/mail");
  EXPECT_STREQ(g_System.TempPath, "/opt/quorvane/temp");
  EXPECT_STREQ(g_System.LogPath, "/opt/quorvane/log");
  EXPECT_STREQ(g_System.ConfigPath, "/opt/quorvane/config");
  ASSERT_TRUE(LoadSmtpConfig());
  EXPECT_EQ(g_Smtp.Flags, 0u);  // 0 when only the value is missing
}

TEST_F(ConfigTest, DomainDefaultsAndNtDomain) {
  SetText(kWinlogonKey, "DefaultDomainName", "CORP");
  ASSERT_TRUE(LoadSystemConfig());
  EXPECT_STREQ(g_System.Domain, "CORP");
  EXPECT_STREQ(g_System.NTDomain, "CORP");

  SetText(kControlKey, "Domain", "a.example;b.example");
  ASSERT_TRUE(LoadSystemConfig());
  EXPECT_STREQ(g_System.Domain, "a.example;b.example");
  EXPECT_STREQ(g_System.NTDomain, "a.example");

  SetText(kControlKey, "NTDomain", "nt.example");
  SetText(kControlKey, "HostName", "");  // empty counts as missing
  ASSERT_TRUE(LoadSystemConfig());
  EXPECT_STREQ(g_System.NTDomain, "nt.example");
  EXPECT_STREQ(g_System.HostName, g_NetInfo.HostName);
}

TEST_F(ConfigTest, TrailingSlashesAndLimits) {
  SetText(kControlKey, "InstallPath", "/srv/qv/");
  SetText(kControlKey, "MailPath", "/srv/mail//");
  SetText(kControlKey, "LogPath", "/var/log/qv/");
  SetText(kControlKey, "ConfigPath", "/srv/config/");
  SetNumber(kControlKey, "ConnectTime", 10);
  SetNumber(kSmtpKey, "SMTPTimer", 0);
  SetNumber(kSmtpKey, "ReturnTimer", 59);
  ASSERT_TRUE(LoadSystemConfig());
  EXPECT_STREQ(g_System.InstallPath, "/srv/qv");
  EXPECT_STREQ(g_System.MailPath, "/srv/mail/");  // loses one slash and nothing else
  EXPECT_STREQ(g_System.TempPath, "/srv/qv//temp");
  EXPECT_STREQ(g_System.LogPath, "/srv/qv/log");
  EXPECT_STREQ(g_System.ConfigPath, "/srv/config/");
  EXPECT_EQ(g_System.ConnectTime, 60);
  ASSERT_TRUE(LoadSmtpConfig());
  EXPECT_EQ(g_Smtp.SMTPTimer, 60);
  EXPECT_EQ(g_Smtp.ReturnTimer, 60);
}

TEST_F(ConfigTest, WrongTypesAndOverlongTexts) {
  SetText(kControlKey, "LogLevel", "5");  // text where a number belongs: default
  SetNumber(kControlKey, "Domain", 7);    // number where a tested text belongs: default
  SetText(kControlKey, "HostName", std::string(128, 'h'));  // does not fit with its zero
  SetText(kControlKey, "NameServer", std::string(127, 'n'));
  SetNumber(kControlKey, "RemoteServer", 0x41);  // untested text: the stored bytes
  SetText(kSmtpKey, "ESMTPMaxMsgSize", "abc");   // untested number: the stored bytes
  SetText(kSmtpKey, "Flags", "1");
  ASSERT_TRUE(LoadSystemConfig());
  EXPECT_EQ(g_System.LogLevel, 4);
  EXPECT_STREQ(g_System.Domain, "");
  EXPECT_STREQ(g_System.HostName, g_NetInfo.HostName);
  EXPECT_EQ(std::strlen(g_System.NameServer), 127u);
  EXPECT_STREQ(g_System.RemoteServer, "A");
  ASSERT_TRUE(LoadSmtpConfig());
  EXPECT_EQ(g_Smtp.ESMTPMaxMsgSize, 'a' | ('b' << 8) | ('c' << 16));
  EXPECT_EQ(g_Smtp.Flags, 0u);
}

TEST_F(ConfigTest, SaveWritesEveryValueAndMakesDirectories) {
  TempDir dir;
  std::memset(&g_System, 0, sizeof g_System);
  CopyField(g_System.HostName, "mail.example");
  CopyField(g_System.InstallPath, dir.path());
  CopyField(g_System.MailPath, dir.Sub("mail"));
  CopyField(g_System.TempPath, dir.Sub("temp"));
  CopyField(g_System.LogPath, dir.Sub("log"));
  CopyField(g_System.ConfigPath, dir.Sub("config"));
  CopyField(g_System.RASPassword, "pw\"with\\quote");
  g_System.LogLevel = 3;
  g_System.Flags = 0x12;
  ASSERT_TRUE(SaveSystemConfig());
  struct stat st {};
  EXPECT_EQ(stat(dir.Sub("mail").c_str(), &st), 0);
  EXPECT_EQ(stat(dir.Sub("temp").c_str(), &st), 0);
  EXPECT_EQ(stat(dir.Sub("log").c_str(), &st), 0);
  reg::Key key;
  ASSERT_EQ(reg::OpenKey(kControlKey, &key), reg::kSuccess);
  std::vector<std::string> names;
  for (const auto& v : key.values()) names.push_back(v.name);
  const std::vector<std::string> expected = {
      "HostName",     "Domain",       "NameServer",  "AdministratorName", "AdministratorMailBox",
      "MailPath",     "TempPath",     "LogPath",     "ConfigPath",        "LogViewer",
      "Port",         "PasswordPort", "LogLevel",    "MaxLogTime",        "Flags",
      "RASEntry",     "RASUser",      "RASPassword", "ConnectTime",       "ClosingTime",
      "RemoteServer", "RemoteLogin",  "NTUser",      "NTDomain",          "NoResponse"};
  EXPECT_EQ(names, expected);  // in order, and never InstallPath

  SYSTEMSTRUCT saved = g_System;
  SetText(kControlKey, "InstallPath", dir.path());
  ASSERT_TRUE(LoadSystemConfig());
  EXPECT_STREQ(g_System.RASPassword, saved.RASPassword);
  EXPECT_EQ(g_System.LogLevel, 3);
  EXPECT_EQ(g_System.Flags, 0x12u);

  g_Smtp = {};
  CopyField(g_Smtp.ExchangeHost, "relay");
  g_Smtp.Flags = 0x80;
  ASSERT_TRUE(SaveSmtpConfig());
  ASSERT_EQ(reg::OpenKey(kSmtpKey, &key), reg::kSuccess);
  names.clear();
  for (const auto& v : key.values()) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"ExchangeHost", "ForwardUnknown", "SMTPTimer", "Port",
                                             "PortEx", "ESMTPMaxMsgSize", "ReturnTimer", "Flags"}));
}

TEST_F(ConfigTest, SaveRemoteConfigWritesOnlyThree) {
  CopyField(g_System.RemoteServer, "host");
  CopyField(g_System.RemoteLogin, "admin");
  g_System.Port = 32001;
  ASSERT_TRUE(SaveRemoteConfig());
  reg::Key key;
  ASSERT_EQ(reg::OpenKey(kControlKey, &key), reg::kSuccess);
  ASSERT_EQ(key.values().size(), 3u);
}

TEST(StartEntry, RemovesAndAppendsWholeWords) {
  struct Case {
    const char* entry;
    const char* program;
    bool wanted;
    const char* result;
  } cases[] = {
      {"/OPT/QUORVANE/QVSMTP95 /usr/bin/Other", "qvsmtp95", false, " /usr/bin/other"},
      {" /usr/bin/other", "qvsmtp95", true, " /usr/bin/other /opt/quorvane/qvsmtp95"},
      {"", "qvpop395", true, "/opt/quorvane/qvpop395"},
      {"a /x/qvpop395\tb", "qvpop395", false, "a\tb"},
      {"a b", "qvctrl95", false, "a b"},
      {"A /opt/quorvane/qvctrl95", "qvctrl95", true, "a /opt/quorvane/qvctrl95"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AdjustStartEntry(c.entry, "/opt/quorvane", c.program, c.wanted), c.result) << c.entry;
}

TEST_F(ConfigTest, SaveBringsTheStartEntryInLine) {
  platform::WriteProfileString("windows", "run", "/OPT/QUORVANE/QVSMTP95 /usr/bin/Other");
  std::memset(&g_System, 0, sizeof g_System);
  CopyField(g_System.InstallPath, "/opt/quorvane");
  ASSERT_TRUE(LoadSmtpConfig());
  EXPECT_TRUE(g_AutoStartSmtp);
  g_AutoStartSmtp = false;
  SaveSmtpConfig();
  char buf[256];
  platform::GetProfileString("windows", "run", "", buf, sizeof buf);
  EXPECT_STREQ(buf, " /usr/bin/other");
  g_AutoStartSmtp = true;
  SaveSmtpConfig();
  platform::GetProfileString("windows", "run", "", buf, sizeof buf);
  EXPECT_STREQ(buf, " /usr/bin/other /opt/quorvane/qvsmtp95");
  // Unchanged entries are not rewritten.
  std::string before = ReadFileText(platform::ProfilePath());
  unlink(platform::ProfilePath().c_str());
  WriteFileText(platform::ProfilePath(), before);
  struct stat st1 {
  }, st2{};
  stat(platform::ProfilePath().c_str(), &st1);
  SaveSmtpConfig();
  stat(platform::ProfilePath().c_str(), &st2);
  EXPECT_EQ(st1.st_ino, st2.st_ino);
}

// A stand-in service program installed under the three program names; it holds the presence
// lock of the class its name stands for until SIGTERM.
class ServiceCommandTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    std::memset(&g_System, 0, sizeof g_System);
    CopyField(g_System.InstallPath, install_.path());
    for (const char* name : {"qvsmtp95", "qvpop395", "qvctrl95"})
      ASSERT_EQ(
          symlink((qv::testing::BinDir() + "/qvtesthold").c_str(), install_.Sub(name).c_str()), 0);
    unsetenv("QV_HOLD_CLASS");
  }
  void TearDown() override {
    for (int s = 1; s <= 3; ++s) platform::SendDestroy(ServiceName(s));
  }
  static bool WaitFor(int service, bool running) {
    for (int i = 0; i < 800; ++i) {
      if (platform::FindServiceWindow(ServiceName(service)) == running) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  TempDir install_;
};

TEST_F(ServiceCommandTest, QueryStartStopRestartRemove) {
  EXPECT_EQ(ServiceCommand(kServiceSmtp, kCommandQuery), 1);
  EXPECT_EQ(ServiceCommand(kServiceSmtp, kCommandInstall), 1);
  EXPECT_EQ(ServiceCommand(kServiceSmtp, kCommandStart), -1);
  ASSERT_TRUE(WaitFor(kServiceSmtp, true));
  EXPECT_EQ(ServiceCommand(kServiceSmtp, kCommandQuery), 4);
  EXPECT_EQ(ServiceCommand(kServicePop3, kCommandQuery), 1);

  pid_t before = 0, after = 0;
  ASSERT_TRUE(platform::FindServiceWindow("QuorvaneSmtp", &before));
  EXPECT_EQ(ServiceCommand(kServiceSmtp, kCommandInterrogate), -1);  // restart
  for (int i = 0; i < 800; ++i) {
    if (platform::FindServiceWindow("QuorvaneSmtp", &after) && after != before && after != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_NE(after, before);
  EXPECT_EQ(ServiceCommand(kServiceSmtp, kCommandQuery), 4);

  EXPECT_EQ(ServiceCommand(kServiceSmtp, kCommandStop), -1);
  ASSERT_TRUE(WaitFor(kServiceSmtp, false));
  EXPECT_EQ(ServiceCommand(kServiceSmtp, kCommandQuery), 1);

  EXPECT_EQ(ServiceCommand(kServiceControl, kCommandStart), -1);
  ASSERT_TRUE(WaitFor(kServiceControl, true));
  EXPECT_EQ(ServiceCommand(kServiceControl, kCommandRemove), 4);
  ASSERT_TRUE(WaitFor(kServiceControl, false));
  EXPECT_EQ(ServiceCommand(kServiceControl, kCommandRemove), 1);
  EXPECT_EQ(ServiceCommand(9, kCommandQuery), -1);
}

// A query is answered at once, but one that follows a stop of this process still sees its result.
TEST_F(ServiceCommandTest, QueryRightAfterAStopSeesTheServiceGone) {
  EXPECT_EQ(ServiceCommand(kServicePop3, kCommandStart), -1);
  ASSERT_TRUE(WaitFor(kServicePop3, true));
  EXPECT_EQ(ServiceCommand(kServicePop3, kCommandQuery), 4);
  EXPECT_EQ(ServiceCommand(kServicePop3, kCommandStop), -1);
  EXPECT_EQ(ServiceCommand(kServicePop3, kCommandQuery), 1);
}

}  // namespace
}  // namespace qv
