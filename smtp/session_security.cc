// The SMTP commands of encrypted connections: STARTTLS and the EHLO extensions that depend on
// the connection. Without a certificate configured none of them exists: STARTTLS is refused as
// an unknown verb and EHLO is the one it always was.
#include <string>
#include <string_view>

#include "platform/text.h"
#include "smtp/session.h"
#include "smtp/texts.h"

namespace qv::smtp {
namespace {

constexpr std::string_view kStartTlsVerb = "STARTTLS";

// The line without the blanks that may trail it.
std::string_view TrimEnd(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return line;
}

}  // namespace

std::string SmtpSession::WithExtensions(std::string ehlo) const {
  if (!security_.tls_offered || security_.secure) return ehlo;
  // Before the last line ("250 HELP").
  size_t last = ehlo.rfind("\r\n", ehlo.size() - 3);
  size_t at = last == std::string::npos ? 0 : last + 2;
  ehlo.insert(at, kEhloStartTls);
  return ehlo;
}

Reply SmtpSession::StartTls(std::string_view line) {
  line = TrimEnd(line);
  // "STAR" is all the table matches: another verb of those letters stays unknown.
  bool verb = line.size() >= kStartTlsVerb.size() &&
              EqualsNoCase(line.substr(0, kStartTlsVerb.size()), kStartTlsVerb) &&
              (line.size() == kStartTlsVerb.size() || line[kStartTlsVerb.size()] == ' ');
  if (!verb || !security_.tls_offered) return Error(kSyntaxError);
  if (security_.secure) return Error(kTlsActive);
  if (line.size() != kStartTlsVerb.size()) return Error(kStartTlsArguments);
  if (state_.get() == SessionState::kSenderGiven || state_.get() == SessionState::kRecipientsGiven)
    return Error(kStartTlsInTransaction);
  return {kStartTls, kStartTlsReady};
}

void SmtpSession::TlsStarted() {
  // Nothing learnt in clear carries over (RFC 3207, 4.2).
  EndTransaction();
  esmtp_ = false;
  helo_needed_ = true;
  security_.secure = true;
}

}  // namespace qv::smtp
