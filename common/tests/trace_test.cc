#include "common/trace.h"

#include <gtest/gtest.h>

#include <regex>

#include "common/config.h"
#include "common/testing/test_env.h"
#include "platform/registry.h"

namespace qv {
namespace {

using qv::testing::ReadFileText;
using qv::testing::ScopedSystemRoot;
using qv::testing::TempDir;

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { TraceInit(999, 999, kTraceToFile, 0, file_.c_str(), "qvtest"); }
  void TearDown() override { TraceInit(999, 999, 5, 0x132, nullptr, nullptr); }
  TempDir dir_;
  std::string file_ = dir_.Sub("trace.log");
};

TEST_F(TraceTest, PrefixFormats) {
  struct Case {
    long mex;
    const char* pattern;
  } cases[] = {
      {0, "^line\r\n$"},
      {0x100, "^\\[qvtest\\] line\r\n$"},
      {0x3, "^\\[\\d{6} @\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] line\r\n$"},
      {0x1, "^\\[\\d{6}\\] line\r\n$"},
      {0x2, "^\\[@\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] line\r\n$"},
      {0x30, "^\\[pid=[0-9a-f]+, tid=[0-9a-f]+\\] line\r\n$"},
      {0x10, "^\\[pid=[0-9a-f]+\\] line\r\n$"},
      {0x20, "^\\[tid=[0-9a-f]+\\] line\r\n$"},
      {0x132, "^\\[@[0-9:.]+\\] \\[pid=[0-9a-f]+, tid=[0-9a-f]+\\] \\[qvtest\\] line\r\n$"},
  };
  for (const auto& c : cases) {
    unlink(file_.c_str());
    TracePrintEx(c.mex, -1, "%s\r\n", "line");
    std::string text = ReadFileText(file_);
    EXPECT_TRUE(std::regex_search(text, std::regex(c.pattern))) << c.mex << ": " << text;
  }
  TraceSet(kTraceClientId, "");
  unlink(file_.c_str());
  TracePrintEx(0x100, -1, "x");
  EXPECT_EQ(ReadFileText(file_), "x");
}

TEST_F(TraceTest, SettingsAndLongLines) {
  long value = 0;
  std::string text;
  EXPECT_TRUE(TraceGet(kTraceLevel, &value, nullptr));
  EXPECT_EQ(value, 999);
  TraceSet(kTraceLevel, 27);
  EXPECT_EQ(TraceLevel(), 27);
  TraceSet(42, 5);
  EXPECT_FALSE(TraceGet(42, &value, &text));
  EXPECT_TRUE(TraceGet(kTraceLogfile, nullptr, &text));
  EXPECT_EQ(text, file_);
  TracePrint("%s", std::string(2000, 'x').c_str());
  EXPECT_EQ(ReadFileText(file_).size(), 639u);
  EXPECT_STREQ(TraceText(nullptr), "(null)");
  EXPECT_STREQ(TraceText("a"), "a");
  // No output bits: nothing written anywhere.
  unlink(file_.c_str());
  TracePrintEx(0, 0, "quiet");
  EXPECT_EQ(ReadFileText(file_), "");
}

TEST_F(TraceTest, RegistryOverridesOnlyMatchingTypes) {
  ScopedSystemRoot root;
  EXPECT_FALSE(TraceReadRegistry(kTraceKey));
  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kTraceKey, "", &key), reg::kSuccess);
  reg::SetString(&key, "DbgLevel", "27");  // text: ignored
  reg::SetDword(&key, "DbgOutTo", 2);
  reg::SetDword(&key, "DbgMex", 0x100);
  reg::SetString(&key, "DbgClientId", "fromreg");
  TraceInitService("qvsmtp95");
  EXPECT_EQ(TraceLevel(), 999);
  long out = 0, mex = 0;
  std::string client;
  TraceGet(kTraceOutTo, &out, nullptr);
  TraceGet(kTraceMex, &mex, nullptr);
  TraceGet(kTraceClientId, nullptr, &client);
  EXPECT_EQ(out, 2);
  EXPECT_EQ(mex, 0x100);
  EXPECT_EQ(client, "fromreg");
  std::string logfile;
  TraceGet(kTraceLogfile, nullptr, &logfile);
  EXPECT_EQ(logfile, "/tmp/dbgdump.log");
}

}  // namespace
}  // namespace qv
