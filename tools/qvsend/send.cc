#include "tools/qvsend/send.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "common/config.h"
#include "common/settings_table.h"
#include "common/strings.h"
#include "common/tool_frame.h"
#include "net/dns.h"
#include "net/smtp_client.h"
#include "net/smtp_conversation.h"
#include "net/tls_channel.h"
#include "platform/netinfo.h"
#include "platform/unique_fd.h"

namespace qv::qvsend {

namespace {

// Texts of the program.
constexpr char kTitle[] = "Send Utility for SMTP-Mail";
constexpr char kProgram[] = "qvsend";
constexpr const char* kUsage[] = {
    "Usage:   %s [-h host] [-n nameserver] [-f address] [-t address-list]\n",
    "                [-c address-list] [-s subject] message-file\n",
    "         %s -?\n\n",
    "Options: -h host            Name or address of exchange host\n",
    "         -n nameserver      name or address of DNS server\n",
    "         -f address         Originator address (From)\n",
    "         -t address-list    Recipient addresses (To)\n",
    "         -c address-list    Carbon copy addresses (Cc)\n",
    "         -s subject         Subject\n",
    "         -tls 0|1|2         No TLS, STARTTLS when offered, TLS required\n",
    "         -user name         Log in (AUTH, inside TLS only) with this name\n",
    "         -password text     and this password (else it is asked for)\n",
    "         -?                 This screen\n\n",
    "If no -t option is given, the message-file must contain the recipient address.\n",
    "If -h option is not given, DNS lookup will be used.\n\n",
};
constexpr char kErrMultiple[] = "Error: Multiple values for -%c\n";
constexpr char kErrCannotRead[] = "Error: Cannot read messagefile %s\n";
constexpr char kErrNoFile[] = "Error: No message-file is given\n";
constexpr char kErrNoOriginator[] = "Error: No originator address is given\n";
constexpr char kErrNoRecipient[] = "Error: No recipient address is given\n";
constexpr char kErrNoDnsServer[] = "Error: No DNS server is available\n";
constexpr char kErrUnknownHost[] = "Error: Unknown host %s\n";
constexpr char kInvalidDomain[] = "Invalid domain %s\n";
constexpr char kErrMultipleLong[] = "Error: Multiple values for -%s\n";
constexpr char kErrBadTls[] = "Error: -tls takes 0, 1 or 2\n";
constexpr char kErrLoginInClear[] =
    "Error: -user needs -tls 1 or 2: a password is never sent in clear\n";
constexpr char kErrNoTerminal[] =
    "Error: No terminal to read the password of %s from; give -password\n";
constexpr char kPasswordPrompt[] = "Password for %s: ";
constexpr char kErrNoTls[] = "Error: %s offers no STARTTLS: nothing was sent\n";
constexpr char kErrNoAuth[] = "Error: %s offers no AUTH PLAIN or LOGIN: nothing was sent\n";
constexpr char kErrTls[] = "Error: TLS with %s failed: %s\n";
constexpr char kErrLogin[] = "Error: %s refused the login: %s\n";

// The long options, matched whole and without regard to case; each takes the next argument.
constexpr const char* kLongOptions[] = {"tls", "user", "password"};

constexpr uint16_t kSmtpPort = 25;
constexpr size_t kHeadBytes = 2048;
constexpr size_t kBlock = 2048;

std::string* OptionField(Options* o, char letter) {
  switch (letter) {
    case 'h':
      return &o->host;
    case 'n':
      return &o->name_server;
    case 'f':
      return &o->from;
    case 't':
      return &o->to;
    case 'c':
      return &o->cc;
    case 's':
      return &o->subject;
    default:
      return nullptr;
  }
}

std::string* LongOption(Options* o, std::string_view name) {
  std::string* fields[] = {&o->tls, &o->user, &o->password};
  for (size_t i = 0; i < std::size(kLongOptions); ++i)
    if (EqualsNoCase(name, kLongOptions[i])) return fields[i];
  return nullptr;
}

// A password typed at the terminal without echo; false when there is no terminal.
bool ReadPassword(const std::string& user, std::string* password) {
  platform::UniqueFd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!tty || !::isatty(tty.get())) return false;
  std::string prompt = Format(kPasswordPrompt, user.c_str());
  if (::write(tty.get(), prompt.data(), prompt.size()) < 0) return false;
  termios saved{};
  bool restore = ::tcgetattr(tty.get(), &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty.get(), TCSAFLUSH, &quiet);
  }
  password->clear();
  char c = 0;
  for (;;) {
    ssize_t n = ::read(tty.get(), &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    if (c != '\r') *password += c;
  }
  if (restore) ::tcsetattr(tty.get(), TCSAFLUSH, &saved);
  if (::write(tty.get(), "\n", 1) < 0) return false;
  return true;
}

// The reply without its line ends, for a message of one line.
std::string OneLine(std::string_view reply) {
  std::string text(reply);
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The whole file; false when it cannot be opened or read (a folder, say).
bool ReadMessageFile(const std::string& path, std::string* text) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text->append(buf, static_cast<size_t>(n));
  }
  return ok;
}

}  // namespace

int ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error) {
  bool given[128] = {};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-') {
      options->file = a;
      return 0;
    }
    if (std::string* field = LongOption(options, a.substr(1))) {
      std::string name = a.substr(1);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (!field->empty() || (name == "password" && options->password_given)) {
        *error = Format(kErrMultipleLong, name.c_str());
        return kExitMultiple;
      }
      if (i + 1 < args.size()) *field = args[++i];
      if (name == "password") options->password_given = true;
      continue;
    }
    char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(a[1])));
    std::string* field = OptionField(options, letter);
    if (field == nullptr) continue;  // an unknown option is passed over
    std::string value;
    if (a.size() > 2) {
      value = a.substr(2);
    } else if (i + 1 < args.size() && (args[i + 1].size() < 2 || args[i + 1][0] != '-')) {
      value = args[++i];
    }
    if (given[static_cast<unsigned char>(letter)]) {
      *error = std::string(kErrMultiple);
      error->replace(error->find("%c"), 2, 1, letter);
      return kExitMultiple;
    }
    given[static_cast<unsigned char>(letter)] = true;
    *field = value;
    if (letter == 't' || letter == 'c') {
      // Further addresses follow as arguments of their own, up to an option or the last
      // argument (which is the message file).
      while (i + 2 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
        if (!field->empty()) *field += ' ';
        *field += args[++i];
      }
    }
  }
  return 0;
}

void FillFromMessage(std::string_view head, Options* options) {
  struct Field {
    const char* name;
    std::string* value;
  } fields[] = {{"From:", &options->from},
                {"To:", &options->to},
                {"CC:", &options->cc},
                {"Subject:", &options->subject}};
  size_t pos = 0;
  while (pos < head.size()) {
    bool all_known = true;
    for (const Field& f : fields) all_known = all_known && !f.value->empty();
    if (all_known) return;
    size_t end = head.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(pos, end - pos);
    // The header ends at the first empty line: a body line never names recipients.
    if (line.empty()) return;
    for (const Field& f : fields) {
      if (!f.value->empty() || !StartsWithNoCase(line, f.name)) continue;
      std::string_view value = line.substr(std::string_view(f.name).size());
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
      f.value->assign(value);
    }
    pos = end;
    if (pos < head.size() && head[pos] == '\r') ++pos;
    if (pos < head.size() && head[pos] == '\n') ++pos;
  }
}

std::vector<std::string> AddressList(std::string_view text) {
  std::vector<std::string> items;
  size_t i = 0;
  while (i < text.size()) {
    size_t j = text.find_first_of(" \t,;", i);
    if (j == std::string_view::npos) j = text.size();
    std::string item(text.substr(i, j - i));
    size_t lt = item.rfind('<');
    if (lt != std::string::npos) {
      size_t gt = item.find('>', lt);
      item = item.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1);
    }
    while (!item.empty() && (item.front() == '"' || item.front() == '<')) item.erase(0, 1);
    while (!item.empty() && (item.back() == '"' || item.back() == '>')) item.pop_back();
    if (!item.empty()) items.push_back(item);
    i = j + 1;
  }
  bool any_address = false;
  for (const std::string& item : items)
    any_address = any_address || item.find('@') != std::string::npos;
  if (any_address) {
    std::vector<std::string> addresses;
    for (std::string& item : items)
      if (item.find('@') != std::string::npos) addresses.push_back(std::move(item));
    return addresses;
  }
  return items;
}

Outcome Converse(const std::string& host, const std::string& local_host, const std::string& from,
                 const std::vector<std::string>& recipients, std::string_view message,
                 std::FILE* out, const Security& security) {
  std::string name;
  uint16_t port = kSmtpPort;
  SmtpClient conn;
  if (!SplitHostPort(host, kSmtpPort, &name, &port) ||
      conn.Connect(name, port) != ConnectResult::kConnected) {
    std::fprintf(out, kErrUnknownHost, host.c_str());
    return Outcome::kFailed;
  }
  SmtpEnvelope envelope;
  envelope.hello_name = local_host;
  envelope.reverse_path = from;
  envelope.recipients = recipients;
  // Without TLS and a login the conversation is the plain one it always was (HELO).
  envelope.ehlo = security.tls > 0 || !security.user.empty();
  envelope.tls = security.tls;
  envelope.user = security.user;
  envelope.password = security.password;
  TlsTrust trust;
  trust.ca_file = security.ca_file;
  auto handshake = [&] {
    if (conn.StartTls(name, trust, security.verify) == TlsChannel::Outcome::kOk) return true;
    std::fprintf(out, kErrTls, host.c_str(), conn.tls_error().c_str());
    return false;
  };
  if (security.tls > 0 && port == kSmtpImplicitTlsPort) {
    if (!handshake()) return Outcome::kFailed;
    envelope.in_tls = true;
  }
  SmtpConversation conversation(std::move(envelope));
  SmtpStep step = conversation.OnReply(conn.ReadReply());
  for (;;) {
    int reply_ms = kClientReplyMs;
    switch (step.action) {
      case SmtpStep::Action::kSend:
        if (!conn.Send(step.command)) return Outcome::kFailed;
        break;
      case SmtpStep::Action::kRead:
        break;
      case SmtpStep::Action::kStartTls:
        if (!handshake()) return Outcome::kFailed;
        step = conversation.OnTlsStarted();
        continue;
      case SmtpStep::Action::kSendMessage: {
        // The file is plain text: a line that starts with "." gets a second one, so that the
        // peer stores the file as it is, whatever the blocks it goes in.
        MessageText text(/*stuff_dots=*/true);
        for (size_t at = 0; at < message.size(); at += kBlock)
          if (!conn.Send(text.Encode(message.substr(at, kBlock)))) return Outcome::kFailed;
        if (!conn.Send(text.EndLine())) return Outcome::kFailed;
        reply_ms = kClientDataEndMs;
        break;
      }
      case SmtpStep::Action::kDone:
        conn.Send(step.command);
        conn.ReadReply();
        return Outcome::kSent;
      case SmtpStep::Action::kFailed:
        // No greeting or no reply: nothing more is said. A refusal is answered with QUIT, and
        // its reply awaited, except after the message text.
        if (step.failed_in == SmtpState::kGreeting || step.reply.empty()) return Outcome::kFailed;
        if (step.why == SmtpStep::Why::kNoTls) std::fprintf(out, kErrNoTls, host.c_str());
        if (step.why == SmtpStep::Why::kNoAuth) std::fprintf(out, kErrNoAuth, host.c_str());
        if (step.failed_in == SmtpState::kAuth)
          std::fprintf(out, kErrLogin, host.c_str(), OneLine(step.reply).c_str());
        conn.Send(step.command);
        if (step.failed_in == SmtpState::kDataEnd) return Outcome::kFailed;
        conn.ReadReply();
        // Refused for want of TLS or a login, the message was not offered: the host failed.
        return step.why != SmtpStep::Why::kReply || step.failed_in == SmtpState::kAuth ||
                       step.failed_in == SmtpState::kStartTls
                   ? Outcome::kFailed
                   : Outcome::kRejected;
    }
    step = conversation.OnReply(conn.ReadReply(reply_ms));
  }
}

// The conversation's security: the options, else the registry's defaults (the login only for the
// smart hosts). 0, or the exit code with its message written.
int ChooseSecurity(const Options& options, const std::string& host, std::FILE* out,
                   Security* security) {
  Settings settings;
  settings.smtp.TLSVerify = 1;
  LoadSettingsRecord(settings, SettingRecord::kSmtp);
  const SMTPSTRUCT& smtp = settings.smtp;
  if (options.tls.empty()) {
    security->tls = smtp.TLSOutgoing >= 0 && smtp.TLSOutgoing <= 2 ? smtp.TLSOutgoing : 0;
  } else if (options.tls == "0" || options.tls == "1" || options.tls == "2") {
    security->tls = options.tls[0] - '0';
  } else {
    std::fputs(kErrBadTls, out);
    return kExitSecurity;
  }
  security->verify = smtp.TLSVerify != 0;
  if (const char* ca = std::getenv("QVSEND_CA_FILE")) security->ca_file = ca;
  if (!options.user.empty()) {
    security->user = options.user;
    security->password = options.password;
  } else if (!host.empty() && smtp.ExchangeUser[0] != '\0' &&
             IsExchangeHost(host, smtp.ExchangeHost)) {
    security->user = smtp.ExchangeUser;
    security->password = smtp.ExchangePassword;
  }
  if (!security->user.empty() && security->tls == 0) {
    // Only a login named on the command line is an error: the registry's waits for TLS.
    if (!options.user.empty()) {
      std::fputs(kErrLoginInClear, out);
      return kExitSecurity;
    }
    security->user.clear();
    security->password.clear();
  }
  if (!options.user.empty() && !options.password_given &&
      !ReadPassword(options.user, &security->password)) {
    std::fprintf(out, kErrNoTerminal, options.user.c_str());
    return kExitSecurity;
  }
  return 0;
}

int Run(const std::vector<std::string>& args, std::FILE* out) {
  tool::PrintTitle(out, kTitle);
  if (args.empty() || args[0] == "-?") {
    for (const char* line : kUsage) std::fprintf(out, line, kProgram);
    return kExitOk;
  }
  Options options;
  std::string error;
  if (int code = ParseArguments(args, &options, &error); code != 0) {
    std::fputs(error.c_str(), out);
    return code;
  }
  if (options.file.empty()) {
    std::fputs(kErrNoFile, out);
    return kExitMissing;
  }
  std::string message;
  if (!ReadMessageFile(options.file, &message)) {
    std::fprintf(out, kErrCannotRead, options.file.c_str());
    return kExitCannotRead;
  }
  FillFromMessage(std::string_view(message).substr(0, kHeadBytes), &options);
  std::vector<std::string> from = AddressList(options.from);
  if (from.empty()) {
    std::fputs(kErrNoOriginator, out);
    return kExitMissing;
  }
  std::vector<std::string> to = AddressList(options.to);
  if (to.empty()) {
    std::fputs(kErrNoRecipient, out);
    return kExitMissing;
  }
  std::vector<std::string> cc = AddressList(options.cc);
  if (options.host.empty() && options.name_server.empty()) {
    const char* path = std::getenv("QVSEND_RESOLV_CONF");
    options.name_server =
        platform::SystemNameServer(path != nullptr ? path : platform::kResolvConf);
    if (options.name_server.empty()) {
      std::fputs(kErrNoDnsServer, out);
      return kExitMissing;
    }
  }
  Security security;
  if (int code = ChooseSecurity(options, options.host, out, &security); code != 0) return code;
  char local_host[256] = {};
  if (::gethostname(local_host, sizeof local_host - 1) != 0) local_host[0] = '\0';
  std::fflush(out);

  std::vector<std::string> all = to;
  all.insert(all.end(), cc.begin(), cc.end());
  if (!options.host.empty()) {
    Outcome o = Converse(options.host, local_host, from.front(), all, message, out, security);
    return o == Outcome::kSent ? kExitOk : kExitConversation;
  }

  // DNS mode: each address to its own exchangers, best first, until one takes it.
  MxQueryOptions query;
  query.report = [out](int, const std::string& text) { std::fprintf(out, "%s\n", text.c_str()); };
  for (const std::string& address : all) {
    size_t at = address.find('@');
    if (at == std::string::npos || at + 1 == address.size()) {
      std::fprintf(out, kInvalidDomain, address.c_str());
      continue;
    }
    query.prefer_server_containing = address;
    std::string hosts;
    int n = QueryMailExchangers(options.name_server, address.substr(at + 1), query, &hosts);
    if (n <= 0) continue;
    std::istringstream names(hosts);
    std::string host;
    while (names >> host) {
      // A login belongs to the smart host alone, never to an exchanger found by DNS.
      Security to_mx = security;
      if (options.user.empty()) to_mx.user.clear();
      if (Converse(host, local_host, from.front(), {address}, message, out, to_mx) !=
          Outcome::kFailed)
        break;
    }
  }
  return kExitOk;
}

}  // namespace qv::qvsend
