// The units of services that run as a user of their own: the lines each unit gets, and the
// account read from the installation (its system root's owner, its folders, its PAM option).
#include "setup/service_account.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/config.h"
#include "common/testing/test_env.h"
#include "platform/registry.h"

namespace qv::setup {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(ConfinedUnitText, EachServiceGetsItsUserItsFoldersAndNoMore) {
  UnitAccount plain;
  plain.user = plain.group = "quorvane";
  plain.write_paths = {"/etc/quorvane", "/opt/q/mail", "/srv/q log"};
  UnitAccount pam = plain;
  pam.pam_group = "shadow";
  UnitAccount home = plain;
  home.write_paths = {"/home/ann/q/system", "/home/ann/q/mail"};
  home.home_inside = true;
  struct Case {
    const char* what;
    int service;
    const UnitAccount* account;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {"SMTP",
       1,
       &plain,
       {"[Service]", "ExecStart=/opt/q/qvsmtp", "Environment=QUORVANE_SYSTEM=/etc/quorvane",
        "User=quorvane", "Group=quorvane", "AmbientCapabilities=CAP_NET_BIND_SERVICE",
        "CapabilityBoundingSet=CAP_NET_BIND_SERVICE", "NoNewPrivileges=yes", "ProtectSystem=strict",
        "ReadWritePaths=/etc/quorvane /opt/q/mail \"/srv/q log\"", "PrivateTmp=yes",
        "ProtectHome=yes", "Restart=on-failure", "WantedBy=multi-user.target"},
       {"SupplementaryGroups=shadow"}},
      {"POP3 with operating-system logons",
       2,
       &pam,
       {"User=quorvane", "SupplementaryGroups=shadow", "NoNewPrivileges=yes",
        "ProtectSystem=strict", "ProtectHome=yes"},
       {}},
      {"folders in a home folder",
       3,
       &home,
       {"ReadWritePaths=/home/ann/q/system /home/ann/q/mail", "ProtectHome=read-only",
        "User=quorvane"},
       {"ProtectHome=yes"}},
      {"no account: as before",
       1,
       nullptr,
       {"ExecStart=/opt/q/qvsmtp", "Restart=on-failure"},
       {"User=quorvane", "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes"}},
  };
  const char* programs[] = {"", "/opt/q/qvsmtp", "/opt/q/qvpop3", "/opt/q/qvctrl"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text =
        UnitText(*ServiceByNumber(c.service), programs[c.service], "/etc/quorvane", c.account);
    auto lines = Lines(text);
    for (const std::string& line : c.present) EXPECT_TRUE(HasLine(lines, line)) << line << text;
    for (const std::string& line : c.absent) EXPECT_FALSE(HasLine(lines, line)) << line << text;
    // Every confinement line belongs to the service section, before the restart lines.
    auto service = std::find(lines.begin(), lines.end(), "[Service]");
    auto install = std::find(lines.begin(), lines.end(), "[Install]");
    ASSERT_TRUE(service < install);
    for (auto it = lines.begin(); it != lines.end(); ++it)
      if (it->rfind("User=", 0) == 0 || it->rfind("Protect", 0) == 0) {
        EXPECT_TRUE(it > service && it < install) << *it;
      }
  }
}

TEST(UnitAccountFor, TheSystemRootsOwnerWithTheInstallationsFolders) {
  qv::testing::ScopedSystemRoot root;
  UnitAccount account;
  // The installing user's own system root (a checkout's instance): no account.
  EXPECT_FALSE(UnitAccountFor(*ServiceByNumber(1), root.path(), &account));
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";

  reg::Key key;
  ASSERT_EQ(reg::CreateKey(kControlKey, "", &key), reg::kSuccess);
  reg::SetString(&key, "MailPath", "/srv/q/mail");
  reg::SetString(&key, "TempPath", "/srv/q/temp");
  reg::SetString(&key, "LogPath", "relative/log");  // not a folder a unit can name
  reg::SetString(&key, "ConfigPath", root.path());  // the same folder only once
  reg::SetDword(&key, "Flags", kSysNtUser);
  ASSERT_EQ(chown(root.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);

  bool shadow = getgrnam(kShadowGroup) != nullptr;
  for (int service : {1, 2, 3}) {
    SCOPED_TRACE(service);
    ASSERT_TRUE(UnitAccountFor(*ServiceByNumber(service), root.path(), &account));
    EXPECT_EQ(account.user, nobody->pw_name);
    EXPECT_EQ(account.write_paths,
              (std::vector<std::string>{root.path(), "/srv/q/mail", "/srv/q/temp"}));
    EXPECT_FALSE(account.home_inside);
    // Only the POP3 service checks passwords of operating-system accounts.
    EXPECT_EQ(account.pam_group, service == 2 && shadow ? kShadowGroup : "");
  }
  reg::SetDword(&key, "Flags", 0);
  ASSERT_TRUE(UnitAccountFor(*ServiceByNumber(2), root.path(), &account));
  EXPECT_EQ(account.pam_group, "");
  ASSERT_EQ(chown(root.path().c_str(), 0, 0), 0);  // back to root's: no account
}

}  // namespace
}  // namespace qv::setup
