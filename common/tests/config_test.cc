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
  void SetUp() override { GetNetworkInfo(s_.net); }
  ScopedSystemRoot root_;
  Settings s_;
};

TEST_F(ConfigTest, DefaultsWithoutAnyKey) {
  LoadSystemConfig(s_);
  EXPECT_EQ(s_.system.LogLevel, 1);  // 1 only when the key itself is missing
  EXPECT_STREQ(s_.system.HostName, s_.net.HostName);
  EXPECT_STREQ(s_.system.LogViewer, "NOTEPAD.EXE");
  EXPECT_EQ(s_.system.MaxLogTime, 7);
  EXPECT_EQ(s_.system.ConnectTime, 3600);
  EXPECT_EQ(s_.system.ClosingTime, 90);
  EXPECT_EQ(s_.system.Port, 32000);
  EXPECT_EQ(s_.system.PasswordPort, 106);
  EXPECT_STREQ(s_.system.InstallPath, "");  // paths are only defaulted when the key exists

  LoadSmtpConfig(s_);
  EXPECT_EQ(s_.smtp.Flags, 1u);  // 1 when the key is missing
  EXPECT_EQ(s_.smtp.SMTPTimer, 900);
  EXPECT_EQ(s_.smtp.ReturnTimer, 259200);
  EXPECT_EQ(s_.smtp.ESMTPMaxMsgSize, 5000);
  EXPECT_EQ(s_.smtp.Port, 25);
  EXPECT_EQ(s_.smtp.PortEx, 25);
  LoadPop3Config(s_);
  EXPECT_EQ(s_.pop3.Port, 110);
  EXPECT_EQ(s_.pop3.PortEx, 110);
  EXPECT_EQ(s_.pop3.Flags, 0u);
}

TEST_F(ConfigTest, DefaultsWithAnEmptyKey) {
  SetText(kControlKey, "Unrelated", "x");
  SetText(kSmtpKey, "Unrelated", "x");
  LoadSystemConfig(s_);
  EXPECT_EQ(s_.system.LogLevel, 4);
  EXPECT_STREQ(s_.system.InstallPath, "/opt/quorvane");
  EXPECT_STREQ(s_.system.MailPath, "/opt/quorvane/mail");
  EXPECT_STREQ(s_.system.TempPath, "/opt/quorvane/temp");
  EXPECT_STREQ(s_.system.LogPath, "/opt/quorvane/log");
  EXPECT_STREQ(s_.system.ConfigPath, "/opt/quorvane/config");
  LoadSmtpConfig(s_);
  EXPECT_EQ(s_.smtp.Flags, 0u);  // 0 when only the value is missing
}

TEST_F(ConfigTest, DomainDefaultsAndNtDomain) {
  SetText(kWinlogonKey, "DefaultDomainName", "CORP");
  LoadSystemConfig(s_);
  EXPECT_STREQ(s_.system.Domain, "CORP");
  EXPECT_STREQ(s_.system.NTDomain, "CORP");

  SetText(kControlKey, "Domain", "a.example;b.example");
  LoadSystemConfig(s_);
  EXPECT_STREQ(s_.system.Domain, "a.example;b.example");
  EXPECT_STREQ(s_.system.NTDomain, "a.example");

  SetText(kControlKey, "NTDomain", "nt.example");
  SetText(kControlKey, "HostName", "");  // empty counts as missing
  LoadSystemConfig(s_);
  EXPECT_STREQ(s_.system.NTDomain, "nt.example");
  EXPECT_STREQ(s_.system.HostName, s_.net.HostName);
}

TEST_F(ConfigTest, TrailingSlashesAndLimits) {
  SetText(kControlKey, "InstallPath", "/srv/qv/");
  SetText(kControlKey, "MailPath", "/srv/mail//");
  SetText(kControlKey, "LogPath", "/var/log/qv/");
  SetText(kControlKey, "ConfigPath", "/srv/config/");
  SetNumber(kControlKey, "ConnectTime", 10);
  SetNumber(kSmtpKey, "SMTPTimer", 0);
  SetNumber(kSmtpKey, "ReturnTimer", 59);
  LoadSystemConfig(s_);
  EXPECT_STREQ(s_.system.InstallPath, "/srv/qv");
  EXPECT_STREQ(s_.system.MailPath, "/srv/mail/");  // loses one slash and nothing else
  EXPECT_STREQ(s_.system.TempPath, "/srv/qv//temp");
  EXPECT_STREQ(s_.system.LogPath, "/srv/qv/log");
  EXPECT_STREQ(s_.system.ConfigPath, "/srv/config/");
  EXPECT_EQ(s_.system.ConnectTime, 60);
  LoadSmtpConfig(s_);
  EXPECT_EQ(s_.smtp.SMTPTimer, 60);
  EXPECT_EQ(s_.smtp.ReturnTimer, 60);
}

TEST_F(ConfigTest, WrongTypesAndOverlongTexts) {
  SetText(kControlKey, "LogLevel", "5");  // text where a number belongs: default
  SetNumber(kControlKey, "Domain", 7);    // number where a tested text belongs: default
  SetText(kControlKey, "HostName", std::string(128, 'h'));  // does not fit with its zero
  SetText(kControlKey, "NameServer", std::string(127, 'n'));
  SetNumber(kControlKey, "RemoteServer", 0x41);  // untested text: the stored bytes
  SetText(kSmtpKey, "ESMTPMaxMsgSize", "abc");   // untested number: the stored bytes
  SetText(kSmtpKey, "Flags", "1");
  LoadSystemConfig(s_);
  EXPECT_EQ(s_.system.LogLevel, 4);
  EXPECT_STREQ(s_.system.Domain, "");
  EXPECT_STREQ(s_.system.HostName, s_.net.HostName);
  EXPECT_EQ(std::strlen(s_.system.NameServer), 127u);
  EXPECT_STREQ(s_.system.RemoteServer, "A");
  LoadSmtpConfig(s_);
  EXPECT_EQ(s_.smtp.ESMTPMaxMsgSize, 'a' | ('b' << 8) | ('c' << 16));
  EXPECT_EQ(s_.smtp.Flags, 0u);
}

TEST_F(ConfigTest, SaveWritesEveryValueAndMakesDirectories) {
  TempDir dir;
  std::memset(&s_.system, 0, sizeof s_.system);
  CopyField(s_.system.HostName, "mail.example");
  CopyField(s_.system.InstallPath, dir.path());
  CopyField(s_.system.MailPath, dir.Sub("mail"));
  CopyField(s_.system.TempPath, dir.Sub("temp"));
  CopyField(s_.system.LogPath, dir.Sub("log"));
  CopyField(s_.system.ConfigPath, dir.Sub("config"));
  CopyField(s_.system.RASPassword, "pw\"with\\quote");
  s_.system.LogLevel = 3;
  s_.system.Flags = 0x12;
  ASSERT_TRUE(SaveSystemConfig(s_));
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

  SYSTEMSTRUCT saved = s_.system;
  SetText(kControlKey, "InstallPath", dir.path());
  LoadSystemConfig(s_);
  EXPECT_STREQ(s_.system.RASPassword, saved.RASPassword);
  EXPECT_EQ(s_.system.LogLevel, 3);
  EXPECT_EQ(s_.system.Flags, 0x12u);

  s_.smtp = {};
  CopyField(s_.smtp.ExchangeHost, "relay");
  s_.smtp.Flags = 0x80;
  ASSERT_TRUE(SaveSmtpConfig(s_));
  ASSERT_EQ(reg::OpenKey(kSmtpKey, &key), reg::kSuccess);
  names.clear();
  for (const auto& v : key.values()) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"ExchangeHost", "ForwardUnknown", "SMTPTimer", "Port",
                                             "PortEx", "ESMTPMaxMsgSize", "ReturnTimer", "Flags"}));
}

TEST_F(ConfigTest, SaveRemoteConfigWritesOnlyThree) {
  CopyField(s_.system.RemoteServer, "host");
  CopyField(s_.system.RemoteLogin, "admin");
  s_.system.Port = 32001;
  ASSERT_TRUE(SaveRemoteConfig(s_));
  reg::Key key;
  ASSERT_EQ(reg::OpenKey(kControlKey, &key), reg::kSuccess);
  ASSERT_EQ(key.values().size(), 3u);
}

// A registry that cannot be written is reported by every save, and the values stay unwritten.
TEST_F(ConfigTest, SavesReportARegistryThatCannotBeWritten) {
  ASSERT_EQ(mkdir(reg::RegistryFilePath().c_str(), 0755), 0);  // a folder where the file goes
  CopyField(s_.system.HostName, "mail.example");
  EXPECT_FALSE(SaveSystemConfig(s_));
  EXPECT_FALSE(SaveRemoteConfig(s_));
  EXPECT_FALSE(SaveSmtpConfig(s_));
  EXPECT_FALSE(SavePop3Config(s_));
  std::string host;
  EXPECT_FALSE(reg::ReadString(kControlKey, "HostName", &host));
  // Once the registry can be written again, saving works and says so.
  ASSERT_EQ(rmdir(reg::RegistryFilePath().c_str()), 0);
  EXPECT_TRUE(SaveSystemConfig(s_));
  EXPECT_TRUE(SavePop3Config(s_));
  ASSERT_TRUE(reg::ReadString(kControlKey, "HostName", &host));
  EXPECT_EQ(host, "mail.example");
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
  std::memset(&s_.system, 0, sizeof s_.system);
  CopyField(s_.system.InstallPath, "/opt/quorvane");
  LoadSmtpConfig(s_);
  EXPECT_TRUE(s_.autostart_smtp);
  s_.autostart_smtp = false;
  SaveSmtpConfig(s_);
  char buf[256];
  platform::GetProfileString("windows", "run", "", buf, sizeof buf);
  EXPECT_STREQ(buf, " /usr/bin/other");
  s_.autostart_smtp = true;
  SaveSmtpConfig(s_);
  platform::GetProfileString("windows", "run", "", buf, sizeof buf);
  EXPECT_STREQ(buf, " /usr/bin/other /opt/quorvane/qvsmtp95");
  // Unchanged entries are not rewritten.
  std::string before = ReadFileText(platform::ProfilePath());
  unlink(platform::ProfilePath().c_str());
  WriteFileText(platform::ProfilePath(), before);
  struct stat st1 {
  }, st2{};
  stat(platform::ProfilePath().c_str(), &st1);
  SaveSmtpConfig(s_);
  stat(platform::ProfilePath().c_str(), &st2);
  EXPECT_EQ(st1.st_ino, st2.st_ino);
}

// A stand-in service program installed under the three program names; it holds the presence
// lock of the class its name stands for until SIGTERM.
class ServiceCommandTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    std::memset(&s_.system, 0, sizeof s_.system);
    CopyField(s_.system.InstallPath, install_.path());
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
  EXPECT_EQ(ServiceCommand(s_, kServiceSmtp, kCommandQuery), 1);
  EXPECT_EQ(ServiceCommand(s_, kServiceSmtp, kCommandInstall), 1);
  EXPECT_EQ(ServiceCommand(s_, kServiceSmtp, kCommandStart), -1);
  ASSERT_TRUE(WaitFor(kServiceSmtp, true));
  EXPECT_EQ(ServiceCommand(s_, kServiceSmtp, kCommandQuery), 4);
  EXPECT_EQ(ServiceCommand(s_, kServicePop3, kCommandQuery), 1);

  pid_t before = 0, after = 0;
  ASSERT_TRUE(platform::FindServiceWindow("QuorvaneSmtp", &before));
  EXPECT_EQ(ServiceCommand(s_, kServiceSmtp, kCommandInterrogate), -1);  // restart
  for (int i = 0; i < 800; ++i) {
    if (platform::FindServiceWindow("QuorvaneSmtp", &after) && after != before && after != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_NE(after, before);
  EXPECT_EQ(ServiceCommand(s_, kServiceSmtp, kCommandQuery), 4);

  EXPECT_EQ(ServiceCommand(s_, kServiceSmtp, kCommandStop), -1);
  ASSERT_TRUE(WaitFor(kServiceSmtp, false));
  EXPECT_EQ(ServiceCommand(s_, kServiceSmtp, kCommandQuery), 1);

  EXPECT_EQ(ServiceCommand(s_, kServiceControl, kCommandStart), -1);
  ASSERT_TRUE(WaitFor(kServiceControl, true));
  EXPECT_EQ(ServiceCommand(s_, kServiceControl, kCommandRemove), 4);
  ASSERT_TRUE(WaitFor(kServiceControl, false));
  EXPECT_EQ(ServiceCommand(s_, kServiceControl, kCommandRemove), 1);
  EXPECT_EQ(ServiceCommand(s_, 9, kCommandQuery), -1);
}

// A query is answered at once, but one that follows a stop of this process still sees its result.
TEST_F(ServiceCommandTest, QueryRightAfterAStopSeesTheServiceGone) {
  EXPECT_EQ(ServiceCommand(s_, kServicePop3, kCommandStart), -1);
  ASSERT_TRUE(WaitFor(kServicePop3, true));
  EXPECT_EQ(ServiceCommand(s_, kServicePop3, kCommandQuery), 4);
  EXPECT_EQ(ServiceCommand(s_, kServicePop3, kCommandStop), -1);
  EXPECT_EQ(ServiceCommand(s_, kServicePop3, kCommandQuery), 1);
}

}  // namespace
}  // namespace qv
