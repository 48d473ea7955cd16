// Collection of mail from remote POP3 accounts: the checks of one account (shared, or personal
// for each user whose PopAccount names it), each a fetch conversation (net/pop3_conversation.h)
// driven over a line client. Fetched messages are received into temporary files
// (fetched_message.h) and delivered beside the conversation (delivery_pool.h).
//
// A check blocks on the network: the service runs it beside its event loop (see
// collect_runner.h), never on the loop's thread. Every wait is bounded and ends early when the
// cancel descriptor becomes readable.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/dialup_link.h"
#include "common/records.h"
#include "net/pop3_conversation.h"
#include "pop3/fetched_message.h"

namespace qv {
class LineClient;
}

namespace qv::pop3 {

// The most bytes the client holds of one line while it waits for its end: a longer line ends
// the conversation as a broken connection does.
constexpr size_t kCollectReadMax = 1024 * 1024;
// The wait for a reply, a piece of a message or the server's taking of a command.
constexpr int kCollectReceiveTimeoutMs = 60000;
constexpr int kCollectConnectTimeoutMs = 60000;
// A fetched message may be this many times larger than the server said in its reply to LIST,
// but never less than kLeastMessageLimit (servers count sizes their own way), nor more than the
// SMTP service's ESMTPMaxMsgSize where that service enforces it. A larger message is read to its
// end, dropped and left on the server.
constexpr uint64_t kAnnouncedSizeFactor = 10;
constexpr uint64_t kLeastMessageLimit = 64 * 1024;
// The time one message may take from RETR to its end line, however steadily the server sends:
// a message still coming then ends the conversation as a broken connection does.
constexpr std::chrono::milliseconds kMessageTimeLimit{10 * 60 * 1000};
// The time after which a conversation starts no further message: it ends in order with QUIT,
// and the messages not yet fetched wait for the next check. A conversation so ends at most one
// message time limit and a few reply waits later.
constexpr std::chrono::milliseconds kConversationTimeLimit{15 * 60 * 1000};
// The pause between the users of a personal account.
constexpr std::chrono::milliseconds kPauseBetweenUsers{1000};
// Messages of one conversation delivered at the same time. Each delivery ends by flushing its
// files to disk; the file system commits concurrent flushes together.
constexpr size_t kParallelDeliveries = 16;
// The port of POP3 over TLS from the first byte (RFC 8314), and the scheme that asks for it.
constexpr uint16_t kPop3sPort = 995;
inline constexpr char kPop3sScheme[] = "pop3s://";

// ---- Servers -----------------------------------------------------------------------------------

// Where an account's server is, from its Server field: "host", "host:port" or
// "pop3s://host[:port]".
struct AccountServer {
  std::string host;  // without scheme and port: the name the server's certificate must have
  uint16_t port = 0;
  bool implicit_tls = false;  // TLS from the first byte (POP3S), before the greeting
};

// Reads an account's Server field; `default_port` is PortEx (0: 110; a pop3s:// server without
// a port: 995). TLS from the first byte for a pop3s:// server whatever `tls_remote` says (the
// administrator asked for it by name), and on port 995 when `tls_remote` asks for TLS (1 or 2):
// with 0 every byte stays in clear, as it always was. False when it names no host, or a bad port.
bool ParseAccountServer(std::string_view server, int default_port, int tls_remote,
                        AccountServer* out);

// ---- Checks ------------------------------------------------------------------------------------

// One message fetched for `recipients` ("local@domain": the user of a personal account, or the
// local recipients found in a shared account message, none when it has none) from `sender`, in
// the plain file `message_fd` (read with pread from its start). False when the message could not
// be stored: the conversation then ends without QUIT, so that the server keeps the mail.
using FetchedDelivery = std::function<bool(const std::vector<std::string>& recipients,
                                           std::string_view sender, int message_fd)>;

// What a check needs besides the account.
struct CollectContext {
  Settings settings;
  FetchedDelivery deliver;
  // The dial-up link of accounts with option 0x2 (it must outlive the checks); the default
  // stands for a machine without dial-up networking.
  DialupLink* dialup = &NoDialupLink();
  // Whether an address is not foreign; empty: ClassifyAddress of the directory tables.
  FetchedMessage::LocalTest is_local;
  int cancel_fd = -1;
  // PEM file of the certificates the servers' certificates are checked against (POP3 TLSVerify
  // 1); empty: the system's store. The service takes it from kCollectCaFileVariable.
  std::string tls_ca_file;
  // Each wait of the TLS handshake is bounded by receive_timeout_ms, and ends at the cancel.
  int receive_timeout_ms = kCollectReceiveTimeoutMs;
  int connect_timeout_ms = kCollectConnectTimeoutMs;
  std::chrono::milliseconds message_time_limit = kMessageTimeLimit;
  std::chrono::milliseconds conversation_time_limit = kConversationTimeLimit;
  std::chrono::milliseconds pause_between_users = kPauseBetweenUsers;
  // Above 1, `deliver` is called from that many threads at once and must allow it.
  size_t parallel_deliveries = kParallelDeliveries;
};

// Who a conversation logs in as and for whom it delivers.
struct FetchTarget {
  std::string local;  // the user's alias and domain (personal); empty for a shared account
  std::string domain;
  std::string login;
  std::string password;
  bool shared = false;
  std::string account;  // the account's name and its Server field, for the log
  std::string server;
  AccountServer where;  // the name its certificate is checked against, and TLS from the start
};

enum class FetchResult {
  kOk,      // the conversation ended in order
  kFailed,  // it did not (a negative reply, a broken connection, a message not stored)
  kNoTls,   // TLS is required (or the handshake began) and failed: the login was never sent
};

// Holds one conversation on a connected client. With POP3 TLSRemote 1 or 2 it asks for STLS
// before the login, and with TLS from the first byte (target.where) the handshake comes before
// the greeting; a certificate is checked as POP3 TLSVerify says. A message is
// delivered, and deleted on the server, only when its end line arrived. Deliveries run beside
// the conversation (up to parallel_deliveries at a time), so DELE k may go out while message k
// is still being written; QUIT, which makes the server apply the deletions, is sent only when
// every delivery has ended, and not at all when one of them could not store its message (the
// conversation then fails). A conversation that ends otherwise also waits for them. A message
// larger than FetchedMessageLimit is read to its end and dropped, and gets no DELE.
FetchResult FetchMailbox(const CollectContext& context, LineClient& client,
                         const FetchTarget& target);

// The most bytes message `announced_size` (the size in the reply to LIST) may have when fetched.
uint64_t FetchedMessageLimit(const Settings& settings, uint64_t announced_size);

// Checks the account `name` of the accounts table: 1 when the check ran in order, 0 when the
// account is unknown or the check failed. TLS that is required and not to be had ends the check
// of the account (for a personal account: for the users not yet taken too), logged at level 1.
int CheckAccount(const CollectContext& context, const std::string& name);
int CheckSharedAccount(const CollectContext& context, const ACCOUNTSTRUCT& account);
int CheckUserAccounts(const CollectContext& context, const ACCOUNTSTRUCT& account);

}  // namespace qv::pop3
