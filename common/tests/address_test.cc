#include "common/address.h"

#include <gtest/gtest.h>

#include <string>

namespace qv {
namespace {

using namespace std::string_literals;

struct SplitCase {
  std::string text;
  int result;
  std::string local;
  std::string domain;
};

TEST(SplitAddressTest, Table) {
  const SplitCase cases[] = {
      {"ann@example.com", 1, "ann", "example.com"},
      {"<ann@example.com>", 1, "ann", "example.com"},
      {"\"Ann Lee\" <ann@example.com>", 1, "ann", "example.com"},
      {"Ann Lee <ann@example.com>\r\n", 1, "ann", "example.com"},
      {"   ann@example.com   \r\n", 1, "ann", "example.com"},
      {"ann@example.com; bob@example.org", 1, "ann", "example.com"},
      {"ann@example.com\"rest", 1, "ann", "example.com"},
      {"ann@example.com other", 1, "ann", "example.com"},
      {"\"ann\"@example.com", 1, "", "example.com"},  // starts after the quote before the "@"
      {"a@b@c", 1, "a", "b@c"},                       // the first "@" splits
      {"<<a@b>>", 1, "a", "b"},
      {"@example.com", 1, "", "example.com"},
      {"ann@", 1, "ann", ""},
      {"@", 1, "", ""},
      {"postmaster", 0, "postmaster", ""},
      {"  postmaster \r\n", 0, "postmaster", ""},
      {"<postmaster>", 0, "<postmaster>", ""},
      {"", 0, "", ""},
      {"   \r\n", 0, "", ""},
      {"ann\0@example.com"s, 0, "ann", ""},  // a NUL ends the text
      {"ann@exa\0mple.com"s, 1, "ann", "exa"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string local = "stale", domain = "stale";
    EXPECT_EQ(SplitAddress(c.text, &local, &domain), c.result);
    EXPECT_EQ(local, c.local);
    EXPECT_EQ(domain, c.domain);
  }
}

TEST(SplitAddressTest, NullOutputsAndHugeText) {
  EXPECT_EQ(SplitAddress("a@b", nullptr, nullptr), 1);
  std::string huge(8000, 'x');
  std::string text = huge + "@" + huge + ">";
  std::string local, domain;
  EXPECT_EQ(SplitAddress(text, &local, &domain), 1);
  EXPECT_EQ(local, huge);
  EXPECT_EQ(domain, huge);
}

struct ExtractCase {
  std::string text;
  size_t result;
  std::string address;
};

TEST(ExtractAddressTest, Table) {
  const ExtractCase cases[] = {
      {"<ann@example.com>", 0, "ann@example.com"},
      {"ann@example.com", 0, "ann@example.com"},
      {"<ann@example.com> SIZE=1000", 0, "ann@example.com"},
      {"\"Ann\" <ann@example.com>\r\n", 0, "ann@example.com"},
      {"<ann@example.com>;<bob@example.org>", 18, "ann@example.com"},
      {"a@b;c@d", 4, "a@b;c@d"},  // ";" does not end an address, only marks the next one
      {";", 1, ";"},              // without "@" only CR, LF, ">" and a double quote end it
      {"<>", 0, ""},
      {"<<<postmaster>", 0, "postmaster"},
      {"postmaster\r\n", 0, "postmaster"},
      {"post master", 0, "post master"},  // without "@" a blank does not end it
      {"<a\"b>", 0, "a"},
      {"", 0, ""},
      {"<ann@exa\0mple.com>;x"s, 0, "ann@exa"},  // NUL ends the text, so no ";" is seen
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string address = "stale";
    EXPECT_EQ(ExtractAddress(c.text, &address), c.result);
    EXPECT_EQ(address, c.address);
  }
}

TEST(ExtractAddressTest, ResultWalksAList) {
  std::string list = "<a@x>;<b@y>;c@z";
  std::string_view rest = list;
  std::string got;
  for (;;) {
    std::string address;
    size_t next = ExtractAddress(rest, &address);
    got += address + "|";
    if (next == 0) break;
    rest.remove_prefix(next);
  }
  EXPECT_EQ(got, "a@x|b@y|c@z|");
}

struct HeaderCase {
  std::string line;
  std::string field;
  bool found;
  std::string value;
};

TEST(GetHeaderValueTest, Table) {
  const HeaderCase cases[] = {
      {"Subject: Hello there\r\n", "Subject", true, "Hello there"},
      {"subject:Hello", "SUBJECT", true, "Hello"},
      {"  \tSubject \t:  \t x y \r\n", "Subject", true, "x y "},
      {"Subject:", "Subject", true, ""},
      {"Subject: a\r\nFrom: b", "Subject", true, "a"},
      {"Subject: a: b", "Subject", true, "a: b"},
      {"From: x", "Subject", false, ""},
      {"Subjects: x", "Subject", false, ""},
      {"Sub: x", "Subject", false, ""},
      {"Subject x", "Subject", false, ""},
      {"Subject x: y", "Subject", false, ""},
      {"Subject", "Subject", false, ""},
      {"", "Subject", false, ""},
      {"Reply-To: a@b", "Reply-To:", true, "a@b"},  // a colon in the field name is ignored
      {"X-Mailer: v\0hidden"s, "X-Mailer", true, "v"},
      {"X-Mai\0ler: v"s, "X-Mailer", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line + " / " + c.field);
    std::string value = "stale";
    EXPECT_EQ(GetHeaderValue(c.line, c.field, &value), c.found);
    EXPECT_EQ(value, c.value);
  }
  EXPECT_TRUE(GetHeaderValue("To: x", "to", nullptr));
}

struct MaskCase {
  std::string mask;
  std::string text;
  int result;
};

TEST(MatchMaskTest, Table) {
  const MaskCase cases[] = {
      // Whole comparison without stars.
      {"example.com", "example.com", 0},
      {"EXAMPLE.com", "example.COM", 0},
      {"example.com", "example.co", 1},
      {"", "", 0},
      {"", "x", 1},
      // Stars.
      {"*", "", 0},
      {"*", "anything", 0},
      {"*.example.com", "mail.example.com", 0},
      {"*.example.com", "example.com", 1},
      {"*.EXAMPLE.com", "a.b.example.COM", 0},
      {"post*", "postmaster", 0},
      {"post*", "pos", 1},
      {"a*z", "az", 0},
      {"a*z", "abcz", 0},
      {"a*z", "abcy", 1},
      {"**", "x", 0},
      // Inner pieces stand at the current position and are never searched for.
      {"a*b*z", "abz", 0},
      {"a*b*z", "abxxz", 0},
      {"a*b*z", "axbz", 1},
      {"*b*", "bcd", 0},
      {"*b*", "abc", 1},
      {"*-request@*", "list-request@x", 1},
      // The last piece is compared with the end, even when it overlaps what the first matched.
      {"ab*b", "ab", 0},
      {"abc*", "ab", 1},
      {"*abc", "bc", 1},
      // With no star in the mask but one in the text, the text is the mask.
      {"mail.example.com", "*.example.com", 0},
      {"mail.example.org", "*.example.com", 1},
      // With stars in both, the mask's stars count and the text's star is a plain character.
      {"a*", "*", 1},
      {"*", "*", 0},
      // A NUL ends either text.
      {"abc\0def"s, "abc", 0},
      {"a*\0z"s, "aqq", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mask=" + c.mask + " text=" + c.text);
    EXPECT_EQ(MatchMask(c.mask, c.text), c.result);
  }
}

TEST(MatchMaskTest, HugeTexts) {
  std::string big(10000, 'q');
  EXPECT_EQ(MatchMask("*" + big, "x" + big), 0);
  EXPECT_EQ(MatchMask(big + "*", big), 0);
  EXPECT_EQ(MatchMask(big + "r*", big), 1);
}

struct ListCase {
  std::string text;
  std::string list;
  int result;
};

TEST(MatchMaskListTest, Table) {
  std::string long_item(300, 'a');
  const ListCase cases[] = {
      {"ann@example.com", "bob@*;ann@*", 1},
      {"ann@example.com", "bob@*;carl@*", 0},
      {"ann@example.com", "", 0},
      {"ann@example.com", ";;;", 0},
      {"ann@example.com", ";;ann@example.com;;", 1},
      {"ann@example.com", "bob@*; ann@*", 0},  // items are not trimmed
      {"MAILER-DAEMON@x", "mailer-daemon@*", 1},
      {"", ";", 0},
      {"", "*", 1},
      // Items are cut to 255 characters before they are compared.
      {std::string(255, 'a'), long_item, 1},
      {long_item, long_item, 0},
      {"x", "y\0x"s, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text=" + c.text + " list=" + c.list);
    EXPECT_EQ(MatchMaskList(c.text, c.list), c.result);
  }
}

}  // namespace
}  // namespace qv
