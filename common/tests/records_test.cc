#include "common/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/config.h"

namespace qv {
namespace {

using namespace std::string_literals;

TEST(RecordLineTest, FormatsEveryTableInItsFieldOrder) {
  USERSTRUCT u{};
  CopyField(u.Alias, "ann");
  CopyField(u.Domain, "*");
  CopyField(u.Password, "pw");
  CopyField(u.Name, "Ann Lee");
  CopyField(u.Mailbox, "ann");
  u.Options = 0x30;
  CopyField(u.MailingList, "news");
  EXPECT_EQ(FormatRecordLine(u), "ann|*|pw|Ann Lee|ann||48||||news|");

  ROUTESTRUCT r{};
  CopyField(r.Masks, "*@a.com;*@b.com");
  r.Type = kRouteToHost;
  CopyField(r.Destination, "relay");
  EXPECT_EQ(FormatRecordLine(r), "*@a.com;*@b.com|1|relay|");

  AUTOSTRUCT a{};
  CopyField(a.Name, "away");
  a.Options = -1;
  EXPECT_EQ(FormatRecordLine(a), "away||-1|||");

  ACCOUNTSTRUCT p{};
  CopyField(p.Name, "shared");
  p.Interval = 15;
  EXPECT_EQ(FormatRecordLine(p), "shared||||15||0|");

  LISTSTRUCT l{};
  EXPECT_EQ(FormatRecordLine(l), "||||||0|||");
  EXECSTRUCT x{};
  EXPECT_EQ(FormatRecordLine(x), "||||||0|");
}

TEST(RecordLineTest, FieldWithoutTerminatorStopsAtItsWidth) {
  ACCOUNTSTRUCT p{};
  std::memset(p.Name, 'N', sizeof p.Name);  // no zero inside the field
  std::string line = FormatRecordLine(p);
  EXPECT_EQ(line.substr(0, 33), std::string(32, 'N') + "|");
}

struct ParseCase {
  std::string line;
  std::string alias, domain, password, mailbox;
  int32_t options;
  std::string mailing_list;
};

TEST(RecordLineTest, ParsesUserLines) {
  const std::string long_text(300, 'x');
  const ParseCase cases[] = {
      {"ann|*|pw|Ann|box||48||||news|", "ann", "*", "pw", "box", 48, "news"},
      {"ann|*|pw|Ann|box||48||||news|\r\n", "ann", "*", "pw", "box", 48, "news"},
      {"  ann|   *|pw  |", "ann", "*", "pw  ", "", 0, ""},  // leading blanks only
      {"ann|*\r|ignored|", "ann", "*", "", "", 0, ""},      // CR ends the line
      {"ann|*\n|ignored|", "ann", "*", "", "", 0, ""},
      {"ann|*\0|ignored|"s, "ann", "*", "", "", 0, ""},
      {"ann", "ann", "", "", "", 0, ""},  // missing fields stay empty
      {"", "", "", "", "", 0, ""},
      {"|||||| 12abc|", "", "", "", "", 12, ""},
      {"||||||-7|", "", "", "", "", -7, ""},
      {"||||||99999999999999|", "", "", "", "", 2147483647, ""},
      {"||||||-99999999999999|", "", "", "", "", -2147483647 - 1, ""},
      {"||||||+5|", "", "", "", "", 5, ""},
      {"||||||x|", "", "", "", "", 0, ""},
      {"a|b|c|d|e|f|1|g|h|i|j|k|l|m|n|", "a", "b", "c", "e", 1, "j"},  // extra fields ignored
      {long_text + "|" + long_text + "|" + long_text, std::string(127, 'x'), std::string(127, 'x'),
       std::string(80, 'x'), "", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    USERSTRUCT u;
    std::memset(&u, 0x55, sizeof u);  // parsing must clear the record
    ParseRecordLine(c.line, &u);
    EXPECT_EQ(FieldText(u.Alias), c.alias);
    EXPECT_EQ(FieldText(u.Domain), c.domain);
    EXPECT_EQ(FieldText(u.Password), c.password);
    EXPECT_EQ(FieldText(u.Mailbox), c.mailbox);
    EXPECT_EQ(+u.Options, c.options);
    EXPECT_EQ(FieldText(u.MailingList), c.mailing_list);
  }
}

TEST(RecordLineTest, EveryTableRoundTrips) {
  for (Table t : {Table::kUser, Table::kLists, Table::kCommands, Table::kRoutes, Table::kResponder,
                  Table::kAccounts}) {
    const TableDef& def = GetTableDef(t);
    SCOPED_TRACE(def.name);
    std::string record(def.record_size, '\0');
    for (size_t i = 0; i < def.field_count; ++i) {
      const FieldDef& f = def.fields[i];
      if (f.number) {
        int32_t n = static_cast<int32_t>(i * 1000 - 3);
        std::memcpy(&record[f.offset], &n, sizeof n);
      } else {
        std::string text = std::string(f.name) + "-" + std::to_string(i);
        std::memcpy(&record[f.offset], text.data(), text.size());
      }
    }
    std::string line = FormatRecordLine(t, record.data());
    std::string back(def.record_size, '\x7f');
    ParseRecordLine(t, line, back.data());
    EXPECT_EQ(back, record);
    EXPECT_EQ(FormatRecordLine(t, back.data()), line);
  }
}

TEST(RecordLineTest, MemberLines) {
  MEMBERSTRUCT m{};
  CopyField(m.Address, "ann@example.com");
  CopyField(m.Name, "Ann Lee");
  EXPECT_EQ(FormatMemberLine(m), "ann@example.com|Ann Lee");
  MEMBERSTRUCT back;
  ParseMemberLine("ann@example.com|Ann Lee\r\n", &back);
  EXPECT_EQ(FieldText(back.Address), "ann@example.com");
  EXPECT_EQ(FieldText(back.Name), "Ann Lee");
  ParseMemberLine("only", &back);
  EXPECT_EQ(FieldText(back.Address), "only");
  EXPECT_EQ(FieldText(back.Name), "");
}

TEST(RecordLineTest, TableDescriptions) {
  EXPECT_EQ(GetTableDef(Table::kUser).record_size, 1501u);
  EXPECT_EQ(GetTableDef(Table::kLists).record_size, 1160u);
  EXPECT_EQ(GetTableDef(Table::kCommands).record_size, 1420u);
  EXPECT_EQ(GetTableDef(Table::kRoutes).record_size, 644u);
  EXPECT_EQ(GetTableDef(Table::kResponder).record_size, 1164u);
  EXPECT_EQ(GetTableDef(Table::kAccounts).record_size, 552u);
  EXPECT_EQ(GetTableDef(Table::kRoutes).key_offset, 516u);
  EXPECT_FALSE(GetTableDef(Table::kRoutes).has_domain);
  EXPECT_TRUE(GetTableDef(Table::kCommands).has_domain);
  // Every field lies inside its record and the fields tile it without gaps.
  for (Table t : {Table::kUser, Table::kLists, Table::kCommands, Table::kRoutes, Table::kResponder,
                  Table::kAccounts}) {
    const TableDef& def = GetTableDef(t);
    size_t covered = 0;
    for (size_t i = 0; i < def.field_count; ++i) covered += def.fields[i].width;
    EXPECT_EQ(covered, def.record_size) << def.name;
  }
}

}  // namespace
}  // namespace qv
