// Collection of mail from remote POP3 accounts: the client conversation (log in, fetch every
// message, delete it on the server, log out), the reception of a fetched message into a
// temporary file with its sender and, for a shared account, its local recipients, and the
// checks of one account (shared, or personal for each user whose PopAccount names it).
//
// A check blocks on the network: the service runs it beside its event loop (see
// collect_runner.h), never on the loop's thread. Every wait is bounded and ends early when the
// cancel descriptor becomes readable.
//
// Messages are stored as they arrive: lines that begin with a dot stay doubled, as in mail
// received by SMTP, and are sent unchanged by the POP3 service.
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
#include "platform/unique_fd.h"

namespace qv {
class LineClient;
}

namespace qv::pop3 {

// The longest reply or message line the client handles as one line; a longer line is taken in
// pieces of this size.
constexpr size_t kCollectLineMax = 4096;
// The most bytes the client holds of one line while it waits for its end: a longer line ends
// the conversation as a broken connection does.
constexpr size_t kCollectReadMax = 1024 * 1024;
// The wait for a reply, a piece of a message or the server's taking of a command.
constexpr int kCollectReceiveTimeoutMs = 60000;
constexpr int kCollectConnectTimeoutMs = 60000;
// The pause between the users of a personal account.
constexpr std::chrono::milliseconds kPauseBetweenUsers{1000};
// Messages of one conversation delivered at the same time. Each delivery ends by flushing its
// files to disk; the file system commits concurrent flushes together.
constexpr size_t kParallelDeliveries = 16;

// ---- The conversation ------------------------------------------------------------------------

enum class FetchState {
  kGreeting,  // waiting for the greeting
  kUser,      // waiting for the reply to USER
  kPass,      // to PASS
  kStat,      // to STAT
  kList,      // to LIST k
  kRetr,      // to RETR k (the status line before the message)
  kMessage,   // receiving message k
  kDele,      // to DELE k of a message before the last
  kLastDele,  // to DELE of the last message
  kDone,      // QUIT sent: the conversation ended in order
  kFailed,    // ended by a negative reply, a broken connection or an incomplete message
};

// What the client does next.
struct FetchStep {
  std::string send;      // a command to send (empty: none)
  bool receive = false;  // then receive message `message` up to its end line
  bool end = false;      // the conversation is over (see FetchConversation::ok)
};

// The client side of one conversation as a state table; it never touches a socket: it takes
// each reply line and says what to send next.
//
// | state     | reply awaited | positive reply: send            | next                 |
// | kGreeting | greeting      | USER login                      | kUser                |
// | kUser     | to USER       | PASS password                   | kPass                |
// | kPass     | to PASS       | STAT                            | kStat                |
// | kStat     | to STAT       | n >= 1: LIST 1; else QUIT       | kList, or kDone      |
// | kList     | to LIST k     | RETR k (needs "+OK k size")     | kRetr                |
// | kRetr     | to RETR k     | nothing: receive the message    | kMessage             |
// | kMessage  | (message end) | DELE k                          | kDele, or kLastDele  |
// | kDele     | to DELE k     | LIST k+1                        | kList                |
// | kLastDele | to DELE n     | QUIT                            | kDone                |
//
// Any other reply ends the conversation at once, without QUIT (kFailed): deletions already
// asked for are then not applied by the server, and those messages come again next time. The
// answer to QUIT is read (FetchMailbox) but does not change the outcome.
class FetchConversation {
 public:
  FetchConversation(std::string login, std::string password);

  // The reply line (with or without its line end) to what was sent last.
  FetchStep OnReply(std::string_view reply);
  // The message being received ended: `complete` when its end line arrived and it was handed
  // to delivery. A message that did not arrive whole is neither delivered nor deleted.
  FetchStep OnMessageEnd(bool complete);

  FetchState state() const { return state_; }
  // True when the conversation reached its end without a negative reply.
  bool ok() const { return state_ == FetchState::kDone; }
  int count() const { return count_; }
  // The number of the message being fetched (from 1).
  int message() const { return message_; }

 private:
  using Handler = FetchStep (FetchConversation::*)(std::string_view reply);
  struct Row {
    FetchState state;
    Handler handler;
  };
  static const Row kTable[];

  FetchStep Greeting(std::string_view reply);
  FetchStep User(std::string_view reply);
  FetchStep Pass(std::string_view reply);
  FetchStep Stat(std::string_view reply);
  FetchStep List(std::string_view reply);
  FetchStep Retr(std::string_view reply);
  FetchStep Dele(std::string_view reply);
  FetchStep LastDele(std::string_view reply);
  FetchStep Fail();

  std::string login_;
  std::string password_;
  FetchState state_ = FetchState::kGreeting;
  int count_ = 0;
  int message_ = 0;
};

// True when the reply begins with "+OK" (in any case).
bool IsPositiveReply(std::string_view reply);

// ---- Addresses in header lines -----------------------------------------------------------------

// The address around the first "@" at or after `from`: bounded before by a blank, tab, "<", a
// quote, ";", "," or ":" and after by ";", ",", ">", a blank, tab, a quote, CR, LF or the end.
// Empty when no "@" follows. *next (when given) receives the position after the address.
std::string AddressAround(std::string_view line, size_t from = 0, size_t* next = nullptr);

// ---- Reception of one message
// --------------------------------------------------------------------

// A fetched message on its way into a temporary file in TempPath: lines are given one at a time
// as received (the status line of RETR is not one of them). Header lines give the sender (the
// "From:" field, with its continuation lines) and, for a shared account, the recipients: the
// first address of a "Received:" field that is not foreign, else every address of the "To:" and
// "Cc:" fields, each once (compared without regard to case). Only the header is searched.
class FetchedMessage {
 public:
  // `is_local` tells whether an address is not foreign (ClassifyAddress); used for shared
  // accounts only.
  using LocalTest = std::function<bool(std::string_view local, std::string_view domain)>;

  FetchedMessage(bool shared, LocalTest is_local);
  ~FetchedMessage();
  FetchedMessage(const FetchedMessage&) = delete;
  FetchedMessage& operator=(const FetchedMessage&) = delete;

  // Makes the temporary file in `temp_path` (or `mail_path` when that cannot be made) ready for
  // a new message: the file of a previous message is emptied and used again, else a new one is
  // created. False when no file can be had.
  bool Open(const std::string& temp_path, std::string_view mail_path);
  // Closes and deletes the temporary file and forgets the message (the destructor does it too).
  void Discard();

  // One received line with its line end (a line longer than kCollectLineMax is given in pieces:
  // the first and the following ones in order). Returns true while the message goes on, false
  // when this was its end line (not stored). Write errors are kept for Finish.
  bool AddLine(std::string_view line);

  // Writes what is buffered. False when the file could not be written.
  bool Finish();

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  const std::string& sender() const { return sender_; }
  // The recipients of a shared account (empty: none found, or a personal account).
  std::vector<std::string> Recipients() const;
  uint64_t size() const { return size_; }

 private:
  enum class Field { kNone, kFrom, kReceived, kToCc };
  void HeaderLine(std::string_view line);
  bool Flush();
  // Forgets the message but keeps the file.
  void Forget();

  bool shared_;
  LocalTest is_local_;
  platform::UniqueFd fd_;
  std::string path_;
  std::string buffer_;
  bool failed_ = false;
  uint64_t size_ = 0;
  bool at_line_start_ = true;
  bool in_header_ = true;
  Field field_ = Field::kNone;  // the header field the current line belongs to
  std::string sender_;
  std::string received_;  // first local address of a Received field
  std::vector<std::string> to_cc_;
};

// ---- Checks
// ---------------------------------------------------------------------------------------

// One message fetched for `local`@`domain` (both empty: a shared account message without a
// local recipient) from `sender`, in the plain file `message_fd` (read with pread from its
// start). False when the message could not be stored: the conversation then ends without QUIT,
// so that the server keeps the mail.
using FetchedDelivery = std::function<bool(std::string_view local, std::string_view domain,
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
  int receive_timeout_ms = kCollectReceiveTimeoutMs;
  int connect_timeout_ms = kCollectConnectTimeoutMs;
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
};

// Holds one conversation on a connected client: true when it ended in order. A message is
// delivered, and deleted on the server, only when its end line arrived. Deliveries run beside
// the conversation (up to parallel_deliveries at a time), so DELE k may go out while message k
// is still being written; QUIT, which makes the server apply the deletions, is sent only when
// every delivery has ended, and not at all when one of them could not store its message (the
// conversation then fails). A conversation that ends otherwise also waits for them.
bool FetchMailbox(const CollectContext& context, LineClient& client, const FetchTarget& target);

// Checks the account `name` of the accounts table: 1 when the check ran in order, 0 when the
// account is unknown or the check failed.
int CheckAccount(const CollectContext& context, const std::string& name);
int CheckSharedAccount(const CollectContext& context, const ACCOUNTSTRUCT& account);
int CheckUserAccounts(const CollectContext& context, const ACCOUNTSTRUCT& account);

}  // namespace qv::pop3
