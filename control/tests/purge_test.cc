#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "common/testing/test_env.h"
#include "control/service.h"

namespace qv::control {
namespace {

TEST(PurgeOldLogsTest, PrunesOnlyInTheFirstMinuteOfAnHour) {
  qv::testing::TempDir logs;
  qv::testing::WriteFileText(logs.Sub("s000101.txt"), "old");
  qv::testing::WriteFileText(logs.Sub("p000101.txt"), "old");
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char today[32];
  std::strftime(today, sizeof today, "s%y%m%d.txt", &local);
  qv::testing::WriteFileText(logs.Sub(today), "new");

  local.tm_min = 1;
  EXPECT_EQ(PurgeOldLogs(local, logs.path(), 7), std::nullopt);  // not the time
  EXPECT_TRUE(std::filesystem::exists(logs.Sub("s000101.txt")));
  local.tm_min = 0;
  EXPECT_EQ(PurgeOldLogs(local, logs.path(), 7), 2);
  EXPECT_FALSE(std::filesystem::exists(logs.Sub("s000101.txt")));
  EXPECT_FALSE(std::filesystem::exists(logs.Sub("p000101.txt")));
  EXPECT_TRUE(std::filesystem::exists(logs.Sub(today)));
}

}  // namespace
}  // namespace qv::control
