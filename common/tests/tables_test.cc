#include "common/tables.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/accounts.h"
#include "common/testing/table_env.h"

namespace qv {
namespace {

using qv::testing::MakeUser;
using qv::testing::ReadFileText;
using qv::testing::ReadIndexEntries;
using qv::testing::WriteFileText;

bool IsDir(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The captured text of a temporary stream.
std::string Drain(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

class TablesTest : public ::testing::Test {
 protected:
  void AddUser(const std::string& alias, const std::string& domain, int32_t options = 0,
               const std::string& mailbox = "") {
    USERSTRUCT u = MakeUser(alias, domain, "", mailbox);
    u.Options = options;
    ASSERT_EQ(AddRecord(tables_.system(), &u), 0);
  }
  void AddList(const std::string& name, const std::string& domain, const std::string& file = "") {
    LISTSTRUCT l{};
    CopyField(l.Name, name);
    CopyField(l.Domain, domain);
    CopyField(l.FileName, file);
    ASSERT_EQ(AddRecord(tables_.system(), &l), 0);
  }
  void AddCommand(const std::string& name, const std::string& domain) {
    EXECSTRUCT x{};
    CopyField(x.Name, name);
    CopyField(x.Domain, domain);
    ASSERT_EQ(AddRecord(tables_.system(), &x), 0);
  }
  void AddRoute(const std::string& masks, const std::string& destination, int32_t type = 0) {
    ROUTESTRUCT r{};
    CopyField(r.Masks, masks);
    CopyField(r.Destination, destination);
    r.Type = type;
    ASSERT_EQ(AddRecord(tables_.system(), &r), 0);
  }

  qv::testing::ScopedTables tables_;
};

// ---- ClassifyAddress ------------------------------------------------------------------------

struct ClassifyCase {
  const char* local;
  const char* domain;
  bool search;
  int result;
  const char* domain_after;
};

TEST_F(TablesTest, ClassifyAddressTriesRoutesListsCommandsUsersInTurn) {
  AddRoute("both@example.com;*@routed.example.com", "relay.example.net", kRouteToHost);
  AddList("both", "example.com");
  AddList("news", "*");
  AddCommand("changepass", "example.com");
  AddCommand("news", "example.com");  // the list comes first
  AddUser("ann", "example.com");
  AddUser("bob", "example.org");
  AddUser("changepass", "example.com");

  const ClassifyCase cases[] = {
      {"both", "example.com", false, kAddressRoute, "example.com"},
      {"x", "routed.example.com", false, kAddressRoute, "routed.example.com"},
      {"news", "anywhere.net", false, kAddressList, "anywhere.net"},
      {"NEWS", "example.com", false, kAddressList, "example.com"},
      {"changepass", "example.com", false, kAddressCommand, "example.com"},
      {"ann", "EXAMPLE.COM", false, kAddressUser, "EXAMPLE.COM"},
      {"nobody", "example.com", false, kAddressUser, "example.com"},  // local, unknown
      {"ann", "foreign.net", false, kAddressForeign, "foreign.net"},
      {"bob", "example.com", false, kAddressUser, "example.com"},
      // The other local domains: found under example.org, which becomes the domain.
      {"bob", "example.com", true, kAddressUser, "example.org"},
      {"nobody", "example.com", true, kAddressUser, "example.com"},  // restored when not found
      // A foreign address is never looked for in the local domains.
      {"bob", "foreign.net", true, kAddressForeign, "foreign.net"},
      // A local domain matches only itself: an entry is no prefix of other domains.
      {"nobody", "example.community", false, kAddressForeign, "example.community"},
      {"bob", "example.community", true, kAddressForeign, "example.community"},
      {"nobody", "EXAMPLE.Com", false, kAddressUser, "EXAMPLE.Com"},
      // No domain: every record's domain mask is accepted.
      {"bob", "", false, kAddressUser, ""},
      {"nobody", "", false, kAddressForeign, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.local) + "@" + c.domain);
    std::string domain = c.domain;
    EXPECT_EQ(ClassifyAddress(tables_.system(), c.local, &domain, c.search), c.result);
    EXPECT_EQ(domain, c.domain_after);
  }
}

TEST_F(TablesTest, ClassifyAddressSearchesOtherDomainsInOrder) {
  CopyField(tables_.system().Domain, "one.test; two.test;;three.test");
  AddUser("carl", "three.test");
  AddList("carl", "two.test");
  std::string domain = "one.test";
  EXPECT_EQ(ClassifyAddress(tables_.system(), "carl", &domain, true), kAddressList);
  EXPECT_EQ(domain, "two.test");
  domain = "three.test";
  EXPECT_EQ(ClassifyAddress(tables_.system(), "carl", &domain, true), kAddressUser);
  EXPECT_EQ(domain, "three.test");
  domain = "two.test";  // an entry with blanks around it is still local
  EXPECT_EQ(ClassifyAddress(tables_.system(), "nobody", &domain, false), kAddressUser);
}

TEST_F(TablesTest, AnEmptyDomainEntryDoesNotMakeEveryDomainLocal) {
  CopyField(tables_.system().Domain, "example.com;");
  EXPECT_TRUE(IsLocalDomain(tables_.system(), "example.com"));
  EXPECT_TRUE(IsLocalDomain(tables_.system(), "EXAMPLE.COM"));
  EXPECT_FALSE(IsLocalDomain(tables_.system(), "foreign.net"));
  EXPECT_FALSE(IsLocalDomain(tables_.system(), ""));
  for (const char* other : {"example.community", "example.co", "mail.example.com", "example.com."})
    EXPECT_FALSE(IsLocalDomain(tables_.system(), other)) << other;
  std::string domain = "foreign.net";
  EXPECT_EQ(ClassifyAddress(tables_.system(), "x", &domain, true), kAddressForeign);
}

TEST_F(TablesTest, ClassifyWithoutAnyTableFiles) {
  std::string domain = "example.com";
  EXPECT_EQ(ClassifyAddress(tables_.system(), "ann", &domain, true), kAddressUser);
  domain = "elsewhere.net";
  EXPECT_EQ(ClassifyAddress(tables_.system(), "ann", &domain, true), kAddressForeign);
}

// ---- Operating-system accounts --------------------------------------------------------------

bool FakeAccounts(const std::string& name, SystemAccount* account) {
  if (name == "ann") {
    *account = {"ann", "Ann Lee,Room 12,,", {"users", "MailUsers"}};
    return true;
  }
  if (name == "bob") {
    *account = {"bob", "", {"users"}};
    return true;
  }
  if (name == "cyd") {
    *account = {"cyd", "", {"mailusers"}};
    return true;
  }
  return false;
}

class AccountsTest : public TablesTest {
 protected:
  void SetUp() override {
    SetSystemAccountSource(&FakeAccounts);
    tables_.system().Flags = kSysNtUser;
    CopyField(tables_.system().NTUser, "mailusers");
  }
  void TearDown() override { SetSystemAccountSource(nullptr); }
};

TEST_F(AccountsTest, GroupMembersOfTheNtDomainAreAccounts) {
  std::string name;
  EXPECT_TRUE(NtAccountLookup(tables_.system().NTUser, "ann", &name));
  EXPECT_EQ(name, "Ann Lee");
  EXPECT_TRUE(NtAccountLookup(tables_.system().NTUser, "cyd", &name));
  EXPECT_EQ(name, "");
  EXPECT_FALSE(NtAccountLookup(tables_.system().NTUser, "bob", &name));     // not in the group
  EXPECT_FALSE(NtAccountLookup(tables_.system().NTUser, "nobody", &name));  // no account
  EXPECT_FALSE(NtAccountLookup(tables_.system().NTUser, "", &name));

  std::string domain = "Example.Com";
  EXPECT_EQ(ClassifyAddress(tables_.system(), "ann", &domain, false, &name), kAddressAccount);
  EXPECT_EQ(name, "Ann Lee");
  domain = "example.org";  // a local domain, but not the NT domain
  EXPECT_EQ(ClassifyAddress(tables_.system(), "ann", &domain, false), kAddressUser);
  domain = "example.com";
  EXPECT_EQ(ClassifyAddress(tables_.system(), "bob", &domain, false), kAddressUser);

  tables_.system().Flags = 0;
  domain = "example.com";
  EXPECT_EQ(ClassifyAddress(tables_.system(), "ann", &domain, false), kAddressUser);
  tables_.system().Flags = kSysNtUser;
  CopyField(tables_.system().NTUser, "");
  EXPECT_FALSE(NtAccountLookup(tables_.system().NTUser, "ann", &name));
}

TEST(MachineAccountsTest, RootIsInItsOwnGroup) {
  SystemAccount account;
  ASSERT_TRUE(FindSystemAccount("root", &account));
  EXPECT_EQ(account.name, "root");
  EXPECT_FALSE(account.groups.empty());
  EXPECT_FALSE(FindSystemAccount("no-such-account-qv", &account));
  EXPECT_FALSE(FindSystemAccount(std::string("root\0x", 6), &account));
}

// ---- Routes ---------------------------------------------------------------------------------

TEST_F(TablesTest, FindRouteByAddressTakesTheFirstInIndexOrder) {
  ROUTESTRUCT r;
  EXPECT_EQ(FindRouteByAddress(tables_.system(), "a", "b.com", &r), -1);  // no route files
  AddRoute("*@b.com", "zeta");
  AddRoute("a@b.com;*@c.com", "alpha", kRouteToDomain);
  AddRoute(";;x@*", "mid");
  ASSERT_EQ(FindRouteByAddress(tables_.system(), "a", "b.com", &r), 0);
  EXPECT_EQ(FieldText(r.Destination), "alpha");
  EXPECT_EQ(+r.Type, kRouteToDomain);
  ASSERT_EQ(FindRouteByAddress(tables_.system(), "q", "B.COM", &r), 0);
  EXPECT_EQ(FieldText(r.Destination), "zeta");
  ASSERT_EQ(FindRouteByAddress(tables_.system(), "x", "anything", &r), 0);
  EXPECT_EQ(FieldText(r.Destination), "mid");
  EXPECT_EQ(FindRouteByAddress(tables_.system(), "q", "d.com", &r), 1);

  // Without its index the route file is read in file order.
  ASSERT_EQ(unlink(tables_.File("routes.idx").c_str()), 0);
  ASSERT_EQ(FindRouteByAddress(tables_.system(), "a", "b.com", &r), 0);
  EXPECT_EQ(FieldText(r.Destination), "zeta");
  // An empty index: no route is reachable.
  WriteFileText(tables_.File("routes.idx"), "");
  EXPECT_EQ(FindRouteByAddress(tables_.system(), "a", "b.com", &r), 1);
}

// ---- Mailbox names --------------------------------------------------------------------------

TEST(MailboxNameTest, OnlyPlainNamesBecomeDirectories) {
  using namespace std::string_literals;
  for (const auto& ok : {"ann"s, "Ann.Lee"s, "a..b"s, "..."s, "a b"s, "a\\b"s})
    EXPECT_TRUE(IsSafeMailboxName(ok)) << ok;
  for (const auto& bad : {""s, "."s, ".."s, "../x"s, "a/b"s, "/"s, "/etc"s, "a\0b"s})
    EXPECT_FALSE(IsSafeMailboxName(bad)) << bad;
}

TEST_F(TablesTest, ServiceFoldersAreNoMailboxes) {
  using namespace std::string_literals;
  for (const auto& folder : {"forward"s, "FORWARD"s, "Forward"s, "temp"s, "TEMP"s}) {
    EXPECT_TRUE(IsServiceFolder(folder)) << folder;
    EXPECT_FALSE(IsSafeMailboxName(folder)) << folder;
  }
  for (const auto& name : {"forwarder"s, "temp2"s, "forwar"s, "ann"s}) {
    EXPECT_FALSE(IsServiceFolder(name)) << name;
    EXPECT_TRUE(IsSafeMailboxName(name)) << name;
  }
  // Adding: as the alias that becomes the mailbox, or as the mailbox itself.
  USERSTRUCT u = MakeUser("forward", "example.com");
  EXPECT_EQ(AddRecord(tables_.system(), &u), -1);
  u = MakeUser("ann", "example.com", "", "Temp");
  EXPECT_EQ(AddRecord(tables_.system(), &u), -1);
  // Mail routed away keeps no mailbox: the alias is free.
  u = MakeUser("forward", "example.com", "", "fwd@far.net");
  u.Options = kUserRemote;
  EXPECT_EQ(AddRecord(tables_.system(), &u), 0);
  // The import adds through the same test.
  std::string file = tables_.root() + "/users.txt";
  WriteFileText(file, "temp;example.com\nbob;example.com;;;FORWARD\ncyd;example.com\n");
  EXPECT_EQ(ImportUsers(tables_.system(), file, nullptr), 2);
  EXPECT_EQ(FindRecord(tables_.system(), "temp", "", &u), 1);
  EXPECT_EQ(FindRecord(tables_.system(), "bob", "", &u), 1);
  EXPECT_EQ(FindRecord(tables_.system(), "cyd", "", &u), 0);
  // Changing a user to a service folder is refused; the stored record stays.
  CopyField(u.Mailbox, "forward");
  EXPECT_EQ(UpdateRecord(tables_.system(), u, false), -1);
  ASSERT_EQ(FindRecord(tables_.system(), "cyd", "", &u), 0);
  EXPECT_EQ(FieldText(u.Mailbox), "cyd");
  EXPECT_EQ(UpdateRecord(tables_.system(), u, true), 0);
}

TEST_F(TablesTest, AddRulesOfTheOtherTables) {
  ROUTESTRUCT route{};
  CopyField(route.Destination, "relay");
  EXPECT_EQ(AddRecord(tables_.system(), &route), -1);  // no masks
  CopyField(route.Masks, "*@a.com ");
  ASSERT_EQ(AddRecord(tables_.system(), &route), 0);
  EXPECT_EQ(FieldText(route.Masks), "*@a.com ");  // stored unchanged
  CopyField(route.Masks, "*@b.com");
  EXPECT_EQ(AddRecord(tables_.system(), &route), 0);  // the route table does not test its key
  EXPECT_EQ(ReadIndexEntries(tables_.File("routes.idx")).size(), 2u);

  AUTOSTRUCT responder{};
  EXPECT_EQ(AddRecord(tables_.system(), &responder), -1);
  CopyField(responder.Name, "away");
  ASSERT_EQ(AddRecord(tables_.system(), &responder), 0);
  EXPECT_EQ(AddRecord(tables_.system(), &responder), 1);

  ACCOUNTSTRUCT account{};
  EXPECT_EQ(AddRecord(tables_.system(), &account), -1);
  CopyField(account.Name, "pop");
  ASSERT_EQ(AddRecord(tables_.system(), &account), 0);
  ACCOUNTSTRUCT found;
  EXPECT_EQ(FindRecord(tables_.system(), "POP", &found), 0);

  LISTSTRUCT list{};
  CopyField(list.Name, "news ");
  ASSERT_EQ(AddRecord(tables_.system(), &list), 0);
  EXPECT_EQ(FieldText(list.Name), "news");
  EXPECT_EQ(FieldText(list.Domain), "example.com");
  EXECSTRUCT command{};
  CopyField(command.Name, "changepass");
  CopyField(command.Domain, "  ");  // blank: the primary domain after trimming
  ASSERT_EQ(AddRecord(tables_.system(), &command), 0);
  EXPECT_EQ(FieldText(command.Domain), "example.com");
}

TEST_F(TablesTest, SyncMailboxDirectories) {
  EXPECT_EQ(SyncMailboxDirectories(tables_.system()), -1);  // no user index
  AddUser("ann", "example.com");
  AddUser("bob", "example.com", kUserRemote, "bob@elsewhere.net");
  AddUser("cyd", "example.com", 0, "..");
  AddUser("dan", "example.com", 0, "../escape");
  AddUser("eve", "example.com", 0, "shared");
  AddUser("fay", "example.com", 0, "shared");
  std::string mail = tables_.mail();
  for (const char* d : {"forward", "temp", "FORWARD", "gone", "kept"})
    mkdir((mail + "/" + d).c_str(), 0755);
  WriteFileText(mail + "/kept/1.in", "x");
  WriteFileText(mail + "/plainfile", "x");
  symlink("/tmp", (mail + "/link").c_str());

  ASSERT_EQ(SyncMailboxDirectories(tables_.system()), 0);
  EXPECT_TRUE(IsDir(mail + "/ann"));
  EXPECT_TRUE(IsDir(mail + "/shared"));
  EXPECT_FALSE(IsDir(mail + "/bob@elsewhere.net"));
  EXPECT_FALSE(IsDir(tables_.root() + "/escape"));
  EXPECT_TRUE(IsDir(mail + "/forward"));
  EXPECT_TRUE(IsDir(mail + "/temp"));
  EXPECT_TRUE(IsDir(mail + "/FORWARD"));
  EXPECT_FALSE(IsDir(mail + "/gone"));
  EXPECT_TRUE(IsDir(mail + "/kept"));
  EXPECT_EQ(ReadFileText(mail + "/plainfile"), "x");
  EXPECT_TRUE(IsDir("/tmp"));
}

// The sync works inside the mail folder only: an empty folder of a user stays as it is (not
// removed and made anew), one reached by a link elsewhere is not removed, and a mail folder
// that is or leads to the root or a system folder is not touched at all.
TEST_F(TablesTest, SyncMailboxDirectoriesStaysInsideTheMailFolder) {
  AddUser("ann", "example.com");
  const std::string mail = tables_.mail();
  const std::string outside = tables_.root() + "/outside";
  ASSERT_EQ(mkdir((mail + "/ann").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((outside + "/empty").c_str(), 0755), 0);
  ASSERT_EQ(symlink(outside.c_str(), (mail + "/away").c_str()), 0);
  struct stat before {};
  ASSERT_EQ(stat((mail + "/ann").c_str(), &before), 0);

  ASSERT_EQ(SyncMailboxDirectories(tables_.system()), 0);
  struct stat after {};
  ASSERT_EQ(stat((mail + "/ann").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_TRUE(IsDir(outside + "/empty"));
  EXPECT_TRUE(IsDir(mail + "/away"));

  // A link to the root stands for it; so do spellings of the root and of system folders.
  const std::string to_root = tables_.root() + "/root-link";
  ASSERT_EQ(symlink("/", to_root.c_str()), 0);
  const std::string keep_mail = mail;
  for (const std::string& path :
       {std::string("/"), std::string("//"), std::string("/etc/"), std::string("/dev"),
        std::string("/usr/../"), to_root, to_root + "/", to_root + "/proc"}) {
    SYSTEMSTRUCT system = tables_.system();
    CopyField(system.MailPath, path);
    EXPECT_EQ(SyncMailboxDirectories(system), -1) << path;
    EXPECT_FALSE(IsDir(path + "/ann")) << path;
  }
  EXPECT_TRUE(IsDir(outside + "/empty"));
}

// ---- Import ---------------------------------------------------------------------------------

struct ImportCase {
  std::string line;
  bool ok;
  std::string alias, domain, name, password, mailbox, copy_in, copy_out, responder, list;
  int32_t options;
};

TEST(ImportLineTest, Fields) {
  const std::string many = "a;b;c;d;e;f;g;h;i;j;k;l;m;n;o;p;q;r;s;t;u;v;w;x;y;z;1;2;3;4";
  const ImportCase cases[] = {
      {"ann;example.com", true, "ann", "example.com", "", "", "", "", "", "", "", 0},
      {"ann , example.com , Ann Lee , pw\r", true, "ann", "example.com", "Ann Lee", "pw", "", "",
       "", "", "", 0},
      {"ann;example.com;Ann;pw;ann@remote.net;in@x;out@x;away;news", true, "ann", "example.com",
       "Ann", "pw", "ann@remote.net", "in@x", "out@x", "away", "news", 0x31},
      {"ann;example.com;;;;;;;news", true, "ann", "example.com", "", "", "", "", "", "", "news",
       0x20},
      {"ann;example.com;;;box;;;away", true, "ann", "example.com", "", "", "box", "", "", "away",
       "", 0x10},
      {many, true, "a", "b", "c", "d", "e", "f", "g", "h", "i", 0x30},
      {"ann", false, "ann", "", "", "", "", "", "", "", "", 0},
      {";example.com", false, "", "example.com", "", "", "", "", "", "", "", 0},
      {"", false, "", "", "", "", "", "", "", "", "", 0},
      {";;;;;;;;;;;;;;;;;;;;;;;;;;;;;", false, "", "", "", "", "", "", "", "", "", 0},
      {"ann;   ;x", false, "ann", "", "x", "", "", "", "", "", "", 0},
      {"ann;example.com;a b  c  ", true, "ann", "example.com", "a b  c", "", "", "", "", "", "", 0},
      {std::string(300, 'p') + ";" + std::string(300, 'q') + ";n;" + std::string(300, 'w'), true,
       std::string(127, 'p'), std::string(127, 'q'), "n", std::string(80, 'w'), "", "", "", "", "",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    USERSTRUCT u;
    std::memset(&u, 0x41, sizeof u);
    EXPECT_EQ(ParseImportLine(c.line, &u), c.ok);
    EXPECT_EQ(FieldText(u.Alias), c.alias);
    EXPECT_EQ(FieldText(u.Domain), c.domain);
    EXPECT_EQ(FieldText(u.Name), c.name);
    EXPECT_EQ(FieldText(u.Password), c.password);
    EXPECT_EQ(FieldText(u.Mailbox), c.mailbox);
    EXPECT_EQ(FieldText(u.CopyIncoming), c.copy_in);
    EXPECT_EQ(FieldText(u.CopyOutgoing), c.copy_out);
    EXPECT_EQ(FieldText(u.Responder), c.responder);
    EXPECT_EQ(FieldText(u.MailingList), c.list);
    EXPECT_EQ(+u.Options, c.options);
    EXPECT_EQ(FieldText(u.PopAccount), "");
  }
}

// The lines ForEachImportLine finds in a text, with the reads cut into pieces of `piece` bytes.
std::vector<std::string> ImportLines(const std::string& text) {
  std::vector<std::string> lines;
  auto read = [&](char* buffer, size_t size, long long position) -> long long {
    if (position >= static_cast<long long>(text.size())) return 0;
    size_t n = std::min(size, text.size() - static_cast<size_t>(position));
    std::memcpy(buffer, text.data() + position, n);
    return static_cast<long long>(n);
  };
  EXPECT_TRUE(ForEachImportLine(read, [&](std::string_view l) { lines.emplace_back(l); }));
  return lines;
}

TEST(ImportLineTest, ChunksAndLineEnds) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ImportLines("a;b\nc;d\n"), (V{"a;b", "c;d"}));
  EXPECT_EQ(ImportLines("a;b\nc;d"), (V{"a;b"}));  // the last line has no line feed
  EXPECT_EQ(ImportLines("a;b\r\n\r\n  \n   c;d\r\n"), (V{"a;b\r", "c;d\r"}));
  EXPECT_EQ(ImportLines(""), V{});
  EXPECT_EQ(ImportLines("no line feed at all"), V{});
  EXPECT_EQ(ImportLines("\n\n\n"), V{});

  // Lines across the 2048-byte chunk boundary are read whole.
  std::string text;
  V expected;
  for (int i = 0; text.size() < 3 * kImportChunk; ++i) {
    std::string line = "user" + std::to_string(i) + ";example.com;" + std::string(i % 70, 'n');
    expected.push_back(line);
    text += line + "\n";
  }
  EXPECT_EQ(ImportLines(text), expected);

  // A line longer than a chunk is one unreadable line; reading goes on after it.
  std::string huge = "x;" + std::string(5000, 'y');
  EXPECT_EQ(ImportLines("a;b\n" + huge + "\nc;d\n"), (V{"a;b", "", "c;d"}));
  EXPECT_EQ(ImportLines(huge + "\n"), (V{""}));
  EXPECT_EQ(ImportLines("a;b\n" + huge), (V{"a;b"}));  // a long last line without line feed
  EXPECT_EQ(ImportLines(std::string(kImportChunk, 'z') + "\nc;d\n"), (V{"", "c;d"}));
  EXPECT_EQ(ImportLines(std::string(kImportChunk - 1, 'z') + "\nc;d\n"),
            (V{std::string(kImportChunk - 1, 'z'), "c;d"}));
}

TEST_F(TablesTest, ImportUsersAddsPrintsAndCounts) {
  std::string file = tables_.root() + "/users.txt";
  std::string text;
  for (int i = 0; i < 120; ++i)
    text += "user" + std::to_string(i) + ", example.com, Name " + std::to_string(i) + "\r\n";
  text += "user5;example.com\n";  // exists already
  text += "lonely\n";             // no domain
  text += "rem;example.org;;;rem@far.net\n";
  text += "last;example.com";  // no line feed: not read
  WriteFileText(file, text);

  std::FILE* out = std::tmpfile();
  EXPECT_EQ(ImportUsers(tables_.system(), file, out), 2);
  std::string dots;
  for (int i = 1; i <= 123; ++i) {
    dots += '.';
    if (i % 50 == 0) dots += '\n';
  }
  EXPECT_EQ(Drain(out), dots + "\n\n");

  USERSTRUCT u;
  ASSERT_EQ(FindRecord(tables_.system(), "user119", "example.com", &u), 0);
  EXPECT_EQ(FieldText(u.Name), "Name 119");
  EXPECT_EQ(FieldText(u.Mailbox), "user119");
  ASSERT_EQ(FindRecord(tables_.system(), "rem", "", &u), 0);
  EXPECT_EQ(+u.Options, kUserRemote);
  EXPECT_EQ(FieldText(u.Mailbox), "rem@far.net");
  EXPECT_EQ(FindRecord(tables_.system(), "last", "", &u), 1);
  EXPECT_EQ(FindRecord(tables_.system(), "lonely", "", &u), 1);

  EXPECT_EQ(ImportUsers(tables_.system(), tables_.root() + "/missing.txt", nullptr), -1);
  WriteFileText(file, "");
  EXPECT_EQ(ImportUsers(tables_.system(), file, nullptr), 0);
}

// ---- Members --------------------------------------------------------------------------------

TEST_F(TablesTest, MemberFileOperations) {
  std::string file = tables_.File("news.mls");
  EXPECT_EQ(UpdateMember(tables_.system(), file, "a@x", "", "", false), -1);  // no file yet
  EXPECT_EQ(AddMember(tables_.system(), file, "ann@example.com", "Ann"), 0);
  EXPECT_EQ(AddMember(tables_.system(), file, "ANN@EXAMPLE.COM", "Other"), 1);
  EXPECT_EQ(AddMember(tables_.system(), file, "bob@example.com", "Bob"), 0);
  EXPECT_EQ(AddMember(tables_.system(), file, "cyd@example.org", ""), 0);
  EXPECT_EQ(AddMember(tables_.system(), file, "", "nobody"), -1);
  EXPECT_EQ(ReadFileText(file).size(), 3 * 256u);

  LISTSTRUCT list{};
  CopyField(list.FileName, file);
  EXPECT_EQ(ExpandMembers(tables_.system(), list),
            "250-Ann <ann@example.com>\r\n250-Bob <bob@example.com>\r\n250- <cyd@example.org>\r\n");

  EXPECT_EQ(UpdateMember(tables_.system(), file, "bob@*", "robert@example.com", "Robert", false),
            0);
  EXPECT_EQ(UpdateMember(tables_.system(), file, "*@example.org", "", "", true), 0);
  EXPECT_EQ(UpdateMember(tables_.system(), file, "nobody@x", "", "", true), -1);
  EXPECT_EQ(ExpandMembers(tables_.system(), list),
            "250-Ann <ann@example.com>\r\n250-Robert <robert@example.com>\r\n");
  EXPECT_EQ(ReadFileText(file).size(), 2 * 256u);

  EXPECT_EQ(UpdateMember(tables_.system(), file, "ann@example.com", "", "", true), 0);
  EXPECT_EQ(UpdateMember(tables_.system(), file, "robert@example.com", "", "", true), 0);
  EXPECT_EQ(ReadFileText(file), "");  // the only member deleted: an empty file
  EXPECT_EQ(ExpandMembers(tables_.system(), list), "");
  CopyField(list.FileName, "");
  EXPECT_EQ(ExpandMembers(tables_.system(), list), "");
}

TEST_F(TablesTest, MemberFilesWithEmptyAndTornRecords) {
  std::string file = tables_.File("torn.mls");
  MEMBERSTRUCT a{}, empty{};
  CopyField(a.Address, "a@x");
  empty.Name[0] = 'z';  // empty: first byte zero
  WriteFileText(file, std::string(reinterpret_cast<char*>(&empty), 256) +
                          std::string(reinterpret_cast<char*>(&a), 256) + "half a record");
  EXPECT_EQ(AddMember(tables_.system(), file, "a@x", ""), 1);
  EXPECT_EQ(AddMember(tables_.system(), file, "b@x", "B"), 0);  // overwrites the torn tail
  EXPECT_EQ(ReadFileText(file).size(), 3 * 256u);
  LISTSTRUCT list{};
  CopyField(list.FileName, file);
  EXPECT_EQ(ExpandMembers(tables_.system(), list), "250- <a@x>\r\n250-B <b@x>\r\n");
  EXPECT_EQ(CompactMemberFile(file), 0);
  EXPECT_EQ(ReadFileText(file).size(), 2 * 256u);
  // "*" as the address deletes the first real member, not the empty record before it.
  WriteFileText(file, std::string(reinterpret_cast<char*>(&empty), 256) + ReadFileText(file));
  EXPECT_EQ(UpdateMember(tables_.system(), file, "*", "", "", true), 0);
  EXPECT_EQ(ExpandMembers(tables_.system(), list), "250-B <b@x>\r\n");
}

TEST_F(TablesTest, ListMembersThroughTheListAddress) {
  std::string file = tables_.File("news.mls");
  AddList("news", "example.com", file);
  EXPECT_EQ(AddListMember(tables_.system(), "news@example.com", "ann@x", "Ann"), 0);
  EXPECT_EQ(AddListMember(tables_.system(), "<NEWS@example.com>", "ann@x", "Ann"),
            0);  // 0 whatever the add said
  EXPECT_EQ(AddListMember(tables_.system(), "news@example.org", "ann@x", "Ann"), -1);
  EXPECT_EQ(AddListMember(tables_.system(), "other@example.com", "ann@x", "Ann"), -1);
  EXPECT_EQ(ReadFileText(file).size(), 256u);
  EXPECT_EQ(UpdateListMember(tables_.system(), "news@example.com", "nobody@x", "", "", true), 0);
  EXPECT_EQ(UpdateListMember(tables_.system(), "nolist@example.com", "ann@x", "", "", true), -1);
  EXPECT_EQ(UpdateListMember(tables_.system(), "news", "ann@x", "ann@y", "Ann Y", false), 0);
  MEMBERSTRUCT m;
  std::string bytes = ReadFileText(file);
  ASSERT_EQ(bytes.size(), 256u);
  std::memcpy(&m, bytes.data(), 256);
  EXPECT_EQ(FormatMemberLine(m), "ann@y|Ann Y");
}

TEST_F(TablesTest, ListsAreNeverListMembers) {
  // A list as a member (itself, another list, or through a route) would bring every post back.
  std::string file = tables_.File("club.mls");
  AddList("club", "example.com", file);
  AddList("staff", "example.com", tables_.File("staff.mls"));
  AddRoute("news@example.com", "STAFF@example.com", kRouteToMail);
  AddRoute("*@old.example.com", "example.com", kRouteToDomain);
  AddRoute("relay@example.com", "relay.example.net", kRouteToHost);
  for (const char* address : {"club@example.com", "<CLUB@Example.Com>", "staff@example.com",
                              "news@example.com", "staff@old.example.com"}) {
    EXPECT_TRUE(IsListAddress(tables_.system(), address)) << address;
    EXPECT_EQ(AddMember(tables_.system(), file, address, ""), kMemberIsList) << address;
    EXPECT_EQ(AddListMember(tables_.system(), "club@example.com", address, ""), kMemberIsList)
        << address;
  }
  for (const char* address :
       {"ann@example.com", "club@example.org", "ann@old.example.com", "relay@example.com", ""}) {
    EXPECT_FALSE(IsListAddress(tables_.system(), address)) << address;
  }
  EXPECT_EQ(AddListMember(tables_.system(), "club@example.com", "ann@example.com", "Ann"), 0);
  EXPECT_EQ(UpdateMember(tables_.system(), file, "ann@example.com", "staff@example.com", "", false),
            kMemberIsList);
  EXPECT_EQ(UpdateListMember(tables_.system(), "club@example.com", "ann@*", "club@example.com", "",
                             false),
            kMemberIsList);
  EXPECT_EQ(ReadFileText(file).substr(0, 15), "ann@example.com");
  EXPECT_EQ(ReadFileText(file).size(), 256u);
}

TEST_F(TablesTest, ConcurrentMemberAddsLoseNone) {
  std::string file = tables_.File("busy.mls");
  auto adder = [&](char tag) {
    for (int i = 0; i < 100; ++i)
      AddMember(tables_.system(), file, std::string(1, tag) + std::to_string(i) + "@x", "");
  };
  std::thread a(adder, 'a'), b(adder, 'b');
  a.join();
  b.join();
  EXPECT_EQ(ReadFileText(file).size(), 200 * 256u);
}

}  // namespace
}  // namespace qv
