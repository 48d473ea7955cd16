// End to end against the real qvctrl95 and qvreg: a control session writes back only the settings
// it changed, merged into what the registry holds when it saves, and nothing at all without a
// change; values saved on the machine meanwhile, and the console's remembered connection, stay.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/service_process.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "control/tests/service_keys_util.h"
#include "net/control_client.h"
#include "platform/presence.h"
#include "platform/registry.h"

namespace qv::control {
namespace {

using qv::testing::BinDir;
using qv::testing::FreeLoopbackPort;
using qv::testing::MakeUser;
using qv::testing::ScopedSystemRoot;
using qv::testing::ScopedTables;
using qv::testing::ServiceProcess;

const std::string kControlPath = std::string("HKLM\\") + kControlKey;

class SettingsMergeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctrl_port_ = FreeLoopbackPort();
    int pw = FreeLoopbackPort(), smtp = FreeLoopbackPort(), pop3 = FreeLoopbackPort();
    testing::WriteServiceKeys(tables_, {ctrl_port_, pw, smtp, pop3});
    ::mkdir((tables_.root() + "/temp").c_str(), 0755);
    ::mkdir((tables_.root() + "/log").c_str(), 0755);
    USERSTRUCT admin = MakeUser("admin", "example.test", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    ASSERT_TRUE(control_.Start("qvctrl95", ctrl_port_));
  }

  void TearDown() override {
    // SAVE and PUTSTREAM OPTIONS start the mail services: they are stopped once they are up.
    for (const char* name : {"QuorvaneSmtp", "QuorvanePop3"}) {
      if (services_started_)
        qv::testing::WaitUntil([name] { return platform::FindServiceWindow(name); });
      platform::SendDestroy(name);
      qv::testing::WaitUntil([name] { return !platform::FindServiceWindow(name); });
    }
    control_.Stop();
  }

  void LogIn(ControlClient& client) {
    ASSERT_EQ(client.Login("127.0.0.1", static_cast<uint16_t>(ctrl_port_), "admin@example.test",
                           "secret"),
              ControlLogin::kOk);
  }

  // A value of the common key saved on the machine, as an administrator there would.
  static void SetWithQvreg(const char* name, const std::string& type, const std::string& data) {
    qv::testing::RunResult r = qv::testing::RunProgram(
        BinDir() + "/qvreg", {"add", kControlPath, "/v", name, "/t", type, "/d", data});
    ASSERT_EQ(r.code, 0) << r.err;
  }

  // QUIT, EXIT or SAVE, each answered once the settings are written.
  void Finish(ControlClient& client, const std::string& command) {
    services_started_ = services_started_ || command == "SAVE";
    Result<std::string> reply = command == "SAVE" ? client.Command(command) : client.Quit(command);
    ASSERT_TRUE(reply) << command << ": " << reply.error();
  }

  static uint32_t StoredNumber(const char* key, const char* name) {
    uint32_t value = 0xFFFFFFFF;
    reg::ReadDword(key, name, &value);
    return value;
  }
  static std::string StoredText(const char* name) {
    std::string value = "<missing>";
    reg::ReadString(kControlKey, name, &value);
    return value;
  }

  ScopedSystemRoot root_;
  ScopedTables tables_{"example.test"};
  ServiceProcess control_;
  int ctrl_port_ = 0;
  bool services_started_ = false;
};

TEST_F(SettingsMergeTest, AValueSavedOnTheMachineSurvivesQuitSaveAndExit) {
  int level = 2;
  for (const char* command : {"QUIT", "SAVE", "EXIT"}) {
    ControlClient c(-1, 30000);
    LogIn(c);
    SetWithQvreg("LogLevel", "REG_DWORD", std::to_string(++level));
    Finish(c, command);
    EXPECT_EQ(StoredNumber(kControlKey, "LogLevel"), static_cast<uint32_t>(level)) << command;
  }
}

TEST_F(SettingsMergeTest, ASessionsOwnChangesMergeWithTheMachines) {
  ControlClient c(-1, 30000);
  LogIn(c);
  // SET: another value of the same key, and another bit of the same flag word.
  ASSERT_EQ(*c.Command("SET MAXLOGTIME=14"), "\r\n");
  ASSERT_EQ(*c.Command("SET FLAGS +DIALUP"), "\r\n");
  SetWithQvreg("LogLevel", "REG_DWORD", "5");
  SetWithQvreg("Flags", "REG_DWORD", std::to_string(kSysPing));
  Finish(c, "SAVE");
  EXPECT_EQ(StoredNumber(kControlKey, "MaxLogTime"), 14u);
  EXPECT_EQ(StoredNumber(kControlKey, "LogLevel"), 5u);
  EXPECT_EQ(StoredNumber(kControlKey, "Flags"), kSysPing | kSysDialup);

  // The OPTIONS stream as the console sends it: its whole line, with one field changed.
  std::string line = *c.Stream("GETSTREAM OPTIONS");
  ASSERT_EQ(line.rfind("mail.example.test|", 0), 0u) << line;
  line.replace(0, std::string("mail.example.test").size(), "relay.example.test");
  SetWithQvreg("NameServer", "REG_SZ", "ns.example.test");
  ASSERT_EQ(*c.Stream("PUTSTREAM OPTIONS " + line), ">");
  services_started_ = true;
  Finish(c, "QUIT");
  EXPECT_EQ(StoredText("HostName"), "relay.example.test");
  EXPECT_EQ(StoredText("NameServer"), "ns.example.test");
  EXPECT_EQ(StoredNumber(kControlKey, "LogLevel"), 5u);
}

TEST_F(SettingsMergeTest, TheConsolesRememberedConnectionStays) {
  // The console remembers them on the machine as it connects, after qvctrl95 started.
  for (const char* command : {"QUIT", "EXIT"}) {
    SetWithQvreg("RemoteServer", "REG_SZ", "far.example.test");
    SetWithQvreg("RemoteLogin", "REG_SZ", "admin@far.example.test");
    ControlClient c(-1, 30000);
    LogIn(c);
    ASSERT_EQ(*c.Command("SET LOGLEVEL=3"), "\r\n");
    Finish(c, command);
    EXPECT_EQ(StoredText("RemoteServer"), "far.example.test") << command;
    EXPECT_EQ(StoredText("RemoteLogin"), "admin@far.example.test") << command;
    EXPECT_EQ(StoredNumber(kControlKey, "LogLevel"), 3u) << command;
  }
}

TEST_F(SettingsMergeTest, ASessionWithoutAChangeLeavesTheRegistryFileAlone) {
  std::string path = reg::RegistryFilePath();
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  std::string text = qv::testing::ReadFileText(path);
  for (const char* command : {"SAVE", "QUIT"}) {
    ControlClient c(-1, 30000);
    LogIn(c);
    // Reading, a SET that fails, and an OPTIONS line sent back unchanged change nothing.
    ASSERT_TRUE(c.Command("SET"));
    ASSERT_EQ(*c.Command("SET CTRLPORT=0"), "Syntax Error\r\n");
    ASSERT_EQ(*c.Stream("PUTSTREAM OPTIONS " + *c.Stream("GETSTREAM OPTIONS")), ">");
    services_started_ = true;
    Finish(c, command);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << command;
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << command;
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << command;
    EXPECT_EQ(qv::testing::ReadFileText(path), text) << command;
  }
}

// The outgoing settings: a session that does not SET them writes none of them, not even through
// an OPTIONS line sent back; SET writes the ones it names, and SET's listing shows them with the
// password hidden.
TEST_F(SettingsMergeTest, OutgoingSettingsAreWrittenOnlyWhenSetAndThePasswordNeverShown) {
  auto absent = [](const char* key, const char* name) {
    reg::Key k;
    uint32_t type = 0, size = 0;
    return reg::OpenKey(key, &k) != reg::kSuccess ||
           reg::QueryValue(k, name, &type, nullptr, &size) != reg::kSuccess;
  };
  {
    ControlClient c(-1, 30000);
    LogIn(c);
    ASSERT_EQ(*c.Command("SET LOGLEVEL=3"), "\r\n");
    std::string line = *c.Stream("GETSTREAM OPTIONS");
    EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 43) << line;
    ASSERT_EQ(*c.Stream("PUTSTREAM OPTIONS " + line), ">");
    services_started_ = true;
    Finish(c, "QUIT");
  }
  EXPECT_EQ(StoredNumber(kControlKey, "LogLevel"), 3u);
  for (const char* name : {"ExchangeUser", "ExchangePassword", "TLSOutgoing", "TLSVerify"})
    EXPECT_TRUE(absent(kSmtpKey, name)) << name;
  for (const char* name : {"TLSRemote", "TLSVerify"}) EXPECT_TRUE(absent(kPop3Key, name)) << name;

  ControlClient c(-1, 30000);
  LogIn(c);
  ASSERT_EQ(*c.Command("SET EXCHANGEUSER=relay@isp.example EXCHANGEPASSWORD=s3cret TLSOUTGOING=1 "
                       "POP3TLSVERIFY=0"),
            "\r\n");
  ASSERT_EQ(*c.Command("SET TLSREMOTE=3"), "Syntax Error\r\n");
  Finish(c, "QUIT");
  std::string text;
  ASSERT_TRUE(reg::ReadString(kSmtpKey, "ExchangeUser", &text));
  EXPECT_EQ(text, "relay@isp.example");
  ASSERT_TRUE(reg::ReadString(kSmtpKey, "ExchangePassword", &text));
  EXPECT_EQ(text, "s3cret");
  EXPECT_EQ(StoredNumber(kSmtpKey, "TLSOutgoing"), 1u);
  EXPECT_EQ(StoredNumber(kPop3Key, "TLSVerify"), 0u);
  EXPECT_TRUE(absent(kSmtpKey, "TLSVerify"));
  EXPECT_TRUE(absent(kPop3Key, "TLSRemote"));

  ControlClient again(-1, 30000);
  LogIn(again);
  const std::string shown = *again.Command("SET");
  EXPECT_NE(shown.find("  EXCHANGEUSER            relay@isp.example\r\n"
                       "  EXCHANGEPASSWORD        ********\r\n"
                       "  TLSOUTGOING             1\r\n"
                       "  POP3TLSVERIFY           0\r\n"
                       "  FLAGS"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find("s3cret"), std::string::npos);
  const std::string line = *again.Stream("GETSTREAM OPTIONS");
  EXPECT_NE(line.find("|relay@isp.example|s3cret|1|1|0|0|"), std::string::npos) << line;
  Finish(again, "QUIT");
}

}  // namespace
}  // namespace qv::control
