#include "control/record_commands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <variant>

#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/table_env.h"
#include "control/control_texts.h"

namespace qv::control {
namespace {

using qv::testing::ScopedTables;
using qv::testing::WriteFileText;

class RecordCommandsTest : public ::testing::Test {
 protected:
  ScopedTables tables_;
};

TEST_F(RecordCommandsTest, UserAddShowDelete) {
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD ann@example.com,Secret,Ann Smith"), kUserAdded);
  USERSTRUCT u{};
  ASSERT_EQ(FindRecord(tables_.system(), "ann", "example.com", &u), 0);
  EXPECT_STREQ(u.Alias, "ann");
  EXPECT_STREQ(u.Mailbox, "ann");
  EXPECT_STREQ(u.Domain, "example.com");
  EXPECT_STREQ(u.Password, "Secret");
  EXPECT_STREQ(u.Name, "Ann Smith");
  EXPECT_EQ(int32_t{u.Options}, 0);
  EXPECT_STREQ(u.PopAccount, "");
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD ann@example.com"), kCannotAddUser);
  EXPECT_EQ(UserCommand(tables_.system(), "user show ann@example.com"),
            "  Alias:               ann\r\n  Domain:              example.com\r\n"
            "  Name:                Ann Smith\r\n  Mailbox:             ann\r\n"
            "  POP account:         \r\n  Copy incomming mail: \r\n  Copy outgoing mail:  \r\n"
            "  Respond with:        \r\n  Add to list:         \r\n\r\n>");
  EXPECT_EQ(UserCommand(tables_.system(), "USER DELETE ann@example.com"), kUserDeleted);
  EXPECT_EQ(UserCommand(tables_.system(), "USER DELETE ann@example.com"), kCannotDeleteUser);
  EXPECT_EQ(UserCommand(tables_.system(), "USER SHOW ann@example.com"), kUserUnknown);
}

TEST_F(RecordCommandsTest, HumanArgumentRules) {
  EXPECT_EQ(UserCommand(tables_.system(), "USERADD a@example.com"),
            kSyntaxError);  // no blank after the word
  EXPECT_EQ(UserCommand(tables_.system(), "USER"), kSyntaxError);
  EXPECT_EQ(UserCommand(tables_.system(), "USER FROB a@example.com"), kSyntaxError);
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD @example.com"),
            kSyntaxError);  // empty local part
  EXPECT_EQ(UserCommand(tables_.system(), "USER SHOW"), kSyntaxError);
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADDX a@example.com"),
            kUserAdded);  // compared over its length
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD b@example.com,  pw,   Bee"), kUserAdded);
  USERSTRUCT u{};
  ASSERT_EQ(FindRecord(tables_.system(), "b", "example.com", &u), 0);
  EXPECT_STREQ(u.Password, "pw");
  EXPECT_STREQ(u.Name, "Bee");
  // Too long for their fields, or holding the records' separator: refused, never cut.
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD c@example.com," + std::string(81, 'p')),
            kCannotAddUser);
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD c@example.com," + std::string(80, 'p')),
            kUserAdded);
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD " + std::string(128, 'd') + "@example.com"),
            kCannotAddUser);
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD e@example.com,a|b"), kCannotAddUser);
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD e@example.com,,Name " + std::string(128, 'n')),
            kCannotAddUser);
  EXPECT_EQ(UserCommand(tables_.system(), "USER SHOW " + std::string(5000, 'x')), kUserUnknown);
  // Names that cannot become mailbox directories.
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD ..@example.com"), kCannotAddUser);
  EXPECT_EQ(UserCommand(tables_.system(), "USER ADD a/b@example.com"), kCannotAddUser);
  EXPECT_EQ(FindRecord(tables_.system(), "c", "example.com", &u), 0);
  EXPECT_EQ(std::strlen(u.Password), 80u);
}

TEST_F(RecordCommandsTest, ListsAndTheirMembers) {
  EXPECT_EQ(ListCommand(tables_.system(), "LIST ADD team@example.com"), kListAdded);
  LISTSTRUCT l{};
  ASSERT_EQ(FindRecord(tables_.system(), "team", "example.com", &l), 0);
  std::string file = tables_.config() + "/team.mls";
  EXPECT_EQ(std::string(l.FileName), file);
  // A member file outside the configuration folder is refused.
  EXPECT_EQ(ListCommand(tables_.system(),
                        "LIST ADD chat@example.com,Chat room,/tmp/chat.mls,boss@example.org"),
            kCannotAddList);
  const std::string chat = tables_.config() + "/chat.mls";
  EXPECT_EQ(ListCommand(tables_.system(),
                        "LIST ADD chat@example.com,Chat room," + chat + ",boss@example.org"),
            kListAdded);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST SHOW chat@example.com"),
            "  Alias:               chat\r\n  Domain:              example.com\r\n"
            "  Name:                Chat room\r\n  Filename:            " +
                chat +
                "\r\n"
                "  Listowner:           boss@example.org\r\n  Respond with:        \r\n"
                "  Log activities to:   \r\n\r\n>");
  EXPECT_EQ(ListCommand(tables_.system(), "LIST ADDMEMBER team@example.com,x@y.org,X Y"),
            kMemberAdded);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST ADDMEMBER team@example.com,x@y.org"),
            kCannotAddMember);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST ADDMEMBER team@example.com"), kSyntaxError);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST ADDMEMBER nolist@example.com,x@y.org"),
            kCannotAddMember);
  EXPECT_EQ(
      ListCommand(tables_.system(), "LIST ADDMEMBER team@example.com," + std::string(128, 'm')),
      kCannotAddMember);
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER " + file + "|#0", {}), "x@y.org|X Y");
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER " + file + "|#1", {}), "#|");
  EXPECT_EQ(ListCommand(tables_.system(), "LIST DELMEMBER team@example.com,x@y.org"),
            kMemberDeleted);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST DELMEMBER team@example.com,x@y.org"),
            kCannotDeleteMember);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST DELETE team@example.com"), kListDeleted);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST DELETE team@example.com"), kCannotDeleteList);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST SHOW team@example.com"), kListUnknown);
  EXPECT_EQ(ListCommand(tables_.system(), "LIST ADD ,desc"), kSyntaxError);
}

TEST_F(RecordCommandsTest, ResponderCommandAndRoute) {
  EXPECT_EQ(AutoCommand(tables_.system(), "AUTO ADD away,/srv/away.txt"), kAutoAdded);
  EXPECT_EQ(AutoCommand(tables_.system(), "AUTO ADD other"), kSyntaxError);
  EXPECT_EQ(AutoCommand(tables_.system(), "AUTO ADD ,x"), kSyntaxError);
  EXPECT_EQ(AutoCommand(tables_.system(), "AUTO SHOW away"),
            "  Name:                away\r\n  Filename:            /srv/away.txt\r\n"
            "  Log to:              \r\n  Not respond to:        \r\n\r\n>");
  EXPECT_EQ(AutoCommand(tables_.system(), "AUTO DELETE away"), kAutoDeleted);
  EXPECT_EQ(AutoCommand(tables_.system(), "AUTO SHOW away"), kAutoUnknown);

  EXPECT_EQ(ExecCommand(tables_.system(), "EXEC ADD run@example.com,/bin/true,Runs it"),
            kExecAdded);
  EXPECT_EQ(ExecCommand(tables_.system(), "EXEC ADD run2@example.com"), kSyntaxError);
  EXPECT_NE(ExecCommand(tables_.system(), "EXEC SHOW run@example.com")
                .find("  Command:             /bin/true\r\n"),
            std::string::npos);
  EXPECT_EQ(ExecCommand(tables_.system(), "EXEC DELETE run@example.com"), kExecDeleted);
  EXPECT_EQ(ExecCommand(tables_.system(), "EXEC DELETE run@example.com"), kCannotDeleteExec);

  EXPECT_EQ(RouteCommand(tables_.system(), "ROUTE ADD TOHOST *@far.example,relay.example"),
            kRouteAdded);
  EXPECT_EQ(
      RouteCommand(tables_.system(), "ROUTE SHOW relay.example"),
      "  Mask:     *@far.example\r\n  Route to: TO HOST\r\n  Name:     relay.example\r\n\r\n>");
  EXPECT_EQ(RouteCommand(tables_.system(), "ROUTE ADD odd *@x,y.example"),
            kRouteAdded);  // unknown type: 0
  EXPECT_NE(RouteCommand(tables_.system(), "ROUTE SHOW y.example").find("TO MAIL"),
            std::string::npos);
  EXPECT_EQ(RouteCommand(tables_.system(), "ROUTE ADD *@x,host"),
            kSyntaxError);  // the masks taken as the type
  EXPECT_EQ(RouteCommand(tables_.system(), "ROUTE DELETE *@far.example"), kCannotDeleteRoute);
  EXPECT_EQ(RouteCommand(tables_.system(), "ROUTE DELETE *@far.example,relay.example"),
            kRouteDeleted);
  EXPECT_EQ(RouteCommand(tables_.system(), "ROUTE SHOW relay.example"), kRouteUnknown);
  EXPECT_EQ(RouteCommand(tables_.system(), "ROUTE DELETE"), kSyntaxError);
  EXPECT_EQ(RouteCommand(tables_.system(), "ROUTEADD TOHOST a,b"), kSyntaxError);
}

TEST_F(RecordCommandsTest, PopAccountsAndTheirInterval) {
  EXPECT_EQ(PopaCommand(tables_.system(), "POPA ADD home,pop.example,login,pw"), kPopaAdded);
  ACCOUNTSTRUCT a{};
  ASSERT_EQ(FindRecord(tables_.system(), "home", &a), 0);
  EXPECT_EQ(int32_t{a.Interval}, 7200);
  EXPECT_NE(
      PopaCommand(tables_.system(), "POPA SHOW home").find("  Connect every:       2 hours\r\n"),
      std::string::npos);
  EXPECT_EQ(PopaCommand(tables_.system(), "POPA ADD work,pop.example,login,pw,90,dial"),
            kPopaAdded);
  ASSERT_EQ(FindRecord(tables_.system(), "work", &a), 0);
  EXPECT_EQ(int32_t{a.Interval}, 5400);
  EXPECT_STREQ(a.DialProfile, "dial");
  EXPECT_EQ(PopaCommand(tables_.system(), "POPA ADD neg,pop.example,login,pw,-5"), kPopaAdded);
  ASSERT_EQ(FindRecord(tables_.system(), "neg", &a), 0);
  EXPECT_EQ(int32_t{a.Interval}, 7200);
  EXPECT_EQ(PopaCommand(tables_.system(), "POPA ADD huge,pop.example,login,pw,99999999999"),
            kCannotAddPopa);
  EXPECT_EQ(PopaCommand(tables_.system(), "POPA ADD x,pop.example,login"), kSyntaxError);
  EXPECT_EQ(PopaCommand(tables_.system(), "POPA ADD " + std::string(32, 'n') + ",s,l,p"),
            kCannotAddPopa);
  EXPECT_EQ(PopaCommand(tables_.system(), "POPA DELETE home"), kPopaDeleted);
  EXPECT_EQ(PopaCommand(tables_.system(), "POPA SHOW home"), kPopaUnknown);
}

TEST_F(RecordCommandsTest, GetStreamByKeyAndByIndexPosition) {
  StreamSources none;
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM USER #0", none), "#||||||0|||||");
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM AUTO #0", none), "#||0|||");  // five fields
  for (const char* name : {"carl", "anna", "bert", "dora"})
    ASSERT_EQ(UserCommand(tables_.system(), std::string("USER ADD ") + name + "@example.com,pw"),
              kUserAdded);
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM USER bert@example.com", none)
                .rfind("bert|example.com|pw|", 0),
            0u);
  EXPECT_EQ(GetStream(tables_.system(), "getstream user nobody@example.com", none), "");
  // Index order, not the order in the data file.
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM USER #0", none).rfind("anna|", 0), 0u);
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM USER #3", none).rfind("dora|", 0), 0u);
  // After a deletion the data file still holds the record: the index order skips it and the
  // newest record is reached.
  ASSERT_EQ(UserCommand(tables_.system(), "USER DELETE anna@example.com"), kUserDeleted);
  ASSERT_EQ(UserCommand(tables_.system(), "USER ADD emil@example.com"), kUserAdded);
  std::vector<std::string> seen;
  for (int n = 0;; ++n) {
    std::string line = GetStream(tables_.system(), "GETSTREAM USER #" + std::to_string(n), none);
    if (line.rfind("#|", 0) == 0) break;
    seen.push_back(line.substr(0, line.find('|')));
    ASSERT_LT(n, 10);
  }
  std::vector<std::string> expected = {"bert", "carl", "dora", "emil"};
  EXPECT_EQ(seen, expected);
  // Odd record numbers end the table instead of reading anywhere.
  for (const char* odd : {"#-1", "#99999999999", "#99999999999999999999999", "#", "#1x", "# 1"})
    EXPECT_EQ(GetStream(tables_.system(), std::string("GETSTREAM USER ") + odd, none),
              "#||||||0|||||")
        << odd;
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM ACCOUNT #0", none), "#||||0||0|");
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM FROB x", none), "");
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM", none), "");
}

TEST_F(RecordCommandsTest, MemberFilesAreReadOnlyForExistingLists) {
  std::string outside = tables_.root() + "/secret.mls";
  WriteFileText(outside, std::string(256, 'S'));
  StreamSources none;
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER " + outside + "|#0", none), "");
  EXPECT_EQ(GetStream(tables_.system(),
                      "GETSTREAM MEMBER " + tables_.config() + "/../secret.mls|#0", none),
            "");
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER /etc/passwd|#0", none), "");
  // A list cannot name it; one inside is read once a list names it.
  EXPECT_EQ(ListCommand(tables_.system(), "LIST ADD l@example.com,," + outside), kCannotAddList);
  outside = tables_.config() + "/secret.mls";
  WriteFileText(outside, std::string(256, 'S'));
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER " + outside + "|#0", none), "");
  ASSERT_EQ(ListCommand(tables_.system(), "LIST ADD l@example.com,," + outside), kListAdded);
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER " + outside + "|0", none), "");  // no "#"
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER " + outside, none), "");
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER " + outside + "|#0", none).size(),
            128u + 1 + 128u);
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM MEMBER " + outside + "|#-1", none), "#|");
}

TEST_F(RecordCommandsTest, ListsOfLogsPhoneBookAndGroups) {
  qv::testing::TempDir logs;
  for (const char* name : {"p261201.txt", "s261202.txt", "s261201.txt", "x261201.txt", "s.log"})
    WriteFileText(logs.Sub(name), "x");
  StreamSources sources;
  sources.log_path = logs.path();
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM LOGS", sources),
            "s261201.txt|s261202.txt|p261201.txt|");
  sources.log_path = logs.Sub("missing");
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM LOGS", sources), "");
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM RASENTRY", sources), "|");
  sources.phone_book = [] { return std::vector<std::string>{"Office", "Home"}; };
  EXPECT_EQ(GetStream(tables_.system(), "GETSTREAM RASENTRY", sources), "Office|Home|");
  std::string groups = GetStream(tables_.system(), "GETSTREAM NTUSERS", sources);
  EXPECT_NE(groups.find("root  ()|"), std::string::npos);
}

TEST_F(RecordCommandsTest, PutStreamAddsEditsAndDeletes) {
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "USER", "ADD|zed|example.com|pw|Zed|zed||4||||"));
  USERSTRUCT u{};
  ASSERT_EQ(FindRecord(tables_.system(), "zed", "example.com", &u), 0);
  EXPECT_EQ(int32_t{u.Options}, 4);
  EXPECT_TRUE(
      PutStreamRecord(tables_.system(), "user", "edit|zed|example.com|new|Zed Z|zed||0||||"));
  ASSERT_EQ(FindRecord(tables_.system(), "zed", "example.com", &u), 0);
  EXPECT_STREQ(u.Password, "new");
  EXPECT_EQ(int32_t{u.Options}, 0);
  // Long texts are cut to the field; extra fields are ignored.
  std::string many = "ADD|long|example.com|" + std::string(200, 'p');
  for (int i = 0; i < 200; ++i) many += "|f";
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "USER", many));
  ASSERT_EQ(FindRecord(tables_.system(), "long", "example.com", &u), 0);
  EXPECT_EQ(std::strlen(u.Password), 80u);
  // No fields, or no key: nothing is added.
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "USER", ""));
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "USER", "ADD"));
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "ROUTE", "ADD|*@x|1|"));
  int count = 0;
  ForEachRecord(tables_.system(), Table::kUser, [&](const void*) { return ++count, true; });
  EXPECT_EQ(count, 2);
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "USER", "FROB|zed|example.com"));
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "USER", "DELETE|zed|example.com"));
  EXPECT_EQ(FindRecord(tables_.system(), "zed", "example.com", &u), 1);
  EXPECT_FALSE(PutStreamRecord(tables_.system(), "NOSUCH", "ADD|x"));

  ASSERT_TRUE(PutStreamRecord(tables_.system(), "LIST", "ADD|crew|example.com|Crew||"));
  LISTSTRUCT l{};
  ASSERT_EQ(FindRecord(tables_.system(), "crew", "example.com", &l), 0);
  EXPECT_STREQ(l.FileName, "");
  ASSERT_EQ(UpdateRecord(tables_.system(), Table::kLists, &l, true), 0);
  ASSERT_TRUE(PutStreamRecord(tables_.system(), "LIST",
                              "ADD|crew|example.com|Crew|" + tables_.config() + "/crew.mls|"));
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "LIST", "ADDMEMBER|crew@example.com|m@x.org|Em"));
  EXPECT_EQ(
      GetStream(tables_.system(), "GETSTREAM MEMBER " + tables_.config() + "/crew.mls|#0", {}),
      "m@x.org|Em");
  EXPECT_TRUE(PutStreamRecord(tables_.system(), "LIST", "DELETEMEMBER|crew@example.com|m@x.org|"));
  EXPECT_EQ(
      GetStream(tables_.system(), "GETSTREAM MEMBER " + tables_.config() + "/crew.mls|#0", {}),
      "#|");
}

TEST(RecordNumberTest, OnlyHashAndDecimalDigitsThatFit) {
  struct Case {
    const char* text;
    std::optional<int64_t> n;
  } cases[] = {
      {"#0", 0},
      {"#42", 42},
      {"#007", 7},
      {"#999999999999999999", 999999999999999999},  // the longest number taken
      {"#9999999999999999999", std::nullopt},
      {"#", std::nullopt},
      {"", std::nullopt},
      {"1", std::nullopt},
      {"#-1", std::nullopt},
      {"#+1", std::nullopt},
      {"#1x", std::nullopt},
      {"# 1", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseRecordNumber(c.text), c.n) << c.text;
}

TEST(EmptyRecordTest, EachTableGetsItsOwnZeroedRecord) {
  for (Table table : {Table::kUser, Table::kLists, Table::kCommands, Table::kRoutes,
                      Table::kResponder, Table::kAccounts}) {
    TableRecord record = EmptyRecord(table);
    EXPECT_EQ(record.index(), static_cast<size_t>(table));
    std::visit(
        [&](const auto& r) {
          EXPECT_EQ(sizeof r, GetTableDef(table).record_size);
          std::string bytes(reinterpret_cast<const char*>(&r), sizeof r);
          EXPECT_EQ(bytes, std::string(sizeof r, '\0'));
        },
        record);
  }
}

TEST_F(RecordCommandsTest, ReadingByPositionGivesTypedRecordsTheEndOrAnError) {
  const SYSTEMSTRUCT& system = tables_.system();
  Result<std::optional<TableRecord>> none = ReadRecordAtIndex(system, Table::kUser, 0);
  ASSERT_TRUE(none.ok());  // no table files yet: the end
  EXPECT_FALSE(none->has_value());
  for (const char* name : {"bert", "anna"})
    ASSERT_EQ(UserCommand(system, std::string("USER ADD ") + name + "@example.com,pw"), kUserAdded);
  struct Case {
    int64_t n;
    const char* alias;  // null: past the end
  } cases[] = {{0, "anna"}, {1, "bert"}, {2, nullptr}, {-1, nullptr}, {1000, nullptr}};
  for (const Case& c : cases) {
    Result<std::optional<TableRecord>> read = ReadRecordAtIndex(system, Table::kUser, c.n);
    ASSERT_TRUE(read.ok()) << c.n << ": " << read.error();
    ASSERT_EQ(read->has_value(), c.alias != nullptr) << c.n;
    if (c.alias == nullptr) continue;
    const auto* user = std::get_if<USERSTRUCT>(&**read);
    ASSERT_NE(user, nullptr) << c.n;
    EXPECT_STREQ(user->Alias, c.alias);
    EXPECT_STREQ(user->Password, "pw");
  }
  // An index entry whose offset points before the data file: an error, and an empty reply.
  TablePaths paths = GetTablePaths(system, Table::kUser);
  int fd = ::open(paths.index.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const int32_t bad = -1;
  ASSERT_EQ(::pwrite(fd, &bad, sizeof bad, offsetof(IndexEntry, Offset)),
            static_cast<ssize_t>(sizeof bad));
  ::close(fd);
  Result<std::optional<TableRecord>> broken = ReadRecordAtIndex(system, Table::kUser, 0);
  EXPECT_FALSE(broken.ok());
  EXPECT_NE(broken.error().find("user"), std::string::npos) << broken.error();
  EXPECT_EQ(GetStream(system, "GETSTREAM USER #0", {}), "");
}

TEST_F(RecordCommandsTest, MembersByPosition) {
  const SYSTEMSTRUCT& system = tables_.system();
  ASSERT_EQ(ListCommand(system, "LIST ADD crew@example.com"), kListAdded);
  LISTSTRUCT list{};
  ASSERT_EQ(FindRecord(system, "crew", "example.com", &list), 0);
  const std::string file(list.FileName);
  EXPECT_FALSE(ReadMemberAt(tables_.system(), file, 0).ok());  // no member file yet
  ASSERT_EQ(ListCommand(system, "LIST ADDMEMBER crew@example.com,m@x.org,Em"), kMemberAdded);
  ASSERT_EQ(ListCommand(system, "LIST ADDMEMBER crew@example.com,n@x.org,En"), kMemberAdded);
  struct Case {
    int64_t n;
    const char* address;  // null: an error
  } cases[] = {{0, "m@x.org"}, {1, "n@x.org"}, {2, nullptr}, {-1, nullptr}};
  for (const Case& c : cases) {
    Result<MEMBERSTRUCT> member = ReadMemberAt(tables_.system(), file, c.n);
    ASSERT_EQ(member.ok(), c.address != nullptr) << c.n;
    if (c.address == nullptr) {
      EXPECT_NE(member.error().find(file), std::string::npos) << member.error();
      continue;
    }
    EXPECT_STREQ(member->Address, c.address);
  }
  EXPECT_FALSE(ReadMemberAt(tables_.system(), tables_.config() + "/missing.mls", 0).ok());
}

}  // namespace
}  // namespace qv::control
