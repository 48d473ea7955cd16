// The SMTP commands of encrypted connections and authenticated submission: STARTTLS, AUTH
// PLAIN and LOGIN (only inside TLS), the EHLO extensions that depend on the connection, and
// relay control. Without a certificate configured none of them exists: STARTTLS and AUTH are
// refused as unknown verbs and EHLO is the one it always was; without the relay setting every
// client may relay.
#include <algorithm>
#include <string>
#include <string_view>

#include "common/accounts.h"
#include "common/address.h"
#include "common/records.h"
#include "common/tables.h"
#include "platform/text.h"
#include "smtp/relay_networks.h"
#include "smtp/session.h"
#include "smtp/texts.h"

namespace qv::smtp {
namespace {

constexpr std::string_view kStartTlsVerb = "STARTTLS";

// Base64 (RFC 4648) without line breaks; false on any other character or a wrong length.
bool DecodeBase64(std::string_view text, std::string* out) {
  out->clear();
  if (text.size() % 4 != 0) return false;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  for (size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0 || (v[k] = value(c)) < 0) return false;
    }
    uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out->push_back(static_cast<char>(n >> 16));
    if (pad < 2) out->push_back(static_cast<char>((n >> 8) & 0xff));
    if (pad < 1) out->push_back(static_cast<char>(n & 0xff));
  }
  return true;
}

// The line without the blanks that may trail it.
std::string_view TrimEnd(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return line;
}

}  // namespace

std::string SmtpSession::WithExtensions(std::string ehlo) const {
  std::string_view extension = security_.secure        ? kEhloAuth
                               : security_.tls_offered ? kEhloStartTls
                                                       : "";
  if (extension.empty()) return ehlo;
  // Before the last line ("250 HELP").
  size_t last = ehlo.rfind("\r\n", ehlo.size() - 3);
  size_t at = last == std::string::npos ? 0 : last + 2;
  ehlo.insert(at, extension);
  return ehlo;
}

Reply SmtpSession::Auth(std::string_view line) {
  line = TrimEnd(line);
  if (line.size() > 4 && line[4] != ' ') return Error(kSyntaxError);  // another verb
  if (!security_.secure && !security_.tls_offered) return Error(kSyntaxError);
  if (!security_.secure) return Error(kAuthNeedsTls);
  if (authenticated()) return Error(kAuthAlready);
  if (state_.get() == SessionState::kSenderGiven || state_.get() == SessionState::kRecipientsGiven)
    return Error(kAuthInTransaction);
  std::string_view rest = line.size() > 4 ? line.substr(5) : std::string_view();
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  size_t blank = rest.find(' ');
  std::string_view mechanism = rest.substr(0, blank);
  std::string_view initial = blank == std::string_view::npos ? "" : rest.substr(blank + 1);
  while (!initial.empty() && initial.front() == ' ') initial.remove_prefix(1);
  auth_name_.clear();
  if (EqualsNoCase(mechanism, "PLAIN")) {
    auth_step_ = AuthStep::kPlain;
    if (initial.empty()) return Positive(kAuthChallenge);
    return AuthResponse(initial == "=" ? "" : initial);
  }
  if (EqualsNoCase(mechanism, "LOGIN")) {
    auth_step_ = AuthStep::kLoginName;
    if (initial.empty()) return Positive(kAuthAskName);
    return AuthResponse(initial);
  }
  return Error(kAuthMechanism);
}

size_t SmtpSession::LoggedLength(std::string_view line) const {
  if (auth_step_ != AuthStep::kNone) return 0;
  if (line.size() <= 5 || !StartsWithNoCase(line, "AUTH ")) return line.size();
  size_t at = 5;
  while (at < line.size() && line[at] == ' ') ++at;
  size_t end = line.find(' ', at);
  if (end == std::string_view::npos) return line.size();
  size_t initial = line.find_first_not_of(' ', end);
  return initial == std::string_view::npos ? line.size() : end;
}

Reply SmtpSession::AuthResponse(std::string_view line) {
  AuthStep step = auth_step_;
  auth_step_ = AuthStep::kNone;
  line = TrimEnd(line);
  if (line == "*") return Error(kAuthCancelled);
  std::string decoded;
  if (!DecodeBase64(line, &decoded)) return Error(kAuthUndecodable);
  switch (step) {
    case AuthStep::kPlain: {
      // authorization identity NUL name NUL password; the identity is empty or the name.
      size_t first = decoded.find('\0');
      size_t second = first == std::string::npos ? first : decoded.find('\0', first + 1);
      if (second == std::string::npos) return Error(kAuthUndecodable);
      std::string identity = decoded.substr(0, first);
      std::string name = decoded.substr(first + 1, second - first - 1);
      std::string password = decoded.substr(second + 1);
      std::fill(decoded.begin(), decoded.end(), '\0');
      if (!identity.empty() && identity != name) {
        auth_name_ = identity;
        return AuthCheck(identity, "");  // acting for another user is not allowed
      }
      return AuthCheck(std::move(name), std::move(password));
    }
    case AuthStep::kLoginName:
      auth_name_ = decoded;
      auth_step_ = AuthStep::kLoginPassword;
      return Positive(kAuthAskPassword);
    case AuthStep::kLoginPassword:
      return AuthCheck(auth_name_, std::move(decoded));
    case AuthStep::kNone:
      break;
  }
  return Error(kSyntaxError);
}

Reply SmtpSession::AuthCheck(std::string name, std::string password) {
  auth_name_ = name;
  std::string alias, domain;
  SplitAddress(name, &alias, &domain);
  USERSTRUCT user{};
  bool ok = !alias.empty() && name.find('\0') == std::string::npos &&
            FindRecord(system_, alias, domain, &user) == 0 && (user.Options & kUserRemote) == 0 &&
            PasswordMatches(FieldText(user.Password), password);
  std::fill(password.begin(), password.end(), '\0');
  Reply reply;
  reply.code = kAuthAnswer;
  if (ok) {
    auth_user_ = std::string(FieldText(user.Alias)) + "@" + std::string(FieldText(user.Domain));
    reply.text = kAuthSucceeded;
  } else {
    reply.text = kAuthFailed;
    reply.delayed = true;
    reply.failed_logon = true;
  }
  return reply;
}

bool SmtpSession::MayRelay() const {
  std::string_view networks = FieldText(smtp_.RelayNetworks);
  if (networks.find_first_not_of(" \t") == std::string_view::npos) return true;  // not set
  return authenticated() || InRelayNetworks(peer_address_, networks);
}

Reply SmtpSession::StartTls(std::string_view line) {
  line = TrimEnd(line);
  // "STAR" is all the table matches: another verb of those letters stays unknown.
  bool verb = line.size() >= kStartTlsVerb.size() &&
              EqualsNoCase(line.substr(0, kStartTlsVerb.size()), kStartTlsVerb) &&
              (line.size() == kStartTlsVerb.size() || line[kStartTlsVerb.size()] == ' ');
  if (!verb || (!security_.tls_offered && !security_.secure)) return Error(kSyntaxError);
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
