#include "control/control_session.h"

#include <gtest/gtest.h>

#include <string>

#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/table_env.h"
#include "control/control_texts.h"
#include "control/tests/fake_host.h"
#include "platform/registry.h"

namespace qv::control {
namespace {

using qv::testing::MakeUser;
using qv::testing::ScopedSystemRoot;
using qv::testing::ScopedTables;
using testing::FakeHost;

class ControlSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    USERSTRUCT admin = MakeUser("admin", "example.com", "Secret");
    admin.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &admin), 0);
    USERSTRUCT open = MakeUser("open", "example.com", "");
    open.Options = kUserAdmin;
    ASSERT_EQ(AddRecord(tables_.system(), &open), 0);
    USERSTRUCT plain = MakeUser("bob", "example.com", "pw");
    ASSERT_EQ(AddRecord(tables_.system(), &plain), 0);
  }

  // A session logged in as the administrator.
  void LogIn(ControlSession& session) {
    ASSERT_EQ(session.Dispatch("admin@example.com\r\n").text, kPasswordPrompt);
    ASSERT_EQ(session.Dispatch("secret\r\n").text, kLoginOk);
  }

  ScopedTables tables_;
  FakeHost host_;
};

TEST_F(ControlSessionTest, LoginDialogueHasFourOutcomes) {
  ControlSession s(tables_.settings(), host_, "10.0.0.7");
  // Unknown user: back to the user name, after the failure pause.
  EXPECT_EQ(s.Dispatch("nobody@example.com\r\n").text, kPasswordPrompt);
  SessionReply r = s.Dispatch("x\r\n");
  EXPECT_EQ(r.text, kInvalidUserName);
  EXPECT_EQ(r.code, kReplyError);
  EXPECT_TRUE(r.delayed);
  EXPECT_EQ(s.state(), ControlState::kUserName);
  // A user without the administrator option.
  s.Dispatch("bob@example.com");
  r = s.Dispatch("pw");
  EXPECT_EQ(r.text, kNoPermission);
  EXPECT_TRUE(r.delayed);
  EXPECT_EQ(s.state(), ControlState::kUserName);
  // A wrong password keeps asking for the password, without a limit.
  s.Dispatch("admin@example.com");
  for (int i = 0; i < 5; ++i) {
    r = s.Dispatch("wrong");
    EXPECT_EQ(r.text, kInvalidPassword);
    EXPECT_TRUE(r.delayed);
    EXPECT_EQ(s.state(), ControlState::kPassword);
  }
  // The password in another letter case is the same password.
  r = s.Dispatch("SECRET\r\n");
  EXPECT_EQ(r.text, kLoginOk);
  EXPECT_EQ(r.code, kReplyNormal);
  EXPECT_FALSE(r.delayed);
  EXPECT_EQ(s.state(), ControlState::kLoggedIn);
}

TEST_F(ControlSessionTest, AnAdministratorWithoutAPasswordNeverLogsOn) {
  // Whatever is given, the refusal is the one of a wrong password, answered as late.
  ControlSession s(tables_.settings(), host_, "10.0.0.8");
  s.Dispatch("open@example.com");
  for (const char* given : {"anything", "", "\r\n", "   ", "secret"}) {
    SessionReply r = s.Dispatch(given);
    EXPECT_EQ(r.text, kInvalidPassword) << '"' << given << '"';
    EXPECT_EQ(r.code, kReplyError);
    EXPECT_TRUE(r.delayed);
    EXPECT_EQ(s.state(), ControlState::kPassword);
  }
  EXPECT_EQ(s.Dispatch("QUIT").text, kInvalidPassword);  // no command runs
  EXPECT_TRUE(host_.calls.empty());
  EXPECT_EQ(host_.saves, 0);
}

TEST_F(ControlSessionTest, OverlongUserNameIsRefusedAndNothingRunsBeforeLogin) {
  ControlSession s(tables_.settings(), host_, "10.0.0.7");
  SessionReply r = s.Dispatch(std::string(127, 'a') + "\r\n");
  EXPECT_EQ(r.text, kInvalidUserName);
  EXPECT_FALSE(r.delayed);
  EXPECT_EQ(s.state(), ControlState::kUserName);
  EXPECT_EQ(s.Dispatch(std::string(126, 'a')).text, kPasswordPrompt);
  // A command given as the password is just a wrong login.
  EXPECT_EQ(s.Dispatch("SAVE").text, kInvalidUserName);
  EXPECT_EQ(host_.saves, 0);
  EXPECT_EQ(s.Dispatch("QUIT").text, kPasswordPrompt);
  EXPECT_TRUE(host_.calls.empty());
}

TEST_F(ControlSessionTest, CommandsMatchByPrefixInTheirOrder) {
  ControlSession s(tables_.settings(), host_, "10.0.0.7");
  LogIn(s);
  EXPECT_EQ(s.Dispatch("help set").text, kHelpSet);
  EXPECT_EQ(s.Dispatch("HELP SET").text, kHelpSet);
  EXPECT_EQ(s.Dispatch("HELPME").text, kHelpUnknown);
  EXPECT_EQ(s.Dispatch("HELP").text, kHelpCommands);
  EXPECT_EQ(s.Dispatch("HELP    ").text, kHelpCommands);
  EXPECT_EQ(s.Dispatch("HELP EXIT").text, kHelpQuit);
  EXPECT_EQ(s.Dispatch("HELP STATE").text, kHelpState);
  EXPECT_EQ(s.Dispatch("HELP STA").text, kHelpUnknown);
  EXPECT_EQ(s.Dispatch("HELP popa").text, kHelpPopa);
  EXPECT_EQ(s.Dispatch("HELP para").text, kHelpPara);
  EXPECT_EQ(s.Dispatch("NOOP").text, kPrompt);
  EXPECT_EQ(s.Dispatch("noopy").text, kPrompt);
  SessionReply r = s.Dispatch("FROB");
  EXPECT_EQ(r.text, kInvalidCommand);
  EXPECT_EQ(r.code, kReplyError);
  EXPECT_EQ(s.Dispatch("").text, kInvalidCommand);
  // SETLOGLEVEL=3 is SET with LOGLEVEL=3.
  EXPECT_EQ(s.Dispatch("SETLOGLEVEL=3").text, kPrompt);
  EXPECT_EQ(s.settings().system.LogLevel, 3);
  // STATEMENT is STATE; STOPPED is STOP with a bad argument.
  EXPECT_EQ(s.Dispatch("STATEMENT").text.rfind("  QuorvaneSmtp:  ", 0), 0u);
  EXPECT_EQ(s.Dispatch("STOPPED").text, kSyntaxError);
  EXPECT_TRUE(s.WaitsForServices("save"));
  EXPECT_TRUE(s.WaitsForServices("STATE"));
  EXPECT_FALSE(s.WaitsForServices("SET LOGLEVEL=1"));
  EXPECT_FALSE(s.WaitsForServices("GETSTREAM USER #0"));
  // Binary bytes and a NUL.
  EXPECT_EQ(s.Dispatch(std::string("\x01\xff\x80", 3)).text, kInvalidCommand);
  EXPECT_EQ(s.Dispatch(std::string_view("NOOP\0SAVE", 9)).text, kPrompt);
  EXPECT_EQ(host_.saves, 0);
  EXPECT_EQ(s.Dispatch(std::string(5000, 'A')).text, kInvalidCommand);
}

TEST_F(ControlSessionTest, SetChangesOnlyTheWorkingCopyUntilSave) {
  ControlSession s(tables_.settings(), host_, "10.0.0.7");
  LogIn(s);
  EXPECT_EQ(s.Dispatch("SET PINGTIME=1d").text, kPrompt);
  EXPECT_EQ(s.settings().system.ConnectTime, 86400);
  EXPECT_NE(s.Dispatch("SET").text.find("  PINGTIME/IDLETIME       24 hours/90 seconds\r\n"),
            std::string::npos);
  EXPECT_EQ(s.Dispatch("SET NAMESERVER").text, kPrompt);
  EXPECT_EQ(s.Dispatch("SET FLAGS +NOSUCH").text, kPrompt);
  EXPECT_EQ(s.Dispatch("SET CONFIGDIR=/tmp").text, kSyntaxError);
  EXPECT_EQ(s.Dispatch("SET LOCALHOST=" + std::string(200, 'x')).text, kSyntaxError);
  EXPECT_EQ(host_.saves, 0);
  EXPECT_EQ(host_.stored.system.ConnectTime, 3600);

  // RSET brings back what is stored.
  EXPECT_EQ(s.Dispatch("RSET").text, kReloaded);
  EXPECT_EQ(s.settings().system.ConnectTime, 3600);

  EXPECT_EQ(s.Dispatch("SET LOGLEVEL=2 SMTPPORT=2525").text, kPrompt);
  host_.log.clear();
  EXPECT_EQ(s.Dispatch("SAVE").text, kSaved);
  EXPECT_EQ(host_.stored.system.LogLevel, 2);
  EXPECT_EQ(host_.stored.smtp.Port, 2525);
  // Saved first, then both services restarted whether they run or not.
  std::vector<std::string> expected = {"save", "service 1 8", "service 2 8"};
  EXPECT_EQ(host_.log, expected);
  // A new session starts from what was saved.
  ControlSession next(tables_.settings(), host_, "10.0.0.9");
  EXPECT_EQ(next.settings().smtp.Port, 2525);
}

TEST_F(ControlSessionTest, QuitSavesSyncsAndRestartsOnlyRunningServices) {
  ControlSession s(tables_.settings(), host_, "10.0.0.7");
  LogIn(s);
  ASSERT_EQ(s.Dispatch("SET LOGLEVEL=2").text, kPrompt);
  host_.states[kServicePop3] = platform::kServiceRunning;
  host_.log.clear();
  SessionReply r = s.Dispatch("EXIT");
  EXPECT_EQ(r.text, "10.0.0.7 closing connection\r\n");
  EXPECT_TRUE(r.close);
  EXPECT_EQ(s.state(), ControlState::kClosing);
  std::vector<std::string> expected = {"save", "sync", "service 1 1", "service 2 1", "service 2 8"};
  EXPECT_EQ(host_.log, expected);
  // Nothing more is handled.
  r = s.Dispatch("SAVE");
  EXPECT_EQ(r.code, kReplyNone);
  EXPECT_EQ(host_.saves, 1);
}

TEST_F(ControlSessionTest, StartStopAndStateGoThroughTheServiceCommand) {
  ControlSession s(tables_.settings(), host_, "10.0.0.7");
  LogIn(s);
  EXPECT_EQ(s.Dispatch("START SMTP").text, "QuorvaneSmtp service started.\r\n>");
  EXPECT_EQ(s.Dispatch("start   pop3").text, "QuorvanePop3 service started.\r\n>");
  EXPECT_EQ(s.Dispatch("START FOO").text, kSyntaxError);
  EXPECT_EQ(s.Dispatch("START").text, kSyntaxError);
  EXPECT_EQ(s.Dispatch("STATE").text,
            "  QuorvaneSmtp:  Running\r\n  QuorvanePop3:  Running\r\n\r\n>");
  EXPECT_EQ(s.Dispatch("STOP smtp").text, "QuorvaneSmtp service stopped.\r\n>");
  host_.stop_works = false;
  EXPECT_EQ(s.Dispatch("STOP POP3").text, "Cannot stop QuorvanePop3 service.\r\n>");
  host_.start_works = false;
  EXPECT_EQ(s.Dispatch("START SMTP").text, "Cannot start QuorvaneSmtp service.\r\n>");
  EXPECT_EQ(s.Dispatch("STATE").text,
            "  QuorvaneSmtp:  Stopped\r\n  QuorvanePop3:  Running\r\n\r\n>");
  struct {
    int state;
    const char* word;
  } words[] = {{0, "<unknown>"}, {1, "Stopped"},   {2, "Pending"}, {3, "Pending"},
               {4, "Running"},   {5, "Pending"},   {6, "Pending"}, {7, "Paused"},
               {8, "<unknown>"}, {-1, "<unknown>"}};
  for (const auto& w : words) EXPECT_STREQ(StateWord(w.state), w.word) << w.state;
}

TEST_F(ControlSessionTest, OptionsStreamSavesAndRestartsOrChangesNothing) {
  ControlSession s(tables_.settings(), host_, "10.0.0.7");
  LogIn(s);
  std::string line = s.Dispatch("GETSTREAM OPTIONS").text;
  ASSERT_EQ(line, BuildOptionsLine(host_.current, host_.extras));
  std::string changed = line;
  changed.replace(0, std::string("mail.example.com").size(), "relay.example.com");
  host_.log.clear();
  EXPECT_EQ(s.Dispatch("PUTSTREAM OPTIONS " + changed).text, ">");
  EXPECT_STREQ(host_.stored.system.HostName, "relay.example.com");
  std::vector<std::string> expected = {"save", "service 1 8", "service 2 8"};
  EXPECT_EQ(host_.log, expected);
  // An empty or short OPTIONS line changes nothing.
  host_.log.clear();
  EXPECT_EQ(s.Dispatch("PUTSTREAM OPTIONS").text, ">");
  EXPECT_EQ(s.Dispatch("PUTSTREAM OPTIONS a|b|c").text, ">");
  EXPECT_TRUE(host_.log.empty());
  EXPECT_STREQ(s.settings().system.HostName, "relay.example.com");
}

TEST(RegistryBatchTest, SaveAllSettingsReplacesTheFileOnceAndLoadsBack) {
  ScopedSystemRoot root;
  Settings s = testing::SampleSettings();
  qv::testing::TempDir dir;
  CopyField(s.system.MailPath, dir.Sub("mail"));
  CopyField(s.system.TempPath, dir.Sub("temp"));
  CopyField(s.system.LogPath, dir.Sub("log"));
  s.smtp.Port = 2526;
  s.pop3.Port = 1101;
  ASSERT_TRUE(SaveAllSettings(s, s));
  Settings loaded;
  CopyField(loaded.net.HostName, "host");
  LoadSystemConfig(loaded);
  LoadSmtpConfig(loaded);
  LoadPop3Config(loaded);
  EXPECT_STREQ(loaded.system.HostName, "mail.example.com");
  EXPECT_EQ(loaded.smtp.Port, 2526);
  EXPECT_EQ(loaded.pop3.Port, 1101);

  // Inside a batch nothing reaches the file until the commit; without one nothing at all.
  std::string before = qv::testing::ReadFileText(reg::RegistryFilePath());
  {
    reg::Batch batch;
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(kSmtpKey, "QuorvaneSmtp", &key), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(&key, "Port", 9999), reg::kSuccess);
    uint32_t port = 0;
    EXPECT_TRUE(reg::ReadDword(kSmtpKey, "Port", &port));  // the batch sees its own change
    EXPECT_EQ(port, 9999u);
    EXPECT_EQ(qv::testing::ReadFileText(reg::RegistryFilePath()), before);
  }
  EXPECT_EQ(qv::testing::ReadFileText(reg::RegistryFilePath()), before);
  {
    reg::Batch batch;
    reg::Key key;
    reg::CreateKey(kSmtpKey, "QuorvaneSmtp", &key);
    reg::SetDword(&key, "Port", 9998);
    reg::DeleteValue(&key, "PortEx");
    EXPECT_EQ(batch.Commit(), reg::kSuccess);
  }
  uint32_t port = 0, port_ex = 0;
  EXPECT_TRUE(reg::ReadDword(kSmtpKey, "Port", &port));
  EXPECT_EQ(port, 9998u);
  EXPECT_FALSE(reg::ReadDword(kSmtpKey, "PortEx", &port_ex));
}

}  // namespace
}  // namespace qv::control
