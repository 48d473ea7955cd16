// Test helpers of the list and responder code: the mail tests' system with a service whose list
// deliveries are recorded instead of carried out.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/testing/test_env.h"
#include "gtest/gtest.h"
#include "mail/lists.h"
#include "mail/tests/mail_env_util.h"
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

// The mail tests' system (mail_env_util.h) with the domains "example.com;example.org", host
// "mail.example.com" and administrator "postmaster", whose service records the deliveries of
// the list code instead of carrying them out.
class ListEnv : public mail::testing::MailEnv {
 public:
  ListEnv() : MailEnv("example.com;example.org") {
    CopyField(system().HostName, "mail.example.com");
    CopyField(system().AdministratorName, "postmaster");
    service.divert = [this](const mail::Recipient& recipient, std::string_view sender, int fd,
                            const DeliveryPolicy& policy) {
      deliveries.push_back(Delivery{RecipientText(recipient), std::string(sender), ReadFd(fd),
                                    recipient.local(), policy.top_level, policy.replying});
    };
  }

  void AddUser(const std::string& alias, const std::string& domain, int32_t options = 0,
               const std::string& mailbox = "") {
    MailEnv::AddUser(alias, domain, "", mailbox, options);
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

  std::vector<Delivery> deliveries;
};

}  // namespace qv::lists::testing
