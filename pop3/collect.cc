#include "pop3/collect.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/maillog.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "net/dns.h"
#include "net/line_client.h"
#include "pop3/collect_texts.h"
#include "pop3/delivery_pool.h"

namespace qv::pop3 {

namespace {

void Log(const CollectContext& context, int level, int number, const char* tag,
         std::string_view text) {
  WriteLog(context.settings.system, level, number, tag, text, kLogPrefixPop3);
}

// Whether an address is not foreign, by the directory tables of `system`.
FetchedMessage::LocalTest DefaultIsLocal(const SYSTEMSTRUCT& system) {
  return [&system](std::string_view local, std::string_view domain) {
    std::string d(domain);
    return ClassifyAddress(system, local, &d, false) != kAddressForeign;
  };
}

// Sends a command of the conversation and logs it.
bool SendCommand(const CollectContext& context, LineClient& client, const std::string& command) {
  Log(context, kLogLevelProtocol, client.fd(), kLogSent, command);
  return client.Send(command, context.receive_timeout_ms);
}

// One reply line, cut to kCollectLineMax bytes, logged. False when none arrived.
bool ReadReply(const CollectContext& context, LineClient& client, std::string* reply) {
  *reply = client.ReadLine(context.receive_timeout_ms);
  if (reply->empty()) return false;
  if (reply->size() > kCollectLineMax) reply->resize(kCollectLineMax);
  Log(context, kLogLevelProtocol, client.fd(), kLogReceived, *reply);
  return true;
}

enum class Reception {
  kComplete,  // the end line arrived and the file holds all of the message
  kCut,       // the end line did not arrive, or the file could not be written
  kTooLarge,  // read to its end line, but dropped at the size limit
  kTimedOut,  // still coming at the message time limit
};

// Receives the message after a positive reply to RETR into `message`, up to `limit` bytes (a
// larger message is read on to its end line but not stored), within the message time limit.
Reception ReceiveMessage(const CollectContext& context, LineClient& client, FetchedMessage* message,
                         uint64_t limit) {
  auto deadline = std::chrono::steady_clock::now() + context.message_time_limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Reception::kTimedOut;
    int wait_ms = static_cast<int>(std::min<int64_t>(context.receive_timeout_ms, left.count()));
    std::string line = client.ReadLine(wait_ms);
    if (line.empty()) {
      // A wait cut short by the message's deadline.
      bool timed_out =
          client.failure() == LineClient::Failure::kTimeout && wait_ms < context.receive_timeout_ms;
      return timed_out ? Reception::kTimedOut : Reception::kCut;
    }
    std::string_view rest = line;
    while (!rest.empty()) {
      std::string_view piece = rest.substr(0, kCollectLineMax);
      rest.remove_prefix(piece.size());
      if (!message->AddLine(piece)) {
        if (message->dropped()) return Reception::kTooLarge;
        return message->Finish() ? Reception::kComplete : Reception::kCut;
      }
      if (message->dropped()) continue;
      if (message->size() > limit) {
        message->Drop();
        continue;
      }
      Log(context, kLogLevelData, client.fd(), kLogData, piece);
    }
  }
}

// True when every delivery stored the message.
bool Deliver(const CollectContext& context, const FetchTarget& target,
             const FetchedMessage& message) {
  if (!context.deliver) return true;
  if (!target.shared)
    return context.deliver({target.local + "@" + target.domain}, message.sender(), message.fd());
  return context.deliver(message.Recipients(), message.sender(), message.fd());
}

long long Seconds(std::chrono::milliseconds ms) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(ms).count());
}

// Waits for `ms` unless the cancel descriptor becomes readable first (then false).
bool Pause(int cancel_fd, std::chrono::milliseconds ms) {
  pollfd p{cancel_fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, cancel_fd >= 0 ? 1 : 0, static_cast<int>(ms.count()));
  } while (r < 0 && errno == EINTR);
  return r == 0;
}

bool Cancelled(int cancel_fd) {
  if (cancel_fd < 0) return false;
  pollfd p{cancel_fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// The server of an account as a dotted address and port (a "host:port" form is taken too).
bool ResolveServer(const CollectContext& context, const ACCOUNTSTRUCT& account,
                   std::string* address, uint16_t* port) {
  std::string host;
  uint16_t default_port = static_cast<uint16_t>(context.settings.pop3.PortEx);
  if (default_port == 0) default_port = 110;
  in_addr resolved{};
  if (!SplitHostPort(FieldText(account.Server), default_port, &host, port) ||
      !ResolveIPv4(host, &resolved)) {
    Log(context, kLogLevelFailure, 0, kLogEvent,
        Format(kLogUnknownServer, std::string(FieldText(account.Server)).c_str()));
    return false;
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &resolved, text, sizeof text);
  *address = text;
  return true;
}

bool OpenDialup(const CollectContext& context, const ACCOUNTSTRUCT& account) {
  std::string profile(FieldText(account.DialProfile));
  std::string error;
  if (context.dialup->Open(profile, &error)) return true;
  Log(context, kLogLevelLink, 0, kLogEvent,
      Format(kLogDialupFailed, profile.c_str(), error.c_str()));
  return false;
}

// Connects the client to the resolved server; logs the failure.
bool ConnectTo(const CollectContext& context, LineClient& client, const std::string& address,
               uint16_t port) {
  if (client.Connect(address, port, context.connect_timeout_ms) == ConnectResult::kConnected)
    return true;
  Log(context, kLogLevelFailure, 0, kLogEvent, kLogConnectionTimedOut);
  client.Close();
  return false;
}

}  // namespace

uint64_t FetchedMessageLimit(const Settings& settings, uint64_t announced_size) {
  uint64_t limit = kLeastMessageLimit;
  if (announced_size <= UINT64_MAX / kAnnouncedSizeFactor)
    limit = std::max(limit, announced_size * kAnnouncedSizeFactor);
  else
    limit = UINT64_MAX;
  if ((settings.smtp.Flags & kSmtpEnforceSize) != 0 && settings.smtp.ESMTPMaxMsgSize >= 0)
    limit = std::min(limit, static_cast<uint64_t>(settings.smtp.ESMTPMaxMsgSize));
  return limit;
}

bool FetchMailbox(const CollectContext& context, LineClient& client, const FetchTarget& target) {
  FetchConversation conversation(target.login, target.password);
  FetchedMessage::LocalTest is_local =
      context.is_local ? context.is_local : DefaultIsLocal(context.settings.system);
  DeliveryPool deliveries(context.parallel_deliveries, target.shared,
                          [&context, &target](const FetchedMessage& message) {
                            return Deliver(context, target, message);
                          });
  auto end_by = std::chrono::steady_clock::now() + context.conversation_time_limit;
  std::string reply;
  if (!ReadReply(context, client, &reply)) return false;
  FetchStep step = conversation.OnReply(reply);
  for (;;) {
    if (conversation.state() == FetchState::kList && std::chrono::steady_clock::now() >= end_by) {
      Log(context, kLogLevelFailure, client.fd(), kLogEvent,
          Format(kLogConversationTimeLimit, Seconds(context.conversation_time_limit),
                 conversation.message()));
      step = conversation.EndEarly();
    }
    if (step.end && conversation.ok()) {
      // QUIT makes the server apply the deletions: every message must be stored first.
      deliveries.Wait();
      if (deliveries.failed()) {
        Log(context, kLogLevelFailure, client.fd(), kLogEvent, kLogNotStored);
        return false;
      }
    }
    if (!step.send.empty() && !SendCommand(context, client, step.send)) return false;
    if (step.end) {
      // The server applies the deletions when it takes QUIT and answers after that: closing
      // before the answer could end the session before they are done.
      if (conversation.ok()) ReadReply(context, client, &reply);
      return conversation.ok();
    }
    if (step.receive) {
      std::unique_ptr<FetchedMessage> message = deliveries.Take(is_local);
      uint64_t announced = conversation.announced_size();
      uint64_t limit = FetchedMessageLimit(context.settings, announced);
      Reception reception =
          message->Open(context.settings.system.TempPath, context.settings.system.MailPath)
              ? ReceiveMessage(context, client, message.get(), limit)
              : Reception::kCut;
      switch (reception) {
        case Reception::kComplete:
          if (message->skipped_recipients() > 0)
            Log(context, kLogLevelMail, client.fd(), kLogEvent,
                Format(kLogRecipientsSkipped, conversation.message(), message->skipped_recipients(),
                       kMaxFetchedRecipients));
          deliveries.Submit(std::move(message));
          step = conversation.OnMessageEnd(true);
          break;
        case Reception::kTooLarge:
          Log(context, kLogLevelFailure, client.fd(), kLogEvent,
              Format(kLogMessageTooLarge, conversation.message(),
                     static_cast<unsigned long long>(limit),
                     static_cast<unsigned long long>(announced)));
          step = conversation.OnMessageSkipped();
          break;
        case Reception::kCut:
          Log(context, kLogLevelFailure, client.fd(), kLogEvent,
              Format(kLogMessageCut, conversation.message()));
          step = conversation.OnMessageEnd(false);
          break;
        case Reception::kTimedOut:
          Log(context, kLogLevelFailure, client.fd(), kLogEvent,
              Format(kLogMessageTimeLimit, conversation.message(),
                     Seconds(context.message_time_limit)));
          step = conversation.OnMessageEnd(false);
          break;
      }
      continue;
    }
    if (!ReadReply(context, client, &reply)) return false;
    step = conversation.OnReply(reply);
  }
}

int CheckAccount(const CollectContext& context, const std::string& name) {
  ACCOUNTSTRUCT account{};
  if (name.empty() || FindRecord(context.settings.system, name, &account) != 0) return 0;
  if ((account.Options & kAccountShared) != 0) return CheckSharedAccount(context, account);
  return CheckUserAccounts(context, account);
}

int CheckSharedAccount(const CollectContext& context, const ACCOUNTSTRUCT& account) {
  std::string name(FieldText(account.Name));
  std::string server(FieldText(account.Server));
  Log(context, kLogLevelMail, 0, kLogEvent,
      Format(kLogConnectShared, server.c_str(), name.c_str()));
  bool dialup = (account.Options & kAccountDialup) != 0;
  if (dialup && !OpenDialup(context, account)) return 0;
  int result = 0;
  std::string address;
  uint16_t port = 0;
  if (ResolveServer(context, account, &address, &port)) {
    LineClient client(context.cancel_fd, kCollectReadMax);
    if (ConnectTo(context, client, address, port)) {
      FetchTarget target;
      target.login = std::string(FieldText(account.Account));
      target.password = std::string(FieldText(account.Password));
      target.shared = true;
      result = FetchMailbox(context, client, target) ? 1 : 0;
      client.Close();
    }
  }
  if (dialup) context.dialup->Close(std::string(FieldText(account.DialProfile)));
  return result;
}

int CheckUserAccounts(const CollectContext& context, const ACCOUNTSTRUCT& account) {
  std::string name(FieldText(account.Name));
  // The users are taken from one walk of the table, so that the table is not held locked while
  // the conversations run.
  std::vector<USERSTRUCT> users;
  int walked = ForEachRecord(context.settings.system, Table::kUser, [&](const void* record) {
    const auto& user = *static_cast<const USERSTRUCT*>(record);
    if ((user.Options & kUserPopLookup) != 0 && EqualsNoCase(FieldText(user.PopAccount), name))
      users.push_back(user);
    return true;
  });
  if (walked != 0) return 0;
  Log(context, kLogLevelMail, 0, kLogEvent, Format(kLogCheckingAccount, name.c_str()));
  if (users.empty()) return 1;

  bool dialup = (account.Options & kAccountDialup) != 0;
  if (dialup && !OpenDialup(context, account)) return 0;
  std::string server(FieldText(account.Server));
  std::string address;
  uint16_t port = 0;
  bool resolved = ResolveServer(context, account, &address, &port);
  int result = resolved ? 1 : 0;
  int last_socket = 0;
  bool taken = false;
  // A user whose conversation fails does not stop the others; a server that cannot be reached
  // does.
  for (size_t i = 0; resolved && i < users.size(); ++i) {
    const USERSTRUCT& user = users[i];
    if (i > 0 && !Pause(context.cancel_fd, context.pause_between_users)) break;
    if (Cancelled(context.cancel_fd)) break;
    LineClient client(context.cancel_fd, kCollectReadMax);
    taken = true;
    if (!ConnectTo(context, client, address, port)) {
      result = 0;
      break;
    }
    last_socket = client.fd();
    std::string alias(FieldText(user.Alias));
    std::string domain(FieldText(user.Domain));
    Log(context, kLogLevelMail, 0, kLogEvent,
        Format(kLogConnectUser, server.c_str(), alias.c_str(), domain.c_str()));
    FetchTarget target;
    target.local = alias;
    target.domain = domain;
    if ((account.Options & kAccountUserLogin) != 0) {
      target.login = alias;
      target.password = std::string(FieldText(user.Password));
    } else {
      target.login = std::string(FieldText(account.Account));
      target.password = std::string(FieldText(account.Password));
    }
    if (!FetchMailbox(context, client, target)) result = 0;
    client.Close();
  }
  if (taken) Log(context, kLogLevelMail, last_socket, kLogEvent, kLogConnectionClosed);
  if (dialup) context.dialup->Close(std::string(FieldText(account.DialProfile)));
  return result;
}

}  // namespace qv::pop3
