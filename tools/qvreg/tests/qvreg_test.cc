// qvreg as a real process against a temporary system root.
#include <gtest/gtest.h>

#include "common/testing/test_env.h"
#include "platform/registry.h"

namespace {

using qv::testing::RunProgram;
using qv::testing::RunResult;
using qv::testing::ScopedSystemRoot;

RunResult Qvreg(const std::vector<std::string>& args) {
  return RunProgram(qv::testing::BinDir() + "/qvreg", args);
}

constexpr char kKey[] =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\QuorvaneSmtp\\Parameters";

TEST(Qvreg, AddQueryDeleteExport) {
  ScopedSystemRoot root;
  EXPECT_EQ(Qvreg({"add", kKey, "/v", "ExchangeHost", "/t", "REG_SZ", "/d", "relay \"1\""}).code,
            0);
  EXPECT_EQ(Qvreg({"add", "HKLM\\System\\CurrentControlSet\\Services\\QuorvaneSmtp\\Parameters",
                   "/v", "Port", "/t", "REG_DWORD", "/d", "0x19"})
                .code,
            0);
  EXPECT_EQ(Qvreg({"add", kKey, "/v", "Flags", "/t", "REG_DWORD", "/d", "384"}).code, 0);
  uint32_t port = 0;
  ASSERT_TRUE(qv::reg::ReadDword("System\\CurrentControlSet\\Services\\QuorvaneSmtp\\Parameters",
                                 "Port", &port));
  EXPECT_EQ(port, 25u);

  RunResult q = Qvreg({"query", kKey});
  EXPECT_EQ(q.code, 0);
  EXPECT_NE(q.out.find("ExchangeHost    REG_SZ    relay \"1\""), std::string::npos) << q.out;
  EXPECT_NE(q.out.find("Flags    REG_DWORD    0x180"), std::string::npos) << q.out;
  q = Qvreg({"query", kKey, "port"});
  EXPECT_EQ(q.code, 0);
  EXPECT_NE(q.out.find("Port    REG_DWORD    0x19"), std::string::npos);
  EXPECT_EQ(q.out.find("ExchangeHost"), std::string::npos);

  EXPECT_EQ(Qvreg({"delete", kKey, "/v", "Port"}).code, 0);
  EXPECT_EQ(Qvreg({"query", kKey, "Port"}).code, 1);
  EXPECT_EQ(Qvreg({"delete", kKey, "/v", "Port"}).code, 1);
  EXPECT_EQ(Qvreg({"query", "HKLM\\No\\Such"}).code, 1);

  RunResult e = Qvreg({"export"});
  EXPECT_EQ(e.code, 0);
  EXPECT_EQ(e.out.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_NE(e.out.find("\"ExchangeHost\"=\"relay \\\"1\\\"\""), std::string::npos);
}

TEST(Qvreg, BadArgumentsGiveUsageAndExitTwo) {
  ScopedSystemRoot root;
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"query"},
      {"query", "HKCU\\Software"},
      {"add", kKey, "/v"},
      {"add", kKey, "/v", "X", "/t", "REG_BINARY", "/d", "00"},
      {"add", kKey, "/v", "X", "/t", "REG_DWORD", "/d", "12abc"},
      {"add", kKey, "/v", "X", "/t", "REG_DWORD", "/d", "99999999999"},
      {"add", kKey, "/v", "X", "/t", "REG_DWORD"},
      {"add", kKey, "/x", "X"},
      {"delete", kKey},
      {"export", "extra"},
  };
  for (const auto& args : bad) {
    RunResult r = Qvreg(args);
    EXPECT_EQ(r.code, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(r.err.find("usage: qvreg"), std::string::npos);
  }
}

}  // namespace
