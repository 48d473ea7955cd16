// The record store under load: keyed lookups in large user tables, adding users one by one to an
// empty table, and importing a user file.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/test_env.h"

namespace {

using qv::bench::BenchSettings;

using qv::testing::TempDir;

std::string Alias(int i) {
  char text[32];
  std::snprintf(text, sizeof text, "user%06d", i);
  return text;
}

qv::USERSTRUCT User(const std::string& alias) {
  qv::USERSTRUCT u{};
  qv::CopyField(u.Alias, alias);
  qv::CopyField(u.Domain, "example.com");
  qv::CopyField(u.Name, "Benchmark User");
  qv::CopyField(u.Mailbox, alias);
  return u;
}

// The aliases 0..n-1 in a fixed random order.
std::vector<int> Shuffled(int n) {
  std::vector<int> order(n);
  for (int i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(42));
  return order;
}

// Points the tables at a fresh directory.
std::unique_ptr<TempDir> FreshTables() {
  auto dir = std::make_unique<TempDir>();
  std::memset(&BenchSettings().system, 0, sizeof BenchSettings().system);
  qv::CopyField(BenchSettings().system.ConfigPath, dir->path());
  qv::CopyField(BenchSettings().system.Domain, "example.com");
  return dir;
}

// A user table of n records: the data file written in one go, the index rebuilt from it.
std::unique_ptr<TempDir> BuildTable(int n) {
  auto dir = FreshTables();
  std::string data;
  data.reserve(static_cast<size_t>(n) * sizeof(qv::USERSTRUCT));
  for (int i : Shuffled(n)) {
    qv::USERSTRUCT u = User(Alias(i));
    data.append(reinterpret_cast<const char*>(&u), sizeof u);
  }
  qv::testing::WriteFileText(dir->path() + "/user.dat", data);
  qv::RebuildIndex(BenchSettings().system, qv::Table::kUser, nullptr);
  return dir;
}

void BM_FindRecord(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto dir = BuildTable(n);
  std::mt19937 rng(7);
  qv::USERSTRUCT u;
  int64_t misses = 0;
  for (auto _ : state) {
    if (qv::FindRecord(BenchSettings().system, Alias(static_cast<int>(rng() % n)), "example.com",
                       &u) != 0)
      ++misses;
  }
  if (misses != 0) state.SkipWithError("a stored user was not found");
}
BENCHMARK(BM_FindRecord)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_AddRecord10000(benchmark::State& state) {
  const std::vector<int> order = Shuffled(10000);
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = FreshTables();
    state.ResumeTiming();
    for (int i : order) {
      qv::USERSTRUCT u = User(Alias(i));
      if (qv::AddRecord(BenchSettings().system, &u) != 0) state.SkipWithError("add failed");
    }
    state.PauseTiming();
    dir.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AddRecord10000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ImportUsers10000(benchmark::State& state) {
  TempDir files;
  std::string text;
  for (int i : Shuffled(10000))
    text += Alias(i) + "; example.com; Imported User; secret; ; copy@example.org\r\n";
  std::string file = files.path() + "/users.txt";
  qv::testing::WriteFileText(file, text);
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = FreshTables();
    state.ResumeTiming();
    if (qv::ImportUsers(BenchSettings().system, file, nullptr) != 0)
      state.SkipWithError("import rejected lines");
    state.PauseTiming();
    dir.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ImportUsers10000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
