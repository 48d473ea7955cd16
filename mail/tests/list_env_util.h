// Test helpers of the list and responder code: a system with tables, mail, log and temporary
// folders, and a service whose deliveries are recorded instead of stored.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/table_env.h"
#include "common/testing/test_env.h"
#include "gtest/gtest.h"
#include "mail/lists.h"

namespace qv::lists::testing {

// One delivery as the list code asked for it, with the message text as it was at that time.
struct Delivery {
  std::string entry;
  std::string sender;
  std::string text;
  bool local = false;
  bool top_level = false;
  bool replying = false;  // ListCommandsInProgress() during the delivery
};

inline std::string ReadFd(int fd) {
  std::string out;
  char buffer[4096];
  for (off_t at = 0;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return out;
}

class ListEnv {
 public:
  ListEnv() {
    ForgetMessageMaskDecision();
    CopyField(g_System.LogPath, tables_.root() + "/log");
    CopyField(g_System.TempPath, tables_.root() + "/temp");
    ::mkdir(g_System.TempPath, 0755);
    g_System.LogLevel = 5;
    CopyField(g_System.HostName, "mail.example.com");
    CopyField(g_System.AdministratorName, "postmaster");
    service.log_prefix = "s";
    service.deliver = [this](std::string_view entry, std::string_view sender, int fd, bool local,
                             bool top_level) {
      deliveries.push_back(Delivery{std::string(entry), std::string(sender), ReadFd(fd), local,
                                    top_level, ListCommandsInProgress()});
    };
  }
  ~ListEnv() { ForgetMessageMaskDecision(); }

  std::string root() const { return tables_.root(); }
  std::string mail() const { return tables_.mail(); }
  std::string config() const { return tables_.config(); }

  void AddUser(const std::string& alias, const std::string& domain, int32_t options = 0,
               const std::string& mailbox = "") {
    USERSTRUCT u = qv::testing::MakeUser(alias, domain, "", mailbox);
    u.Options = options;
    ASSERT_EQ(AddRecord(&u), 0);
  }

  LISTSTRUCT AddList(const std::string& name, const std::string& domain, int32_t options,
                     const std::string& owner_user = "owner",
                     const std::string& owner_domain = "example.com",
                     const std::string& description = "") {
    LISTSTRUCT l{};
    CopyField(l.Name, name);
    CopyField(l.Domain, domain);
    CopyField(l.Description, description.empty() ? name + " list" : description);
    CopyField(l.FileName, MembersPath(name));
    CopyField(l.OwnerUser, owner_user);
    CopyField(l.OwnerDomain, owner_domain);
    CopyField(l.LogFile, ListLogPath(name));
    l.Options = options;
    EXPECT_EQ(AddRecord(&l), 0);
    return l;
  }

  std::string MembersPath(const std::string& list) const { return config() + "/" + list + ".mls"; }
  std::string ListLogPath(const std::string& list) const { return root() + "/" + list + ".log"; }

  // The members as "address|name", in file order.
  std::vector<std::string> Members(const std::string& list) const {
    std::string bytes = qv::testing::ReadFileText(MembersPath(list));
    std::vector<std::string> out;
    for (size_t at = 0; at + sizeof(MEMBERSTRUCT) <= bytes.size(); at += sizeof(MEMBERSTRUCT)) {
      MEMBERSTRUCT m;
      std::memcpy(&m, bytes.data() + at, sizeof m);
      if (m.Address[0] != '\0') out.push_back(FormatMemberLine(m));
    }
    return out;
  }

  void WriteMembers(const std::string& list, const std::vector<std::string>& lines,
                    const std::string& tail = "") {
    std::string bytes;
    for (const std::string& line : lines) {
      MEMBERSTRUCT m{};
      ParseMemberLine(line, &m);
      bytes.append(reinterpret_cast<const char*>(&m), sizeof m);
    }
    qv::testing::WriteFileText(MembersPath(list), bytes + tail);
  }

  // The texts of today's transaction log lines of `prefix` ("%05d  date   *** text").
  std::vector<std::string> LogTexts(const std::string& prefix = "s") const {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string log = qv::testing::ReadFileText(LogFilePath(g_System.LogPath, prefix, local));
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < log.size()) {
      size_t end = log.find("\r\n", pos);
      if (end == std::string::npos) end = log.size();
      std::string line = log.substr(pos, end - pos);
      size_t tag = line.find("*** ");
      if (tag != std::string::npos) out.push_back(line.substr(tag + 4));
      pos = end + 2;
    }
    return out;
  }

  // The files of a folder of MailPath (a mailbox or "forward"), sorted.
  std::vector<std::string> Files(const std::string& folder) const {
    std::vector<std::string> out;
    if (DIR* d = opendir((mail() + "/" + folder).c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') out.push_back(mail() + "/" + folder + "/" + e->d_name);
      }
      closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // The unmasked text of the only message file of a folder of MailPath ("" when not one).
  std::string OnlyMessage(const std::string& folder) const {
    std::vector<std::string> files = Files(folder);
    std::string text;
    if (files.size() != 1 || ReadMessageFile(files[0], 0, &text) != 0) return "";
    return text;
  }

  MailService service;
  std::vector<Delivery> deliveries;

 private:
  qv::testing::ScopedSystemRoot system_root_;
  qv::testing::ScopedTables tables_;
};

}  // namespace qv::lists::testing
