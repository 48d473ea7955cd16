#include "console/store/tests/fake_control_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

namespace qv::console::testing {

namespace {

int Listen(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(fd, 4);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The relay passes each piece on as it comes, acknowledged at once, so that it adds no
// delayed-acknowledgement pauses of its own.
void Prompt(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool SendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

FakeControlPeer::Handler FakeControlPeer::AfterLogin(Handler after) {
  auto step = std::make_shared<int>(0);
  return [step, after](const std::string& line) -> std::optional<std::string> {
    if (*step == 0) {
      *step = 1;
      return std::string("Password: ");
    }
    if (*step == 1) {
      *step = 2;
      return std::string("Login OK (Enter HELP for command help)\r\n>");
    }
    if (line == "NOOP") return std::string("\r\n>");
    return after(line);
  };
}

FakeControlPeer::FakeControlPeer(Handler handler) : handler_(std::move(handler)) {
  listener_ = Listen(&port_);
  ::pipe(wake_);
  thread_ = std::thread([this] { Run(); });
}

FakeControlPeer::FakeControlPeer(int upstream_port) : upstream_port_(upstream_port) {
  listener_ = Listen(&port_);
  ::pipe(wake_);
  thread_ = std::thread([this] { Run(); });
}

FakeControlPeer::~FakeControlPeer() {
  stop_ = true;
  char c = 's';
  (void)!::write(wake_[1], &c, 1);
  thread_.join();
  ::close(listener_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

std::vector<std::string> FakeControlPeer::lines() {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_;
}

std::vector<std::string> FakeControlPeer::lines_starting(const std::string& prefix) {
  std::vector<std::string> out;
  for (std::string& line : lines())
    if (line.rfind(prefix, 0) == 0) out.push_back(std::move(line));
  return out;
}

void FakeControlPeer::Cut() {
  cut_ = true;
  char c = 'c';
  (void)!::write(wake_[1], &c, 1);
}

bool FakeControlPeer::WaitForClientClose(int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!client_closed_) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void FakeControlPeer::Note(std::string* partial, const char* data, size_t size) {
  partial->append(data, size);
  size_t end;
  while ((end = partial->find("\r\n")) != std::string::npos) {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.push_back(partial->substr(0, end));
    partial->erase(0, end + 2);
  }
}

void FakeControlPeer::Run() {
  while (!stop_) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) {
      char c;
      (void)!::read(wake_[0], &c, 1);
      cut_ = false;
      continue;
    }
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    client_closed_ = false;
    Serve(client);
    ::close(client);
  }
}

void FakeControlPeer::Serve(int client) {
  int upstream = -1;
  if (upstream_port_ != 0) {
    upstream = ConnectLoopback(upstream_port_);
    if (upstream < 0) return;
  }
  Prompt(client);
  if (upstream >= 0)
    Prompt(upstream);
  else if (!SendAll(client, kGreeting))
    return;
  std::string partial;    // the client's text not yet a whole line
  std::string unhandled;  // the same for the handler
  char buffer[8192];
  for (;;) {
    pollfd fds[3] = {{client, POLLIN, 0}, {wake_[0], POLLIN, 0}, {upstream, POLLIN, 0}};
    if (::poll(fds, upstream >= 0 ? 3 : 2, -1) < 0) continue;
    if (fds[1].revents) {
      char c;
      (void)!::read(wake_[0], &c, 1);
      if (stop_ || cut_) {
        cut_ = false;
        break;
      }
    }
    if (upstream >= 0 && fds[2].revents) {
      ssize_t n = ::recv(upstream, buffer, sizeof buffer, 0);
      Prompt(upstream);
      if (n <= 0 || !SendAll(client, std::string(buffer, static_cast<size_t>(n)))) break;
    }
    if (fds[0].revents) {
      ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      Prompt(client);
      if (n <= 0) {
        client_closed_ = true;
        break;
      }
      Note(&partial, buffer, static_cast<size_t>(n));
      if (upstream >= 0) {
        if (!SendAll(upstream, std::string(buffer, static_cast<size_t>(n)))) break;
        continue;
      }
      unhandled.append(buffer, static_cast<size_t>(n));
      size_t end;
      bool open = true;
      while (open && (end = unhandled.find("\r\n")) != std::string::npos) {
        std::string line = unhandled.substr(0, end);
        unhandled.erase(0, end + 2);
        std::optional<std::string> reply = handler_(line);
        if (!reply) open = false;
        else if (!reply->empty() && !SendAll(client, *reply)) open = false;
      }
      if (!open) break;
    }
  }
  if (upstream >= 0) ::close(upstream);
}

}  // namespace qv::console::testing
