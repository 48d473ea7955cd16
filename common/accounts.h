// Operating-system accounts as mail users: when the common option NTUSER is set, an address of
// the domain `NTDomain` whose local part names an account of the machine's account database
// (which includes a directory service where the name service is configured for one) is a mail
// user when the account belongs to the group named by `NTUser`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

// An account as the account database gives it.
struct SystemAccount {
  std::string name;
  std::string gecos;                // the comment text: full name, then further ","-fields
  std::vector<std::string> groups;  // names of every group the account belongs to
};

// The one access to the account database: false when there is no account of that name.
// By default getpwnam and getgrouplist; tests install a fake.
bool FindSystemAccount(const std::string& name, SystemAccount* account);

using SystemAccountSource = bool (*)(const std::string& name, SystemAccount* account);

// Replaces the account database (null restores the machine's).
void SetSystemAccountSource(SystemAccountSource source);

// The account check: true when `local_part` names an account that is a member of the group
// `group` (the NTUser setting, compared without regard to case), with the account's full name
// (the first ","-separated field of its comment text) in *full_name. Refuses when `group` is
// empty.
bool NtAccountLookup(std::string_view group, std::string_view local_part, std::string* full_name);

// The one password check of every logon (POP3 PASS, the control login, the password service):
// true when `given` is the record's `stored` password, compared without regard to case. A
// record without a password never logs on, whatever is given.
bool PasswordMatches(std::string_view stored, std::string_view given);

// The note the tools show beside a user whose password is empty (without a line end).
inline constexpr char kNoPasswordNote[] = "Note: A user without a password cannot log on.";

}  // namespace qv
