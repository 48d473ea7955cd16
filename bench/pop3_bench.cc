// Drives a running qvpop395 over loopback: mailboxes of 1,000 messages of 10 KB and of 100
// messages of 1 MB, each retrieved whole (LIST, RETR of every message, QUIT without DELE) by 1
// and by 5 concurrent raw-socket clients. Reports messages and megabytes per second and the
// service's peak memory. Run it on an idle machine against a release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON -DQV_TESTS=OFF
//   cmake --build build/rel && build/rel/bin/pop3_bench [folder of qvpop395 [log level]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
#include "common/mailfile.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/service_keys.h"
#include "common/testing/service_process.h"
#include "common/testing/test_env.h"
#include "platform/spawn.h"

namespace {

using qv::bench::BenchSettings;

using Clock = std::chrono::steady_clock;

using qv::bench::FreePort;
using qv::bench::ReadStatusKb;

// A raw-socket POP3 client: blocking reads into a large buffer.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = qv::bench::ConnectLoopback(port, 60);
    buffer_.resize(1 << 18);
  }
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Send(const std::string& text) { qv::bench::SendAll(fd_, text); }
  // Reads up to and with `end`; returns the byte count consumed, or -1 at the end of the input.
  // The start of what was read is kept in *first (up to 64 bytes).
  long long Until(const char* end, std::string* first = nullptr) {
    const size_t len = std::strlen(end);
    long long total = 0;
    std::string carry;  // the last bytes of the previous piece, where a match may begin
    for (;;) {
      if (have_ == 0) {
        ssize_t n = recv(fd_, buffer_.data(), buffer_.size(), 0);
        if (n <= 0) return -1;
        start_ = 0;
        have_ = static_cast<size_t>(n);
      }
      const char* data = buffer_.data() + start_;
      if (first != nullptr && total == 0 && carry.empty())
        first->assign(data, std::min<size_t>(have_, 64));
      if (!carry.empty()) {
        std::string joined = carry + std::string(data, std::min(have_, len - 1));
        size_t at = joined.find(end);
        if (at != std::string::npos)
          return total + static_cast<long long>(Consume(at + len - carry.size()));
      }
      const void* hit = memmem(data, have_, end, len);
      if (hit != nullptr)
        return total + static_cast<long long>(Consume(
                           static_cast<size_t>(static_cast<const char*>(hit) - data) + len));
      carry += std::string(data + have_ - std::min(have_, len - 1), std::min(have_, len - 1));
      if (carry.size() > len - 1) carry.erase(0, carry.size() - (len - 1));
      total += static_cast<long long>(have_);
      have_ = 0;
    }
  }

 private:
  size_t Consume(size_t n) {
    start_ += n;
    have_ -= n;
    return n;
  }

  int fd_ = -1;
  std::vector<char> buffer_;
  size_t start_ = 0;
  size_t have_ = 0;
};

struct Totals {
  std::atomic<long long> messages{0};
  std::atomic<long long> bytes{0};
  std::atomic<long long> retries{0};
  std::atomic<long long> failures{0};
};

// One client: logs on, lists, retrieves every message starting at `offset`, quits.
void RunClient(int port, const std::string& user, int count, int offset, Totals* totals) {
  RawClient c(port);
  if (!c.ok()) {
    ++totals->failures;
    return;
  }
  c.Until("\r\n");
  c.Send("USER " + user + "\r\n");
  c.Until("\r\n");
  c.Send("PASS pw\r\n");
  std::string reply;
  c.Until("\r\n", &reply);
  if (reply.compare(0, 3, "+OK") != 0) {
    ++totals->failures;
    return;
  }
  c.Send("LIST\r\n");
  c.Until("\r\n.\r\n");
  for (int i = 0; i < count; ++i) {
    int n = (offset + i) % count + 1;
    for (int attempt = 0; attempt < 100; ++attempt) {
      c.Send("RETR " + std::to_string(n) + "\r\n");
      std::string status;
      long long got = c.Until("\r\n", &status);
      if (got < 0) {
        ++totals->failures;
        return;
      }
      if (status.compare(0, 3, "+OK") == 0) {
        long long body = c.Until("\r\n.\r\n");
        totals->bytes += body;
        ++totals->messages;
        break;
      }
      ++totals->retries;  // held by another client for its copy
    }
  }
  c.Send("QUIT\r\n");
  c.Until("\r\n");
}

void AddUser(const std::string& alias, const std::string& mailbox) {
  qv::USERSTRUCT user{};
  qv::CopyField(user.Alias, alias);
  qv::CopyField(user.Password, "pw");
  qv::CopyField(user.Mailbox, mailbox);
  qv::AddRecord(BenchSettings().system, &user);
}

void Fill(const std::string& mailbox, int count, size_t size) {
  std::string text = "Subject: benchmark message\r\nFrom: bench@example.test\r\n\r\n";
  std::string line = std::string(76, 'x') + "\r\n";
  while (text.size() + line.size() <= size) text += line;
  text += std::string(size - text.size(), 'y');
  std::string dir = std::string(BenchSettings().system.MailPath) + "/" + mailbox;
  for (int i = 0; i < count; ++i) qv::WriteMessageFile(dir, qv::kMailboxExtension, text);
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = argc > 1 && argv[1][0] != '\0' ? argv[1] : qv::testing::BinDir();
  // The transaction log level of the service: 1 logs failures only, 4 every command and reply.
  int log_level = argc > 2 ? std::atoi(argv[2]) : 1;
  qv::testing::ScopedSystemRoot root;
  std::string base = root.path();
  std::memset(&BenchSettings().system, 0, sizeof BenchSettings().system);
  qv::CopyField(BenchSettings().system.Domain, "example.test");
  qv::CopyField(BenchSettings().system.MailPath, base + "/mail");
  qv::CopyField(BenchSettings().system.TempPath, base + "/temp");
  qv::CopyField(BenchSettings().system.LogPath, base + "/log");
  qv::CopyField(BenchSettings().system.ConfigPath, base + "/config");
  for (const char* d : {"/mail", "/temp", "/log", "/config"})
    std::filesystem::create_directories(base + d);
  int port = FreePort();
  qv::testing::WriteCommonKey({.domain = "example.test",
                               .mail = BenchSettings().system.MailPath,
                               .temp = BenchSettings().system.TempPath,
                               .log = BenchSettings().system.LogPath,
                               .config = BenchSettings().system.ConfigPath,
                               .log_level = log_level});
  qv::testing::Pop3Key().Set("Port", port);

  struct Mailbox {
    const char* name;
    int count;
    size_t size;
  } boxes[] = {{"small", 1000, 10 * 1024}, {"large", 100, 1024 * 1024}};
  std::printf("filling mailboxes...\n");
  for (const Mailbox& box : boxes) {
    for (int u = 0; u < 5; ++u) AddUser(std::string(box.name) + std::to_string(u), box.name);
    Fill(box.name, box.count, box.size);
  }

  qv::testing::ServiceProcess service;
  if (!service.StartAt({bin + "/qvpop395"}, port, qv::platform::ChildOutput::kNull)) {
    std::fprintf(stderr, "cannot start %s/qvpop395\n", bin.c_str());
    return 1;
  }
  const pid_t pid = service.pid();
  long rss_start = ReadStatusKb(pid, "VmRSS:");
  std::printf("%-28s %8s %10s %9s %9s %8s %9s\n", "run", "clients", "messages", "msg/s", "MB/s",
              "retries", "RSS kB");
  for (int round = 0; round < 2; ++round) {
    for (const Mailbox& box : boxes) {
      for (int clients : {1, 5}) {
        Totals totals;
        auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
          threads.emplace_back(RunClient, port, std::string(box.name) + std::to_string(c),
                               box.count, c * box.count / clients, &totals);
        for (auto& t : threads) t.join();
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        char run[64];
        std::snprintf(run, sizeof run, "%d x %zu KB%s", box.count, box.size / 1024,
                      round == 0 ? "" : " (again)");
        std::printf("%-28s %8d %10lld %9.0f %9.1f %8lld %9ld%s\n", run, clients,
                    totals.messages.load(), totals.messages / seconds, totals.bytes / seconds / 1e6,
                    totals.retries.load(), ReadStatusKb(pid, "VmRSS:"),
                    totals.failures ? "  FAILURES" : "");
      }
    }
  }
  std::printf("service memory: RSS at start %ld kB, peak (VmHWM) %ld kB\n", rss_start,
              ReadStatusKb(pid, "VmHWM:"));
  service.Stop();
  return 0;
}
