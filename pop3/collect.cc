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

// The server of an account (ParseAccountServer) and its dotted address.
bool ResolveServer(const CollectContext& context, const ACCOUNTSTRUCT& account,
                   AccountServer* where, std::string* address) {
  in_addr resolved{};
  if (!ParseAccountServer(FieldText(account.Server), context.settings.pop3.PortEx,
                          context.settings.pop3.TLSRemote, where) ||
      !ResolveIPv4(where->host, &resolved)) {
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
               const AccountServer& where) {
  if (client.Connect(address, where.port, context.connect_timeout_ms) == ConnectResult::kConnected)
    return true;
  Log(context, kLogLevelFailure, 0, kLogEvent, kLogConnectionTimedOut);
  client.Close();
  return false;
}

// Runs the TLS handshake on the client, its waits bounded and cancelled as every other; logs why
// it failed or the certificate was refused.
bool StartTls(const CollectContext& context, LineClient& client, const FetchTarget& target) {
  TlsTrust trust;
  trust.ca_file = context.tls_ca_file;
  bool verify = context.settings.pop3.TLSVerify != 0;
  if (client.StartTls(target.where.host, trust, verify, context.receive_timeout_ms) ==
      TlsChannel::Outcome::kOk)
    return true;
  Log(context, kLogLevelFailure, client.fd(), kLogEvent,
      Format(kLogTlsFailed, target.server.c_str(), target.account.c_str(),
             client.tls_error().c_str()));
  return false;
}

// The capability list after a positive reply to CAPA: its lines up to the end line, logged.
// Empty when it did not arrive whole.
std::string ReadList(const CollectContext& context, LineClient& client) {
  std::string list =
      client.ReadUntil([](std::string_view line) { return line == kMessageEnd || line == ".\n"; },
                       context.receive_timeout_ms);
  for (std::string_view rest = list; !rest.empty();) {
    std::string_view line = rest.substr(0, rest.find('\n') + 1);
    if (line.empty()) line = rest;
    rest.remove_prefix(line.size());
    Log(context, kLogLevelProtocol, client.fd(), kLogReceived, line.substr(0, kCollectLineMax));
  }
  return list;
}

// The reply (or its absence) that left the conversation without TLS, which is required.
void LogNoTls(const CollectContext& context, LineClient& client, const FetchTarget& target,
              FetchState asked, std::string_view reply) {
  if (asked == FetchState::kStls) {
    std::string answer(TrimLine(reply));
    Log(context, kLogLevelFailure, client.fd(), kLogEvent,
        Format(kLogStlsRefused, target.server.c_str(), target.account.c_str(), answer.c_str()));
    return;
  }
  Log(context, kLogLevelFailure, client.fd(), kLogEvent,
      Format(kLogNoStls, target.server.c_str(), target.account.c_str()));
}

}  // namespace

bool ParseAccountServer(std::string_view server, int default_port, int tls_remote,
                        AccountServer* out) {
  *out = {};
  uint16_t port = static_cast<uint16_t>(default_port);
  if (port == 0) port = 110;
  bool pop3s = StartsWithNoCase(server, kPop3sScheme);
  if (pop3s) {
    server.remove_prefix(sizeof kPop3sScheme - 1);
    port = kPop3sPort;
  }
  if (!SplitHostPort(server, port, &out->host, &out->port)) return false;
  out->implicit_tls = pop3s || (tls_remote > 0 && out->port == kPop3sPort);
  return true;
}

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

FetchResult FetchMailbox(const CollectContext& context, LineClient& client,
                         const FetchTarget& target) {
  FetchSecurity security;
  security.tls = std::clamp(context.settings.pop3.TLSRemote, 0, 2);
  security.in_tls = target.where.implicit_tls;
  if (security.in_tls && !StartTls(context, client, target)) return FetchResult::kNoTls;
  FetchConversation conversation(target.login, target.password, security);
  FetchedMessage::LocalTest is_local =
      context.is_local ? context.is_local : DefaultIsLocal(context.settings.system);
  DeliveryPool deliveries(context.parallel_deliveries, target.shared,
                          [&context, &target](const FetchedMessage& message) {
                            return Deliver(context, target, message);
                          });
  auto end_by = std::chrono::steady_clock::now() + context.conversation_time_limit;
  std::string reply;
  if (!ReadReply(context, client, &reply)) return FetchResult::kFailed;
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
        return FetchResult::kFailed;
      }
    }
    if (!step.send.empty() && !SendCommand(context, client, step.send))
      return conversation.state() == FetchState::kNoTls ? FetchResult::kNoTls
                                                        : FetchResult::kFailed;
    if (step.end) {
      // The server applies the deletions when it takes QUIT and answers after that: closing
      // before the answer could end the session before they are done.
      if (conversation.ok()) ReadReply(context, client, &reply);
      if (conversation.state() == FetchState::kNoTls) return FetchResult::kNoTls;
      return conversation.ok() ? FetchResult::kOk : FetchResult::kFailed;
    }
    if (step.start_tls) {
      if (!StartTls(context, client, target)) return FetchResult::kNoTls;
      step = conversation.OnTlsStarted();
      continue;
    }
    if (step.read_list) {
      step = conversation.OnReply(ReadList(context, client));
      if (conversation.state() == FetchState::kNoTls)
        LogNoTls(context, client, target, FetchState::kCapaList, {});
      continue;
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
    if (!ReadReply(context, client, &reply)) return FetchResult::kFailed;
    FetchState asked = conversation.state();
    step = conversation.OnReply(reply);
    if (conversation.state() == FetchState::kNoTls) LogNoTls(context, client, target, asked, reply);
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
  AccountServer where;
  if (ResolveServer(context, account, &where, &address)) {
    LineClient client(context.cancel_fd, kCollectReadMax);
    if (ConnectTo(context, client, address, where)) {
      FetchTarget target;
      target.login = std::string(FieldText(account.Account));
      target.password = std::string(FieldText(account.Password));
      target.shared = true;
      target.account = name;
      target.server = server;
      target.where = where;
      result = FetchMailbox(context, client, target) == FetchResult::kOk ? 1 : 0;
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
  AccountServer where;
  bool resolved = ResolveServer(context, account, &where, &address);
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
    if (!ConnectTo(context, client, address, where)) {
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
    target.account = name;
    target.server = server;
    target.where = where;
    if ((account.Options & kAccountUserLogin) != 0) {
      target.login = alias;
      target.password = std::string(FieldText(user.Password));
    } else {
      target.login = std::string(FieldText(account.Account));
      target.password = std::string(FieldText(account.Password));
    }
    FetchResult fetched = FetchMailbox(context, client, target);
    client.Close();
    if (fetched != FetchResult::kOk) result = 0;
    // The server offers no TLS to the next user either: the account waits for the next check.
    if (fetched == FetchResult::kNoTls) break;
  }
  if (taken) Log(context, kLogLevelMail, last_socket, kLogEvent, kLogConnectionClosed);
  if (dialup) context.dialup->Close(std::string(FieldText(account.DialProfile)));
  return result;
}

}  // namespace qv::pop3
