// The local store against a temporary system root: settings through the registry file, records
// and members through the table and member files, logs, versions and service states.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/table_env.h"
#include "console/store/console_store.h"
#include "console/store/store_texts.h"

namespace qv::console {
namespace {

using qv::testing::BinDir;
using qv::testing::MakeUser;
using qv::testing::ReadFileText;
using qv::testing::ReadIndexEntries;
using qv::testing::ToolEnv;
using qv::testing::WriteFileText;

std::vector<std::string> Keys(const std::vector<TableRecord>& records) {
  std::vector<std::string> keys;
  for (const TableRecord& r : records) keys.push_back(r.NodeText());
  return keys;
}

std::vector<std::string> IndexKeys(const std::string& index) {
  std::vector<std::string> keys;
  for (const auto& [key, offset] : ReadIndexEntries(index)) keys.push_back(key);
  return keys;
}

LISTSTRUCT MakeList(const std::string& name, const std::string& domain) {
  LISTSTRUCT list{};
  CopyField(list.Name, name);
  CopyField(list.Domain, domain);
  return list;
}

MEMBERSTRUCT MakeMember(const std::string& address, const std::string& name) {
  MEMBERSTRUCT m{};
  CopyField(m.Address, address);
  CopyField(m.Name, name);
  return m;
}

class LocalStoreTest : public ::testing::Test {
 protected:
  std::string root() const { return env_.tables().root(); }
  ToolEnv env_{"example.test"};
};

TEST_F(LocalStoreTest, SettingsRoundTripThroughTheRegistryFile) {
  auto store = MakeLocalStore();
  EXPECT_FALSE(store->remote());
  EXPECT_EQ(store->host(), "");
  Settings s;
  ASSERT_TRUE(store->LoadSettings(&s));
  EXPECT_EQ(FieldText(s.system.ConfigPath), env_.config());
  EXPECT_EQ(s.system.Port, 32000);  // a default

  CopyField(s.system.HostName, "mx.example.test");
  CopyField(s.system.NameServer, "127.0.0.53");
  CopyField(s.system.NoResponse, "*@lists.test;owner-*@*");
  s.system.LogLevel = 2;
  s.smtp.Port = 2525;
  s.smtp.Flags = kSmtpUseDns | kSmtpEsmtp;
  s.pop3.Port = 1100;
  ASSERT_TRUE(store->SaveSettings(s));

  std::string registry = ReadFileText(std::string(getenv("QUORVANE_SYSTEM")) + "/registry.reg");
  EXPECT_NE(registry.find("mx.example.test"), std::string::npos);
  EXPECT_NE(registry.find("owner-*@*"), std::string::npos);

  Settings again;
  ASSERT_TRUE(MakeLocalStore()->LoadSettings(&again));
  EXPECT_EQ(FieldText(again.system.HostName), "mx.example.test");
  EXPECT_EQ(FieldText(again.system.NameServer), "127.0.0.53");
  EXPECT_EQ(FieldText(again.system.NoResponse), "*@lists.test;owner-*@*");
  EXPECT_EQ(again.system.LogLevel, 2);
  EXPECT_EQ(again.smtp.Port, 2525);
  EXPECT_EQ(again.smtp.Flags, kSmtpUseDns | kSmtpEsmtp);
  EXPECT_EQ(again.pop3.Port, 1100);
  EXPECT_EQ(FieldText(again.system.ConfigPath), env_.config());
}

TEST_F(LocalStoreTest, RecordsLandInAndLeaveTheTableFiles) {
  auto store = MakeLocalStore();
  // Tables that were never written are empty, not broken.
  for (Table t : {Table::kUser, Table::kLists, Table::kCommands, Table::kRoutes,
                  Table::kResponder, Table::kAccounts}) {
    auto records = store->LoadTable(t);
    ASSERT_TRUE(records.ok()) << records.error();
    EXPECT_TRUE(records->empty());
  }

  USERSTRUCT zoe = MakeUser("zoe", "example.test", "pw");
  USERSTRUCT amy = MakeUser("amy", "", "pw");  // the primary domain is filled in
  ASSERT_TRUE(store->AddRecord(TableRecord(zoe)));
  ASSERT_TRUE(store->AddRecord(TableRecord(amy)));
  std::string index = env_.config() + "/user.idx";
  EXPECT_EQ(IndexKeys(index), (std::vector<std::string>{"amy", "zoe"}));
  auto users = store->LoadTable(Table::kUser);
  ASSERT_TRUE(users.ok());
  EXPECT_EQ(Keys(*users), (std::vector<std::string>{"amy@example.test", "zoe@example.test"}));
  EXPECT_EQ(FieldText((*users)[0].as<USERSTRUCT>().Mailbox), "amy");

  Status again = store->AddRecord(TableRecord(zoe));
  EXPECT_FALSE(again);
  EXPECT_EQ(again.error(), kRecordExists);

  CopyField(zoe.Name, "Zoe Q");
  ASSERT_TRUE(store->EditRecord(TableRecord(zoe)));
  USERSTRUCT stored{};
  ASSERT_EQ(FindRecord(env_.system(), "zoe", "example.test", &stored), 0);
  EXPECT_EQ(FieldText(stored.Name), "Zoe Q");

  ASSERT_TRUE(store->DeleteRecord(TableRecord(zoe)));
  EXPECT_EQ(IndexKeys(index), (std::vector<std::string>{"amy"}));
  EXPECT_FALSE(store->DeleteRecord(TableRecord(zoe)));
  EXPECT_FALSE(store->EditRecord(TableRecord(MakeUser("nobody", "example.test"))));

  // A text the "|" form cannot carry never reaches the table.
  for (const char* bad : {"a|b", "a\r\nb", "a\nb"}) {
    USERSTRUCT u = MakeUser("bad", "example.test");
    CopyField(u.Name, bad);
    Status refused = store->AddRecord(TableRecord(u));
    EXPECT_FALSE(refused) << bad;
    EXPECT_NE(refused.error().find("Name"), std::string::npos);
  }
  EXPECT_FALSE(store->AddRecord(TableRecord(MakeUser("", "example.test"))));
  EXPECT_EQ(IndexKeys(index), (std::vector<std::string>{"amy"}));

  // The other tables go through the same calls.
  ROUTESTRUCT route{};
  CopyField(route.Masks, "*@far.test");
  route.Type = kRouteToDomain;
  CopyField(route.Destination, "relay.test");
  ASSERT_TRUE(store->AddRecord(TableRecord(route)));
  AUTOSTRUCT responder{};
  CopyField(responder.Name, "away");
  CopyField(responder.TextFile, "/srv/away.txt");
  ASSERT_TRUE(store->AddRecord(TableRecord(responder)));
  EXPECT_EQ(Keys(*store->LoadTable(Table::kRoutes)), (std::vector<std::string>{"relay.test"}));
  EXPECT_EQ(Keys(*store->LoadTable(Table::kResponder)), (std::vector<std::string>{"away"}));

  // A command's keyword definitions are lines (the installed password-change command has
  // them): written to the file they may hold line ends, never a "|".
  EXECSTRUCT command{};
  CopyField(command.Name, "changepass");
  CopyField(command.Domain, "example.test");
  CopyField(command.Keywords, "Subject:\r\n%%user%%\r\n");
  ASSERT_TRUE(store->AddRecord(TableRecord(command)));
  CopyField(command.Description, "changed");
  ASSERT_TRUE(store->EditRecord(TableRecord(command)));
  CopyField(command.Keywords, "a|b");
  EXPECT_FALSE(store->EditRecord(TableRecord(command)));
  EXECSTRUCT stored_command{};
  ASSERT_EQ(FindRecord(env_.system(), "changepass", "example.test", &stored_command), 0);
  EXPECT_EQ(FieldText(stored_command.Keywords), "Subject:\r\n%%user%%\r\n");
  EXPECT_EQ(FieldText(stored_command.Description), "changed");
}

TEST_F(LocalStoreTest, NewListGetsItsMemberFileAndMembersGoThroughIt) {
  auto store = MakeLocalStore();
  ASSERT_TRUE(store->AddRecord(TableRecord(MakeList("team", "example.test"))));
  LISTSTRUCT given = MakeList("given", "example.test");
  CopyField(given.FileName, root() + "/given.mls");  // outside the configuration folder
  EXPECT_FALSE(store->AddRecord(TableRecord(given)));
  CopyField(given.FileName, env_.config() + "/given.mls");
  ASSERT_TRUE(store->AddRecord(TableRecord(given)));

  auto lists = store->LoadTable(Table::kLists);
  ASSERT_TRUE(lists.ok());
  ASSERT_EQ(lists->size(), 2u);
  const LISTSTRUCT& given_stored = (*lists)[0].as<LISTSTRUCT>();
  const LISTSTRUCT& team = (*lists)[1].as<LISTSTRUCT>();
  EXPECT_EQ(FieldText(given_stored.FileName), env_.config() + "/given.mls");
  EXPECT_EQ(FieldText(team.FileName), env_.config() + "/team.mls");

  auto none = store->LoadMembers(team);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());

  ASSERT_TRUE(store->AddMember(team, MakeMember("x@far.test", "X")));
  ASSERT_TRUE(store->AddMember(team, MakeMember("y@far.test", "Y")));
  EXPECT_FALSE(store->AddMember(team, MakeMember("X@FAR.TEST", "again")));
  Status looped = store->AddMember(team, MakeMember("given@example.test", "loop"));
  EXPECT_FALSE(looped);
  EXPECT_EQ(looped.error(), kMemberIsAList);
  EXPECT_FALSE(store->AddMember(team, MakeMember("z@far.test", "Z|Q")));
  EXPECT_EQ(ReadFileText(env_.config() + "/team.mls").size(), 2 * sizeof(MEMBERSTRUCT));

  ASSERT_TRUE(store->DeleteMember(team, MakeMember("x@far.test", "")));
  auto members = store->LoadMembers(team);
  ASSERT_TRUE(members.ok());
  ASSERT_EQ(members->size(), 1u);  // the emptied record is skipped
  EXPECT_EQ(FieldText((*members)[0].Address), "y@far.test");
  EXPECT_EQ(FieldText((*members)[0].Name), "Y");
  EXPECT_FALSE(store->DeleteMember(team, MakeMember("x@far.test", "")));

  EXPECT_FALSE(store->AddMember(MakeList("nofile", "example.test"), MakeMember("a@b.test", "")));
}

TEST_F(LocalStoreTest, LogsVersionsAndServiceStates) {
  std::string log = root() + "/log";
  ::mkdir(log.c_str(), 0755);
  for (const char* name : {"s20260102.txt", "p20260101.txt", "s20260101.txt", "x.txt", "s.log"})
    WriteFileText(log + "/" + name, "line\n");
  auto store = MakeLocalStore();
  Settings s;
  ASSERT_TRUE(store->LoadSettings(&s));
  CopyField(s.system.LogPath, log);
  CopyField(s.system.InstallPath, BinDir());
  ASSERT_TRUE(store->SaveSettings(s));

  auto logs = store->ListLogFiles();
  ASSERT_TRUE(logs.ok());
  EXPECT_EQ(logs->smtp, (std::vector<std::string>{"s20260101.txt", "s20260102.txt"}));
  EXPECT_EQ(logs->pop3, (std::vector<std::string>{"p20260101.txt"}));

  // qvctrl95 is built with the tests; its version is read from the file, never run.
  AboutFacts facts = store->About(s);
  EXPECT_NE(facts.control_version, kUnknownVersion);
  EXPECT_FALSE(facts.control_version.empty());
  EXPECT_EQ(facts.domain, "example.test");
  CopyField(s.system.InstallPath, root() + "/nothing");
  facts = store->About(s);
  EXPECT_EQ(facts.smtp_version, kUnknownVersion);
  EXPECT_EQ(facts.pop3_version, kUnknownVersion);
  EXPECT_EQ(facts.control_version, kUnknownVersion);

  auto states = store->QueryServices();
  ASSERT_TRUE(states.ok());
  EXPECT_EQ(states->smtp, ServiceState::kNotStarted);
  EXPECT_EQ(states->pop3, ServiceState::kNotStarted);
  EXPECT_FALSE(store->ServiceAction(kServiceControl, kCommandStart));
  EXPECT_TRUE(store->NtGroups().ok());
  EXPECT_TRUE(store->PhoneBookEntries().ok());
}

}  // namespace
}  // namespace qv::console
