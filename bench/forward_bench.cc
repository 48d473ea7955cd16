// Outgoing mail throughput.
//
//  1. Forwarding: N queued messages of S bytes for one remote domain, delivered by one forward
//     run to an SMTP sink on loopback; reports messages per second.
//  2. Inbound while forwarding: C clients send 1 KB messages for a local user to qvsmtp95 for S
//     seconds, once with an idle queue and once while a forward run works through a full queue
//     (4 N messages); reports both rates and their ratio.
//
//   forward_bench [--messages N] [--size BYTES] [--clients C] [--seconds S] [--log-level L]
//                 [--skip-inbound]
//
// The service is the qvsmtp95 beside this program; everything runs in a temporary folder.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
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
#include "platform/spawn.h"
#include "smtp/forward.h"

namespace {

using qv::bench::BenchSettings;
using qv::bench::FreePort;
using qv::bench::ListenLoopback;
using qv::bench::ProgramDir;
using qv::bench::SendAll;

using Clock = std::chrono::steady_clock;

struct Options {
  int messages = 1000;
  size_t size = 10 * 1024;
  int clients = 10;
  double seconds = 5;  // of each inbound measurement
  int log_level = 4;
  bool skip_inbound = false;
};

// A mail sink: accepts connections one after another (as a forward run makes them), answers
// every command, reads each message to its end line and counts it.
class Sink {
 public:
  Sink() {
    fd_ = ListenLoopback(&port_, 64);
    if (pipe(stop_) != 0) std::abort();
    thread_ = std::thread([this] { Serve(); });
  }
  ~Sink() {
    if (write(stop_[1], "x", 1) < 0) std::abort();
    thread_.join();
    close(fd_);
    close(stop_[0]);
    close(stop_[1]);
  }
  uint16_t port() const { return port_; }
  long messages() const { return messages_; }

 private:
  void Serve() {
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) <= 0) continue;
      if (fds[1].revents) return;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      Session(c);
      close(c);
    }
  }
  void Session(int c) {
    if (!SendAll(c, "220 sink ready\r\n")) return;
    std::string buf;
    bool data = false;
    char chunk[65536];
    for (;;) {
      if (data) {
        size_t end = buf.find("\r\n.\r\n");
        if (end != std::string::npos) {
          buf.erase(0, end + 5);
          data = false;
          ++messages_;
          if (!SendAll(c, "250 queued\r\n")) return;
          continue;
        }
        // Keep only what may hold the start of the end line.
        if (buf.size() > 8) buf.erase(0, buf.size() - 4);
      } else {
        size_t nl = buf.find("\r\n");
        if (nl != std::string::npos) {
          std::string verb = buf.substr(0, 4);
          buf.erase(0, nl + 2);
          for (char& ch : verb) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
          if (verb == "QUIT") {
            SendAll(c, "221 bye\r\n");
            return;
          }
          if (verb == "DATA") {
            data = true;
            if (!SendAll(c, "354 go\r\n")) return;
          } else if (!SendAll(c, "250 ok\r\n")) {
            return;
          }
          continue;
        }
      }
      ssize_t n = recv(c, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buf.append(chunk, static_cast<size_t>(n));
    }
  }

  int fd_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<long> messages_{0};
  std::thread thread_;
};

// A message body of about `size` bytes in lines of 76 characters.
std::string Body(size_t size) {
  std::string text = "From: ann@local.test\r\nTo: bob@remote.test\r\nSubject: bench\r\n\r\n";
  while (text.size() + 78 <= size) text += std::string(76, 'x') + "\r\n";
  return text;
}

void QueueMessages(const std::string& mail, int count, size_t size) {
  std::string message = "To: bob@remote.test\r\nFrom: ann@local.test\r\n" + Body(size);
  for (int i = 0; i < count; ++i) {
    if (qv::WriteMessageFile(mail + "/forward", qv::kQueueExtension, message) != 0) {
      std::fprintf(stderr, "cannot queue a message\n");
      std::exit(1);
    }
  }
}

size_t CountFiles(const std::string& dir, const std::string& ext) {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().extension() == ext) ++n;
  return n;
}

// ---------------------------------------------------------------------------------------------

void BenchForwarding(const Options& o, const std::string& root) {
  std::memset(&BenchSettings().system, 0, sizeof BenchSettings().system);
  std::memset(&BenchSettings().smtp, 0, sizeof BenchSettings().smtp);
  std::string mail = root + "/fwd-mail";
  qv::CopyField(BenchSettings().system.MailPath, mail);
  qv::CopyField(BenchSettings().system.TempPath, root + "/fwd-temp");
  qv::CopyField(BenchSettings().system.LogPath, root + "/fwd-log");
  qv::CopyField(BenchSettings().system.ConfigPath, root + "/fwd-config");
  qv::CopyField(BenchSettings().system.HostName, "mx.local.test");
  qv::CopyField(BenchSettings().system.Domain, "local.test");
  BenchSettings().system.LogLevel = o.log_level;
  std::filesystem::create_directories(root + "/fwd-config");
  Sink sink;
  BenchSettings().smtp.Flags = qv::kSmtpUseMx;
  BenchSettings().smtp.PortEx = sink.port();
  BenchSettings().smtp.ReturnTimer = 259200;
  qv::CopyField(BenchSettings().smtp.ExchangeHost, "127.0.0.1");
  QueueMessages(mail, o.messages, o.size);

  auto start = Clock::now();
  int removed = qv::smtp::RunForwardQueue(BenchSettings());
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  size_t left = CountFiles(mail + "/forward", ".out");
  std::printf(
      "forward run: %d messages of %zu bytes in %.2f s = %.0f messages/s "
      "(%.1f MB/s; sink counted %ld, %zu left queued, log level %d)\n",
      removed, o.size, seconds, removed / seconds,
      removed * static_cast<double>(o.size) / seconds / 1e6, sink.messages(), left, o.log_level);
}

// ---------------------------------------------------------------------------------------------

class Service {
 public:
  Service(const std::string& root, int sink_port, int log_level) {
    port_ = FreePort();
    setenv("QUORVANE_SYSTEM", (root + "/system").c_str(), 1);
    std::filesystem::create_directories(root + "/system");
    mail_ = root + "/mail";
    std::filesystem::create_directories(root + "/config");
    std::filesystem::create_directories(mail_ + "/bob");
    std::filesystem::create_directories(mail_ + "/forward");
    qv::testing::WriteCommonKey({.host = "mx.local.test",
                                 .domain = "local.test",
                                 .install = ProgramDir(),
                                 .mail = mail_,
                                 .temp = root + "/temp",
                                 .log = root + "/log",
                                 .config = root + "/config",
                                 .log_level = log_level});
    qv::testing::SmtpKey()
        .Set("Port", port_)
        .Set("PortEx", sink_port)
        .Set("Flags", qv::kSmtpUseMx | qv::kSmtpImmediately)
        .Set("ExchangeHost", "127.0.0.1");
    std::memset(&BenchSettings().system, 0, sizeof BenchSettings().system);
    qv::CopyField(BenchSettings().system.ConfigPath, root + "/config");
    qv::CopyField(BenchSettings().system.Domain, "local.test");
    qv::USERSTRUCT bob{};
    qv::CopyField(bob.Alias, "bob");
    qv::CopyField(bob.Domain, "local.test");
    qv::CopyField(bob.Mailbox, "bob");
    qv::AddRecord(BenchSettings().system, &bob);
  }
  const std::string& mail() const { return mail_; }
  int port() const { return port_; }

  bool Start() {
    return service_.StartAt({ProgramDir() + "/qvsmtp95"}, port_, qv::platform::ChildOutput::kNull);
  }
  void Stop() { service_.Stop(); }

 private:
  int port_ = 0;
  qv::testing::ServiceProcess service_;
  std::string mail_;
};

// One SMTP client over a connection, reading replies line by line.
class Client {
 public:
  explicit Client(int port) {
    fd_ = qv::bench::ConnectLoopback(port, 60);
    ok_ = fd_ >= 0 && Reply()[0] == '2';
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  std::string Say(const std::string& text) {
    if (!SendAll(fd_, text)) return "";
    return Reply();
  }
  std::string Reply() {
    for (;;) {
      size_t nl;
      while ((nl = buf_.find("\r\n")) != std::string::npos) {
        std::string line = buf_.substr(0, nl + 2);
        buf_.erase(0, nl + 2);
        if (line.size() < 4 || line[3] != '-') return line;
      }
      char chunk[4096];
      ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return "";
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::string buf_;
};

// C clients sending local messages of 1 KB for `seconds`, or until `done` says so; returns
// messages per second over the time they sent.
double Inbound(int port, int clients, double seconds, const std::function<bool()>& done) {
  std::string body = Body(1024) + ".\r\n";
  std::atomic<int> sent{0};
  std::atomic<bool> stop{false};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&] {
      Client c(port);
      if (!c.ok()) return;
      c.Say("HELO bench\r\n");
      while (!stop) {
        c.Say("MAIL FROM:<ann@local.test>\r\n");
        c.Say("RCPT TO:<bob@local.test>\r\n");
        c.Say("DATA\r\n");
        if (c.Say(body).substr(0, 3) == "250") ++sent;
      }
      c.Say("QUIT\r\n");
    });
  }
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds && !(done && done()))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& t : threads) t.join();
  return sent / elapsed;
}

void BenchInbound(const Options& o, const std::string& root) {
  Sink sink;
  Service service(root, sink.port(), o.log_level);
  if (!service.Start()) {
    std::fprintf(stderr, "qvsmtp95 did not start\n");
    return;
  }
  // Warm up, then the rate without a forward run.
  Inbound(service.port(), o.clients, 1.0, nullptr);
  double idle = Inbound(service.port(), o.clients, o.seconds, nullptr);

  // A full queue, and one foreign message that starts a run (send-immediately).
  int queued = o.messages * 4;
  QueueMessages(service.mail(), queued, o.size);
  {
    Client c(service.port());
    c.Say("HELO bench\r\n");
    c.Say("MAIL FROM:<ann@local.test>\r\n");
    c.Say("RCPT TO:<dora@remote.test>\r\n");
    c.Say("DATA\r\n");
    c.Say(Body(1024) + ".\r\n");
    c.Say("QUIT\r\n");
  }
  for (int i = 0; i < 400 && sink.messages() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  long sent_before = sink.messages();
  auto start = Clock::now();
  // Measured only while the run has files left.
  double busy =
      Inbound(service.port(), o.clients, o.seconds, [&] { return sink.messages() >= queued; });
  double window = std::chrono::duration<double>(Clock::now() - start).count();
  long sent_during = sink.messages() - sent_before;
  std::printf(
      "inbound, %d clients sending 1 KB messages: %.0f messages/s without a forward run, "
      "%.0f messages/s during one (%.0f%%); measured over %.1f s, in which the run sent "
      "%ld messages (%.0f/s)\n",
      o.clients, idle, busy, 100.0 * busy / idle, window, sent_during, sent_during / window);
  service.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--messages")
      o.messages = std::atoi(next().c_str());
    else if (a == "--size")
      o.size = static_cast<size_t>(std::atol(next().c_str()));
    else if (a == "--clients")
      o.clients = std::atoi(next().c_str());
    else if (a == "--seconds")
      o.seconds = std::atof(next().c_str());
    else if (a == "--log-level")
      o.log_level = std::atoi(next().c_str());
    else if (a == "--skip-inbound")
      o.skip_inbound = true;
    else {
      std::fprintf(stderr,
                   "usage: forward_bench [--messages N] [--size BYTES] [--clients C] "
                   "[--seconds S] [--log-level L] [--skip-inbound]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  char tmpl[] = "/tmp/qvfwdbench.XXXXXX";
  std::string root = mkdtemp(tmpl);
  setenv("QUORVANE_SYSTEM", (root + "/system").c_str(), 1);
  std::filesystem::create_directories(root + "/system");
  BenchForwarding(o, root);
  if (!o.skip_inbound) BenchInbound(o, root);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
