#include "common/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/strings.h"

namespace qv {
namespace {

bool MachineAccount(const std::string& name, SystemAccount* account) {
  if (name.empty() || name.find('\0') != std::string::npos) return false;
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
  passwd pw{};
  passwd* found = nullptr;
  for (;;) {
    int rc = getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return false;
    break;
  }
  account->name = pw.pw_name;
  account->gecos = pw.pw_gecos ? pw.pw_gecos : "";
  account->groups.clear();

  std::vector<gid_t> gids(32);
  int count = static_cast<int>(gids.size());
  while (getgrouplist(pw.pw_name, pw.pw_gid, gids.data(), &count) < 0) {
    if (count <= static_cast<int>(gids.size())) count = static_cast<int>(gids.size()) * 2;
    if (count > 65536) return true;  // no groups readable: the check refuses
    gids.resize(static_cast<size_t>(count));
  }
  gids.resize(static_cast<size_t>(count));

  long group_hint = sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> group_buffer(group_hint > 0 ? static_cast<size_t>(group_hint) : 4096);
  for (gid_t gid : gids) {
    group gr{};
    group* hit = nullptr;
    int rc;
    while ((rc = getgrgid_r(gid, &gr, group_buffer.data(), group_buffer.size(), &hit)) == ERANGE &&
           group_buffer.size() < (1u << 22))
      group_buffer.resize(group_buffer.size() * 2);
    if (rc == 0 && hit != nullptr) account->groups.emplace_back(gr.gr_name);
  }
  return true;
}

SystemAccountSource g_source = nullptr;

}  // namespace

bool FindSystemAccount(const std::string& name, SystemAccount* account) {
  return g_source ? g_source(name, account) : MachineAccount(name, account);
}

void SetSystemAccountSource(SystemAccountSource source) {
  g_source = source;
}

bool NtAccountLookup(std::string_view group_setting, std::string_view local_part,
                     std::string* full_name) {
  std::string group(group_setting);
  if (group.empty() || local_part.empty()) return false;
  SystemAccount account;
  if (!FindSystemAccount(std::string(local_part), &account)) return false;
  bool member = false;
  for (const std::string& g : account.groups)
    if (EqualsNoCase(g, group)) member = true;
  if (!member) return false;
  if (full_name) *full_name = account.gecos.substr(0, account.gecos.find(','));
  return true;
}

bool PasswordMatches(std::string_view stored, std::string_view given) {
  return !stored.empty() && EqualsNoCase(stored, given);
}

}  // namespace qv
