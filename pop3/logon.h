// Logon of an operating-system account, for users who are not in the user table (the common
// option NTUSER): the machine's PAM stack is asked, under the service name "quorvane" (PAM's
// default policy "other" applies where the machine has no such service file), to authenticate
// the account with the password and to allow its use now.
#pragma once

#include <string>

namespace qv::pop3 {

inline constexpr char kPamServiceName[] = "quorvane";

// The PAM result: PAM_SUCCESS when the password is right and the account may be used, else the
// first failure (PAM_AUTH_ERR, PAM_PERM_DENIED, PAM_AUTHINFO_UNAVAIL, ...).
int SystemLogon(const std::string& user, const std::string& password);

// Tests only: replaces the PAM stack (null restores it).
using SystemLogonFunction = int (*)(const std::string& user, const std::string& password);
void SetSystemLogonForTesting(SystemLogonFunction logon);

}  // namespace qv::pop3
