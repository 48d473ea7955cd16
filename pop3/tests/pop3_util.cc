#include "pop3/tests/pop3_util.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "platform/sysroot.h"

namespace qv::pop3::testing {

namespace fs = std::filesystem;

Pop3TestSystem::Pop3TestSystem() {
  std::memset(&g_System, 0, sizeof g_System);
  CopyField(g_System.HostName, "mail.example.test");
  CopyField(g_System.Domain, "example.test");
  CopyField(g_System.InstallPath, root() + "/install");
  CopyField(g_System.MailPath, root() + "/mail");
  CopyField(g_System.TempPath, root() + "/temp");
  CopyField(g_System.LogPath, root() + "/log");
  CopyField(g_System.ConfigPath, root() + "/config");
  g_System.LogLevel = 5;
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
  AddRecord(&user);
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
  return std::string(g_System.MailPath) + "/" + mailbox;
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
  for (const auto& entry : fs::directory_iterator(std::string(g_System.TempPath), ec))
    names.push_back(entry.path().filename().string());
  return names;
}

}  // namespace qv::pop3::testing
