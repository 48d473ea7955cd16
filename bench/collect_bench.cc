// Collection from a remote POP account: 1,000 messages of 10 KB on a POP3 server in this program
// (on loopback, answering from memory) collected by one check of the POP3 service into local
// mailboxes, while a client of the service asks STAT again and again. The account is shared and
// its messages go to ten users (argument "personal": one user's account, all into one mailbox;
// a mailbox takes at most 100 new message files per second, the counter of their names). Reports
// messages per second collected and the service's STAT response times during the check. The service
// runs in this process with its real frame, loop, schedule and check runner; its tick comes every
// 200 ms instead of every minute. Run it on an idle machine against a release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON -DQV_TESTS=OFF
//   cmake --build build/rel --target collect_bench
//   build/rel/bin/collect_bench [messages [shared|personal]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/test_env.h"
#include "platform/sysroot.h"
#include "pop3/service.h"

namespace {

using Clock = std::chrono::steady_clock;
using qv::bench::SendAll;
namespace fs = std::filesystem;

// A POP3 server that answers from memory, one connection at a time.
class MemoryPop3Server {
 public:
  explicit MemoryPop3Server(std::vector<std::string> messages) : messages_(std::move(messages)) {
    uint16_t port = 0;
    fd_ = qv::bench::ListenLoopback(&port, 4);
    port_ = port;
    thread_ = std::thread([this] { Serve(); });
  }
  ~MemoryPop3Server() {
    ending_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  bool done() const { return quit_.load() != Clock::time_point{}; }
  double seconds() const { return std::chrono::duration<double>(quit_.load() - login_).count(); }
  size_t retrieved() const { return retrieved_; }

 private:
  void Serve() {
    while (!ending_ && !done()) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Conversation(c);
      close(c);
    }
  }
  void Conversation(int c) {
    SendAll(c, "+OK ready\r\n");
    std::string buffer;
    char chunk[4096];
    for (;;) {
      size_t end = buffer.find("\r\n");
      if (end == std::string::npos) {
        ssize_t n = recv(c, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
        continue;
      }
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      int k = line.size() > 5 ? std::atoi(line.c_str() + 5) : 0;
      std::string reply = "+OK\r\n";
      if (line.rfind("USER", 0) == 0) {
        login_ = Clock::now();
      } else if (line.rfind("STAT", 0) == 0) {
        size_t octets = 0;
        for (const auto& m : messages_) octets += m.size();
        reply = "+OK " + std::to_string(messages_.size()) + " " + std::to_string(octets) + "\r\n";
      } else if (line.rfind("LIST", 0) == 0) {
        reply = "+OK " + std::to_string(k) + " " + std::to_string(messages_[k - 1].size()) + "\r\n";
      } else if (line.rfind("RETR", 0) == 0) {
        reply = "+OK\r\n" + messages_[k - 1] + ".\r\n";
        ++retrieved_;
      } else if (line.rfind("QUIT", 0) == 0) {
        SendAll(c, reply);
        quit_ = Clock::now();
        return;
      }
      if (!SendAll(c, reply)) return;
    }
  }

  std::vector<std::string> messages_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> ending_{false};
  std::atomic<size_t> retrieved_{0};
  Clock::time_point login_{};
  std::atomic<Clock::time_point> quit_{Clock::time_point{}};
  std::thread thread_;
};

constexpr int kUsers = 10;

std::string TenKilobyteMessage(int n) {
  std::string text = "From: <sender" + std::to_string(n) + "@far.test>\r\nTo: user" +
                     std::to_string(n % kUsers) + "@example.test\r\nSubject: message " +
                     std::to_string(n) + "\r\n\r\n";
  while (text.size() < 10 * 1024) text += std::string(76, 'a' + n % 26) + "\r\n";
  return text;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  bool shared = argc <= 2 || std::string(argv[2]) != "personal";
  qv::testing::TempDir dir;
  qv::Settings settings;
  qv::SYSTEMSTRUCT& system = settings.system;
  qv::CopyField(system.HostName, "mail.example.test");
  qv::CopyField(system.Domain, "example.test");
  qv::CopyField(system.AdministratorName, "admin");
  qv::CopyField(system.AdministratorMailBox, "admin");
  for (const char* sub : {"mail", "temp", "log", "config"}) {
    qv::platform::MakeDirectories(dir.Sub(sub));
  }
  qv::CopyField(system.MailPath, dir.Sub("mail"));
  qv::CopyField(system.TempPath, dir.Sub("temp"));
  qv::CopyField(system.LogPath, dir.Sub("log"));
  qv::CopyField(system.ConfigPath, dir.Sub("config"));
  system.LogLevel = 1;

  std::vector<std::string> messages;
  for (int i = 0; i < count; ++i) messages.push_back(TenKilobyteMessage(i));
  MemoryPop3Server remote(std::move(messages));

  // ann reads her mailbox during the check; with a shared account userN gets message N mod 10.
  for (int i = -1; i < kUsers; ++i) {
    qv::USERSTRUCT u{};
    std::string alias = i < 0 ? "ann" : "user" + std::to_string(i);
    qv::CopyField(u.Alias, alias);
    qv::CopyField(u.Domain, "example.test");
    qv::CopyField(u.Password, "pw");
    qv::CopyField(u.Mailbox, alias);
    qv::CopyField(u.PopAccount, i < 0 ? "isp" : "");
    u.Options = i < 0 ? qv::kUserPopLookup : 0;
    qv::AddRecord(system, &u);
  }
  qv::ACCOUNTSTRUCT isp{};
  qv::CopyField(isp.Name, "isp");
  qv::CopyField(isp.Server, "127.0.0.1:" + std::to_string(remote.port()));
  qv::CopyField(isp.Account, "remote");
  qv::CopyField(isp.Password, "secret");
  isp.Interval = 3600;  // one check in the run
  isp.Options = shared ? qv::kAccountShared : 0;
  qv::AddRecord(system, &isp);
  // The first check comes at the first tick: a countdown of one tick.
  qv::pop3::Pop3ServiceOptions options;
  options.account_period = std::chrono::milliseconds(200);
  qv::pop3::Pop3Service service(options);
  service.settings() = settings;
  if (!service.listener().Listen(0)) {
    std::fprintf(stderr, "cannot listen\n");
    return 1;
  }
  int port = service.listener().BoundPort();
  service.Started();
  // Due at the first tick, then an hour later.
  for (int i = 0; i < 60 - 1; ++i) service.collection()->schedule().TakeDue(true);
  std::thread loop([&] { service.frame().loop().Run(); });

  // A client that asks STAT every 20 ms while the check runs.
  qv::bench::Client client;
  std::vector<double> latencies_ms;
  if (!client.Connect(port)) {
    std::fprintf(stderr, "cannot connect to the service\n");
    return 1;
  }
  client.Reply();
  client.Send("USER ann\r\n");
  client.Reply();
  client.Send("PASS pw\r\n");
  client.Reply();
  auto deadline = Clock::now() + std::chrono::minutes(5);
  while (!remote.done() && Clock::now() < deadline) {
    if (remote.retrieved() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    auto start = Clock::now();
    client.Send("STAT\r\n");
    std::string reply = client.Reply();
    latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (reply.rfind("+OK", 0) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  client.Send("QUIT\r\n");
  client.Reply();
  // Let the run's end reach the loop.
  while (service.collection()->checks_done() == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  service.frame().loop().Post([&] { service.frame().Stop(); });
  loop.join();
  service.frame().CloseAll();

  size_t stored = 0;
  std::error_code ec;
  for (const auto& box : fs::directory_iterator(dir.Sub("mail"), ec)) {
    for (const auto& entry : fs::directory_iterator(box.path(), ec))
      if (entry.path().extension() == ".in") ++stored;
  }
  double seconds = remote.seconds();
  std::ifstream loadavg("/proc/loadavg");
  std::string load;
  std::getline(loadavg, load);
  std::printf("collect_bench: %d messages of 10 KB, %s, nproc %u, load %s\n", count,
              shared ? "shared account, 10 mailboxes" : "personal account, one mailbox",
              std::thread::hardware_concurrency(), load.c_str());
  std::printf("  collected by one check: %.2f s, %.0f messages/s (%zu stored in mailboxes)\n",
              seconds, seconds > 0 ? count / seconds : 0.0, stored);
  std::printf(
      "  STAT during the check: %zu answers, median %.1f ms, p99 %.1f ms, max %.1f ms\n",
      latencies_ms.size(), Percentile(latencies_ms, 0.5), Percentile(latencies_ms, 0.99),
      latencies_ms.empty() ? 0.0 : *std::max_element(latencies_ms.begin(), latencies_ms.end()));
  return stored == static_cast<size_t>(count) ? 0 : 2;
}
