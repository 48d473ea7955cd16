// qvsend: sends one prepared message file by SMTP, either to one named exchange host or to the
// mail exchangers of each recipient's domain. Of the mail server's configuration it reads only
// the defaults of its outgoing TLS and the smart host's login (SMTP key: TLSOutgoing, TLSVerify,
// ExchangeUser, ExchangePassword for the hosts of ExchangeHost).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qv::qvsend {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitMultiple = 2;
constexpr int kExitCannotRead = 3;
constexpr int kExitMissing = 4;
constexpr int kExitConversation = 6;
constexpr int kExitSecurity = 7;  // a bad -tls, a login without TLS, no terminal for the password

struct Options {
  std::string host;         // -h: "host" or "host:port"; empty: DNS lookup
  std::string name_server;  // -n: "server" or "server:port"
  std::string from;         // -f
  std::string to;           // -t, blank-separated
  std::string cc;           // -c, blank-separated
  std::string subject;      // -s (collected, not sent)
  std::string file;         // the message file
  std::string tls;          // -tls 0|1|2; empty: TLSOutgoing of the registry (else 0)
  std::string user;         // -user: AUTH with this login (inside TLS only)
  std::string password;     // -password; with -user alone it is read from the terminal
  bool password_given = false;
};

// How one conversation is secured.
struct Security {
  int tls = 0;          // 0: plain; 1: STARTTLS when offered; 2: required (implicit on 465)
  bool verify = true;   // check the certificate against the CA store and the host's name
  std::string ca_file;  // the CA certificates; empty: the system's store
  std::string user;     // AUTH login; empty: none
  std::string password;
};

// Parses the arguments (without the program name). Returns 0, or kExitMultiple with the error
// line in *error.
int ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error);

// Fills originator, To, Cc and subject that the command line left empty from the header lines
// ("From:", "To:", "CC:", "Subject:") at the start of the message.
void FillFromMessage(std::string_view head, Options* options);

// The bare addresses of a list: items separated by blanks, tabs or commas, "<...>" stripped;
// when any item holds "@", the words without one (display names) are dropped.
std::vector<std::string> AddressList(std::string_view text);

// The result of one conversation.
enum class Outcome {
  kSent,      // the host took the message
  kRejected,  // the host refused the sender, a recipient or the data (QUIT was sent)
  kFailed,    // no connection, no greeting, or the connection broke
};

// One conversation with the host ("host" or "host:port", default port 25).
Outcome Converse(const std::string& host, const std::string& local_host, const std::string& from,
                 const std::vector<std::string>& recipients, std::string_view message,
                 std::FILE* out, const Security& security = {});

// The whole program; messages go to `out`. Returns the exit code.
int Run(const std::vector<std::string>& args, std::FILE* out);

}  // namespace qv::qvsend
