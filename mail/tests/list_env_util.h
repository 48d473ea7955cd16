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
#include "platform/fileio.h"

namespace qv::lists::testing {

// One delivery as the list code asked for it, with the message text as it was at that time.
struct Delivery {
  std::string entry;
  std::string sender;
  std::string text;
  bool local = false;
  bool top_level = false;
  bool replying = false;  // delivered as a reply of the list code
};

inline std::string ReadFd(int fd) {
  std::string out;
  char buffer[4096];
  for (int64_t at = 0;;) {
    int64_t n = platform::ReadUpTo(fd, buffer, sizeof buffer, at);
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
    SYSTEMSTRUCT& system = tables_.system();
    CopyField(system.LogPath, tables_.root() + "/log");
    CopyField(system.TempPath, tables_.root() + "/temp");
    ::mkdir(system.TempPath, 0755);
    system.LogLevel = 5;
    CopyField(system.HostName, "mail.example.com");
    CopyField(system.AdministratorName, "postmaster");
    service.settings = &tables_.settings();
    service.log_prefix = "s";
    service.divert = [this](const mail::Recipient& recipient, std::string_view sender, int fd,
                            const DeliveryPolicy& policy) {
      deliveries.push_back(Delivery{RecipientText(recipient), std::string(sender), ReadFd(fd),
                                    recipient.local(), policy.top_level, policy.replying});
    };
  }
  ~ListEnv() { ForgetMessageMaskDecision(); }

  std::string root() const { return tables_.root(); }
  std::string mail() const { return tables_.mail(); }
  std::string config() const { return tables_.config(); }
  // The settings the service runs with; a test may change them before it runs the code.
  SYSTEMSTRUCT& system() { return tables_.system(); }
  const SYSTEMSTRUCT& system() const { return tables_.system(); }

  void AddUser(const std::string& alias, const std::string& domain, int32_t options = 0,
               const std::string& mailbox = "") {
    USERSTRUCT u = qv::testing::MakeUser(alias, domain, "", mailbox);
    u.Options = options;
    ASSERT_EQ(AddRecord(system(), &u), 0);
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
    EXPECT_EQ(AddRecord(system(), &l), 0);
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
    std::string log = qv::testing::ReadFileText(LogFilePath(system().LogPath, prefix, local));
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
