// The smart host options of install: what they accept, the registry values they write (only
// where missing, the password never shown), and qvsetup refusing a bad value before it starts.
#include "setup/install_values.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/testing/test_env.h"
#include "platform/registry.h"
#include "setup/installer.h"

namespace qv::setup {
namespace {

std::vector<std::string> InstallArgs(std::vector<std::string> more) {
  more.insert(more.begin(), {"install", "--prefix", "/p", "--domain", "x.test"});
  return more;
}

TEST(SmartHostOptions, AcceptedAndRefused) {
  auto ok = ParseSetupArguments(
      InstallArgs({"--smart-host", "smtp.isp.example:587", "--smart-host-user",
                   "office@isp.example", "--smart-host-password", "pa ss", "--tls-outgoing", "2"}));
  ASSERT_TRUE(ok) << ok.error();
  EXPECT_EQ(ok->smart_host, "smtp.isp.example:587");
  EXPECT_EQ(ok->smart_host_user, "office@isp.example");
  EXPECT_EQ(ok->smart_host_password, "pa ss");
  EXPECT_EQ(ok->tls_outgoing, 2);
  EXPECT_TRUE(ok->tls_outgoing_given);
  ASSERT_TRUE(
      ParseSetupArguments(InstallArgs({"--smart-host", "192.0.2.7", "--tls-outgoing", "0"})));

  const std::vector<std::vector<std::string>> bad = {
      {"--smart-host", "smtp isp.example"},
      {"--smart-host", "host:0"},
      {"--smart-host", "host:65536"},
      {"--smart-host", ":587"},
      {"--smart-host", "a;b"},
      {"--smart-host", std::string(128, 'h')},
      {"--smart-host-user", "u", "--smart-host-password", "p"},  // no smart host
      {"--smart-host", "h", "--smart-host-user", "u"},           // no password
      {"--smart-host", "h", "--smart-host-user", "u", "--smart-host-password", "a|b"},
      {"--tls-outgoing", "3"},
      {"--tls-outgoing", "-1"},
      {"--tls-outgoing", "1x"},
      {"--tls-outgoing"},
  };
  for (const auto& args : bad) EXPECT_FALSE(ParseSetupArguments(InstallArgs(args))) << args[0];
  EXPECT_FALSE(ParseSetupArguments({"status", "--tls-outgoing", "1"}));
}

class SmartHostValues : public ::testing::Test {
 protected:
  // Writes the values of an installation with `args`; the progress lines.
  std::string Write(std::vector<std::string> args) {
    auto o = ParseSetupArguments(InstallArgs(std::move(args)));
    EXPECT_TRUE(o) << o.error();
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    Reporter r(out, stderr);
    bool changed = false;
    EXPECT_EQ(WriteWantedValues(WantedValues(*o, "/srv/qv", ""), r, &changed), kExitOk);
    std::fclose(out);
    std::string lines(text, size);
    std::free(text);
    return lines;
  }

  qv::testing::ScopedSystemRoot root_;
};

TEST_F(SmartHostValues, WrittenWhereMissingAndThePasswordNeverShown) {
  std::string first = Write({"--smart-host", "smtp.isp.example:587", "--smart-host-user", "office",
                             "--smart-host-password", "Pw9", "--tls-outgoing", "2"});
  std::string text;
  uint32_t number = 0;
  ASSERT_TRUE(reg::ReadString(kSmtpKey, "ExchangeHost", &text));
  EXPECT_EQ(text, "smtp.isp.example:587");
  ASSERT_TRUE(reg::ReadString(kSmtpKey, "ExchangeUser", &text));
  EXPECT_EQ(text, "office");
  ASSERT_TRUE(reg::ReadString(kSmtpKey, "ExchangePassword", &text));
  EXPECT_EQ(text, "Pw9");
  ASSERT_TRUE(reg::ReadDword(kSmtpKey, "TLSOutgoing", &number));
  EXPECT_EQ(number, 2u);
  ASSERT_TRUE(reg::ReadDword(kSmtpKey, "Flags", &number));
  EXPECT_EQ(number, InstallSmtpFlags(true));  // the smart host alone, no DNS lookups
  EXPECT_NE(number & kSmtpUseMx, 0u);
  EXPECT_EQ(number & kSmtpUseDns, 0u);
  EXPECT_NE(first.find("set        SMTP ExchangePassword = (hidden)\n"), std::string::npos)
      << first;
  EXPECT_EQ(first.find("Pw9"), std::string::npos) << first;

  // Again with other values: the registry keeps its own, and says so without the passwords.
  std::string again = Write({"--smart-host", "other.example", "--smart-host-user", "office",
                             "--smart-host-password", "New8", "--tls-outgoing", "1"});
  ASSERT_TRUE(reg::ReadString(kSmtpKey, "ExchangePassword", &text));
  EXPECT_EQ(text, "Pw9");
  EXPECT_NE(again.find("kept       SMTP ExchangePassword = (hidden) (asked for (hidden);"),
            std::string::npos)
      << again;
  EXPECT_NE(again.find("kept       SMTP TLSOutgoing = 2 (asked for 1;"), std::string::npos);
  EXPECT_EQ(again.find("Pw9"), std::string::npos);
  EXPECT_EQ(again.find("New8"), std::string::npos);
}

TEST_F(SmartHostValues, NothingOfThemWithoutTheOptions) {
  Write({});
  std::string text;
  uint32_t number = 0;
  for (const char* name : {"ExchangeHost", "ExchangeUser", "ExchangePassword"})
    EXPECT_FALSE(reg::ReadString(kSmtpKey, name, &text)) << name;
  EXPECT_FALSE(reg::ReadDword(kSmtpKey, "TLSOutgoing", &number));
  ASSERT_TRUE(reg::ReadDword(kSmtpKey, "Flags", &number));
  EXPECT_EQ(number, InstallSmtpFlags());
}

TEST(SmartHostQvsetup, ABadValueIsRefusedWithExitCode2) {
  qv::testing::ScopedSystemRoot root;
  qv::testing::RunResult r =
      qv::testing::RunProgram(qv::testing::BinDir() + "/qvsetup",
                              {"install", "--prefix", root.path() + "/inst", "--domain", "x.test",
                               "--tls-outgoing", "5", "--system", root.path()});
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_NE(r.err.find("qvsetup: --tls-outgoing takes 0 (no TLS), 1 (STARTTLS when offered) or 2"),
            std::string::npos)
      << r.err;
  reg::Key key;
  EXPECT_NE(reg::OpenKey(kSmtpKey, &key), reg::kSuccess);  // nothing written
}

}  // namespace
}  // namespace qv::setup
