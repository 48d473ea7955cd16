// Recipients: the kind each resolver gives every sort of address, and the text form that log
// lines show.
#include "mail/recipient.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/accounts.h"
#include "common/config.h"
#include "common/tables.h"
#include "mail/tests/mail_env_util.h"

namespace qv::mail {
namespace {

using testing::MailEnv;
using Kind = RecipientKind;

class RecipientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddUser("bob", "example.test", "Bob");
    env_.AddList("staff", "example.test", "Staff", env_.config() + "/staff.mls");
    env_.AddCommand("run", "example.test", "Run", "/bin/true");
    env_.AddRoute("*@old.example.test", kRouteToDomain, "example.test");
    SetSystemAccountSource([](const std::string& name, SystemAccount* account) {
      if (name != "sys") return false;
      *account = SystemAccount{"sys", "System User", {"mailusers"}};
      return true;
    });
    CopyField(env_.system().NTUser, "mailusers");
    CopyField(env_.system().NTDomain, "nt.example");
    env_.system().Flags |= kSysNtUser;
  }
  void TearDown() override { SetSystemAccountSource(nullptr); }

  MailEnv env_;
};

// Every kind an address of a table can come to, with accounts taken or left to the queue.
TEST_F(RecipientTest, TargetsResolveToEveryKind) {
  struct Case {
    const char* target;
    bool accounts;
    Kind kind;
  };
  const Case cases[] = {
      {"bob@example.test", true, Kind::kUser},
      {"BOB@example.test", false, Kind::kUser},
      {"nobody@example.test", true, Kind::kUser},  // an unknown name of a local domain
      {"staff@example.test", true, Kind::kList},
      {"run@example.test", true, Kind::kCommand},
      {"sys@nt.example", true, Kind::kAccount},
      {"sys@nt.example", false, Kind::kForward},       // forwarding of unknown users
      {"bob@old.example.test", true, Kind::kForward},  // a route is no local kind
      {"far@remote.test", true, Kind::kForward},
  };
  for (const Case& c : cases) {
    Recipient r = ResolveTarget(env_.system(), c.target, "given@example.test", false, c.accounts);
    EXPECT_EQ(r.kind, c.kind) << c.target << " " << c.accounts;
    // The target is kept as written and the given address apart from it.
    EXPECT_EQ(r.address, c.target);
    EXPECT_EQ(r.given, "given@example.test");
    EXPECT_EQ(r.local(), c.kind != Kind::kForward) << c.target;
  }
}

// Copies go to users of the user table only; members and replies to users and accounts.
TEST_F(RecipientTest, CopiesAndMembersKnowFewerKinds) {
  struct Case {
    const char* local;
    const char* domain;
    Kind copy;
    Kind member;
  };
  const Case cases[] = {
      {"bob", "example.test", Kind::kUser, Kind::kUser},
      {"staff", "example.test", Kind::kForward, Kind::kForward},
      {"run", "example.test", Kind::kForward, Kind::kForward},
      {"sys", "nt.example", Kind::kForward, Kind::kAccount},
      {"far", "remote.test", Kind::kForward, Kind::kForward},
  };
  for (const Case& c : cases) {
    std::string address = std::string(c.local) + "@" + c.domain;
    EXPECT_EQ(ResolveCopy(env_.system(), address, "").kind, c.copy) << address;
    EXPECT_EQ(ResolveMember(env_.system(), c.local, c.domain).kind, c.member) << address;
  }
}

TEST_F(RecipientTest, KindsOfClassifiedAddresses) {
  EXPECT_EQ(KindOfAddress(kAddressUser), Kind::kUser);
  EXPECT_EQ(KindOfAddress(kAddressList), Kind::kList);
  EXPECT_EQ(KindOfAddress(kAddressCommand), Kind::kCommand);
  EXPECT_EQ(KindOfAddress(kAddressAccount), Kind::kAccount);
  EXPECT_EQ(KindOfAddress(kAddressRoute), Kind::kForward);
  EXPECT_EQ(KindOfAddress(kAddressForeign), Kind::kForward);
}

TEST(RecipientText, WritesAndReadsEveryKind) {
  struct Case {
    Recipient recipient;
    const char* text;
  };
  const Case cases[] = {
      {{Kind::kUser, "bob@example.test", "Bob@Example.test"},
       "[U]bob@example.test!Bob@Example.test"},
      {{Kind::kList, "staff@example.test", ""}, "[L]staff@example.test"},
      {{Kind::kCommand, "run@example.test", ""}, "[X]run@example.test"},
      {{Kind::kAccount, "sys@nt.example", ""}, "[N]sys@nt.example"},
      {{Kind::kForward, "far@remote.test", "x@example.test"}, "far@remote.test!x@example.test"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RecipientText(c.recipient), c.text);
    std::vector<Recipient> read = ParseRecipients(c.text, c.recipient.local());
    ASSERT_EQ(read.size(), 1u) << c.text;
    EXPECT_EQ(read[0], c.recipient) << c.text;
    EXPECT_EQ(read[0].for_address(),
              c.recipient.given.empty() ? c.recipient.address : c.recipient.given);
  }
}

TEST(RecipientText, ListsOfEitherSort) {
  // A local list: blanks or ";" between entries, tags without regard to case, an untagged entry
  // a user, an unknown tag dropped.
  std::vector<Recipient> local = ParseRecipients(" [u]a@x;b@y  [Q]c@z;;[l]d@x!e@y ", true);
  ASSERT_EQ(local.size(), 3u);
  EXPECT_EQ(local[0], (Recipient{Kind::kUser, "a@x", ""}));
  EXPECT_EQ(local[1], (Recipient{Kind::kUser, "b@y", ""}));
  EXPECT_EQ(local[2], (Recipient{Kind::kList, "d@x", "e@y"}));
  // A forward list: blanks only, and every entry queued whatever its tag.
  std::vector<Recipient> forward = ParseRecipients("[U]a@x b@y;c@z", false);
  ASSERT_EQ(forward.size(), 2u);
  EXPECT_EQ(forward[0], (Recipient{Kind::kForward, "a@x", ""}));
  EXPECT_EQ(forward[1], (Recipient{Kind::kForward, "b@y;c@z", ""}));
  EXPECT_EQ(RecipientListText(local), "[U]a@x [U]b@y [L]d@x!e@y");
  EXPECT_TRUE(ParseRecipients("  ", true).empty());
  EXPECT_EQ(RecipientListText({}), "");
}

}  // namespace
}  // namespace qv::mail
