// The client side of one SMTP conversation as a state table. It never touches a socket: it takes
// each whole reply (all its lines, as SmtpClient::ReadReply returns it) and says what to do next.
// The forwarder and qvsend drive it, each with its own time limits, log and handling of a
// failure.
//
// | state     | reply awaited   | accepted | then                                           |
// | kGreeting | greeting        | 220      | EHLO (or HELO): kHello                         |
// | kHello    | to EHLO or HELO | 25       | MAIL FROM: kMailFrom                           |
// |           |                 | 22       | read the next one (stray_hello_replies at most)|
// |           |                 | other    | after EHLO: HELO (kHello), and no SIZE         |
// | kMailFrom | to MAIL FROM    | 25       | RCPT TO 1: kRcptTo, or DATA without recipients |
// | kRcptTo   | to RCPT TO k    | 25       | RCPT TO k+1, or DATA after the last: kData     |
// | kData     | to DATA         | 354      | send the message and its end line: kDataEnd    |
// | kDataEnd  | to the end line | 25       | QUIT: kDone                                    |
//
// With TLS asked for (SmtpEnvelope::tls) or a login set, EHLO is sent and its accepted reply
// leads first through these rows, in order, before MAIL FROM:
//
// | kStartTls | to STARTTLS     | 220      | kStartTls step; after OnTlsStarted EHLO again  |
// | kAuth     | to AUTH PLAIN   | 235      | MAIL FROM                                      |
// |           | to AUTH LOGIN   | 334      | the name, then the password (kAuth), then 235  |
//
// STARTTLS goes out when the EHLO reply offers it (tls 1) and must be offered (tls 2: else the
// conversation fails with kNoTls and nothing more is sent but QUIT). AUTH follows only inside
// TLS: a login outside it fails with kNoTls, a peer offering neither PLAIN nor LOGIN with kNoAuth.
//
// A reply is accepted by its first characters. Any other reply, and an empty one (the connection
// closed or the reply did not arrive whole), fails the conversation in the state it arrived in
// (kFailed); what a failure means for the message, and whether QUIT still goes out, is the
// caller's to decide. Which command a state sends is decided in one place (Enter), so that a new
// state (a further command before MAIL FROM, say) is one row and one case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

enum class SmtpState {
  kGreeting,  // waiting for the greeting
  kHello,     // for the reply to EHLO or HELO
  kMailFrom,  // to MAIL FROM
  kRcptTo,    // to RCPT TO of a recipient
  kData,      // to DATA
  kDataEnd,   // to the end line after the message text
  kStartTls,  // to STARTTLS
  kAuth,      // to AUTH, or to the name or password of AUTH LOGIN
  kDone,      // the peer took the message: QUIT is due
  kFailed,    // refused, or the connection closed
};

// What the client does next.
struct SmtpStep {
  enum class Action {
    kSend,         // send `command`, then read the reply
    kRead,         // read the next reply: the last one was read over
    kSendMessage,  // send the message text and its end line, then read the reply
    kStartTls,     // the peer is ready for the TLS handshake: run it, then OnTlsStarted
    kDone,         // the message was taken: send `command` (QUIT) and read its reply
    kFailed,       // `reply` in state `failed_in` ended the conversation; `command` is QUIT,
                   // should the caller end the conversation in order
  };
  Action action = Action::kFailed;
  std::string command;
  SmtpState failed_in = SmtpState::kGreeting;
  std::string reply;  // the reply that failed it (empty: none arrived)
  enum class Why {
    kReply,   // the reply refused (or none arrived)
    kNoTls,   // TLS is required, or a login is to be given, and the peer offers no STARTTLS
    kNoAuth,  // a login is set and the peer offers neither AUTH PLAIN nor AUTH LOGIN
  };
  Why why = Why::kReply;
};

// What one conversation sends.
struct SmtpEnvelope {
  std::string hello_name;               // given with EHLO or HELO
  std::string reverse_path;             // of MAIL FROM, without "<" and ">"
  std::vector<std::string> recipients;  // one RCPT TO each, in order
  bool ehlo = false;                    // EHLO first, HELO when the peer does not know it
  bool announce_size = false;           // MAIL FROM with SIZE=size after an accepted EHLO
  long size = 0;
  int stray_hello_replies = 0;  // replies beginning "22" read over while waiting for the hello's
  int tls = 0;                  // 0: no STARTTLS; 1: when the peer offers it; 2: required
  bool in_tls = false;          // the connection is encrypted from the start (implicit TLS)
  std::string user;             // AUTH with this login (inside TLS only); empty: none
  std::string password;
};

class SmtpConversation {
 public:
  explicit SmtpConversation(SmtpEnvelope envelope);

  // The whole reply to what was sent last (the greeting first); empty when none arrived.
  SmtpStep OnReply(std::string_view reply);

  SmtpState state() const { return state_; }
  // After a kStartTls step: the handshake succeeded; the step is EHLO again.
  SmtpStep OnTlsStarted();

  // True when the peer took the message.
  bool ok() const { return state_ == SmtpState::kDone; }

  // Instead of waiting for a greeting: the connection is one on which an earlier conversation's
  // message was taken (kDone) and no QUIT went out, and the step is MAIL FROM at once (RFC 5321
  // lets a new transaction follow a finished one). The hello, TLS and the login of that
  // conversation hold: the envelope's `ehlo` and `in_tls` must say what they were.
  SmtpStep Resume() { return Enter(SmtpState::kMailFrom); }
  // Whether the hello in use is EHLO (false once the peer refused it and HELO went out).
  bool extended() const { return ehlo_; }

 private:
  // Moves to `next` and makes the step that state begins with: the one place that says what is
  // sent when.
  SmtpStep Enter(SmtpState next);
  SmtpStep Fail(std::string_view reply, SmtpStep::Why why = SmtpStep::Why::kReply);
  // The step after an accepted EHLO reply: STARTTLS, AUTH or MAIL FROM.
  SmtpStep AfterHello(std::string_view reply);

  SmtpEnvelope envelope_;
  SmtpState state_ = SmtpState::kGreeting;
  bool ehlo_;                // the hello is EHLO (until the peer refuses it)
  size_t recipient_ = 0;     // the recipient of the RCPT TO awaiting its reply
  int stray_ = 0;            // replies beginning "22" read over so far
  bool in_tls_;              // the connection is encrypted
  bool auth_login_ = false;  // AUTH LOGIN: the name (then the password) is due on 334
  bool name_sent_ = false;
};

// True when an EHLO reply names the extension (a line's first word after the code), or, with
// `argument`, lists it after that word ("AUTH PLAIN LOGIN").
bool EhloOffers(std::string_view reply, std::string_view extension, std::string_view argument = {});

// The text in base64 (RFC 4648, with padding).
std::string EncodeBase64(std::string_view text);

// True when the reply begins with the code (its first characters).
bool ReplyStartsWith(std::string_view reply, std::string_view code);

}  // namespace qv
