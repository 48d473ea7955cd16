// The remote store against a scripted control peer: the readings of replies the real service
// does not give here, and what a silent or vanished peer does to the store.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/testing/table_env.h"
#include "console/store/console_store.h"
#include "console/store/store_texts.h"
#include "console/store/tests/fake_control_util.h"
#include "control/options.h"

namespace qv::console {
namespace {

using Clock = std::chrono::steady_clock;
using qv::testing::MakeUser;
using testing::FakeControlPeer;
using Lines = std::vector<std::string>;

std::unique_ptr<ConsoleStore> Connect(FakeControlPeer& peer, int timeout_ms = 2000) {
  ConnectOutcome c =
      ConnectControl("127.0.0.1", "admin@example.test", "pw", peer.port(), timeout_ms);
  EXPECT_TRUE(c.store) << c.error;
  return std::move(c.store);
}

TEST(RemoteStoreTest, RepliesAreRead) {
  const std::map<std::string, std::string> replies = {
      // request line -> reply
      {"GETSTREAM USER #0", "ann|example.test|pw|Ann|ann||4|||||"},
      {"GETSTREAM USER #1", "|||||||||||"},  // an empty key is no record
      {"GETSTREAM USER #2", "#||||||0|||||"},
      {"GETSTREAM MEMBER /cfg/team.mls|#0", "a@x.test|A"},
      {"GETSTREAM MEMBER /cfg/team.mls|#1", "|"},
      {"GETSTREAM MEMBER /cfg/team.mls|#2", "b@x.test|B"},
      {"GETSTREAM MEMBER /cfg/team.mls|#3", "#|"},
      {"STATE", "  QuorvaneSmtp:  Running\r\n  QuorvanePop3:  Paused\r\n\r\n>"},
      {"START SMTP", "Cannot start QuorvaneSmtp service.\r\n>"},
      {"STOP POP3", "QuorvanePop3 service stopped.\r\n>"},
      {"GETSTREAM LOGS", "s20260101.txt|s20260102.txt|p20260101.txt|"},
      {"GETSTREAM RASENTRY", "|"},
      {"GETSTREAM NTUSERS", "staff  (Office staff)|mail  ()|"},
  };
  FakeControlPeer peer(
      FakeControlPeer::AfterLogin([replies](const std::string& line) -> std::optional<std::string> {
        auto it = replies.find(line);
        return it != replies.end() ? it->second : std::string("Invalid Command\r\n>");
      }));
  auto store = Connect(peer);
  ASSERT_TRUE(store);

  EXPECT_TRUE(store->remote());
  EXPECT_EQ(store->host(), "127.0.0.1");
  auto users = store->LoadTable(Table::kUser);
  ASSERT_TRUE(users.ok()) << users.error();
  ASSERT_EQ(users->size(), 1u);  // the empty key is no record, "#" ends the table
  int32_t options = (*users)[0].as<USERSTRUCT>().Options;  // a packed field: copied, not bound
  EXPECT_EQ(options, kUserAdmin);

  LISTSTRUCT team{};
  CopyField(team.FileName, "/cfg/team.mls");
  auto members = store->LoadMembers(team);
  ASSERT_TRUE(members.ok());
  ASSERT_EQ(members->size(), 2u);
  EXPECT_EQ(FieldText((*members)[1].Name), "B");

  auto states = store->QueryServices();
  ASSERT_TRUE(states.ok());
  EXPECT_EQ(states->smtp, ServiceState::kStarted);
  EXPECT_EQ(states->pop3, ServiceState::kPaused);
  Status start = store->ServiceAction(kServiceSmtp, kCommandStart);
  EXPECT_EQ(start.error(), "Cannot start QuorvaneSmtp service.");
  EXPECT_TRUE(store->ServiceAction(kServicePop3, kCommandStop));
  EXPECT_EQ(store->ServiceAction(kServicePop3, kCommandInstall).error(), kRemoteServiceAction);

  auto logs = store->ListLogFiles();
  ASSERT_TRUE(logs.ok());
  EXPECT_EQ(logs->smtp, (Lines{"s20260101.txt", "s20260102.txt"}));
  EXPECT_EQ(logs->pop3, Lines{"p20260101.txt"});
  EXPECT_TRUE(store->PhoneBookEntries()->empty());
  EXPECT_EQ(*store->NtGroups(), (Lines{"staff  (Office staff)", "mail  ()"}));
  Settings s;
  EXPECT_EQ(store->About(s).control_version, kUnknownVersion);
}

TEST(RemoteStoreTest, ABrokenConnectionFailsEveryLaterCallAtOnce) {
  for (bool silent : {false, true}) {
    FakeControlPeer peer(FakeControlPeer::AfterLogin(
        [silent](const std::string& line) -> std::optional<std::string> {
          if (line == "STATE") {
            if (silent) return std::string();  // never answers
            return std::nullopt;               // hangs up
          }
          return std::string("\r\n>");
        }));
    auto store = Connect(peer, 300);
    ASSERT_TRUE(store);
    auto start = Clock::now();
    auto states = store->QueryServices();
    ASSERT_FALSE(states.ok());
    EXPECT_EQ(states.error(), kConnectionBroken);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    size_t sent = peer.lines().size();

    start = Clock::now();
    Settings s;
    EXPECT_EQ(store->LoadSettings(&s).error(), kConnectionBroken);
    EXPECT_EQ(store->LoadTable(Table::kUser).error(), kConnectionBroken);
    EXPECT_EQ(store->AddRecord(TableRecord(MakeUser("a", "b.test"))).error(), kConnectionBroken);
    EXPECT_EQ(store->SaveSettings(s).error(), kConnectionBroken);
    EXPECT_EQ(store->ListLogFiles().error(), kConnectionBroken);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
    store.reset();
    EXPECT_EQ(peer.lines().size(), sent) << "nothing is sent on a broken connection";
  }
}

TEST(RemoteStoreTest, LoginOutcomesAreTheDialoguesTexts) {
  struct Case {
    std::vector<std::string> replies;  // to the user name and to the password
    const char* error;
  } cases[] = {
      {{"Invalid user name\r\nUsername: "}, kInvalidLogin},
      {{"Password: ", "Invalid user name\r\nUsername: "}, kInvalidLogin},
      {{"Password: ", "You have no permissions to config the software\r\nUsername: "},
       kNoPermission},
      {{"Password: ", "Invalid password\r\nPassword: "}, kInvalidPassword},
      {{"Password: "}, kGeneralFailure},  // hangs up after the password
  };
  for (const Case& c : cases) {
    auto step = std::make_shared<size_t>(0);
    FakeControlPeer peer([&c, step](const std::string&) -> std::optional<std::string> {
      if (*step >= c.replies.size()) return std::nullopt;
      return c.replies[(*step)++];
    });
    ConnectOutcome out = ConnectControl("127.0.0.1", "admin@example.test", "pw", peer.port(), 2000);
    EXPECT_FALSE(out.store);
    EXPECT_EQ(out.error, c.error) << c.replies.back();
  }
  // A line end in the name or password would smuggle in a command: refused before sending.
  FakeControlPeer peer(FakeControlPeer::AfterLogin(
      [](const std::string&) -> std::optional<std::string> { return std::string("\r\n>"); }));
  EXPECT_EQ(ConnectControl("127.0.0.1", "admin\r\nSTOP SMTP", "pw", peer.port(), 2000).error,
            kInvalidLogin);
  EXPECT_EQ(ConnectControl("127.0.0.1", "admin", "pw\nSTOP SMTP", peer.port(), 2000).error,
            kInvalidPassword);
  EXPECT_TRUE(peer.lines().empty());
}

TEST(RemoteStoreTest, TextsTheLineCannotCarryAreRefusedBeforeSending) {
  FakeControlPeer peer(
      FakeControlPeer::AfterLogin([](const std::string& line) -> std::optional<std::string> {
        return line.rfind("GETSTREAM OPTIONS", 0) == 0 ? std::string() : std::string(">");
      }));
  auto store = Connect(peer);
  ASSERT_TRUE(store);
  USERSTRUCT u = MakeUser("eve", "example.test");
  CopyField(u.Name, "Eve|4");
  EXPECT_FALSE(store->AddRecord(TableRecord(u)));
  CopyField(u.Name, "Eve\r\nSTOP SMTP");
  EXPECT_FALSE(store->EditRecord(TableRecord(u)));
  Settings s;
  CopyField(s.system.NoResponse, std::string(511, 'm'));
  for (char* path : {s.system.LogViewer, s.system.MailPath, s.system.TempPath, s.system.LogPath,
                     s.system.ConfigPath})
    CopyField(path, 260, std::string(259, 'p'));
  for (char* text : {s.system.NTUser, s.system.AdministratorName, s.smtp.ExchangeHost})
    CopyField(text, 128, std::string(127, 't'));
  EXPECT_EQ(store->SaveSettings(s).error(), kOptionsTooLong);
  CopyField(s.system.HostName, "a|b");
  EXPECT_EQ(store->SaveSettings(s).error(), kOptionsBadText);
  EXPECT_TRUE(peer.lines_starting("PUTSTREAM").empty());
  // An options reply that is not a whole line changes nothing and keeps the connection.
  EXPECT_EQ(store->LoadSettings(&s).error(), kOptionsUnreadable);
  EXPECT_TRUE(store->QueryServices().ok());
}

// The outgoing settings in remote mode: read from the line when it carries them and not set
// when it does not (whatever the console showed before); sent back when set, or when the service
// held them and they went back to their defaults, and not otherwise.
TEST(RemoteStoreTest, OutgoingSettingsAreReadAndSentBack) {
  Settings server;
  CopyField(server.system.HostName, "far.example.test");
  server.system.Port = 32000;
  server.system.PasswordPort = 106;
  server.smtp.Port = server.smtp.PortEx = 25;
  server.pop3.Port = server.pop3.PortEx = 110;
  control::ClearLineGroups(server);
  const std::string plain = control::BuildOptionsLine(server, {});
  CopyField(server.smtp.ExchangeUser, "office@isp.example");
  CopyField(server.smtp.ExchangePassword, "Pw9");
  server.pop3.TLSRemote = 2;
  const std::string with = control::BuildOptionsLine(server, {});
  std::string served = with;
  FakeControlPeer peer(
      FakeControlPeer::AfterLogin([&served](const std::string& line) -> std::optional<std::string> {
        if (line == "GETSTREAM OPTIONS") return served;
        return std::string(">");
      }));
  auto store = Connect(peer);
  ASSERT_TRUE(store);
  Settings shown;
  CopyField(shown.smtp.ExchangeUser, "local@this.example");  // of the mode before
  ASSERT_TRUE(store->LoadSettings(&shown));
  EXPECT_EQ(FieldText(shown.smtp.ExchangeUser), "office@isp.example");
  EXPECT_EQ(FieldText(shown.smtp.ExchangePassword), "Pw9");
  EXPECT_EQ(shown.pop3.TLSRemote, 2);
  EXPECT_EQ(shown.smtp.TLSVerify, 1);

  // Back to the defaults: the group goes with the line, emptied.
  Settings cleared = shown;
  control::ClearLineGroups(cleared);
  ASSERT_TRUE(store->SaveSettings(cleared));
  std::vector<std::string> puts = peer.lines_starting("PUTSTREAM OPTIONS ");
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0], "PUTSTREAM OPTIONS " + plain + "|0|0|0|||0|1|0|1|");

  // A service without them: nothing is set here, and nothing of them is sent.
  served = plain;
  Settings again = shown;
  ASSERT_TRUE(store->LoadSettings(&again));
  EXPECT_EQ(FieldText(again.smtp.ExchangeUser), "");
  EXPECT_EQ(again.pop3.TLSRemote, 0);
  ASSERT_TRUE(store->SaveSettings(again));
  puts = peer.lines_starting("PUTSTREAM OPTIONS ");
  ASSERT_EQ(puts.size(), 2u);
  EXPECT_EQ(puts[1], "PUTSTREAM OPTIONS " + plain);
}

}  // namespace
}  // namespace qv::console
