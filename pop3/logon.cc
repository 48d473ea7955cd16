#include "pop3/logon.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace qv::pop3 {

namespace {

SystemLogonFunction g_logon_for_testing = nullptr;

struct Credentials {
  std::string user;
  std::string password;
};

// Answers PAM's questions: the password for a hidden prompt, the user name for a visible one;
// messages are acknowledged with an empty answer.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses,
             void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  // PAM frees the answers with free(), so they are allocated with calloc and strdup.
  auto* answers =
      static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  const auto* credentials = static_cast<const Credentials*>(data);
  for (int i = 0; i < count; ++i) {
    // The answers are texts without NUL: the view ends where its string does.
    std::string_view text =
        PamAnswer(messages[i]->msg_style, credentials->user, credentials->password);
    answers[i].resp = strndup(text.data(), text.size());
    if (answers[i].resp == nullptr) {
      for (int j = 0; j < i; ++j) std::free(answers[j].resp);
      std::free(answers);
      return PAM_BUF_ERR;
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
}

int PamLogon(const std::string& user, const std::string& password, const std::string& peer) {
  Credentials credentials{user, password};
  struct pam_conv conversation = {Converse, &credentials};
  pam_handle_t* handle = nullptr;
  int result = pam_start(kPamServiceName, user.c_str(), &conversation, &handle);
  if (result != PAM_SUCCESS) return result;
  if (!peer.empty()) pam_set_item(handle, PAM_RHOST, peer.c_str());
  result = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (result == PAM_SUCCESS) result = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  pam_end(handle, result);
  std::memset(credentials.password.data(), 0, credentials.password.size());
  return result;
}

}  // namespace

std::string_view PamAnswer(int style, std::string_view user, std::string_view password) {
  switch (style) {
    case PAM_PROMPT_ECHO_OFF:
      return password;
    case PAM_PROMPT_ECHO_ON:
      // A visible prompt asks for a name: the password must never be shown there.
      return user;
    default:
      return {};
  }
}

int SystemLogon(const std::string& user, const std::string& password, const std::string& peer) {
  if (g_logon_for_testing != nullptr) return g_logon_for_testing(user, password, peer);
  return PamLogon(user, password, peer);
}

void SetSystemLogonForTesting(SystemLogonFunction logon) {
  g_logon_for_testing = logon;
}

}  // namespace qv::pop3
