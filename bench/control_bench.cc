// Drives a running qvctrl95 over loopback the way the console's remote mode does: a table of
// 1,000 users loaded one record per request ("GETSTREAM USER #n" until the "#" record), and,
// while one client keeps loading, another client's SET and STATE timed one by one. Run it on an
// idle machine against a release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON -DQV_TESTS=OFF
//   cmake --build build/rel --target control_bench qvctrl95 && build/rel/bin/control_bench
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/control_root.h"
#include "common/config.h"
#include "common/testing/service_process.h"
#include "net/control_client.h"
#include "platform/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsers = 1000;
constexpr int kLoads = 5;
constexpr int kProbes = 20;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Loads the whole user table one record per request; the number of records, or -1.
int LoadTable(qv::ControlClient& client) {
  size_t separators = qv::ControlClient::RecordSeparators("USER");
  for (int n = 0;; ++n) {
    qv::Result<std::string> line =
        client.Record("GETSTREAM USER #" + std::to_string(n), separators);
    if (!line) return -1;
    if (line->rfind("#|", 0) == 0) return n;
  }
}

bool LogIn(qv::ControlClient& client, int port) {
  return client.Login("127.0.0.1", static_cast<uint16_t>(port), "admin@example.test", "pw") ==
         qv::ControlLogin::kOk;
}

void Report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-40s median %8.2f ms  max %8.2f ms  (%zu samples)\n", what, ms[ms.size() / 2],
              ms.back(), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = argc > 1 ? argv[1] : qv::bench::ProgramDir();
  qv::bench::ControlRoot made = qv::bench::MakeControlRoot("qvctrlbench", kUsers);
  const std::string& root = made.root;
  int port = made.port;

  qv::testing::ServiceProcess service;
  if (!service.StartAt({bin + "/qvctrl95"}, port, qv::platform::ChildOutput::kNull)) {
    std::fprintf(stderr, "cannot start %s/qvctrl95\n", bin.c_str());
    return 1;
  }
  qv::ControlClient loader(-1, 30000);
  bool up = false;
  for (int i = 0; i < 200 && !(up = LogIn(loader, port)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  if (!up) {
    std::fprintf(stderr, "qvctrl95 does not answer on port %d\n", port);
    return 1;
  }

  std::vector<double> loads;
  for (int i = 0; i < kLoads; ++i) {
    auto start = Clock::now();
    int records = LoadTable(loader);
    loads.push_back(Ms(Clock::now() - start));
    if (records != kUsers) std::fprintf(stderr, "loaded %d records, not %d\n", records, kUsers);
  }
  Report("load of 1,000 users, one client", loads);

  // One client keeps loading while another asks.
  std::atomic<bool> stop{false};
  std::atomic<int> background_loads{0};
  std::thread background([&] {
    qv::ControlClient client(-1, 30000);
    if (!LogIn(client, port)) return;
    while (!stop) {
      if (LoadTable(client) == kUsers) ++background_loads;
    }
  });
  qv::ControlClient asker(-1, 30000);
  if (!LogIn(asker, port)) {
    std::fprintf(stderr, "second login failed\n");
  } else {
    std::vector<double> set, state;
    for (int i = 0; i < kProbes; ++i) {
      auto start = Clock::now();
      asker.Command("SET LOGLEVEL=" + std::to_string(i % 6));
      set.push_back(Ms(Clock::now() - start));
      start = Clock::now();
      asker.Command("STATE");
      state.push_back(Ms(Clock::now() - start));
    }
    Report("SET while another client loads", set);
    Report("STATE while another client loads", state);
  }
  stop = true;
  background.join();
  std::printf("background loads completed meanwhile: %d\n", background_loads.load());

  service.Stop();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
