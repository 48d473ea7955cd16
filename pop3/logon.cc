#include "pop3/logon.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace qv::pop3 {

namespace {

SystemLogonFunction g_logon_for_testing = nullptr;

// Answers PAM's questions: the password for a hidden prompt, the user name for a visible one;
// messages are acknowledged with an empty answer.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses,
             void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  // PAM frees the answers with free(), so they are allocated with calloc and strdup.
  auto* answers =
      static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  const auto* password = static_cast<const std::string*>(data);
  for (int i = 0; i < count; ++i) {
    const char* text = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
      case PAM_PROMPT_ECHO_ON:
        text = password->c_str();
        break;
      default:
        text = "";
        break;
    }
    answers[i].resp = strdup(text);
    if (answers[i].resp == nullptr) {
      for (int j = 0; j < i; ++j) std::free(answers[j].resp);
      std::free(answers);
      return PAM_BUF_ERR;
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
}

// The service runs every session on one thread: PAM's delay after a failed attempt would hold
// up every other client, so the delay is left out.
void NoDelay(int, unsigned, void*) {}

int PamLogon(const std::string& user, const std::string& password) {
  std::string secret = password;
  struct pam_conv conversation = {Converse, &secret};
  pam_handle_t* handle = nullptr;
  int result = pam_start(kPamServiceName, user.c_str(), &conversation, &handle);
  if (result != PAM_SUCCESS) return result;
  void (*delay)(int, unsigned, void*) = NoDelay;
  pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(delay));
  result = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (result == PAM_SUCCESS) result = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  pam_end(handle, result);
  std::memset(secret.data(), 0, secret.size());
  return result;
}

}  // namespace

int SystemLogon(const std::string& user, const std::string& password) {
  if (g_logon_for_testing != nullptr) return g_logon_for_testing(user, password);
  return PamLogon(user, password);
}

void SetSystemLogonForTesting(SystemLogonFunction logon) {
  g_logon_for_testing = logon;
}

}  // namespace qv::pop3
