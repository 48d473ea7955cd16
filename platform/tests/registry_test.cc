#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/testing/test_env.h"

namespace qv::reg {
namespace {

using qv::testing::ReadFileText;
using qv::testing::ScopedSystemRoot;
using qv::testing::WriteFileText;

constexpr char kKey[] = "System\\CurrentControlSet\\Services\\QuorvaneSmtp\\Parameters";

std::string Text(const Key& key, const char* name, long* rc = nullptr) {
  char buf[512] = {};
  uint32_t type = 0, size = sizeof buf;
  long r = QueryValue(key, name, &type, buf, &size);
  if (rc) *rc = r;
  return r == kSuccess ? std::string(buf) : std::string("<missing>");
}

TEST(Registry, MissingFileAndRootAreAnEmptyRegistry) {
  ScopedSystemRoot root;
  setenv("QUORVANE_SYSTEM", (root.path() + "/does/not/exist").c_str(), 1);
  Key key;
  EXPECT_EQ(OpenKey(kKey, &key), kFileNotFound);
  EXPECT_FALSE(key.valid());
  // Writing creates the root.
  ASSERT_EQ(CreateKey(kKey, "QuorvaneSmtp", &key), kSuccess);
  EXPECT_EQ(SetString(&key, "ExchangeHost", "relay"), kSuccess);
  EXPECT_EQ(Text(key, "ExchangeHost"), "relay");
}

TEST(Registry, RoundTripsTextsNumbersAndEscapes) {
  ScopedSystemRoot root;
  Key key;
  ASSERT_EQ(CreateKey(kKey, "QuorvaneSmtp", &key), kSuccess);
  const std::vector<std::string> texts = {
      "",         "plain",     "c:\\Quorvane\\log\\", "say \"hi\"",
      "\\\"\\\\", "tab\there", "semi;colon=eq",       "line\r\nbreak"};
  for (size_t i = 0; i < texts.size(); ++i)
    ASSERT_EQ(SetString(&key, "T" + std::to_string(i), texts[i]), kSuccess);
  ASSERT_EQ(SetDword(&key, "Port", 0xfffffffe), kSuccess);
  CloseKey(&key);

  ASSERT_EQ(OpenKey(kKey, &key), kSuccess);
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string name = "T" + std::to_string(i);
    std::vector<char> buf(texts[i].size() + 1);
    uint32_t type = 0, size = static_cast<uint32_t>(buf.size());
    ASSERT_EQ(QueryValue(key, name, &type, buf.data(), &size), kSuccess) << name;
    EXPECT_EQ(type, kSz);
    EXPECT_EQ(std::string(buf.data(), size - 1), texts[i]) << name;
  }
  uint32_t n = 0, type = 0, size = 4;
  ASSERT_EQ(QueryValue(key, "PORT", &type, &n, &size), kSuccess);
  EXPECT_EQ(type, kDword);
  EXPECT_EQ(n, 0xfffffffeu);
  std::string file = ReadFileText(RegistryFilePath());
  EXPECT_EQ(file.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_NE(file.find("\"Port\"=dword:fffffffe\r\n"), std::string::npos);
  EXPECT_NE(file.find("\"T2\"=\"c:\\\\Quorvane\\\\log\\\\\"\r\n"), std::string::npos);
}

TEST(Registry, TextMustFitWithItsTerminatingZero) {
  ScopedSystemRoot root;
  Key key;
  ASSERT_EQ(CreateKey(kKey, "", &key), kSuccess);
  ASSERT_EQ(SetString(&key, "Name", "abcd"), kSuccess);
  char buf[8];
  uint32_t type = 0, size = 4;
  EXPECT_EQ(QueryValue(key, "Name", &type, buf, &size), kMoreData);
  EXPECT_EQ(size, 5u);
  size = 5;
  EXPECT_EQ(QueryValue(key, "Name", &type, buf, &size), kSuccess);
  EXPECT_STREQ(buf, "abcd");
  size = 0;
  EXPECT_EQ(QueryValue(key, "Name", &type, nullptr, &size), kSuccess);
  EXPECT_EQ(size, 5u);
}

TEST(Registry, NamesCompareWithoutCaseAndKeepFirstSpelling) {
  ScopedSystemRoot root;
  Key key;
  ASSERT_EQ(CreateKey("Software\\Brennock\\Quorvane", "", &key), kSuccess);
  ASSERT_EQ(SetDword(&key, "Flags", 1), kSuccess);
  Key other;
  ASSERT_EQ(CreateKey("SOFTWARE\\BRENNOCK\\QUORVANE", "", &other), kSuccess);
  ASSERT_EQ(SetDword(&other, "FLAGS", 3), kSuccess);
  std::string file = ReadFileText(RegistryFilePath());
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\Software\\Brennock\\Quorvane]"), std::string::npos);
  EXPECT_NE(file.find("\"Flags\"=dword:00000003"), std::string::npos);
  EXPECT_EQ(file.find("FLAGS"), std::string::npos);
  // A parent of an existing key opens; a sibling does not.
  EXPECT_EQ(OpenKey("software\\brennock", &key), kSuccess);
  EXPECT_EQ(OpenKey("software\\bren", &key), kFileNotFound);
}

TEST(Registry, GarbageLinesAreSkippedOthersKept) {
  ScopedSystemRoot root;
  WriteFileText(RegistryFilePath(),
                "Windows Registry Editor Version 5.00\n"
                "\"Orphan\"=\"no key yet\"\n"
                "[HKEY_LOCAL_MACHINE\\K]\n"
                "\"Good\"=\"yes\"\n"
                "garbage line without equals\n"
                "\"Unterminated=\"x\n"
                "\"BadDword\"=dword:xyz\n"
                "\"TooLong\"=dword:123456789\n"
                "\"Bin\"=hex:01,02,ff\n"
                "\"Multi\"=hex(7):41,00,00,00\n"
                "\"Cont\"=hex:01,\\\n  02\n"
                "[HKLM\\Short]\n"
                "@=\"default\"\n"
                "[broken\n");
  static std::vector<std::string> lines;
  lines.clear();
  SetDiagnosticSink([](const char* line) { lines.push_back(line); });
  Key key;
  ASSERT_EQ(OpenKey("K", &key), kSuccess);
  EXPECT_EQ(Text(key, "Good"), "yes");
  long rc = 0;
  Text(key, "BadDword", &rc);
  EXPECT_EQ(rc, kFileNotFound);
  uint8_t bin[8];
  uint32_t type = 0, size = sizeof bin;
  ASSERT_EQ(QueryValue(key, "Bin", &type, bin, &size), kSuccess);
  EXPECT_EQ(type, kBinary);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(bin[2], 0xff);
  size = sizeof bin;
  ASSERT_EQ(QueryValue(key, "Multi", &type, bin, &size), kSuccess);
  EXPECT_EQ(type, kMultiSz);
  size = sizeof bin;
  ASSERT_EQ(QueryValue(key, "Cont", &type, bin, &size), kSuccess);
  EXPECT_EQ(size, 2u);
  ASSERT_EQ(OpenKey("Short", &key), kSuccess);
  EXPECT_EQ(Text(key, ""), "default");
  EXPECT_GE(lines.size(), 5u);
  SetDiagnosticSink(nullptr);
  // Other types survive a rewrite byte for byte.
  ASSERT_EQ(CreateKey("K", "", &key), kSuccess);
  ASSERT_EQ(SetString(&key, "New", "v"), kSuccess);
  std::string file = ReadFileText(RegistryFilePath());
  EXPECT_NE(file.find("\"Multi\"=hex(7):41,00,00,00"), std::string::npos);
  EXPECT_NE(file.find("\"Bin\"=hex:01,02,ff"), std::string::npos);
}

TEST(Registry, DeleteValueAndReadOnlyKeys) {
  ScopedSystemRoot root;
  Key key;
  ASSERT_EQ(CreateKey("K", "", &key), kSuccess);
  ASSERT_EQ(SetString(&key, "A", "1"), kSuccess);
  EXPECT_EQ(DeleteValue(&key, "a"), kSuccess);
  EXPECT_EQ(DeleteValue(&key, "a"), kFileNotFound);
  Key ro;
  ASSERT_EQ(OpenKey("K", &ro), kSuccess);
  EXPECT_EQ(SetString(&ro, "A", "1"), kAccessDenied);
  Key closed;
  EXPECT_EQ(SetString(&closed, "A", "1"), kInvalidHandle);
}

TEST(Registry, FileIsPrivate) {
  ScopedSystemRoot root;
  Key key;
  ASSERT_EQ(CreateKey("K", "", &key), kSuccess);
  ASSERT_EQ(SetString(&key, "RASPassword", "secret"), kSuccess);
  struct stat st {};
  ASSERT_EQ(stat(RegistryFilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((RegistryFilePath() + ".lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Registry, ConcurrentWritersLoseNothing) {
  ScopedSystemRoot root;
  constexpr int kWriters = 4, kEach = 25;
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Key key;
      if (CreateKey("K", "", &key) != kSuccess) _exit(1);
      for (int i = 0; i < kEach; ++i)
        if (SetDword(&key, "W" + std::to_string(w) + "_" + std::to_string(i), i) != kSuccess)
          _exit(1);
      _exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Key key;
  ASSERT_EQ(OpenKey("K", &key), kSuccess);
  EXPECT_EQ(key.values().size(), static_cast<size_t>(kWriters * kEach));
}

}  // namespace
}  // namespace qv::reg
