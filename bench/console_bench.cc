// The console's load of the user category with 1,000 users, the way the Accounts page does it:
// in local mode from the table files, in remote mode from a running qvctrl95 over loopback, one
// record per request. Each load runs several times; the median and the slowest are printed.
// With the pages built, the whole console is timed as well (without a display): the dialog made,
// loaded and drawn, then the Accounts page shown and its user category expanded.
// Run it on an idle machine against a release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON -DQV_TESTS=OFF
//   cmake --build build/rel --target console_bench qvctrl95 && build/rel/bin/console_bench
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
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
#include "console/store/console_store.h"
#include "platform/spawn.h"

#ifdef QV_BENCH_CONSOLE_UI
#include <QApplication>
#include <QTabWidget>
#include <QTreeWidgetItem>

#include "console/ui/accounts_page.h"
#include "console/ui/console_dialog.h"
#endif

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

#ifdef QV_BENCH_CONSOLE_UI
constexpr int kAccountsTab = 3;

void PrintTimes(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-44s median %8.2f ms  max %8.2f ms  (%zu runs)\n", what, ms[ms.size() / 2],
              ms.back(), ms.size());
}

// Times kLoads openings of the console on stores from `make`: the dialog made, loaded and drawn
// ("open"), then the Accounts page shown and the user category expanded ("users").
template <class Make>
bool TimeConsole(const char* mode, Make make) {
  std::vector<double> open_ms, users_ms;
  for (int i = 0; i < kLoads; ++i) {
    auto store = make();
    if (!store) return false;
    auto start = Clock::now();
    qv::console::ConsoleDialog dialog(std::move(store));
    dialog.context().set_message_sink([](const QString&, const QString& text) {
      std::fprintf(stderr, "console: %s\n", text.toUtf8().constData());
    });
    dialog.show();
    QApplication::processEvents();
    auto opened = Clock::now();
    dialog.tabs()->setCurrentIndex(kAccountsTab);
    auto* accounts = static_cast<qv::console::AccountsPage*>(dialog.page(kAccountsTab));
    QTreeWidgetItem* users = accounts->category(qv::Table::kUser);
    users->setExpanded(true);
    QApplication::processEvents();
    auto loaded = Clock::now();
    if (users->childCount() != kUsers) {
      std::fprintf(stderr, "%s: the user category shows %d nodes\n", mode, users->childCount());
      return false;
    }
    open_ms.push_back(Ms(opened - start));
    users_ms.push_back(Ms(loaded - opened));
    dialog.set_save_question([] { return qv::console::ConsoleDialog::Answer::kNo; });
    dialog.done(0);
  }
  PrintTimes((std::string(mode) + ": console opened").c_str(), open_ms);
  PrintTimes((std::string(mode) + ": user category expanded").c_str(), users_ms);
  return true;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef QV_BENCH_CONSOLE_UI
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
#endif
  std::string bin = argc > 1 ? argv[1] : qv::bench::ProgramDir();
  qv::bench::ControlRoot made = qv::bench::MakeControlRoot("qvconsolebench", kUsers);
  const std::string& root = made.root;
  int port = made.port;

  int status = 0;
  auto local = qv::console::MakeLocalStore();
  if (!TimeLoads("local: load of 1,000 users", *local)) status = 1;
#ifdef QV_BENCH_CONSOLE_UI
  if (!TimeConsole("local", [] { return qv::console::MakeLocalStore(); })) status = 1;
#endif

  qv::testing::ServiceProcess service;
  if (!service.StartAt({bin + "/qvctrl95"}, port, qv::platform::ChildOutput::kNull)) {
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
#ifdef QV_BENCH_CONSOLE_UI
  auto connect = [port] {
    return qv::console::ConnectControl("127.0.0.1", "admin@example.test", "pw",
                                       static_cast<uint16_t>(port))
        .store;
  };
  if (status == 0 && !TimeConsole("remote", connect)) status = 1;
#endif

  service.Stop();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return status;
}
