#include "smtp/forward_run.h"

#include <cstdlib>

#include "common/maillog.h"
#include "common/strings.h"
#include "smtp/forward_texts.h"
#include "smtp/texts.h"

namespace qv::smtp {

ForwardRun::ForwardRun(const Settings& settings) : system_(settings.system) {
  const SMTPSTRUCT& smtp = settings.smtp;
  tls_ = smtp.TLSOutgoing >= 0 && smtp.TLSOutgoing <= 2 ? smtp.TLSOutgoing : 0;
  verify_ = smtp.TLSVerify != 0;
  user_ = smtp.ExchangeUser;
  password_ = smtp.ExchangePassword;
  if (tls_ == 0) return;
  if (const char* ca = std::getenv(kForwardCaFileVariable)) trust_.ca_file = ca;
  if (Status loaded = LoadTlsTrust(&trust_); !loaded.ok())
    WriteLog(system_, kLogLevelFailure, 0, kLogEvent, Format(kLogTlsTrust, loaded.error().c_str()),
             kLogPrefix);
}

bool ForwardRun::LoginFor(bool smart_host, std::string* user, std::string* password) {
  user->clear();
  password->clear();
  if (!smart_host || user_.empty()) return false;
  if (tls_ == 0) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!clear_login_logged_)
      WriteLog(system_, kLogLevelFailure, 0, kLogEvent, kLogLoginWithoutTls, kLogPrefix);
    clear_login_logged_ = true;
    return false;
  }
  *user = user_;
  *password = password_;
  return true;
}

bool ForwardRun::LoginRefused(const std::string& host) const {
  std::lock_guard<std::mutex> lock(mu_);
  return refused_.count(host) != 0;
}

bool ForwardRun::RefuseLogin(const std::string& host) {
  std::lock_guard<std::mutex> lock(mu_);
  return refused_.insert(host).second;
}

}  // namespace qv::smtp
