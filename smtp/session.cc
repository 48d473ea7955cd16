#include "smtp/session.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/address.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "mail/delivery.h"
#include "mail/notice.h"
#include "smtp/command_line.h"
#include "smtp/data_scan.h"
#include "smtp/smtp_mail.h"
#include "smtp/texts.h"
#include "smtp/util.h"

namespace qv::smtp {
namespace {

constexpr uint32_t kAnyState = 0x1f;
constexpr uint32_t kHeloStates =
    StateBit(SessionState::kReady) | StateBit(SessionState::kSenderGiven);
constexpr uint32_t kMailStates =
    StateBit(SessionState::kReady) | StateBit(SessionState::kMessageReceived);
constexpr uint32_t kRcptStates =
    StateBit(SessionState::kSenderGiven) | StateBit(SessionState::kRecipientsGiven);
constexpr uint32_t kDataStates = StateBit(SessionState::kRecipientsGiven);
constexpr uint32_t kNotWithRecipients = kAnyState & ~StateBit(SessionState::kRecipientsGiven);

constexpr const char* kStateNames[] = {"Ready", "SenderGiven", "RecipientsGiven", "MessageReceived",
                                       "Closing"};

bool IsDottedAddress(const std::string& text) {
  in_addr addr{};
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

}  // namespace

int SmtpSession::DomainLiteral(const std::string& domain) const {
  std::string address = settings_.net.Address;
  if (!domain.empty() && domain[0] == '[') {
    return !address.empty() && EqualsNoCase(domain, "[" + address + "]") ? 1 : 0;
  }
  if (!domain.empty() && domain[0] == '#') {
    std::string host = domain.substr(1);
    if (IsDottedAddress(host)) return !address.empty() && host == address ? 1 : 0;
    return !host.empty() && EqualsNoCase(host, system_.HostName) ? 1 : 0;
  }
  return -1;
}

namespace {

using mail::RecipientKind;

}  // namespace

bool SmtpSession::SearchOtherDomains() const {
  return (smtp_.Flags & kSmtpSearchUnknown) != 0;
}

const SmtpSession::Commands::Row SmtpSession::kRows[] = {
    {"HELO", &SmtpSession::Helo, kHeloStates},
    {"EHLO", &SmtpSession::Ehlo, kHeloStates},
    {"MAIL", &SmtpSession::Mail, kMailStates},
    {"SEND", &SmtpSession::Mail, kMailStates},
    {"SAML", &SmtpSession::Mail, kMailStates},
    {"SOML", &SmtpSession::Mail, kMailStates},
    {"RCPT", &SmtpSession::Rcpt, kRcptStates},
    {"DATA", &SmtpSession::Data, kDataStates},
    {"RSET", &SmtpSession::Rset, kAnyState},
    {"VRFY", &SmtpSession::Vrfy, kNotWithRecipients},
    {"EXPN", &SmtpSession::Expn, kNotWithRecipients},
    {"HELP", &SmtpSession::Help, kAnyState},
    {"NOOP", &SmtpSession::Noop, kAnyState},
    {"QUIT", &SmtpSession::Quit, kAnyState},
    {"TURN", &SmtpSession::Turn, kAnyState},
    // Refused as an unknown verb unless a certificate is configured (smtp/session_security.cc).
    {"STAR", &SmtpSession::StartTls, kAnyState},
    {"AUTH", &SmtpSession::Auth, kAnyState},
};

// Verbs are the first four characters of a line.
const SmtpSession::Commands SmtpSession::kCommands = {
    .names = {"SMTP", kStateNames, kTraceLevelSmtpService},
    .match = VerbMatch::kFirstFour,
    .rows = kRows,
    .unknown = {kErrorReply, kSyntaxError},
    .wrong_state = {kErrorReply, kInvalidState},
    .closing = SessionState::kClosing,
};

Reply SmtpSession::Error(const char* text) {
  return {kErrorReply, text};
}

Reply SmtpSession::Positive(std::string text) {
  return {kPositiveReply, std::move(text)};
}

SmtpSession::SmtpSession(const Settings& settings, std::string peer_address,
                         std::shared_ptr<TempFilePool> spool_pool)
    : settings_(settings),
      system_(settings.system),
      smtp_(settings.smtp),
      mail_(SmtpMailService(settings)),
      spool_pool_(spool_pool ? std::move(spool_pool) : std::make_shared<TempFilePool>(1)),
      peer_address_(std::move(peer_address)) {
  WriteLog(system_, kLogLevelMail, 0, kLogEvent, kLogConnect, kLogPrefix);
}

SmtpSession::~SmtpSession() {
  // A message still held here never reached its end line: it is not delivered.
  DiscardSpool();
}

Reply SmtpSession::DispatchCommand(std::string_view line) {
  if (auth_step_ != AuthStep::kNone) return AuthResponse(line);
  if (line.find('\0') != std::string_view::npos) return Error(kSyntaxError);
  return kCommands.Dispatch(*this, state_, line);
}

Reply SmtpSession::Mail(std::string_view line) {
  std::string_view argument;
  if (!KeywordArgument(line, "from", &argument)) return Error(kSyntaxError);
  if (helo_needed_) return Error(kHeloFirst);
  if (security_.submission && !authenticated()) return Error(kAuthRequired);
  uint64_t declared = 0;
  if ((smtp_.Flags & kSmtpEnforceSize) != 0) argument = CutMailParameters(argument, &declared);
  if (esmtp_ && smtp_.ESMTPMaxMsgSize >= 0 &&
      declared > static_cast<uint64_t>(smtp_.ESMTPMaxMsgSize))
    return {kErrorReply, Format(kSizeExceeded, smtp_.ESMTPMaxMsgSize)};
  if (state_.get() == SessionState::kMessageReceived) EndTransaction();

  std::string address, local, domain;
  ExtractAddress(argument, &address);
  SplitAddress(address, &local, &domain);
  if (local.empty()) {
    reverse_path_.clear();
  } else {
    if (domain.empty()) domain = PrimaryDomain(system_);
    reverse_path_ = local + "@" + domain;
  }
  EnterState(SessionState::kSenderGiven);
  return Positive(Format(kSenderOk, address.c_str()));
}

Reply SmtpSession::Rcpt(std::string_view line) {
  std::string_view argument;
  if (!KeywordArgument(line, "to", &argument)) return Error(kSyntaxError);
  size_t end = argument.find_first_of("\r\n");
  if (end != std::string_view::npos) argument = argument.substr(0, end);
  while (!argument.empty() && argument[0] == ' ') argument.remove_prefix(1);
  if (argument.empty()) return Error(kSyntaxError);
  if (entries_ >= kMaxRecipientEntries) return Error(kTooManyRecipients);

  // Several addresses may be separated by ";"; an error ends the command at once.
  std::vector<mail::Recipient> local_before = local_list_, forward_before = forward_list_;
  size_t entries_before = entries_;
  added_deliveries_.clear();
  Reply last;
  for (;;) {
    size_t semicolon = argument.find(';');
    Reply reply = ResolveRecipient(argument.substr(0, semicolon));
    if (reply.code == kErrorReply) return reply;
    last = std::move(reply);
    if (semicolon == std::string_view::npos) break;
    argument.remove_prefix(semicolon + 1);
  }
  if (entries_ > kMaxRecipientEntries) {
    local_list_ = std::move(local_before);
    forward_list_ = std::move(forward_before);
    entries_ = entries_before;
    for (const std::string& key : added_deliveries_) deliveries_.erase(key);
    return Error(kTooManyRecipients);
  }
  EnterState(SessionState::kRecipientsGiven);
  return last;
}

bool SmtpSession::FirstDelivery(const mail::Recipient& recipient) {
  std::string key = mail::RecipientText({recipient.kind, recipient.address, ""});
  for (char& c : key) c = qv::UpperAscii(c);
  if (!deliveries_.insert(key).second) return false;
  added_deliveries_.push_back(std::move(key));
  return true;
}

void SmtpSession::ForgetDeliveries() {
  deliveries_.clear();
  added_deliveries_.clear();
}

// A recipient named twice (or two names of one mailbox, list, command or forward address) is
// answered each time but delivered once.
void SmtpSession::AddLocal(const mail::Recipient& recipient) {
  if (!FirstDelivery(recipient)) return;
  local_list_.push_back(recipient);
  ++entries_;
}

void SmtpSession::AddForward(const mail::Recipient& recipient) {
  if (!FirstDelivery(recipient)) return;
  forward_list_.push_back(recipient);
  ++entries_;
}

Reply SmtpSession::ResolveRecipient(std::string_view address_text) {
  std::string given, local, domain;
  ExtractAddress(address_text, &given);
  SplitAddress(given, &local, &domain);
  if (local.empty()) return Error(kSyntaxError);

  int literal = DomainLiteral(domain);
  if (literal == 0) {
    if (!MayRelay()) return Error(kRelayDenied);
    AddForward({RecipientKind::kForward, given, ""});
    return Positive(Format(kWillForward, given.c_str()));
  }
  if (literal == 1) domain.clear();

  std::string full_name;
  int kind = ClassifyAddress(system_, local, &domain, SearchOtherDomains(), &full_name);
  switch (kind) {
    case kAddressUser: {
      USERSTRUCT user{};
      if (FindRecord(system_, local, domain, &user) != 0)
        return UnknownRecipient(local, domain, given);
      if ((user.Options & kUserRemote) == 0) {
        AddLocal({RecipientKind::kUser, Str(user.Alias) + "@" + Str(user.Domain), given});
        return Positive(Format(kRecipientFound, Str(user.Name).c_str(), Str(user.Alias).c_str(),
                               Str(user.Domain).c_str()));
      }
      std::string target(Str(user.Mailbox));
      AddForward({RecipientKind::kForward, target, ""});
      for (const std::string& copy : SplitAddressList(Str(user.CopyIncoming))) {
        USERSTRUCT other{};
        if (FindUserByAddress(system_, copy, &other)) {
          AddLocal({RecipientKind::kUser, Str(other.Alias) + "@" + Str(other.Domain), ""});
        } else {
          AddForward({RecipientKind::kForward, copy, ""});
        }
      }
      return Positive(Format(kWillForward, target.c_str()));
    }
    case kAddressList: {
      LISTSTRUCT list{};
      if (FindRecord(system_, local, domain, &list) != 0)
        return UnknownRecipient(local, domain, given);
      if ((list.Options & kListOwnerSends) != 0) {
        std::string sender_local, sender_domain;
        SplitAddress(reverse_path_, &sender_local, &sender_domain);
        if (!EqualsNoCase(sender_local, Str(list.OwnerUser)) ||
            !EqualsNoCase(sender_domain, Str(list.OwnerDomain)))
          return Error(kPermissionDenied);
      }
      AddLocal({RecipientKind::kList, Str(list.Name) + "@" + Str(list.Domain), ""});
      return Positive(Format(kRecipientFound, Str(list.Description).c_str(), Str(list.Name).c_str(),
                             Str(list.Domain).c_str()));
    }
    case kAddressCommand: {
      EXECSTRUCT command{};
      if (FindRecord(system_, local, domain, &command) != 0)
        return UnknownRecipient(local, domain, given);
      AddLocal({RecipientKind::kCommand, Str(command.Name) + "@" + Str(command.Domain), ""});
      return Positive(Format(kRecipientFound, Str(command.Description).c_str(),
                             Str(command.Name).c_str(), Str(command.Domain).c_str()));
    }
    case kAddressAccount:
      AddLocal({RecipientKind::kAccount, local + "@" + domain, ""});
      return Positive(Format(kRecipientFound, full_name.c_str(), local.c_str(), domain.c_str()));
    case kAddressRoute:
      return Route(local, domain, given);
    default:
      // A name without a domain (or at this host's own literal) that nothing knows is an
      // unknown local recipient: the forward queue could never deliver it.
      if (domain.empty()) return UnknownRecipient(local, domain, given);
      if (!MayRelay()) return Error(kRelayDenied);
      AddForward({RecipientKind::kForward, given, ""});
      return Positive(Format(kWillForward, given.c_str()));
  }
}

Reply SmtpSession::Route(const std::string& local, const std::string& domain,
                         const std::string& given) {
  ROUTESTRUCT route{};
  if (FindRouteByAddress(system_, local, domain, &route) != 0) return Error(kRouteUnreadable);
  std::string destination = Str(route.Destination);
  switch (route.Type) {
    case kRouteToMail: {
      mail::Recipient target =
          mail::ResolveTarget(system_, destination, given, SearchOtherDomains(), true);
      if (target.local()) {
        AddLocal(target);
      } else {
        AddForward(target);
      }
      return Positive(Format(kWillForward, destination.c_str()));
    }
    case kRouteToHost: {
      mail::Recipient forward{RecipientKind::kForward, local + "@#" + destination, given};
      if (EqualsNoCase(destination, system_.HostName)) {
        std::string found_domain;
        RecipientKind kind = mail::KindOfAddress(
            ClassifyAddress(system_, local, &found_domain, SearchOtherDomains()));
        if (kind != RecipientKind::kForward) AddLocal({kind, local + "@" + found_domain, given});
      } else {
        AddForward(forward);
      }
      return Positive(Format(kWillForward, mail::RecipientText(forward).c_str()));
    }
    case kRouteToDomain: {
      std::string text = local + "@" + destination;
      std::string target_domain = destination;
      RecipientKind kind = mail::KindOfAddress(
          ClassifyAddress(system_, local, &target_domain, SearchOtherDomains()));
      if (kind != RecipientKind::kForward) {
        AddLocal({kind, local + "@" + target_domain, given});
      } else {
        AddForward({kind, local + "@" + target_domain, given});
      }
      return Positive(Format(kWillForward, text.c_str()));
    }
    default:
      return Error(kRouteUnreadable);
  }
}

Reply SmtpSession::UnknownRecipient(const std::string& local, const std::string& domain,
                                    const std::string& given) {
  std::vector<std::string> targets = SplitAddressList(smtp_.ForwardUnknown);
  // Forwarding to an empty ForwardUnknown would accept mail that goes nowhere: refuse instead.
  if ((smtp_.Flags & kSmtpForwardUnknown) == 0 || targets.empty()) {
    if ((smtp_.Flags & kSmtpNotifyUnknown) != 0)
      mail::WriteAdminNotice(mail_, mail::kNoticeUnknownUser, reverse_path_, local + "@" + domain,
                             "", -1);
    return Error(kRecipientNotHere);
  }
  for (const std::string& target : targets) {
    mail::Recipient recipient =
        mail::ResolveTarget(system_, target, given, SearchOtherDomains(), false);
    if (recipient.local()) {
      AddLocal(recipient);
    } else {
      AddForward(recipient);
    }
  }
  return Positive(Format(kUnknownWillForward, smtp_.ForwardUnknown));
}

Reply SmtpSession::Data(std::string_view) {
  return {kStartData, kStartMailInput};
}

Reply SmtpSession::Rset(std::string_view) {
  EndTransaction();
  return Positive(kReset);
}

void SmtpSession::EndTransaction() {
  local_list_.clear();
  forward_list_.clear();
  entries_ = 0;
  ForgetDeliveries();
  DiscardSpool();
  reverse_path_.clear();
  EnterState(SessionState::kReady);
}

void SmtpSession::DiscardSpool() {
  if (spool_) spool_pool_->Release(system_.TempPath, std::move(spool_));
  spool_failed_ = false;
}

bool SmtpSession::StoreMessageText(std::string_view text) {
  if (spool_failed_) return false;
  if (!spool_) {
    spool_ = spool_pool_->Take(system_.TempPath, system_.MailPath);
    if (!spool_) {
      spool_failed_ = true;
      WriteLog(system_, kLogLevelFailure, 0, kLogEvent, kLogSpoolFailed, kLogPrefix);
      return false;
    }
  }
  if (!WriteSpool(spool_.get(), text)) {
    spool_failed_ = true;
    WriteLog(system_, kLogLevelFailure, 0, kLogEvent, kLogSpoolFailed, kLogPrefix);
    return false;
  }
  return true;
}

PendingMessage::PendingMessage(PendingMessage&& other) noexcept {
  *this = std::move(other);
}

PendingMessage& PendingMessage::operator=(PendingMessage&& other) noexcept {
  if (this != &other) {
    local_list = std::move(other.local_list);
    forward_list = std::move(other.forward_list);
    reverse_path = std::move(other.reverse_path);
    std::swap(spool, other.spool);
    spool_ok = other.spool_ok;
    std::swap(spool_pool, other.spool_pool);
    std::swap(spool_directory, other.spool_directory);
  }
  return *this;
}

PendingMessage::~PendingMessage() {
  ReleaseSpool();
}

void PendingMessage::ReleaseSpool() {
  if (spool && spool_pool) spool_pool->Release(spool_directory, std::move(spool));
  spool.Reset();
}

namespace {

// Reads the header of the spool file for its "Received:" lines, up to one more than the limit.
size_t ReceivedLines(int spool_fd) {
  ReceivedLineCounter counter;
  char block[4096];
  int64_t at = 0;
  while (!counter.header_done() && counter.count() <= kMaxReceivedLines) {
    ssize_t got = pread(spool_fd, block, sizeof block, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    counter.Feed(std::string_view(block, static_cast<size_t>(got)));
    at += got;
  }
  return counter.count();
}

}  // namespace

Completion DeliverPendingMessage(const mail::MailService& service, PendingMessage* message) {
  Completion completion;
  if (message->spool && message->spool_ok &&
      ReceivedLines(message->spool.get()) > kMaxReceivedLines) {
    completion.looping = true;
  } else if (message->spool && message->spool_ok) {
    mail::DeliveryReport report;
    if (!message->local_list.empty())
      mail::Deliver(service, message->local_list, message->reverse_path, message->spool.get(), {},
                    &report);
    if (!message->forward_list.empty()) {
      mail::Deliver(service, message->forward_list, message->reverse_path, message->spool.get(), {},
                    &report);
      completion.forward_queued = true;
    }
    completion.stored = report.failures == 0;
  }
  message->ReleaseSpool();
  return completion;
}

PendingMessage SmtpSession::TakeMessage() {
  PendingMessage message;
  message.local_list = std::move(local_list_);
  message.forward_list = std::move(forward_list_);
  message.reverse_path = reverse_path_;
  message.spool_ok = spool_ && !spool_failed_;
  message.spool = std::move(spool_);
  message.spool_pool = spool_pool_;
  message.spool_directory = system_.TempPath;
  local_list_.clear();
  forward_list_.clear();
  entries_ = 0;
  ForgetDeliveries();
  spool_failed_ = false;
  return message;
}

void SmtpSession::RefuseMessage() {
  local_list_.clear();
  forward_list_.clear();
  entries_ = 0;
  ForgetDeliveries();
  DiscardSpool();
}

Completion SmtpSession::CompleteMessage() {
  PendingMessage message = TakeMessage();
  return DeliverPendingMessage(mail_, &message);
}

}  // namespace qv::smtp
