#include "pop3/tests/collect_util.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/strings.h"
#include "platform/spawn.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3::testing {

namespace fs = std::filesystem;

// ---- ScriptedPop3Server ------------------------------------------------------------------

ScriptedPop3Server::ScriptedPop3Server(std::string user, std::string password) {
  logins_[user] = password;
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listen_fd_, 8);
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedPop3Server::~ScriptedPop3Server() {
  ending_ = true;
  ::shutdown(listen_fd_, SHUT_RDWR);
  thread_.join();
  ::close(listen_fd_);
}

void ScriptedPop3Server::AddMessage(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(std::move(text));
}

void ScriptedPop3Server::AddLogin(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(mutex_);
  logins_[user] = password;
}

std::vector<std::string> ScriptedPop3Server::Commands() {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

void ScriptedPop3Server::ClearCommands() {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.clear();
}

size_t ScriptedPop3Server::MessageCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_.size();
}

void ScriptedPop3Server::ClearMessages() {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}

void ScriptedPop3Server::Serve() {
  while (!ending_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    Conversation(fd);
    ::close(fd);
  }
}

namespace {

bool SendAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

void ScriptedPop3Server::Conversation(int fd) {
  if (!SendAll(fd, faults_.greeting)) return;
  std::vector<bool> deleted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    deleted.assign(messages_.size(), false);
  }
  std::string buffer;
  for (;;) {
    size_t end = buffer.find("\r\n");
    if (end == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20000) <= 0) return;
      char chunk[4096];
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buffer.append(chunk, static_cast<size_t>(n));
      continue;
    }
    std::string line = buffer.substr(0, end);
    buffer.erase(0, end + 2);
    std::string verb = line.substr(0, line.find(' '));
    int number = 0;
    if (line.size() > verb.size()) number = std::atoi(line.c_str() + verb.size() + 1);
    std::unique_lock<std::mutex> lock(mutex_);
    commands_.push_back(line);
    bool valid = number >= 1 && number <= static_cast<int>(deleted.size()) &&
                 !deleted[static_cast<size_t>(number - 1)];
    std::string reply;
    if (EqualsNoCase(verb, "USER")) {
      reply = "+OK\r\n";
    } else if (EqualsNoCase(verb, "PASS")) {
      std::string user = commands_.size() >= 2 && commands_[commands_.size() - 2].size() > 5
                             ? commands_[commands_.size() - 2].substr(5)
                             : "";
      auto login = logins_.find(user);
      if (line.size() < 5 || login == logins_.end() || line.substr(5) != login->second) {
        lock.unlock();
        SendAll(fd, "-ERR authentication failed\r\n");
        continue;
      }
      reply = "+OK\r\n";
    } else if (EqualsNoCase(verb, "STAT")) {
      size_t count = 0, octets = 0;
      // Messages added during the conversation are not part of its maildrop.
      for (size_t i = 0; i < deleted.size(); ++i)
        if (!deleted[i]) ++count, octets += messages_[i].size();
      reply = Format("+OK %zu %zu\r\n", count, octets);
    } else if (EqualsNoCase(verb, "LIST")) {
      auto announced = faults_.announced_size.find(number);
      size_t size = announced != faults_.announced_size.end() ? announced->second
                    : valid                                   ? messages_[number - 1].size()
                                                              : 0;
      reply = valid ? Format("+OK %d %zu\r\n", number, size) : "-ERR no such message\r\n";
    } else if (EqualsNoCase(verb, "RETR")) {
      auto staged = faults_.retr_reply.find(number);
      if (staged != faults_.retr_reply.end()) {
        reply = staged->second;
      } else if (!valid) {
        reply = "-ERR no such message\r\n";
      } else {
        std::string text = messages_[number - 1];
        auto cut = faults_.cut_after.find(number);
        int delay = faults_.retr_delay_ms;
        if (cut != faults_.cut_after.end()) {
          size_t bytes = cut->second;
          faults_.cut_after.erase(cut);
          lock.unlock();
          SendAll(fd, "+OK message follows\r\n" + text.substr(0, bytes));
          return;
        }
        int trickle = faults_.trickle_ms;
        int repeat = faults_.trickle_repeat;
        lock.unlock();
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        if (trickle > 0) {
          if (!SendAll(fd, "+OK message follows\r\n")) return;
          for (int r = 0; r < repeat; ++r) {
            for (size_t at = 0; at < text.size() && !ending_;) {
              size_t end = text.find('\n', at);
              end = end == std::string::npos ? text.size() : end + 1;
              std::this_thread::sleep_for(std::chrono::milliseconds(trickle));
              if (!SendAll(fd, text.substr(at, end - at))) return;
              at = end;
            }
          }
          if (!SendAll(fd, ".\r\n")) return;
          continue;
        }
        SendAll(fd, "+OK message follows\r\n" + text + ".\r\n");
        continue;
      }
    } else if (EqualsNoCase(verb, "DELE")) {
      if (valid) deleted[static_cast<size_t>(number - 1)] = true;
      reply = valid ? "+OK deleted\r\n" : "-ERR no such message\r\n";
    } else if (EqualsNoCase(verb, "QUIT")) {
      std::vector<std::string> kept;
      for (size_t i = 0; i < messages_.size(); ++i)
        if (i >= deleted.size() || !deleted[i]) kept.push_back(messages_[i]);
      messages_.swap(kept);
      lock.unlock();
      SendAll(fd, "+OK bye\r\n");
      return;
    } else {
      reply = "-ERR unknown command\r\n";
    }
    int reply_delay = faults_.reply_delay_ms;
    lock.unlock();
    if (reply_delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply_delay));
    if (!SendAll(fd, reply)) return;
  }
}

// ---- DovecotServer ------------------------------------------------------------------------

DovecotServer::DovecotServer() {
  char pattern[] = "/tmp/qv-dovecot-XXXXXX";
  char* made = ::mkdtemp(pattern);
  root_ = made != nullptr ? made : "";
  // The mail processes run as another user when this is root: they must reach the folders.
  ::chmod(root_.c_str(), 0755);
  passwd_ = root_ + "/passwd";
  if (::getuid() == 0) {
    passwd* nobody = ::getpwnam("nobody");
    uid_ = nobody != nullptr ? nobody->pw_uid : 65534;
    gid_ = nobody != nullptr ? nobody->pw_gid : 65534;
  } else {
    uid_ = ::getuid();
    gid_ = ::getgid();
  }
  fs::create_directories(root_ + "/mail");
  ::chown((root_ + "/mail").c_str(), uid_, gid_);
  qv::testing::WriteFileText(passwd_, "");
}

DovecotServer::~DovecotServer() {
  server_.Stop();
  std::error_code ec;
  if (!root_.empty()) fs::remove_all(root_, ec);
}

bool DovecotServer::Start(std::string* error) {
  const char* program = "/usr/sbin/dovecot";
  if (::access(program, X_OK) != 0) {
    *error = "dovecot is not installed (scripts/deps installs dovecot-pop3d)";
    return false;
  }
  port_ = FreePort();
  // With a certificate: TLS required before any login, and a POP3S listener.
  std::string tls = "ssl = no\ndisable_plaintext_auth = no\n";
  if (!certificate_.empty()) {
    pop3s_port_ = FreePort();
    tls = Format("ssl = required\nssl_cert = <%s\nssl_key = <%s\ndisable_plaintext_auth = yes\n",
                 certificate_.c_str(), key_.c_str());
  }
  std::string self = ::getpwuid(::getuid()) != nullptr ? ::getpwuid(::getuid())->pw_name : "root";
  std::string unprivileged = ::getuid() == 0 ? "nobody" : self;
  group* g = ::getgrgid(gid_);
  std::string unprivileged_group = g != nullptr ? g->gr_name : "nogroup";
  std::string config = Format(
      "base_dir = %s/run\n"
      "state_dir = %s/state\n"
      "log_path = %s/dovecot.log\n"
      "protocols = pop3\n"
      "listen = 127.0.0.1\n"
      "%s"
      "auth_mechanisms = plain\n"
      "first_valid_uid = 0\n"
      "default_internal_user = %s\n"
      "default_internal_group = %s\n"
      "default_login_user = %s\n"
      "mail_location = maildir:%s/mail/%%u\n"
      "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%%u %s\n}\n"
      "userdb {\n  driver = static\n  args = uid=%u gid=%u home=%s/mail/%%u\n}\n"
      "service pop3-login {\n  chroot =\n"
      "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = %d\n  }\n"
      "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = %d\n  }\n}\n"
      "service imap-login {\n  inet_listener imap {\n    port = 0\n  }\n"
      "  inet_listener imaps {\n    port = 0\n  }\n}\n"
      "service anvil {\n  chroot =\n}\n"
      "service auth {\n  user = %s\n}\n"
      "service auth-worker {\n  user = %s\n}\n",
      root_.c_str(), root_.c_str(), root_.c_str(), tls.c_str(), unprivileged.c_str(),
      unprivileged_group.c_str(), unprivileged.c_str(), root_.c_str(), passwd_.c_str(), uid_, gid_,
      root_.c_str(), port_, pop3s_port_, self.c_str(), self.c_str());
  qv::testing::WriteFileText(root_ + "/dovecot.conf", config);
  if (server_.StartAt({program, "-F", "-c", root_ + "/dovecot.conf"}, port_,
                      platform::ChildOutput::kNull))
    return true;
  if (!server_.running()) {
    *error = "dovecot did not start";
    return false;
  }
  *error = "dovecot does not answer: " + qv::testing::ReadFileText(root_ + "/dovecot.log");
  return false;
}

void DovecotServer::UseTls(const std::string& certificate, const std::string& key) {
  certificate_ = certificate;
  key_ = key;
}

std::string DovecotServer::Log() const {
  return qv::testing::ReadFileText(root_ + "/dovecot.log");
}

void DovecotServer::AddUser(const std::string& user, const std::string& password) {
  std::string text = qv::testing::ReadFileText(passwd_);
  qv::testing::WriteFileText(passwd_, text + user + ":{PLAIN}" + password + "\n");
  for (const char* sub : {"", "/new", "/cur", "/tmp"}) {
    fs::create_directories(UserDir(user) + sub);
    ::chown((UserDir(user) + sub).c_str(), uid_, gid_);
  }
}

void DovecotServer::AddMessage(const std::string& user, const std::string& text) {
  std::string name = Format("%s/new/%d.%d.test", UserDir(user).c_str(), 1000 + counter_, counter_);
  ++counter_;
  qv::testing::WriteFileText(name, text);
  ::chown(name.c_str(), uid_, gid_);
}

size_t DovecotServer::MessageCount(const std::string& user) const {
  size_t n = 0;
  std::error_code ec;
  for (const char* sub : {"/new", "/cur"})
    for (const auto& entry : fs::directory_iterator(UserDir(user) + sub, ec)) {
      (void)entry;
      ++n;
    }
  return n;
}

std::string DovecotServer::UserDir(const std::string& user) const {
  return root_ + "/mail/" + user;
}

}  // namespace qv::pop3::testing
