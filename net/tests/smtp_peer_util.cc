#include "net/tests/smtp_peer_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace qv::testing {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool WriteAllTo(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

uint16_t FreeTcpPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

std::string FakeSmtpPeer::StandardReply(const std::string& line) {
  std::string verb = Upper(line.substr(0, 4));
  if (verb == "EHLO") return "250-peer.test\r\n250-SIZE 10000000\r\n250 8BITMIME\r\n";
  if (verb == "HELO") return "250 peer.test\r\n";
  if (verb == "MAIL" || verb == "RCPT") return "250 OK\r\n";
  if (verb == "DATA") return "354 go ahead\r\n";
  if (verb == "QUIT") return "221 bye\r\n";
  if (verb == "RSET" || verb == "NOOP") return "250 OK\r\n";
  return "500 what?\r\n";
}

FakeSmtpPeer::FakeSmtpPeer(Script script) : script_(std::move(script)) {
  if (!script_.reply) script_.reply = StandardReply;
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int r = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  assert(r == 0);
  r = ::listen(listen_fd_, 16);
  assert(r == 0);
  (void)r;
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  r = ::pipe2(stop_, O_CLOEXEC);
  assert(r == 0);
  thread_ = std::thread([this] { Serve(); });
}

FakeSmtpPeer::~FakeSmtpPeer() {
  ssize_t w = ::write(stop_[1], "x", 1);
  (void)w;
  thread_.join();
  ::close(listen_fd_);
  ::close(stop_[0]);
  ::close(stop_[1]);
}

std::vector<std::string> FakeSmtpPeer::commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

std::vector<std::string> FakeSmtpPeer::messages() const {
  std::lock_guard<std::mutex> lock(mu_);
  return messages_;
}

int FakeSmtpPeer::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

bool FakeSmtpPeer::SendReply(int fd, const std::string& reply) {
  if (!script_.split_lines) return WriteAllTo(fd, reply);
  size_t start = 0;
  while (start < reply.size()) {
    size_t nl = reply.find('\n', start);
    size_t end = nl == std::string::npos ? reply.size() : nl + 1;
    if (!WriteAllTo(fd, reply.substr(start, end - start))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    start = end;
  }
  return true;
}

void FakeSmtpPeer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++connections_;
    }
    Session(fd);
    ::close(fd);
  }
}

void FakeSmtpPeer::Session(int fd) {
  if (!SendReply(fd, script_.greeting) || script_.greeting.empty()) return;
  std::string buffer;
  bool in_data = false;
  for (;;) {
    if (in_data) {
      // The message runs to the end line; the buffer starts where the message starts.
      std::string text;
      size_t skip = 0;
      if (buffer.rfind(".\r\n", 0) == 0) {
        skip = 3;
      } else if (size_t end = buffer.find("\r\n.\r\n"); end != std::string::npos) {
        text = buffer.substr(0, end + 2);
        skip = end + 5;
      }
      if (skip != 0) {
        buffer.erase(0, skip);
        {
          std::lock_guard<std::mutex> lock(mu_);
          messages_.push_back(text);
        }
        in_data = false;
        if (script_.data_reply.empty() || !SendReply(fd, script_.data_reply)) return;
        continue;
      }
    } else {
      size_t nl = buffer.find("\r\n");
      if (nl != std::string::npos) {
        std::string line = buffer.substr(0, nl);
        buffer.erase(0, nl + 2);
        {
          std::lock_guard<std::mutex> lock(mu_);
          commands_.push_back(line);
        }
        std::string reply = script_.reply(line);
        if (reply.empty() || !SendReply(fd, reply)) return;
        if (reply.rfind("354", 0) == 0) in_data = true;
        if (Upper(line) == "QUIT") return;
        continue;
      }
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(fds, 2, 10000) <= 0 || fds[1].revents != 0) return;
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    buffer.append(buf, static_cast<size_t>(n));
  }
}

RealSmtpPeer::RealSmtpPeer() : RealSmtpPeer(Security{}) {}

RealSmtpPeer::RealSmtpPeer(const Security& security) {
  const char* python = "/usr/bin/python3";
  if (::access(python, X_OK) != 0) {
    why_ = "no /usr/bin/python3";
    return;
  }
  if (std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") != 0) {
    why_ = "python3-aiosmtpd is not installed (scripts/deps)";
    return;
  }
  char tmpl[] = "/tmp/qvsink.XXXXXX";
  dir_ = ::mkdtemp(tmpl);
  std::string script = std::string(QV_SOURCE_DIR) + "/net/tests/smtp_sink.py";
  for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
    uint16_t port = FreeTcpPort();
    int out[2];
    if (::pipe(out) != 0) break;
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<std::string> args = {python, script, dir_, std::to_string(port)};
      if (!security.certificate.empty())
        args.insert(args.end(), {security.implicit_tls ? "--smtps" : "--starttls",
                                 security.certificate, security.key});
      if (!security.login.empty()) args.insert(args.end(), {"--login", security.login});
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(python, argv.data());
      _exit(127);
    }
    ::close(out[1]);
    std::string said;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (said.find("ready\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, 500) <= 0) continue;
      char buf[256];
      ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      said.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (said.find("ready\n") != std::string::npos) {
      pid_ = pid;
      port_ = port;
    } else {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      why_ = "aiosmtpd did not start";
    }
  }
}

RealSmtpPeer::~RealSmtpPeer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::vector<RealSmtpPeer::Message> RealSmtpPeer::Messages() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir_, ec))
    if (e.path().extension() == ".msg") names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  std::vector<Message> out;
  for (const std::string& name : names) {
    std::ifstream in(name, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Message m;
    size_t pos = 0;
    for (;;) {
      size_t nl = text.find('\n', pos);
      if (nl == std::string::npos) break;
      std::string line = text.substr(pos, nl - pos);
      pos = nl + 1;
      if (line.empty()) break;
      if (line.rfind("MAIL FROM:<", 0) == 0) m.mail_from = line.substr(11, line.size() - 12);
      if (line.rfind("RCPT TO:<", 0) == 0) m.rcpt_to.push_back(line.substr(9, line.size() - 10));
      if (line == "TLS: yes") m.tls = true;
      if (line.rfind("AUTH: ", 0) == 0) m.login = line.substr(6);
    }
    m.content = text.substr(pos);
    out.push_back(std::move(m));
  }
  return out;
}

std::vector<RealSmtpPeer::Message> RealSmtpPeer::WaitForMessages(size_t n) const {
  std::vector<Message> got;
  for (int i = 0; i < 400; ++i) {
    got = Messages();
    if (got.size() >= n) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return got;
}

}  // namespace qv::testing
