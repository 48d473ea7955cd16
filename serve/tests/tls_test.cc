#include "serve/tls.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/testing/test_env.h"
#include "serve/testing/test_certificate.h"

namespace qv {
namespace {

TEST(ServerTls, NoCertificateNoTlsAndBadFilesAreRefused) {
  qv::testing::TempDir dir;
  ServerTls tls;
  EXPECT_TRUE(tls.Load("", ""));
  EXPECT_FALSE(tls.enabled());
  EXPECT_EQ(tls.context(), nullptr);

  auto first = qv::testing::MakeTestCertificate(dir.path());
  ASSERT_TRUE(first.ok);
  std::filesystem::create_directory(dir.path() + "/other");
  auto other = qv::testing::MakeTestCertificate(dir.path() + "/other");
  ASSERT_TRUE(other.ok);

  Status missing = tls.Load(first.certificate, dir.path() + "/none.key");
  EXPECT_FALSE(missing);
  EXPECT_FALSE(tls.enabled());
  Status mismatched = tls.Load(first.certificate, other.key);
  EXPECT_FALSE(mismatched);
  EXPECT_NE(mismatched.error().find(other.key), std::string::npos) << mismatched.error();
  ASSERT_EQ(chmod(first.key.c_str(), 0640), 0);
  Status readable = tls.Load(first.certificate, first.key);
  EXPECT_NE(readable.error().find("read by others"), std::string::npos) << readable.error();
  EXPECT_FALSE(tls.enabled());
  ASSERT_EQ(chmod(first.key.c_str(), 0600), 0);
  EXPECT_TRUE(tls.Load(first.certificate, first.key));
  EXPECT_TRUE(tls.enabled());
}

// A renewed certificate is taken by the next connection once the check is due; a broken
// renewal is logged once and the old context kept.
TEST(ServerTls, RenewedFilesAreTakenUpAndBrokenOnesKeepTheOld) {
  qv::testing::TempDir dir;
  auto now = std::chrono::steady_clock::time_point{};
  ServerTls tls([&now] { return now; });
  std::vector<std::string> refused;
  tls.OnRefused([&refused](const std::string& why) { refused.push_back(why); });
  auto made = qv::testing::MakeTestCertificate(dir.path());
  ASSERT_TRUE(made.ok);
  ASSERT_TRUE(tls.Load(made.certificate, made.key));
  auto first = tls.context();
  ASSERT_NE(first, nullptr);

  ASSERT_TRUE(qv::testing::MakeTestCertificate(dir.path()).ok);  // renewed in place
  now += kTlsReloadCheck / 2;
  EXPECT_EQ(tls.context(), first);  // not looked at yet
  now += kTlsReloadCheck;
  auto second = tls.context();
  EXPECT_NE(second, first);
  EXPECT_TRUE(refused.empty());

  qv::testing::WriteFileText(made.certificate, "not a certificate\n");
  now += kTlsReloadCheck;
  EXPECT_EQ(tls.context(), second);
  now += kTlsReloadCheck;
  EXPECT_EQ(tls.context(), second);
  EXPECT_EQ(refused.size(), 1u);

  // SIGHUP's request: the files are looked at on the next call, however recent the last look,
  // and once only.
  ASSERT_TRUE(qv::testing::MakeTestCertificate(dir.path()).ok);
  EXPECT_EQ(tls.context(), second);
  RequestTlsCheck();
  auto third = tls.context();
  EXPECT_NE(third, second);
  ASSERT_TRUE(qv::testing::MakeTestCertificate(dir.path()).ok);
  EXPECT_EQ(tls.context(), third);
  EXPECT_EQ(refused.size(), 1u);
}

}  // namespace
}  // namespace qv
