// The SMTP commands outside the mail transaction: the greetings, the questions about addresses
// and commands, and the end of the session.
#include "common/address.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "smtp/command_line.h"
#include "smtp/session.h"
#include "smtp/texts.h"
#include "smtp/util.h"

namespace qv::smtp {

Reply SmtpSession::Helo(std::string_view) {
  EnterState(SessionState::kReady);
  helo_needed_ = false;
  return Positive(Format(kHelo, system_.HostName, peer_address_.c_str()));
}

Reply SmtpSession::Ehlo(std::string_view) {
  if ((smtp_.Flags & kSmtpEsmtp) == 0) return Error(kNotImplemented);
  EnterState(SessionState::kReady);
  esmtp_ = true;
  helo_needed_ = false;
  if ((smtp_.Flags & kSmtpEnforceSize) != 0)
    return Positive(WithExtensions(
        Format(kEhloWithSize, system_.HostName, peer_address_.c_str(), smtp_.ESMTPMaxMsgSize)));
  return Positive(WithExtensions(Format(kEhlo, system_.HostName, peer_address_.c_str())));
}

Reply SmtpSession::Vrfy(std::string_view line) {
  if (line.size() <= 5) return Error(kSyntaxError);
  std::string_view args = CommandArguments(line);
  std::string address, local, domain;
  ExtractAddress(args, &address);
  SplitAddress(address, &local, &domain);
  if (local.empty()) return Error(kSyntaxError);
  std::string full_name;
  switch (ClassifyAddress(system_, local, &domain, false, &full_name)) {
    case kAddressUser: {
      USERSTRUCT user{};
      if (FindRecord(system_, local, domain, &user) != 0) return Error(kRecipientNotHere);
      if ((user.Options & kUserRemote) != 0)
        return Positive(Format(kWillForward, Str(user.Mailbox).c_str()));
      return Positive(Format(kRecipientFound, Str(user.Name).c_str(), Str(user.Alias).c_str(),
                             Str(user.Domain).c_str()));
    }
    case kAddressList:
      return Error(kIsAList);
    case kAddressCommand: {
      EXECSTRUCT command{};
      if (FindRecord(system_, local, domain, &command) != 0) return Error(kRecipientNotHere);
      return Positive(Format(kRecipientFound, Str(command.Description).c_str(),
                             Str(command.Name).c_str(), Str(command.Domain).c_str()));
    }
    case kAddressAccount:
      return Positive(Format(kRecipientFound, full_name.c_str(), local.c_str(), domain.c_str()));
    default:
      return Error(kRecipientNotHere);
  }
}

Reply SmtpSession::Expn(std::string_view line) {
  if (line.size() <= 5) return Error(kSyntaxError);
  std::string_view args = CommandArguments(line);
  std::string address, local, domain;
  ExtractAddress(args, &address);
  SplitAddress(address, &local, &domain);
  if (local.empty()) return Error(kSyntaxError);
  LISTSTRUCT list{};
  if (FindRecord(system_, local, domain, &list) != 0) {
    USERSTRUCT user{};
    if (FindRecord(system_, local, domain, &user) == 0) return Error(kIsAUser);
    return Error(kRecipientNotHere);
  }
  if ((list.Options & kListHidden) != 0) return Error(kPermissionDenied);
  std::string members = ExpandMembers(system_, list);
  // The last member line ends the reply.
  size_t last = members.rfind("250-");
  if (members.empty() || last == std::string::npos) return Error(kNoMembers);
  members[last + 3] = ' ';
  return Positive(std::move(members));
}

Reply SmtpSession::Help(std::string_view line) {
  std::string_view args = CommandArguments(line);
  while (!args.empty() && (args[0] == ' ' || args[0] == '\t')) args.remove_prefix(1);
  if (args.empty() || (args.size() >= 4 && EqualsNoCase(args.substr(0, 4), "HELP")))
    return Positive(kHelpCommands);
  if (args.size() >= 4) {
    for (const HelpTopic& topic : kHelpTopics)
      if (EqualsNoCase(args.substr(0, 4), topic.topic)) return Positive(topic.text);
  }
  return Positive(kHelpUnknown);
}

Reply SmtpSession::Noop(std::string_view) {
  return Positive(kOk);
}

Reply SmtpSession::Quit(std::string_view) {
  EnterState(SessionState::kClosing);
  return Positive(Format(kClosing, peer_address_.c_str()));
}

Reply SmtpSession::Turn(std::string_view) {
  return Positive(kNoTurn);
}

}  // namespace qv::smtp
