// Logon of an operating-system account, for users who are not in the user table (the common
// option NTUSER): the machine's PAM stack is asked, under the service name "quorvane" (PAM's
// default policy "other" applies where the machine has no such service file), to authenticate
// the account with the password and to allow its use now.
#pragma once

#include <string>
#include <string_view>

namespace qv::pop3 {

inline constexpr char kPamServiceName[] = "quorvane";

// The PAM result: PAM_SUCCESS when the password is right and the account may be used, else the
// first failure (PAM_AUTH_ERR, PAM_PERM_DENIED, PAM_AUTHINFO_UNAVAIL, ...). `peer` (the client's
// address) is PAM_RHOST, so that PAM's own modules can count failures per host. PAM asks through
// its conversation: a hidden prompt is answered with the password, a visible one with the user
// name (never the password). PAM's delay after a failure is kept: call this away from the
// event loop (the POP3 connection runs it on the worker pool).
int SystemLogon(const std::string& user, const std::string& password, const std::string& peer);

// The conversation's answer to one PAM message of `style`: the password for PAM_PROMPT_ECHO_OFF,
// the user name for PAM_PROMPT_ECHO_ON, nothing for the messages PAM only shows.
std::string_view PamAnswer(int style, std::string_view user, std::string_view password);

// Tests only: replaces the PAM stack (null restores it).
using SystemLogonFunction = int (*)(const std::string& user, const std::string& password,
                                    const std::string& peer);
void SetSystemLogonForTesting(SystemLogonFunction logon);

}  // namespace qv::pop3
