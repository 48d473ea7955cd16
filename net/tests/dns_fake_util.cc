#include "net/tests/dns_fake_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cassert>
#include <filesystem>

namespace qv::testing {

Bytes Labels(const std::string& dotted) {
  Bytes out;
  size_t start = 0;
  while (start < dotted.size()) {
    size_t dot = dotted.find('.', start);
    if (dot == std::string::npos) dot = dotted.size();
    out.push_back(static_cast<uint8_t>(dot - start));
    out.insert(out.end(), dotted.begin() + start, dotted.begin() + dot);
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

Bytes Pointer(uint16_t offset) {
  return {static_cast<uint8_t>(0xc0 | (offset >> 8)), static_cast<uint8_t>(offset & 0xff)};
}

Bytes Be16(uint16_t v) {
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Record(const Bytes& name, uint16_t type, const Bytes& data, uint16_t rclass, uint32_t ttl) {
  return Cat(
      {name, Be16(type), Be16(rclass), Be32(ttl), Be16(static_cast<uint16_t>(data.size())), data});
}

Bytes MxData(uint16_t preference, const Bytes& name) {
  return Cat({Be16(preference), name});
}

namespace {

// Offset just past the question of a well-formed query.
size_t QuestionEnd(const Bytes& query) {
  size_t p = 12;
  while (p < query.size() && query[p] != 0) p += 1 + query[p];
  return p + 1 + 4;
}

}  // namespace

Bytes AnswerTo(const Bytes& query, const std::vector<Bytes>& records, uint16_t flags) {
  size_t qend = QuestionEnd(query);
  assert(qend <= query.size());
  Bytes out = Cat({Bytes(query.begin(), query.begin() + 2), Be16(flags), Be16(1),
                   Be16(static_cast<uint16_t>(records.size())), Be16(0), Be16(0)});
  out.insert(out.end(), query.begin() + 12, query.begin() + static_cast<long>(qend));
  for (const Bytes& r : records) out.insert(out.end(), r.begin(), r.end());
  return out;
}

std::string QuestionOf(const Bytes& query) {
  std::string name;
  size_t p = 12;
  while (p < query.size() && query[p] != 0) {
    size_t len = query[p];
    if (p + 1 + len > query.size()) return "";
    if (!name.empty()) name += '.';
    name.append(query.begin() + static_cast<long>(p) + 1,
                query.begin() + static_cast<long>(p + 1 + len));
    p += 1 + len;
  }
  return name;
}

namespace {

int BoundUdp(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  assert(fd >= 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  assert(r == 0);
  (void)r;
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (port != nullptr) *port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

FakeDnsServer::FakeDnsServer(Handler handler) : handler_(std::move(handler)) {
  fd_ = BoundUdp(&port_);
  other_fd_ = BoundUdp(nullptr);
  int r = ::pipe2(stop_, O_CLOEXEC);
  assert(r == 0);
  (void)r;
  thread_ = std::thread([this] { Serve(); });
}

FakeDnsServer::~FakeDnsServer() {
  char c = 'x';
  ssize_t w = ::write(stop_[1], &c, 1);
  (void)w;
  thread_.join();
  ::close(fd_);
  ::close(other_fd_);
  ::close(stop_[0]);
  ::close(stop_[1]);
}

std::string FakeDnsServer::address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> FakeDnsServer::questions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return questions_;
}

void FakeDnsServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    uint8_t buf[4096];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) continue;
    Bytes query(buf, buf + n);
    {
      std::lock_guard<std::mutex> lock(mu_);
      questions_.push_back(QuestionOf(query));
    }
    for (const Reply& reply : handler_(query)) {
      ::sendto(reply.from_other_port ? other_fd_ : fd_, reply.datagram.data(),
               reply.datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
}

DnsmasqServer::DnsmasqServer(const std::vector<std::string>& records) {
  const char* dnsmasq = "/usr/sbin/dnsmasq";
  if (::access(dnsmasq, X_OK) != 0) {
    why_ = "dnsmasq is not installed (scripts/deps)";
    return;
  }
  // A free UDP port: bind, read, release.
  int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  ::close(probe);

  std::vector<std::string> args = {dnsmasq,
                                   "--keep-in-foreground",
                                   "--port=" + std::to_string(port_),
                                   "--listen-address=127.0.0.1",
                                   "--bind-interfaces",
                                   "--no-resolv",
                                   "--no-hosts",
                                   "--conf-file=/dev/null",
                                   "--pid-file="};
  if (::getuid() == 0) args.push_back("--user=root");
  args.insert(args.end(), records.begin(), records.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(dnsmasq, argv.data());
    _exit(127);
  }
  // Ready once it answers a query (any answer will do).
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Bytes q = Cat({Be16(1), Be16(0x0100), Be16(1), Be16(0), Be16(0), Be16(0), Labels("probe.test"),
                 Be16(15), Be16(1)});
  for (int i = 0; i < 100 && !ok_; ++i) {
    ::sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      uint8_t buf[512];
      ok_ = ::recv(fd, buf, sizeof buf, 0) > 0;
    }
  }
  ::close(fd);
  if (!ok_) why_ = "dnsmasq did not answer";
}

DnsmasqServer::~DnsmasqServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

int OpenDescriptorCount() {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       it != std::filesystem::directory_iterator(); ++it)
    ++n;
  return n;
}

}  // namespace qv::testing
