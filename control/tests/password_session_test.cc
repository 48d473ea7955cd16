#include "control/password_session.h"

#include <gtest/gtest.h>

#include <string>

#include "common/recordstore.h"
#include "common/testing/table_env.h"
#include "control/control_texts.h"

namespace qv::control {
namespace {

using qv::testing::MakeUser;
using qv::testing::ScopedTables;

class PasswordSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    USERSTRUCT u = MakeUser("ann", "example.com", "OldPw");
    ASSERT_EQ(AddRecord(tables_.system(), &u), 0);
    USERSTRUCT empty = MakeUser("eve", "example.com", "");
    ASSERT_EQ(AddRecord(tables_.system(), &empty), 0);
  }
  std::string StoredPassword(const char* alias) {
    USERSTRUCT u{};
    EXPECT_EQ(FindRecord(tables_.system(), alias, "example.com", &u), 0);
    return u.Password;
  }
  ScopedTables tables_;
};

TEST_F(PasswordSessionTest, ChangesThePasswordOnceAndCloses) {
  PasswordSession s(tables_.system());
  EXPECT_EQ(s.Dispatch("USER ann@example.com\r\n").text, kPwOk);
  EXPECT_EQ(s.Dispatch("PASS oldpw\r\n").text, kPwOk);  // any letter case
  SessionReply r = s.Dispatch("NEWPASS fresh\r\n");
  EXPECT_EQ(r.text, kPwOk);
  EXPECT_EQ(r.code, kReplyNormal);
  EXPECT_TRUE(r.close);
  EXPECT_FALSE(r.delayed);
  EXPECT_EQ(StoredPassword("ann"), "fresh");
  EXPECT_EQ(s.Dispatch("QUIT").code, kReplyNone);
}

TEST_F(PasswordSessionTest, OrderOfCommandsIsEnforced) {
  PasswordSession s(tables_.system());
  SessionReply r = s.Dispatch("PASS x");
  EXPECT_EQ(r.text, kPwSyntaxError);
  EXPECT_EQ(r.code, kReplyError);
  EXPECT_EQ(s.state(), PasswordState::kNew);
  EXPECT_EQ(s.Dispatch("NEWPASS x").text, kPwSyntaxError);
  EXPECT_EQ(s.Dispatch("HELO").text, kPwSyntaxError);
  EXPECT_EQ(s.Dispatch("").text, kPwSyntaxError);
  EXPECT_EQ(s.Dispatch("userann@example.com").text, kPwOk);
  EXPECT_EQ(s.user(), "ann@example.com");
  EXPECT_EQ(s.Dispatch("USER other").text, kPwSyntaxError);
  EXPECT_EQ(s.Dispatch("PASS OLDPW").text, kPwOk);
  EXPECT_FALSE(s.Dispatch("PASS again").close);
  // NEWPX counts as NEWPASS; its argument starts after the seventh character.
  EXPECT_EQ(s.Dispatch("NEWPXYZabc").text, kPwOk);
  EXPECT_EQ(StoredPassword("ann"), "abc");
}

TEST_F(PasswordSessionTest, FailuresAreDelayedAndEndTheConnection) {
  struct Case {
    const char* user;
    const char* old_password;
    std::string new_password;
    const char* reply;
  } cases[] = {
      {"nobody@example.com", "x", "y", kPwInvalidUser},
      {"ann@example.com", "wrong", "y", kPwInvalidPassword},
      // A record without a password takes no password, not even an empty one.
      {"eve@example.com", "something", "y", kPwInvalidPassword},
      {"eve@example.com", "", "y", kPwInvalidPassword},
      // A new password must be given.
      {"ann@example.com", "oldpw", "", kPwInvalidPassword},
      {"ann@example.com", "oldpw", "   ", kPwInvalidPassword},
      {"ann@example.com", "oldpw", std::string(81, 'n'), kPwInvalidPassword},
      {"ann@example.com", "oldpw", "a|b", kPwInvalidPassword},
  };
  for (const Case& c : cases) {
    PasswordSession s(tables_.system());
    s.Dispatch(std::string("USER ") + c.user);
    s.Dispatch(std::string("PASS ") + c.old_password);
    SessionReply r = s.Dispatch("NEWPASS " + c.new_password);
    EXPECT_EQ(r.text, c.reply) << c.user << " " << c.old_password;
    EXPECT_TRUE(r.delayed);
    EXPECT_TRUE(r.close);
  }
  EXPECT_EQ(StoredPassword("ann"), "OldPw");
  EXPECT_EQ(StoredPassword("eve"), "");
  // The longest password the record holds is taken.
  PasswordSession s(tables_.system());
  s.Dispatch("USER ann@example.com");
  s.Dispatch("PASS OldPw");
  EXPECT_EQ(s.Dispatch("NEWPASS " + std::string(80, 'n')).text, kPwOk);
  EXPECT_EQ(StoredPassword("ann"), std::string(80, 'n'));
}

TEST_F(PasswordSessionTest, OverlongUserAndPasswordAreRefused) {
  PasswordSession s(tables_.system());
  EXPECT_EQ(s.Dispatch("USER " + std::string(128, 'u')).text, kPwInvalidUser);
  EXPECT_EQ(s.state(), PasswordState::kNew);
  EXPECT_EQ(s.Dispatch("USER ann@example.com").text, kPwOk);
  EXPECT_EQ(s.Dispatch("PASS " + std::string(128, 'p')).text, kPwInvalidPassword);
  EXPECT_EQ(s.state(), PasswordState::kUserGiven);
  SessionReply r = s.Dispatch("quit");
  EXPECT_EQ(r.text, kPwOk);
  EXPECT_TRUE(r.close);
}

}  // namespace
}  // namespace qv::control
