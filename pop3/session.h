// The POP3 conversation of one connection: the session record, its states and the command
// table. A session takes one received command line and returns the reply (and, for RETR and
// TOP, the message to send); it never touches a socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "pop3/message.h"
#include "serve/command_table.h"

namespace qv::pop3 {

// The states of a session.
enum class Pop3State : uint32_t {
  kAuthorization = 0,  // waiting for USER
  kUserGiven = 1,      // user name given, waiting for PASS
  kTransaction = 2,    // mailbox open
  kUpdate = 3,         // deletions being applied
  kClosing = 4,        // the connection is closed after the reply
};

// Result codes of DispatchPop3Command.
constexpr int kResultNoSession = 0;
constexpr int kResultError = 1;     // error reply
constexpr int kResultPositive = 2;  // positive reply
constexpr int kResultMessage = 3;   // positive reply followed by the message (RETR)
constexpr int kResultTop = 4;       // positive reply followed by the cut message (TOP)
// The reply waits for the operating system's logon of Pop3Reply::logon: run SystemLogon with it
// away from the event loop, then FinishSystemLogon gives the reply.
constexpr int kResultLogon = 5;
// The reply goes out in clear, then the connection switches to TLS (STLS).
constexpr int kResultStartTls = 6;

// A failed PASS or NEWPASS is answered only after this pause, so that guessing passwords over
// one connection is slow; other connections are served meanwhile.
constexpr std::chrono::seconds kFailedLogonDelay{1};

// One message found when the mailbox was opened, as MessageList gives it.
struct POPMSGSTRUCT {
  int32_t Deleted = 0;   // 1 = marked deleted
  int64_t Size = 0;      // the file size in the listing
  std::string FileName;  // the name within the mailbox directory; also the message's UIDL
};

// The messages found when the mailbox was opened, in listing order, kept as columns: every file
// name in one buffer, the sizes and the deleted marks in arrays, about 31 bytes a message on
// ordinary names. Indexes count from 0 (message n is index n - 1).
class MessageList {
 public:
  // Adds a message at the end; false (nothing added) when the names would pass 4 GB.
  bool Add(std::string_view name, int64_t size);
  // Gives back the room reserved beyond the messages held.
  void Trim();
  // Empties the list and gives back its memory.
  void Clear();

  size_t size() const { return sizes_.size(); }
  bool empty() const { return sizes_.empty(); }
  // The file name; its data() is followed by a NUL.
  std::string_view Name(size_t i) const;
  int64_t Size(size_t i) const { return sizes_[i]; }
  bool Deleted(size_t i) const { return deleted_[i] != 0; }
  void MarkDeleted(size_t i) { deleted_[i] = 1; }
  void UnmarkAll();
  // A copy of one message's fields.
  POPMSGSTRUCT operator[](size_t i) const;

 private:
  std::string names_;                // each name followed by a NUL
  std::vector<uint32_t> name_ends_;  // where each name's NUL is in names_
  std::vector<int64_t> sizes_;
  std::vector<uint8_t> deleted_;  // 1 = marked deleted
};

// The session record of one connection (its state is the session's).
struct POPSESSIONSTRUCT {
  std::string UserName;     // the argument of the last accepted USER
  std::string PeerAddress;  // the client's dotted address
  uint32_t MessageCount = 0;
  uint32_t HighestRetrieved = 0;  // for LAST
  int64_t TotalOctets = 0;
  int32_t CurrentCount = 0;  // messages not marked deleted
  int64_t CurrentOctets = 0;
  std::string MailboxDirectory;
  MessageList Messages;  // in listing order; message n is Messages[n - 1]
};

// What a command gives back: `code` is a kResult value; `file` is the stored (masked) message
// of kResultMessage and kResultTop, `top_lines` the body lines kResultTop sends, `logon` the
// request of kResultLogon. A failed PASS or NEWPASS is `delayed` (by kFailedLogonDelay); a PASS
// that did not log on is a `failed_logon`, logged with the user and the peer.
using Pop3Reply = CommandReply;

// Longest USER line (the command word, a blank and up to 128 characters of name).
constexpr size_t kMaxUserLine = 133;
// Longest password NEWPASS stores (the width of the user record's field less its zero).
constexpr size_t kMaxPasswordLength = 80;

class Pop3Session {
 public:
  // `settings` must outlive the session.
  Pop3Session(const Settings& settings, std::string_view peer_address);
  Pop3Session(const Pop3Session&) = delete;
  Pop3Session& operator=(const Pop3Session&) = delete;

  // Handles one command line: the text as received, with or without its line end. Text after
  // the first NUL is ignored.
  Pop3Reply Dispatch(std::string_view line);

  // The reply to a PASS that waited for the operating system's logon (kResultLogon), given the
  // PAM result of SystemLogon.
  Pop3Reply FinishSystemLogon(int pam_result);

  // What the connection allows: `offered`, STLS may be used (a certificate is configured and
  // the connection is not in TLS); `secure`, the connection is in TLS. With either, CAPA
  // answers; with neither, STLS and CAPA are unknown commands.
  void SetTls(bool offered, bool secure) {
    tls_offered_ = offered;
    secure_ = secure;
  }
  // The handshake is done.
  void TlsStarted() {
    tls_offered_ = false;
    secure_ = true;
  }
  bool secure() const { return secure_; }

  Pop3State state() const { return state_.get(); }
  const POPSESSIONSTRUCT& record() const { return s_; }

  // Builds the message list of the mailbox directory `mailbox` under MailPath, creating the
  // directory when it is missing: the ordinary files whose names end in ".in", hidden files
  // (names beginning with ".") skipped, in the order the file system lists them. False when the
  // name may not become a directory or the directory cannot be read.
  bool OpenMailbox(std::string_view mailbox);

  // Deletes every file of the message list that is marked deleted; failures are ignored.
  void ApplyDeletions();

 private:
  const SYSTEMSTRUCT& system_;
  using Commands = CommandTable<Pop3Session, Pop3State>;
  static const Commands::Row kRows[];
  static const Commands kCommands;

  Pop3Reply Helo(std::string_view line);
  Pop3Reply User(std::string_view line);
  Pop3Reply Pass(std::string_view line);
  Pop3Reply Quit(std::string_view line);
  Pop3Reply Stat(std::string_view line);
  Pop3Reply List(std::string_view line);
  Pop3Reply Retr(std::string_view line);
  Pop3Reply Dele(std::string_view line);
  Pop3Reply Noop(std::string_view line);
  Pop3Reply Last(std::string_view line);
  Pop3Reply Rset(std::string_view line);
  Pop3Reply Uidl(std::string_view line);
  Pop3Reply Top(std::string_view line);
  Pop3Reply NewPass(std::string_view line);
  Pop3Reply Stls(std::string_view line);
  Pop3Reply Capa(std::string_view line);

  // Full LIST or UIDL listing, or the line of one message.
  Pop3Reply Listing(std::string_view line, bool names);
  // The message of a number text, or 0 when it is missing, not a number, out of range or
  // marked deleted.
  uint32_t MessageNumber(std::string_view text) const;
  // Opens message n exclusively for sending into reply->file; false with the error reply set.
  bool OpenMessage(uint32_t n, Pop3Reply* reply);
  // The end of a successful authentication: the mailbox opened, state 2, "+OK".
  Pop3Reply EnterTransaction(const std::string& mailbox);
  // A PASS that does not log on: state `state`, the error `text`, answered late.
  Pop3Reply FailLogon(Pop3State state, std::string text);
  void EnterState(Pop3State next) { state_.EnterState(next); }

  CommandState<Pop3State> state_{kCommands.names, Pop3State::kAuthorization};
  POPSESSIONSTRUCT s_;
  std::string logon_mailbox_;  // the account's mailbox while its logon runs
  bool tls_offered_ = false;
  bool secure_ = false;
};

// The dispatcher as the frame calls it: result 0 (nothing to send) without a session, else the
// session's reply for the `length` bytes at `line`.
int DispatchPop3Command(Pop3Session* session, const char* line, size_t length, Pop3Reply* reply);

}  // namespace qv::pop3
