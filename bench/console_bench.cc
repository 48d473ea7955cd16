// The console's load of the user category with 1,000 users, the way the Accounts page does it:
// in local mode from the table files, in remote mode from a running qvctrl95 over loopback, one
// record per request. Each load runs several times; the median and the slowest are printed.
// Run it on an idle machine against a release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON -DQV_TESTS=OFF
//   cmake --build build/rel --target console_bench qvctrl95 && build/rel/bin/console_bench
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "console/store/console_store.h"
#include "platform/registry.h"
#include "platform/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsers = 1000;
constexpr int kLoads = 5;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Times kLoads loads of the user table; false when one does not give every user.
bool TimeLoads(const char* what, qv::console::ConsoleStore& store) {
  std::vector<double> ms;
  for (int i = 0; i < kLoads; ++i) {
    auto start = Clock::now();
    auto users = store.LoadTable(qv::Table::kUser);
    ms.push_back(Ms(Clock::now() - start));
    if (!users.ok() || users->size() != static_cast<size_t>(kUsers)) {
      std::fprintf(stderr, "%s: %s\n", what,
                   users.ok() ? "not every user was loaded" : users.error().c_str());
      return false;
    }
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-44s median %8.2f ms  max %8.2f ms  (%d loads)\n", what, ms[ms.size() / 2],
              ms.back(), kLoads);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = argc > 1 ? argv[1] : qv::bench::ProgramDir();
  char pattern[] = "/tmp/qvconsolebench.XXXXXX";
  std::string root = mkdtemp(pattern);
  setenv("QUORVANE_SYSTEM", root.c_str(), 1);
  for (const char* dir : {"/config", "/log", "/mail", "/temp", "/install"})
    std::filesystem::create_directories(root + dir);

  int port = qv::bench::FreePort();
  qv::reg::Key control;
  qv::reg::CreateKey(qv::kControlKey, "QuorvaneControl", &control);
  qv::reg::SetString(&control, "Domain", "example.test");
  // No service programs in the installation folder: nothing but the control service runs.
  qv::reg::SetString(&control, "InstallPath", root + "/install");
  qv::reg::SetString(&control, "MailPath", root + "/mail");
  qv::reg::SetString(&control, "TempPath", root + "/temp");
  qv::reg::SetString(&control, "LogPath", root + "/log");
  qv::reg::SetString(&control, "ConfigPath", root + "/config");
  qv::reg::SetDword(&control, "Port", static_cast<uint32_t>(port));
  qv::reg::SetDword(&control, "PasswordPort", static_cast<uint32_t>(qv::bench::FreePort()));
  qv::reg::CloseKey(&control);

  qv::SYSTEMSTRUCT tables{};
  qv::CopyField(tables.ConfigPath, root + "/config");
  qv::CopyField(tables.Domain, "example.test");
  qv::USERSTRUCT admin{};
  qv::CopyField(admin.Alias, "admin");
  qv::CopyField(admin.Domain, "example.test");
  qv::CopyField(admin.Password, "pw");
  admin.Options = qv::kUserAdmin;
  qv::AddRecord(tables, &admin);
  for (int i = 1; i < kUsers; ++i) {
    qv::USERSTRUCT user{};
    qv::CopyField(user.Alias, "user" + std::to_string(i));
    qv::CopyField(user.Domain, "example.test");
    qv::CopyField(user.Password, "secret");
    qv::CopyField(user.Name, "User number " + std::to_string(i));
    qv::CopyField(user.CopyIncoming, "archive+" + std::to_string(i) + "@example.test");
    qv::AddRecord(tables, &user);
  }

  int status = 0;
  auto local = qv::console::MakeLocalStore();
  if (!TimeLoads("local: load of 1,000 users", *local)) status = 1;

  pid_t pid = -1;
  if (!qv::platform::StartProgram({bin + "/qvctrl95"}, &pid)) {
    std::fprintf(stderr, "cannot start %s/qvctrl95\n", bin.c_str());
    return 1;
  }
  qv::console::ConnectOutcome connected;
  for (int i = 0; i < 200; ++i) {
    connected = qv::console::ConnectControl("127.0.0.1", "admin@example.test", "pw",
                                            static_cast<uint16_t>(port));
    if (connected.store) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  if (!connected.store) {
    std::fprintf(stderr, "qvctrl95 does not answer on port %d: %s\n", port,
                 connected.error.c_str());
    status = 1;
  } else if (!TimeLoads("remote: load of 1,000 users (qvctrl95)", *connected.store)) {
    status = 1;
  }
  connected.store.reset();

  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return status;
}
