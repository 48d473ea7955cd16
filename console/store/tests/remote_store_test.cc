// The remote store against a scripted control peer: the exact request lines, the readings of
// the replies, and what a silent or vanished peer does to the store.
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

namespace qv::console {
namespace {

using Clock = std::chrono::steady_clock;
using qv::testing::FreeLoopbackPort;
using qv::testing::MakeUser;
using testing::FakeControlPeer;
using Lines = std::vector<std::string>;

// A peer that keeps records by their GETSTREAM key and answers the stream commands like the
// control service (">" for every PUTSTREAM).
struct Tables {
  std::map<std::string, std::string> by_key;  // "USER bob@example.test" -> line
  std::map<std::string, std::string> replies;  // whole request line -> reply
  std::string Answer(const std::string& line) {
    if (auto it = replies.find(line); it != replies.end()) return it->second;
    if (line.rfind("PUTSTREAM", 0) == 0) return ">";
    if (line.rfind("GETSTREAM ", 0) == 0) {
      auto it = by_key.find(line.substr(10));
      return it == by_key.end() ? "" : it->second;
    }
    return "Invalid Command\r\n>";
  }
};

std::unique_ptr<ConsoleStore> Connect(FakeControlPeer& peer, int timeout_ms = 2000) {
  ConnectOutcome c = ConnectControl("127.0.0.1", "admin@example.test", "pw", peer.port(), timeout_ms);
  EXPECT_TRUE(c.store) << c.error;
  return std::move(c.store);
}

TEST(RemoteStoreTest, RequestLinesAreTheProtocolsOwn) {
  auto tables = std::make_shared<Tables>();
  tables->replies["GETSTREAM USER #0"] = "#||||||0|||||";
  FakeControlPeer peer(FakeControlPeer::AfterLogin(
      [tables](const std::string& line) -> std::optional<std::string> {
        std::string reply = tables->Answer(line);
        // The record appears once its ADD has arrived.
        if (line.rfind("PUTSTREAM USER ADD|bob|", 0) == 0)
          tables->by_key["USER bob@example.test"] = "bob|example.test|pw|Bob|bob||0|||||";
        if (line.rfind("PUTSTREAM USER DELETE|bob|", 0) == 0)
          tables->by_key.erase("USER bob@example.test");
        if (line.rfind("PUTSTREAM ROUTE ADD|", 0) == 0)
          tables->by_key["ROUTE relay.test"] = "*@far.test|2|relay.test|";
        return reply;
      }));
  auto store = Connect(peer);
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->remote());
  EXPECT_EQ(store->host(), "127.0.0.1");

  auto users = store->LoadTable(Table::kUser);
  ASSERT_TRUE(users.ok()) << users.error();
  EXPECT_TRUE(users->empty());
  EXPECT_EQ(peer.lines_starting("GETSTREAM"), Lines{"GETSTREAM USER #0"});

  USERSTRUCT bob = MakeUser("bob", "example.test", "pw", "bob");
  CopyField(bob.Name, "Bob");
  ASSERT_TRUE(store->AddRecord(TableRecord(bob)));
  Status twice = store->AddRecord(TableRecord(bob));
  EXPECT_EQ(twice.error(), kRecordExists);
  ASSERT_TRUE(store->DeleteRecord(TableRecord(bob)));
  ROUTESTRUCT route{};
  CopyField(route.Masks, "*@far.test");
  route.Type = kRouteToDomain;
  CopyField(route.Destination, "relay.test");
  ASSERT_TRUE(store->AddRecord(TableRecord(route)));
  ASSERT_TRUE(store->EditRecord(TableRecord(route)));

  LISTSTRUCT team{};
  CopyField(team.Name, "team");
  CopyField(team.Domain, "example.test");
  CopyField(team.FileName, "/cfg/team.mls");
  MEMBERSTRUCT x{};
  CopyField(x.Address, "x@far.test");
  CopyField(x.Name, "X");
  ASSERT_TRUE(store->AddMember(team, x));
  ASSERT_TRUE(store->DeleteMember(team, x));

  EXPECT_EQ(peer.lines_starting("PUTSTREAM"),
            (Lines{"PUTSTREAM USER ADD|bob|example.test|pw|Bob|bob||0||||",
                   "PUTSTREAM USER DELETE|bob|example.test",
                   "PUTSTREAM ROUTE ADD|*@far.test|2|relay.test",
                   "PUTSTREAM ROUTE EDIT|*@far.test|2|relay.test",
                   "PUTSTREAM LIST ADDMEMBER|team@example.test|x@far.test|X",
                   "PUTSTREAM LIST DELETEMEMBER|team@example.test|x@far.test|X"}));
  // Each record change is read back by its key; every stream request has its NOOP behind it.
  EXPECT_EQ(peer.lines_starting("GETSTREAM USER bob").size(), 4u);
  EXPECT_EQ(peer.lines_starting("NOOP").size(), peer.lines_starting("GETSTREAM").size());

  store.reset();
  ASSERT_TRUE(peer.WaitForClientClose());
  EXPECT_EQ(peer.lines().back(), "QUIT");
}

TEST(RemoteStoreTest, RepliesAreRead) {
  auto tables = std::make_shared<Tables>();
  std::string long_name(127, 'n'), pop(127, 'a'), copy(127, 'c'), responder(259, 'r');
  std::string record = "ann|example.test|pw|" + long_name + "|ann|" + pop + "|4|" + copy + "|" +
                       copy + "|" + responder + "|" + responder + "|";
  ASSERT_GT(record.size(), 1024u);
  tables->replies = {
      {"GETSTREAM USER #0", record},
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
  FakeControlPeer peer(FakeControlPeer::AfterLogin(
      [tables](const std::string& line) -> std::optional<std::string> {
        return tables->Answer(line);
      }));
  auto store = Connect(peer);
  ASSERT_TRUE(store);

  auto users = store->LoadTable(Table::kUser);
  ASSERT_TRUE(users.ok()) << users.error();
  ASSERT_EQ(users->size(), 1u);
  const USERSTRUCT& ann = (*users)[0].as<USERSTRUCT>();
  EXPECT_EQ(FieldText(ann.Name), long_name);
  EXPECT_EQ(FieldText(ann.MailingList), responder);
  int32_t options = ann.Options;  // a packed field: copied, not bound
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

  EXPECT_EQ(ConnectControl("", "admin", "pw", 1, 2000).error, kHostUnknown);
  EXPECT_EQ(ConnectControl("127.0.0.1", "admin", "pw",
                           static_cast<uint16_t>(FreeLoopbackPort()), 2000)
                .error,
            kHostSilent);
}

TEST(RemoteStoreTest, TextsTheLineCannotCarryAreRefusedBeforeSending) {
  FakeControlPeer peer(FakeControlPeer::AfterLogin(
      [](const std::string& line) -> std::optional<std::string> {
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

}  // namespace
}  // namespace qv::console
