#include "pop3/tests/pop3_util.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/test_env.h"
#include "platform/sysroot.h"

namespace qv::pop3::testing {

namespace fs = std::filesystem;

Pop3TestSystem::Pop3TestSystem() {
  CopyField(settings_.system.HostName, "mail.example.test");
  CopyField(settings_.system.Domain, "example.test");
  CopyField(settings_.system.InstallPath, root() + "/install");
  CopyField(settings_.system.MailPath, root() + "/mail");
  CopyField(settings_.system.TempPath, root() + "/temp");
  CopyField(settings_.system.LogPath, root() + "/log");
  CopyField(settings_.system.ConfigPath, root() + "/config");
  settings_.system.LogLevel = 5;
  for (const char* dir : {"/mail", "/temp", "/log", "/config"})
    platform::MakeDirectories(root() + dir);
  ForgetMessageMaskDecision();
}

Pop3TestSystem::~Pop3TestSystem() {
  ForgetMessageMaskDecision();
}

void Pop3TestSystem::AddUser(const std::string& alias, const std::string& password,
                             const std::string& mailbox, int options, const std::string& domain) {
  USERSTRUCT user{};
  CopyField(user.Alias, alias);
  CopyField(user.Domain, domain);
  CopyField(user.Password, password);
  CopyField(user.Mailbox, mailbox);
  user.Options = options;
  AddRecord(settings_.system, &user);
}

std::string Pop3TestSystem::AddMessage(const std::string& mailbox, const std::string& text) {
  std::string name;
  WriteMessageFile(MailboxPath(mailbox), kMailboxExtension, text, 0, &name);
  return fs::path(name).filename().string();
}

void Pop3TestSystem::WriteRaw(const std::string& mailbox, const std::string& name,
                              const std::string& bytes) {
  platform::MakeDirectories(MailboxPath(mailbox));
  qv::testing::WriteFileText(MailboxPath(mailbox) + "/" + name, bytes);
}

std::string Pop3TestSystem::MailboxPath(const std::string& mailbox) const {
  return std::string(settings_.system.MailPath) + "/" + mailbox;
}

std::vector<std::string> Pop3TestSystem::MailboxFiles(const std::string& mailbox) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(MailboxPath(mailbox), ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() > 3 && name.substr(name.size() - 3) == ".in") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Pop3TestSystem::TempFiles() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(std::string(settings_.system.TempPath), ec))
    names.push_back(entry.path().filename().string());
  return names;
}

}  // namespace qv::pop3::testing

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace qv::pop3::testing {

Client::Client(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{20, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Close();
}

Client::~Client() {
  Close();
}

void Client::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void Client::Send(const std::string& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

std::string Client::UpTo(const std::string& end) {
  for (;;) {
    size_t at = buffer_.find(end);
    if (at != std::string::npos) {
      std::string text = buffer_.substr(0, at + end.size());
      buffer_.erase(0, at + end.size());
      return text;
    }
    char chunk[65536];
    ssize_t n = fd_ >= 0 ? recv(fd_, chunk, sizeof chunk, 0) : -1;
    if (n <= 0) {
      std::string text;
      text.swap(buffer_);
      return text;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

std::string Client::Line() {
  return UpTo("\r\n");
}

bool Client::Closed() {
  char chunk[4096];
  for (;;) {
    ssize_t n = fd_ >= 0 ? recv(fd_, chunk, sizeof chunk, 0) : 0;
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
}

int FreePort() {
  return qv::testing::FreeLoopbackPort();
}

}  // namespace qv::pop3::testing
