// The remote store against the real qvctrl95 on a free loopback port, with a temporary system
// root. A relay between the store and the service keeps the lines the store sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "console/store/console_store.h"
#include "console/store/store_texts.h"
#include "console/store/tests/control_root_util.h"
#include "console/store/tests/fake_control_util.h"

namespace qv::console {
namespace {

using qv::testing::FreeLoopbackPort;
using qv::testing::MakeUser;
using qv::testing::ReadFileText;
using qv::testing::WriteFileText;
using testing::FakeControlPeer;
using testing::kAdmin;
using Lines = std::vector<std::string>;

class RemoteServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(root_.Start()); }

  std::unique_ptr<ConsoleStore> Connect(uint16_t port) {
    ConnectOutcome c = ConnectControl("127.0.0.1", kAdmin, "secret", port, 10000);
    EXPECT_TRUE(c.store) << c.error;
    return std::move(c.store);
  }
  const SYSTEMSTRUCT& system() const { return root_.tables().system(); }

  testing::ControlRoot root_;
};

TEST_F(RemoteServiceTest, LoginIsRefusedWithTheDialoguesTexts) {
  uint16_t port = root_.port();
  EXPECT_EQ(ConnectControl("127.0.0.1", "ann@example.test", "pw", port).error, kNoPermission);
  EXPECT_EQ(ConnectControl("127.0.0.1", kAdmin, "wrong", port).error, kInvalidPassword);
  EXPECT_EQ(ConnectControl("127.0.0.1", "nobody@example.test", "x", port).error, kInvalidLogin);
  EXPECT_EQ(ConnectControl("127.0.0.1", kAdmin, "secret", static_cast<uint16_t>(FreeLoopbackPort()))
                .error,
            kHostSilent);
  EXPECT_EQ(ConnectControl("", kAdmin, "secret", port).error, kHostUnknown);
  ConnectOutcome ok = ConnectControl("127.0.0.1", kAdmin, "SECRET", port);
  EXPECT_TRUE(ok.store) << ok.error;
  EXPECT_EQ(ok.error, "");
}

TEST_F(RemoteServiceTest, TablesMoveAsTheProtocolsLines) {
  FakeControlPeer relay(root_.port());
  auto store = Connect(relay.port());
  ASSERT_TRUE(store);

  // The table emptied while logged in: one request, for record 0.
  ASSERT_TRUE(store->DeleteRecord(TableRecord(MakeUser("ann", "example.test"))));
  ASSERT_TRUE(store->DeleteRecord(TableRecord(MakeUser("admin", "example.test"))));
  size_t before = relay.lines_starting("GETSTREAM USER #").size();
  auto empty = store->LoadTable(Table::kUser);
  ASSERT_TRUE(empty.ok()) << empty.error();
  EXPECT_TRUE(empty->empty());
  Lines loads = relay.lines_starting("GETSTREAM USER #");
  EXPECT_EQ(Lines(loads.begin() + static_cast<long>(before), loads.end()),
            Lines{"GETSTREAM USER #0"});

  USERSTRUCT bob = MakeUser("bob", "example.test", "pw", "bob");
  CopyField(bob.Name, "Bob");
  ASSERT_TRUE(store->AddRecord(TableRecord(bob)));
  Lines puts = relay.lines_starting("PUTSTREAM USER ADD");
  EXPECT_EQ(puts, Lines{"PUTSTREAM USER ADD|bob|example.test|pw|Bob|bob||0||||"});
  USERSTRUCT stored{};
  ASSERT_EQ(FindRecord(system(), "bob", "example.test", &stored), 0);
  EXPECT_EQ(FieldText(stored.Name), "Bob");
  EXPECT_EQ(store->AddRecord(TableRecord(bob)).error(), kRecordExists);

  // A record far longer than a receive buffer arrives whole.
  USERSTRUCT carl = MakeUser("carl", "example.test", std::string(80, 'p'), "carl");
  CopyField(carl.Name, std::string(127, 'n'));
  CopyField(carl.PopAccount, std::string(127, 'a'));
  CopyField(carl.CopyIncoming, std::string(100, 'i') + "@x.test");
  CopyField(carl.CopyOutgoing, std::string(100, 'o') + "@x.test");
  CopyField(carl.Responder, std::string(259, 'r'));
  CopyField(carl.MailingList, std::string(259, 'l'));
  carl.Options = kUserRespond | kUserJoinList;
  ASSERT_GT(FormatRecordLine(carl).size(), 1024u);
  ASSERT_TRUE(store->AddRecord(TableRecord(carl)));
  CopyField(carl.Name, std::string(126, 'N'));
  ASSERT_TRUE(store->EditRecord(TableRecord(carl)));
  auto users = store->LoadTable(Table::kUser);
  ASSERT_TRUE(users.ok()) << users.error();
  ASSERT_EQ(users->size(), 2u);
  EXPECT_EQ(std::memcmp((*users)[1].data(), &carl, sizeof carl), 0);
  EXPECT_EQ((*users)[1].NodeText(), "carl@example.test");

  // An edit the service refuses (a service folder as mailbox) is reported.
  USERSTRUCT bad = bob;
  CopyField(bad.Mailbox, "forward");
  EXPECT_FALSE(store->EditRecord(TableRecord(bad)));
  EXPECT_FALSE(store->EditRecord(TableRecord(MakeUser("nobody", "example.test"))));

  // Lists, their member files and members.
  LISTSTRUCT team{};
  CopyField(team.Name, "team");
  CopyField(team.Domain, "example.test");
  ASSERT_TRUE(store->AddRecord(TableRecord(team)));
  auto lists = store->LoadTable(Table::kLists);
  ASSERT_TRUE(lists.ok());
  ASSERT_EQ(lists->size(), 1u);
  team = (*lists)[0].as<LISTSTRUCT>();
  EXPECT_EQ(FieldText(team.FileName), root_.tables().config() + "/team.mls");
  MEMBERSTRUCT x{}, y{};
  CopyField(x.Address, "x@far.test");
  CopyField(x.Name, "X");
  CopyField(y.Address, "y@far.test");
  ASSERT_TRUE(store->AddMember(team, x));
  ASSERT_TRUE(store->AddMember(team, y));
  ASSERT_TRUE(store->DeleteMember(team, x));
  auto members = store->LoadMembers(team);
  ASSERT_TRUE(members.ok()) << members.error();
  ASSERT_EQ(members->size(), 1u);
  EXPECT_EQ(FieldText((*members)[0].Address), "y@far.test");

  ASSERT_TRUE(store->DeleteRecord(TableRecord(bob)));
  EXPECT_NE(FindRecord(system(), "bob", "example.test", &stored), 0);
  ROUTESTRUCT route{};
  CopyField(route.Masks, "*@far.test");
  route.Type = kRouteToDomain;
  CopyField(route.Destination, "relay.test");
  ASSERT_TRUE(store->AddRecord(TableRecord(route)));
  ASSERT_TRUE(store->EditRecord(TableRecord(route)));

  // A command whose keyword definitions are lines (as the installed password-change command's
  // are) arrives cut at the first line end: saving it back would store the cut copy.
  EXECSTRUCT changepass{};
  CopyField(changepass.Name, "changepass");
  CopyField(changepass.Domain, "example.test");
  CopyField(changepass.Keywords, "Subject:\r\n%%user%%\r\n");
  changepass.Options = kExecKeywords;
  ASSERT_EQ(qv::AddRecord(system(), &changepass), 0);
  auto commands = store->LoadTable(Table::kCommands);
  ASSERT_TRUE(commands.ok()) << commands.error();
  ASSERT_EQ(commands->size(), 1u);
  Status edit = store->EditRecord((*commands)[0]);
  EXPECT_EQ(edit.error(), Format(kRecordCut, "changepass@example.test"));
  EXECSTRUCT kept{};
  ASSERT_EQ(FindRecord(system(), "changepass", "example.test", &kept), 0);
  EXPECT_EQ(FieldText(kept.Keywords), "Subject:\r\n%%user%%\r\n");
  EXPECT_EQ(kept.Options, kExecKeywords);

  Lines changes = relay.lines_starting("PUTSTREAM");
  for (const char* line :
       {"PUTSTREAM LIST ADDMEMBER|team@example.test|x@far.test|X",
        "PUTSTREAM LIST DELETEMEMBER|team@example.test|x@far.test|X",
        "PUTSTREAM USER DELETE|bob|example.test", "PUTSTREAM ROUTE ADD|*@far.test|2|relay.test",
        "PUTSTREAM ROUTE EDIT|*@far.test|2|relay.test"})
    EXPECT_EQ(std::count(changes.begin(), changes.end(), line), 1) << line;
  // Every stream request has its NOOP behind it.
  EXPECT_EQ(relay.lines_starting("NOOP").size(), relay.lines_starting("GETSTREAM").size());
}

TEST_F(RemoteServiceTest, SettingsStateAndLogs) {
  WriteFileText(root_.tables().root() + "/log/s20260101.txt", "x\n");
  WriteFileText(root_.tables().root() + "/log/p20260101.txt", "x\n");
  auto store = Connect(root_.port());
  ASSERT_TRUE(store);

  Settings s;
  ASSERT_TRUE(store->LoadSettings(&s));
  EXPECT_EQ(FieldText(s.system.HostName), "mail.example.test");
  EXPECT_EQ(FieldText(s.system.ConfigPath), root_.tables().config());
  EXPECT_EQ(store->About(s).host_name, "mail.example.test");
  EXPECT_EQ(store->About(s).smtp_version, kUnknownVersion);
  CopyField(s.system.NameServer, "127.0.0.53");
  s.system.LogLevel = 1;
  ASSERT_TRUE(store->SaveSettings(s));
  std::string registry = ReadFileText(std::string(getenv("QUORVANE_SYSTEM")) + "/registry.reg");
  EXPECT_NE(registry.find("127.0.0.53"), std::string::npos);
  Settings again;
  ASSERT_TRUE(store->LoadSettings(&again));
  EXPECT_EQ(FieldText(again.system.NameServer), "127.0.0.53");
  EXPECT_EQ(again.system.LogLevel, 1);

  auto states = store->QueryServices();
  ASSERT_TRUE(states.ok()) << states.error();
  EXPECT_EQ(states->smtp, ServiceState::kNotStarted);
  EXPECT_EQ(states->pop3, ServiceState::kNotStarted);
  Status start = store->ServiceAction(kServiceSmtp, kCommandStart);
  EXPECT_EQ(start.error(), "Cannot start QuorvaneSmtp service.");

  auto logs = store->ListLogFiles();
  ASSERT_TRUE(logs.ok());
  EXPECT_EQ(logs->smtp, Lines{"s20260101.txt"});
  EXPECT_EQ(logs->pop3, Lines{"p20260101.txt"});
  auto entries = store->PhoneBookEntries();
  ASSERT_TRUE(entries.ok());
  EXPECT_TRUE(store->NtGroups().ok());
}

TEST_F(RemoteServiceTest, DestroyingTheStoreSaysQuit) {
  FakeControlPeer relay(root_.port());
  {
    auto store = Connect(relay.port());
    ASSERT_TRUE(store);
  }
  ASSERT_TRUE(relay.WaitForClientClose());
  EXPECT_EQ(relay.lines().back(), "QUIT");
}

}  // namespace
}  // namespace qv::console
