#include "tools/qvsend/send.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "common/strings.h"
#include "common/tool_frame.h"
#include "net/dns.h"
#include "net/smtp_client.h"
#include "net/smtp_conversation.h"
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
                 std::FILE* out) {
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
        conn.Send(step.command);
        if (step.failed_in == SmtpState::kDataEnd) return Outcome::kFailed;
        conn.ReadReply();
        return Outcome::kRejected;
    }
    step = conversation.OnReply(conn.ReadReply(reply_ms));
  }
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
  char local_host[256] = {};
  if (::gethostname(local_host, sizeof local_host - 1) != 0) local_host[0] = '\0';
  std::fflush(out);

  std::vector<std::string> all = to;
  all.insert(all.end(), cc.begin(), cc.end());
  if (!options.host.empty()) {
    Outcome o = Converse(options.host, local_host, from.front(), all, message, out);
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
      if (Converse(host, local_host, from.front(), {address}, message, out) != Outcome::kFailed)
        break;
    }
  }
  return kExitOk;
}

}  // namespace qv::qvsend
