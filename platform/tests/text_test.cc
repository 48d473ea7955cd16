#include "platform/text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/testing/test_env.h"
#include "platform/fileio.h"

namespace qv {
namespace {

TEST(Text, TrimRemovesBlanksAtBothEnds) {
  struct Case {
    std::string_view text, trimmed, line;  // Trim and TrimLine
  };
  const Case cases[] = {
      {"", "", ""},
      {" \t ", "", ""},
      {"  key = value\t", "key = value", "key = value"},
      {"inner  blanks", "inner  blanks", "inner  blanks"},
      // A carriage return ends a line only at its end, behind or among the blanks there.
      {"value\r", "value\r", "value"},
      {"value \r\t\r", "value \r\t\r", "value"},
      {"\rvalue", "\rvalue", "\rvalue"},
      {" \r", "\r", ""},
      {"a\nb ", "a\nb", "a\nb"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Trim(c.text), c.trimmed) << '"' << c.text << '"';
    EXPECT_EQ(TrimLine(c.text), c.line) << '"' << c.text << '"';
  }
}

TEST(Text, CaseFoldingTouchesAsciiLettersOnly) {
  const std::string all = [] {
    std::string text;
    for (int c = 0; c < 256; ++c) text += static_cast<char>(c);
    return text;
  }();
  for (char c : all) {
    const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
    EXPECT_EQ(LowerAscii(c), upper ? static_cast<char>(c + 32) : c) << static_cast<int>(c);
    EXPECT_EQ(UpperAscii(c), lower ? static_cast<char>(c - 32) : c) << static_cast<int>(c);
  }
}

TEST(FileIo, ExistsFollowsLinksUnlessAskedNotTo) {
  testing::TempDir dir;
  testing::WriteFileText(dir.Sub("file"), "x");
  ASSERT_EQ(symlink("file", dir.Sub("link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", dir.Sub("dangling").c_str()), 0);
  struct Case {
    const char* name;
    bool followed, as_itself;
  };
  const Case cases[] = {
      {"file", true, true},      {"link", true, true}, {"dangling", false, true},
      {"missing", false, false}, {"", true, true},  // the folder itself
  };
  for (const Case& c : cases) {
    std::string path = *c.name != '\0' ? dir.Sub(c.name) : dir.path();
    EXPECT_EQ(platform::Exists(path), c.followed) << c.name;
    EXPECT_EQ(platform::Exists(path, platform::Links::kAsThemselves), c.as_itself) << c.name;
  }
}

}  // namespace
}  // namespace qv
