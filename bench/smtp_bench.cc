// Throughput of qvsmtp95 over loopback: N concurrent clients each send M messages of S bytes to
// local users; every message is flushed to disk before its 250. Reports messages and megabytes
// per second accepted and delivered (the mailbox files are counted at the end), and the peak and
// growth of the service's memory.
//
//   smtp_bench [--clients N] [--messages M] [--size BYTES] [--one-mailbox] [--log-level L]
//              [--matrix] [--dir PATH]
//
// --matrix runs 1, 10 and 25 clients with 1 KB and 100 KB messages. The service is the qvsmtp95
// beside this program; it runs against a fresh system root in a temporary folder (or --dir).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/service_process.h"
#include "platform/spawn.h"

namespace {

using qv::bench::BenchSettings;

struct Options {
  int clients = 10;
  int messages = 500;
  size_t size = 1024;
  bool one_mailbox = false;
  int log_level = 4;
  bool matrix = false;
  std::string dir;
};

using qv::bench::Client;
using qv::bench::FreePort;
using qv::bench::MessageData;
using qv::bench::ProgramDir;
using qv::bench::ReadStatusKb;
using qv::bench::RunFolder;
using qv::bench::WriteSmtpBenchKeys;

size_t CountMessages(const std::string& mail) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(mail, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().extension() == ".in") ++n;
  }
  return n;
}

struct Result {
  double seconds = 0;
  size_t accepted = 0;
  size_t delivered = 0;
  long peak_kb = 0;
  long rss_first_kb = 0;
  long rss_last_kb = 0;
  bool ok = true;
};

Result RunOnce(const Options& o) {
  Result result;
  RunFolder folder(o.dir, "qvbench");
  const std::string& root = folder.path();
  int port = FreePort();
  WriteSmtpBenchKeys(root, port, o.log_level);
  std::memset(&BenchSettings().system, 0, sizeof BenchSettings().system);
  qv::CopyField(BenchSettings().system.ConfigPath, root + "/config");
  qv::CopyField(BenchSettings().system.Domain, "example.test");
  int users = o.one_mailbox ? 1 : o.clients;
  for (int i = 0; i < users; ++i) {
    qv::USERSTRUCT user{};
    qv::CopyField(user.Alias, "user" + std::to_string(i));
    qv::CopyField(user.Domain, "example.test");
    qv::AddRecord(BenchSettings().system, &user);
  }

  qv::testing::ServiceProcess service;
  if (!service.StartAt({ProgramDir() + "/qvsmtp95"}, port, qv::platform::ChildOutput::kNull)) {
    std::fprintf(stderr, "cannot start qvsmtp95\n");
    result.ok = false;
    return result;
  }
  const pid_t pid = service.pid();

  const std::string message = MessageData("benchmark", "sender@bench.test", o.size);
  std::atomic<size_t> accepted{0};
  std::atomic<bool> failed{false};
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  const size_t total = static_cast<size_t>(o.clients) * static_cast<size_t>(o.messages);
  for (int c = 0; c < o.clients; ++c) {
    threads.emplace_back([&, c] {
      Client client;
      if (!client.Connect(port) || !client.Expect("", "220") ||
          !client.Expect("EHLO bench\r\n", "250")) {
        failed = true;
        return;
      }
      std::string rcpt =
          "RCPT TO:<user" + std::to_string(o.one_mailbox ? 0 : c) + "@example.test>\r\n";
      for (int m = 0; m < o.messages && !failed; ++m) {
        if (!client.Expect("MAIL FROM:<sender@bench.test>\r\n", "250") ||
            !client.Expect(rcpt, "250") || !client.Expect("DATA\r\n", "354") ||
            !client.Expect(message, "250")) {
          failed = true;
          return;
        }
        size_t done = ++accepted;
        if (done == total / 10) result.rss_first_kb = ReadStatusKb(pid, "VmRSS:");
      }
      client.Expect("QUIT\r\n", "221");
    });
  }
  for (auto& t : threads) t.join();
  auto end = std::chrono::steady_clock::now();
  result.seconds = std::chrono::duration<double>(end - start).count();
  result.accepted = accepted;
  result.rss_last_kb = ReadStatusKb(pid, "VmRSS:");
  result.peak_kb = ReadStatusKb(pid, "VmHWM:");
  service.Stop();
  result.delivered = CountMessages(root + "/mail");
  result.ok = !failed && result.delivered == total;
  return result;
}

void Print(const Options& o, const Result& r) {
  double mb = static_cast<double>(o.size) / (1024.0 * 1024.0);
  std::printf(
      "clients %2d  size %7zu  messages %6zu  %7.2f s  %8.1f msg/s  %7.2f MB/s  delivered %zu  "
      "peak %ld KB  rss %ld -> %ld KB%s\n",
      o.clients, o.size, r.accepted, r.seconds, r.accepted / r.seconds, r.accepted * mb / r.seconds,
      r.delivered, r.peak_kb, r.rss_first_kb, r.rss_last_kb, r.ok ? "" : "  FAILED");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--clients") {
      o.clients = std::atoi(next().c_str());
    } else if (arg == "--messages") {
      o.messages = std::atoi(next().c_str());
    } else if (arg == "--size") {
      o.size = std::strtoul(next().c_str(), nullptr, 10);
    } else if (arg == "--one-mailbox") {
      o.one_mailbox = true;
    } else if (arg == "--log-level") {
      o.log_level = std::atoi(next().c_str());
    } else if (arg == "--matrix") {
      o.matrix = true;
    } else if (arg == "--dir") {
      o.dir = next();
    } else {
      std::fprintf(stderr,
                   "usage: smtp_bench [--clients N] [--messages M] [--size BYTES] "
                   "[--one-mailbox] [--log-level L] [--matrix] [--dir PATH]\n");
      return 2;
    }
  }
  if (o.clients < 1 || o.clients > 25 || o.messages < 1) {
    std::fprintf(stderr, "smtp_bench: 1 to 25 clients and at least one message\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  bool ok = true;
  if (o.matrix) {
    for (size_t size : {size_t{1024}, size_t{102400}}) {
      for (int clients : {1, 10, 25}) {
        Options run = o;
        run.clients = clients;
        run.size = size;
        // About 5000 small or 1000 large messages per run.
        run.messages = static_cast<int>((size <= 1024 ? 5000 : 1000) / clients);
        Result r = RunOnce(run);
        Print(run, r);
        ok = ok && r.ok;
      }
    }
  } else {
    Result r = RunOnce(o);
    Print(o, r);
    ok = r.ok;
  }
  return ok ? 0 : 1;
}
