#include "common/strings.h"

#include <gtest/gtest.h>

#include <string>

namespace qv {
namespace {

TEST(StringsTest, ComparesAsciiWithoutCaseAndBytesAsThemselves) {
  EXPECT_TRUE(EqualsNoCase("Reply-To", "REPLY-TO"));
  EXPECT_FALSE(EqualsNoCase("To", "To:"));
  // Only ASCII letters fold: bytes above 127 and punctuation compare as they are.
  EXPECT_FALSE(EqualsNoCase("\xe4", "\xc4"));
  EXPECT_FALSE(EqualsNoCase("[", "{"));
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  EXPECT_GT(CompareNoCase("abcd", "ABC"), 0);
  EXPECT_EQ(CompareNoCase(std::string("a\0b", 3), std::string("A\0B", 3)), 0);
  EXPECT_TRUE(StartsWithNoCase("pass secret", "PASS"));
  EXPECT_FALSE(StartsWithNoCase("PA", "PASS"));
  EXPECT_TRUE(EndsWithNoCase("x.OUT", ".out"));
  EXPECT_FALSE(EndsWithNoCase("t", ".out"));
  EXPECT_EQ(FindNoCase("Reply-To: a\r\nTO: b", "to:", 0), 6u);
  EXPECT_EQ(FindNoCase("Reply-To: a\r\nTO: b", "to:", 7), 13u);
  EXPECT_EQ(FindNoCase("ab", "abc"), std::string::npos);
}

TEST(StringsTest, FormatsTextsOfAnyLength) {
  EXPECT_EQ(Format("%d %s", 250, "OK"), "250 OK");
  std::string long_text(5000, 'x');
  EXPECT_EQ(Format("<%s>", long_text.c_str()), "<" + long_text + ">");
  EXPECT_EQ(Format("%s", ""), "");
}

}  // namespace
}  // namespace qv
