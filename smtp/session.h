// The SMTP conversation of one connection: states, the command table, recipient resolution into
// the local and forward recipient lists, and the message spool file. Takes one command line and
// returns the reply; it never touches a socket. The commands outside the mail transaction are in
// session_queries.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/config.h"
#include "common/mailfile.h"
#include "mail/mail_service.h"
#include "mail/recipient.h"
#include "platform/unique_fd.h"
#include "serve/command_table.h"

namespace qv::smtp {

enum class SessionState : uint32_t {
  kReady = 0,
  kSenderGiven = 1,
  kRecipientsGiven = 2,
  kMessageReceived = 3,
  kClosing = 4,
};

// Reply codes of DispatchCommand.
enum ReplyCode : int {
  kNoReply = 0,
  kErrorReply = 1,
  kPositiveReply = 2,
  kStartData = 5,   // the reply opens message data
  kStartTls = 6,    // the reply is sent in clear, then the connection switches to TLS
  kAuthAnswer = 7,  // the end of an AUTH exchange: answered after the logon guard's pause
};

// What the connection's listener and link allow: STARTTLS is offered while a certificate is
// configured and the connection is not in TLS; AUTH only inside TLS; on a submission listener
// (the submission port and SMTPS) MAIL needs AUTH first.
struct SmtpSecurity {
  bool tls_offered = false;  // STARTTLS may be offered
  bool secure = false;       // the connection is in TLS
  bool submission = false;   // MAIL only after AUTH
};

// A command's reply; its code is a ReplyCode.
using Reply = CommandReply;

// Recipient entries (local and forward together) that one transaction may hold.
constexpr size_t kMaxRecipientEntries = 1000;

// A received message on its way to delivery. Owns the spool file until it gives it back to the
// pool it came from (emptied, for the next message).
struct PendingMessage {
  PendingMessage() = default;
  PendingMessage(PendingMessage&& other) noexcept;
  PendingMessage& operator=(PendingMessage&& other) noexcept;
  PendingMessage(const PendingMessage&) = delete;
  PendingMessage& operator=(const PendingMessage&) = delete;
  // Gives the spool file back.
  ~PendingMessage();

  // Gives the spool file back to its pool (which empties it), or closes it without one.
  void ReleaseSpool();

  std::vector<mail::Recipient> local_list;
  std::vector<mail::Recipient> forward_list;
  std::string reverse_path;
  platform::UniqueFd spool;
  bool spool_ok = false;  // the whole text reached the spool file
  std::shared_ptr<TempFilePool> spool_pool;
  std::string spool_directory;  // the directory the spool file was taken for
};

struct Completion {
  bool looping = false;         // too many "Received:" lines: refused, nothing delivered
  bool stored = false;          // every recipient's copy was written
  bool forward_queued = false;  // the forward list was delivered to the queue
};

// Delivers the local list, then the forward list, from the spool file, for `service`; then
// gives the spool file back. A message with more than kMaxReceivedLines "Received:" lines is
// delivered to no one. Touches no session, so it may run on another thread.
Completion DeliverPendingMessage(const mail::MailService& service, PendingMessage* message);

// The session record (SESSIONSTRUCT) with its operations. Creating it is CreateSession; the
// destructor is DestroySession, which delivers nothing: a message is delivered as soon as its
// end line arrives (CompleteMessage), and a message cut off before that is discarded.
class SmtpSession {
 public:
  // `settings` must outlive the session. Spool files come from `spool_pool` (the service's, shared
  // by its connections); without one the session keeps its own file from message to message.
  SmtpSession(const Settings& settings, std::string peer_address,
              std::shared_ptr<TempFilePool> spool_pool = nullptr);
  ~SmtpSession();
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // One command line, without its CR LF.
  Reply DispatchCommand(std::string_view line);

  // What the listener and link allow (see SmtpSecurity); set before the first command.
  void SetSecurity(const SmtpSecurity& security) { security_ = security; }
  // The handshake after STARTTLS is done: the session starts over (a new EHLO or HELO is needed
  // before MAIL; STARTTLS is no longer offered).
  void TlsStarted();
  const SmtpSecurity& security() const { return security_; }
  // AUTH succeeded on this connection.
  bool authenticated() const { return !auth_user_.empty(); }
  // How much of a received line the transaction log may show: nothing of an answer inside an
  // AUTH exchange, and of an AUTH line with an initial response only the verb and mechanism.
  size_t LoggedLength(std::string_view line) const;
  // The name of the last AUTH (given or tried), for the log.
  const std::string& auth_name() const { return auth_name_; }

  // Resolves one recipient address into the recipient lists; the reply is what RCPT answers.
  Reply ResolveRecipient(std::string_view address_text);

  // Message data: every chunk marks the message as being received (state 3).
  void MarkMessageReceived() { state_.EnterState(SessionState::kMessageReceived); }
  // Appends message text to the spool file, taking an empty one (made in TempPath, nameless) on
  // first use (also for empty text). False when the text could not be stored.
  bool StoreMessageText(std::string_view text);

  // The end line arrived: hands over what the transaction holds (both recipient lists, the
  // reverse-path and the spool file) for delivery; the session keeps nothing pending.
  PendingMessage TakeMessage();
  // TakeMessage and DeliverPendingMessage in one step.
  Completion CompleteMessage();
  // The end line of a message over the size limit arrived: nothing of it is delivered, the spool
  // file is given back emptied, and the session is ready for the next MAIL as after an accepted
  // message.
  void RefuseMessage();

  SessionState state() const { return state_.get(); }
  const std::string& reverse_path() const { return reverse_path_; }
  // The recipient lists in text form (mail/recipient.h), separated by blanks.
  std::string local_list() const { return mail::RecipientListText(local_list_); }
  std::string forward_list() const { return mail::RecipientListText(forward_list_); }
  const std::string& peer_address() const { return peer_address_; }
  bool esmtp() const { return esmtp_; }
  // The spool file of the message being received, or -1.
  int spool_fd() const { return spool_.get(); }
  size_t recipient_entries() const { return entries_; }

 private:
  using Commands = CommandTable<SmtpSession, SessionState>;
  static const Commands::Row kRows[];
  static const Commands kCommands;

  Reply Helo(std::string_view line);
  Reply Ehlo(std::string_view line);
  Reply Mail(std::string_view line);
  Reply Rcpt(std::string_view line);
  Reply Data(std::string_view line);
  Reply Rset(std::string_view line);
  Reply Vrfy(std::string_view line);
  Reply Expn(std::string_view line);
  Reply Help(std::string_view line);
  Reply Noop(std::string_view line);
  Reply Quit(std::string_view line);
  Reply Turn(std::string_view line);
  Reply StartTls(std::string_view line);
  Reply Auth(std::string_view line);
  // A line of an AUTH exchange under way (a response to a 334 challenge).
  Reply AuthResponse(std::string_view line);
  // Checks the name and password as a POP3 logon does; the final answer of AUTH.
  Reply AuthCheck(std::string name, std::string password);
  // Whether a RCPT to another host is accepted from this client (relay control).
  bool MayRelay() const;
  // The EHLO reply with the extensions the connection offers inserted before its last line.
  std::string WithExtensions(std::string ehlo) const;
  void EnterState(SessionState next) { state_.EnterState(next); }
  static Reply Error(const char* text);
  static Reply Positive(std::string text);

  Reply UnknownRecipient(const std::string& local, const std::string& domain,
                         const std::string& given);
  Reply Route(const std::string& local, const std::string& domain, const std::string& given);
  void AddLocal(const mail::Recipient& recipient);
  void AddForward(const mail::Recipient& recipient);
  // False when the transaction already delivers to the recipient's mailbox, list, command or
  // forward address (its kind and delivery address, without regard to case).
  bool FirstDelivery(const mail::Recipient& recipient);
  void ForgetDeliveries();
  // Ends the transaction without a reply: lists freed, spool given back, reverse-path cleared.
  void EndTransaction();
  void DiscardSpool();

  bool SearchOtherDomains() const;
  // A domain literal "[a.b.c.d]" or "#host": 1 when it names this host, 0 when it names
  // another, -1 when the domain is no literal.
  int DomainLiteral(const std::string& domain) const;

  const Settings& settings_;
  const SYSTEMSTRUCT& system_;
  const SMTPSTRUCT& smtp_;
  mail::MailService mail_;
  CommandState<SessionState> state_{kCommands.names, SessionState::kReady};
  std::string reverse_path_;
  std::vector<mail::Recipient> local_list_;
  std::vector<mail::Recipient> forward_list_;
  std::shared_ptr<TempFilePool> spool_pool_;
  platform::UniqueFd spool_;
  bool spool_failed_ = false;
  std::string peer_address_;
  bool esmtp_ = false;
  SmtpSecurity security_;
  bool helo_needed_ = false;  // after STARTTLS, until a new EHLO or HELO
  enum class AuthStep { kNone, kPlain, kLoginName, kLoginPassword };
  AuthStep auth_step_ = AuthStep::kNone;
  std::string auth_name_;  // the name given (AUTH LOGIN's first step, then the log's)
  std::string auth_user_;  // the user AUTH logged on; empty: none
  size_t entries_ = 0;
  std::unordered_set<std::string> deliveries_;  // keys of FirstDelivery
  std::vector<std::string> added_deliveries_;   // keys added by the current RCPT
};

}  // namespace qv::smtp
