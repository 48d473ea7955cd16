#include "smtp/forward.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "common/accounts.h"
#include "common/address.h"
#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "mail/delivery.h"
#include "mail/mail_texts.h"
#include "mail/notice.h"
#include "net/client_commands.h"
#include "net/smtp_client.h"
#include "net/smtp_conversation.h"
#include "platform/fileio.h"
#include "platform/unique_fd.h"
#include "smtp/forward_run.h"
#include "smtp/forward_texts.h"
#include "smtp/smtp_mail.h"
#include "smtp/texts.h"
#include "smtp/util.h"

namespace qv::smtp {

namespace {

constexpr size_t kQueueHead = 2048;  // bytes of a queue file that hold its envelope
constexpr size_t kDataBlock = 2047;  // message text per send
constexpr uint16_t kDefaultSmtpPort = 25;
// Replies beginning "22" while waiting for the answer to HELO or EHLO are read over, this many
// at most.
constexpr int kMaxStrayReplies = 8;
constexpr int kQuitReplyMs = 10000;
constexpr int kRunNiceness = 10;

void Log(const SYSTEMSTRUCT& system, int level, int session, const char* tag,
         std::string_view text) {
  WriteLog(system, level, session, tag, text, kLogPrefix);
}

std::string AdministratorAddress(const SYSTEMSTRUCT& system) {
  return std::string(system.AdministratorName) + "@" + PrimaryDomain(system);
}

bool IsUser(const SYSTEMSTRUCT& system, const std::string& local, const std::string& domain) {
  USERSTRUCT user;
  return FindUserByAddress(system, local + "@" + domain, &user);
}

bool IsSystemAccount(const SYSTEMSTRUCT& system, const std::string& local,
                     const std::string& domain) {
  std::string full_name;
  return (system.Flags & kSysNtUser) != 0 && EqualsNoCase(domain, system.NTDomain) &&
         NtAccountLookup(system.NTUser, local, &full_name);
}

bool Cancelled(int cancel_fd) {
  if (cancel_fd < 0) return false;
  pollfd p{cancel_fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

bool WriteAll(int fd, std::string_view text) {
  return platform::WriteAll(fd, text.data(), text.size());
}

// Copies the stored message from the queue file's current position to `fd`, unmasked.
bool CopyUnmasked(int queue_fd, int fd) {
  return ReadUnmasked(queue_fd, [fd](std::string_view piece) { return WriteAll(fd, piece); });
}

// A temporary spool file in TempPath, removed at the end of the scope.
class TempSpool {
 public:
  explicit TempSpool(const SYSTEMSTRUCT& system) {
    std::string dir = system.TempPath;
    fd_ = CreateTempFile(&dir, system.MailPath, &name_);
  }
  ~TempSpool() {
    if (fd_ >= 0) {
      ::close(fd_);
      ::unlink(name_.c_str());
    }
  }
  TempSpool(const TempSpool&) = delete;
  TempSpool& operator=(const TempSpool&) = delete;
  int fd() const { return fd_; }
  bool Rewind() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0; }

 private:
  int fd_ = -1;
  std::string name_;
};

// A host to try, and whether it is one of the smart hosts of ExchangeHost (which get the
// exchange login; an exchanger found by DNS never does).
struct MailHost {
  std::string name;
  bool smart = false;
};

// The hosts named by the recipient's domain: "#host" names a host, "[address]" an address
// literal, anything else is looked up. Returns the count as FindMailHosts does.
int HostsOf(const Settings& settings, const std::string& domain, const ForwardOptions& options,
            std::vector<MailHost>* hosts) {
  const SYSTEMSTRUCT& system = settings.system;
  const std::string_view smart_hosts = settings.smtp.ExchangeHost;
  hosts->clear();
  if (!domain.empty() && (domain[0] == '#' || domain[0] == '[')) {
    std::string name = domain.substr(1);
    if (domain[0] == '[')
      while (!name.empty() && name.back() == ']') name.pop_back();
    hosts->push_back({name, IsExchangeHost(name, smart_hosts)});
    return 1;
  }
  MailHostSettings lookup;
  lookup.smtp_flags = settings.smtp.Flags;
  lookup.name_servers = system.NameServer;
  lookup.exchange_hosts = smart_hosts;
  lookup.own_host = system.HostName;
  lookup.timeout_ms = options.dns_timeout_ms;
  lookup.cancel_fd = options.cancel_fd;
  lookup.report = [&system](int socket, const std::string& text) {
    Log(system, kLogLevelProtocol, socket, kLogEvent, text + "\r\n");
  };
  std::string out;
  int count = FindMailHosts(domain, lookup, &out);
  size_t i = 0;
  while (static_cast<int>(hosts->size()) < count && i < out.size()) {
    size_t j = out.find(' ', i);
    if (j == std::string::npos) j = out.size();
    if (j > i) hosts->push_back({out.substr(i, j - i), false});
    i = j + 1;
  }
  // The smart hosts come last, after the exchangers of the lookup.
  size_t smart = (settings.smtp.Flags & kSmtpUseMx) != 0 ? ExchangeHostList(smart_hosts).size() : 0;
  for (size_t k = hosts->size() - std::min(smart, hosts->size()); k < hosts->size(); ++k)
    (*hosts)[k].smart = IsExchangeHost((*hosts)[k].name, smart_hosts);
  return count;
}

int SendToHostAs(const Settings& settings, std::string_view recipients,
                 std::string_view reverse_path, const std::string& host, bool smart_host,
                 int queue_fd, off_t offset, std::string_view text_before, bool* host_unreachable,
                 const ForwardOptions& options);

// Step 4 of a queue file: the hosts of the recipient's domain in order, until one takes it.
int SendToHosts(const Settings& settings, const std::string& recipient, const std::string& domain,
                std::string_view reverse_path, int queue_fd, off_t offset,
                std::string_view text_before, bool* host_unreachable,
                const ForwardOptions& options) {
  const SYSTEMSTRUCT& system = settings.system;
  std::vector<MailHost> hosts;
  int count = HostsOf(settings, domain, options, &hosts);
  for (const MailHost& host : hosts) {
    if (Cancelled(options.cancel_fd)) return 0;
    if (SendToHostAs(settings, recipient, reverse_path, host.name, host.smart, queue_fd, offset,
                     text_before, host_unreachable, options) == 1)
      return 1;
  }
  Log(system, kLogLevelFailure, 0, kLogEvent, count <= 0 ? kLogNoMxHost : kLogMxNoResponse);
  return 0;
}

bool OpenLink(const SYSTEMSTRUCT& system, const ForwardOptions& options) {
  std::string error;
  if (options.dialup->Open(system.RASEntry, &error)) return true;
  Log(system, kLogLevelLink, 0, kLogEvent,
      Format(kLogDialupFailed, system.RASEntry, error.c_str()));
  return false;
}

// Seconds since 1980 of a time, as local time.
int32_t StampOf(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return MailTimeStamp(local.tm_year - 80, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec);
}

std::vector<std::string> QueueFiles(const SYSTEMSTRUCT& system) {
  std::string dir = std::string(system.MailPath) + "/" + kForwardDirectory;
  std::vector<std::string> files;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return files;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name.size() > 4 && name[0] != '.' && EqualsNoCase(name.substr(name.size() - 4), ".out"))
      files.push_back(dir + "/" + std::string(name));
  }
  ::closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

// The report of a final refusal to the sender, and the administrator's notice when SENDINFO is
// set, each with the message read again from the offset.
void ReportRefusal(const Settings& settings, std::string_view reverse_path,
                   std::string_view recipients, int queue_fd, off_t offset,
                   const std::string& transaction, const std::string& short_text) {
  const SMTPSTRUCT& smtp = settings.smtp;
  if (::lseek(queue_fd, offset, SEEK_SET) == offset)
    ReturnDeliveryReport(settings, reverse_path, recipients, transaction, queue_fd);
  if ((smtp.Flags & kSmtpSendInfo) == 0 || ::lseek(queue_fd, offset, SEEK_SET) != offset) return;
  if ((smtp.Flags & kSmtpAttachMessage) != 0) {
    mail::WriteAdminNotice(SmtpMailService(settings), mail::kNoticeProblemsWithMessage,
                           reverse_path, recipients, transaction, queue_fd);
  } else {
    mail::WriteAdminNotice(SmtpMailService(settings), mail::kNoticeProblems, reverse_path,
                           recipients, short_text, -1);
  }
}

// The blank-separated recipients, in order.
std::vector<std::string> RecipientList(std::string_view recipients) {
  std::vector<std::string> list;
  size_t i = 0;
  for (;;) {
    i = recipients.find_first_not_of(' ', i);
    if (i == std::string_view::npos) return list;
    size_t j = recipients.find(' ', i);
    if (j == std::string_view::npos) j = recipients.size();
    list.emplace_back(recipients.substr(i, j - i));
    i = j;
  }
}

// What the conversation with a host sends: EHLO (with SIZE) when ESMTP and CLIENTEHLO are set.
SmtpEnvelope Envelope(const Settings& settings, std::string_view recipients,
                      std::string_view reverse_path, long size) {
  const SMTPSTRUCT& smtp = settings.smtp;
  SmtpEnvelope envelope;
  envelope.hello_name = settings.system.HostName;
  envelope.reverse_path.assign(reverse_path);
  envelope.recipients = RecipientList(recipients);
  envelope.ehlo = (smtp.Flags & kSmtpEsmtp) != 0 && (smtp.Flags & kSmtpClientEhlo) != 0;
  envelope.announce_size = (smtp.Flags & kSmtpEsmtpSize) != 0;
  envelope.size = size;
  envelope.stray_hello_replies = kMaxStrayReplies;
  return envelope;
}

// The message after the 354 reply: the text before it, then the stored text from the offset,
// unmasked. The stored text is kept as it was received, its dots already doubled. False when it
// could not be read or sent.
bool SendStoredMessage(const SYSTEMSTRUCT& system, SmtpClient& conn, MessageText& message,
                       int queue_fd, off_t offset, std::string_view text_before, int timeout_ms) {
  const int sock = conn.fd();
  if (!text_before.empty()) {
    Log(system, kLogLevelData, sock, kLogData, text_before);
    if (!conn.Send(message.Encode(text_before), timeout_ms)) return false;
  }
  if (::lseek(queue_fd, offset, SEEK_SET) != offset) return false;
  return ReadUnmasked(
      queue_fd,
      [&](std::string_view text) {
        Log(system, kLogLevelData, sock, kLogData, text);
        return conn.Send(message.Encode(text), timeout_ms);
      },
      kDataBlock);
}

// What the log shows of a command: never the login's secrets.
std::string Loggable(const std::string& command, SmtpState state) {
  if (state != SmtpState::kAuth || command == kSmtpCmdAuthLogin) return command;
  if (StartsWithNoCase(command, kSmtpAuthPlainVerb))
    return std::string(kSmtpAuthPlainVerb) + kLogHiddenSecret;
  return kLogHiddenSecret;
}

}  // namespace

int ReadQueueEnvelope(std::string_view head, QueueEnvelope* envelope) {
  *envelope = QueueEnvelope{};
  if (!StartsWithNoCase(head, "To:")) return kQueueNoDestination;
  size_t end = head.find_first_of("\r\n");
  if (end == std::string_view::npos) end = head.size();
  SplitAddress(head.substr(3, end - 3), &envelope->local, &envelope->domain);
  if (envelope->local.empty() || envelope->domain.empty()) return kQueueInvalidAddress;
  size_t p = head.find_first_not_of("\r\n ", end);
  if (p == std::string_view::npos || !StartsWithNoCase(head.substr(p), "From:"))
    return kQueueInvalidFormat;
  p += 5;
  while (p < head.size() && (head[p] == ' ' || head[p] == '<')) ++p;
  size_t line_end = head.find_first_of("\r\n", p);
  // The whole From: line must lie inside the head, or the message start is unknown.
  if (line_end == std::string_view::npos) return kQueueInvalidFormat;
  std::string_view rp = head.substr(p, line_end - p);
  while (!rp.empty() && (rp.back() == '>' || rp.back() == ' ')) rp.remove_suffix(1);
  envelope->reverse_path.assign(rp);
  size_t start = head.find_first_not_of("\r\n", line_end);
  envelope->message_offset =
      static_cast<long>(start == std::string_view::npos ? head.size() : start);
  return 0;
}

namespace {

// A conversation on a kept connection found it closed before the message went out: it is sent
// again on a new connection.
constexpr int kKeptConnectionLost = -1;

// SendToHost's conversation; with `take_kept` a connection kept for the host is used.
int Converse(const Settings& settings, std::string_view recipients, std::string_view reverse_path,
             const std::string& host, bool smart_host, int queue_fd, off_t offset,
             std::string_view text_before, bool* host_unreachable, const ForwardOptions& options,
             bool take_kept) {
  const SYSTEMSTRUCT& system = settings.system;
  const SMTPSTRUCT& smtp = settings.smtp;
  std::shared_ptr<ForwardRun> run =
      options.run ? options.run : std::make_shared<ForwardRun>(settings);
  if (smart_host && run->LoginRefused(host)) {
    Log(system, kLogLevelMail, 0, kLogEvent, Format(kLogLoginRefusedEarlier, host.c_str()));
    *host_unreachable = true;
    return 0;
  }
  KeptConnection* kept = run->secured() ? options.kept : nullptr;
  std::unique_ptr<SmtpClient> client;
  if (kept != nullptr && kept->client) {
    if (take_kept && kept->host == host && kept->smart == smart_host)
      client = std::move(kept->client);
    else
      CloseKeptConnection(settings, kept, options);
  }
  const bool resumed = client != nullptr;
  uint16_t port_ex = smtp.PortEx > 0 && smtp.PortEx <= 65535 ? static_cast<uint16_t>(smtp.PortEx)
                                                             : kDefaultSmtpPort;
  std::string name;
  uint16_t port = port_ex;
  const bool split = SplitHostPort(host, port_ex, &name, &port);
  if (!resumed) {
    client = std::make_unique<SmtpClient>(options.cancel_fd);
    if (!split || client->Open(name, port) == ConnectResult::kUnknownHost) {
      // Counted as unreachable: the file stays queued until it expires.
      Log(system, kLogLevelFailure, 0, kLogEvent, Format(kLogCannotResolve, host.c_str()));
      *host_unreachable = true;
      return 0;
    }
    Log(system, kLogLevelMail, client->fd(), kLogEvent, Format(kLogConnecting, host.c_str()));
    if (client->Connect(options.connect_timeout_ms) != ConnectResult::kConnected) {
      Log(system, kLogLevelFailure, client->fd(), kLogEvent, kLogConnectTimedOut);
      *host_unreachable = true;
      return 0;
    }
  }
  SmtpClient& conn = *client;
  const int sock = conn.fd();

  struct stat st {};
  long size = ::fstat(queue_fd, &st) == 0 ? static_cast<long>(st.st_size - offset) : 0;
  size += static_cast<long>(text_before.size());
  SmtpEnvelope envelope = Envelope(settings, recipients, reverse_path, size);
  bool login = run->LoginFor(smart_host, &envelope.user, &envelope.password);
  envelope.tls = run->tls();
  // STARTTLS and AUTH are extensions: they need EHLO, whatever the ESMTP flags say.
  if (envelope.tls > 0 || login) envelope.ehlo = true;
  if (resumed) {
    envelope.ehlo = kept->ehlo;
    envelope.in_tls = kept->in_tls;
  }
  std::string last_command, last_reply;
  bool end_sent = false;  // the end line went out: the peer may hold the message now

  // The host failed for this message (TLS or the login did not work out): nothing of it was
  // sent, and the file stays queued for the next host or run.
  auto host_failed = [&](const std::string& why) {
    Log(system, kLogLevelFailure, sock, kLogEvent, why);
    Log(system, kLogLevelMail, sock, kLogEvent, kLogConnectionClosed);
    *host_unreachable = true;
    return 0;
  };
  auto handshake = [&] {
    TlsChannel::Outcome o =
        conn.StartTls(name, run->trust(), run->verify(), options.reply_timeout_ms);
    if (o == TlsChannel::Outcome::kOk) return true;
    host_failed(
        Format(o == TlsChannel::Outcome::kUntrusted ? kLogCertificateRefused : kLogTlsFailed,
               host.c_str(), conn.tls_error().c_str()));
    return false;
  };
  if (!resumed && envelope.tls > 0 && port == kSmtpImplicitTlsPort) {
    if (!handshake()) return 0;
    envelope.in_tls = true;
  }
  SmtpConversation conversation(std::move(envelope));

  auto send = [&](const std::string& command) {
    Log(system, kLogLevelProtocol, sock, kLogSent, Loggable(command, conversation.state()));
    last_command = command;
    return conn.Send(command, options.reply_timeout_ms);
  };
  bool replied = false;  // a reply arrived in this conversation
  auto read = [&](int timeout_ms) {
    last_reply = conn.ReadReply(timeout_ms);
    replied = replied || !last_reply.empty();
    if (!last_reply.empty()) Log(system, kLogLevelProtocol, sock, kLogReceived, last_reply);
    return last_reply;
  };
  // QUIT, and its reply awaited briefly, so that the peer sees an orderly end.
  auto quit = [&] {
    if (send(kSmtpCmdQuit)) read(std::min(options.reply_timeout_ms, kQuitReplyMs));
  };
  // The conversation did not work out. Kept for the next run: a lost connection (the message
  // may have arrived when the end line was sent) and a temporary refusal (4xx). Otherwise the
  // refusal is final and the sender gets the report.
  auto fail = [&] {
    bool lost = last_reply.empty() || end_sent;
    // A kept connection the peer closed meanwhile: nothing was taken, the next one will do.
    if (resumed && last_reply.empty() && !end_sent && !replied) return kKeptConnectionLost;
    if (lost || last_reply[0] == '4') {
      if (!lost) quit();
      Log(system, kLogLevelMail, sock, kLogEvent, kLogConnectionClosed);
      *host_unreachable = true;
      return 0;
    }
    std::string transaction = Format(kTransactionText, last_command.c_str(), last_reply.c_str());
    std::string short_text =
        Format(kTransactionShortText, last_command.c_str(), last_reply.c_str());
    quit();
    ReportRefusal(settings, reverse_path, recipients, queue_fd, offset, transaction, short_text);
    Log(system, kLogLevelMail, sock, kLogEvent, kLogConnectionClosed);
    return 1;
  };
  // A failure before MAIL FROM that is TLS's or the login's: never a report to the sender.
  auto security_failed = [&](const SmtpStep& step) {
    if (step.reply.empty()) return fail();  // the connection was lost
    std::string why;
    if (step.why == SmtpStep::Why::kNoTls) {
      why = Format(run->tls() >= 2 ? kLogNoStartTls : kLogLoginNeedsTls, host.c_str());
    } else if (step.why == SmtpStep::Why::kNoAuth) {
      why = Format(kLogNoAuth, host.c_str());
    } else if (step.failed_in == SmtpState::kStartTls) {
      why = Format(kLogStartTlsRefused, host.c_str(), step.reply.c_str());
    } else {
      why = Format(kLogLoginRefused, host.c_str(), step.reply.c_str());
      // A refused login is the administrator's to put right: the host is not tried again in
      // this run, and the notice goes out once.
      if (step.reply[0] == '5' && run->RefuseLogin(host))
        mail::WriteAdminNotice(SmtpMailService(settings), mail::kNoticeLoginRefused,
                               settings.smtp.ExchangeUser, host, step.reply, -1);
    }
    quit();
    return host_failed(why);
  };

  SmtpStep step =
      resumed ? conversation.Resume() : conversation.OnReply(read(options.reply_timeout_ms));
  for (;;) {
    int reply_ms = options.reply_timeout_ms;
    switch (step.action) {
      case SmtpStep::Action::kSend:
        if (!send(step.command)) return fail();
        break;
      case SmtpStep::Action::kRead:
        break;
      case SmtpStep::Action::kSendMessage: {
        MessageText message(/*stuff_dots=*/false);
        if (!SendStoredMessage(system, conn, message, queue_fd, offset, text_before,
                               options.reply_timeout_ms))
          return fail();
        end_sent = true;
        if (!send(std::string(message.EndLine()))) return fail();
        reply_ms = options.reply_timeout_ms * 2;
        break;
      }
      case SmtpStep::Action::kStartTls:
        if (!handshake()) return 0;
        step = conversation.OnTlsStarted();
        continue;
      case SmtpStep::Action::kDone:
        if (kept != nullptr) {
          kept->host = host;
          kept->smart = smart_host;
          kept->ehlo = conversation.extended();
          kept->in_tls = conn.secure();
          kept->client = std::move(client);
          return 1;
        }
        quit();
        Log(system, kLogLevelMail, sock, kLogEvent, kLogConnectionClosed);
        return 1;
      case SmtpStep::Action::kFailed:
        if (step.why != SmtpStep::Why::kReply || step.failed_in == SmtpState::kStartTls ||
            step.failed_in == SmtpState::kAuth)
          return security_failed(step);
        if (step.failed_in != SmtpState::kGreeting) return fail();
        // No greeting: counted as a host that does not answer.
        Log(system, kLogLevelFailure, sock, kLogEvent, kLogConnectTimedOut);
        *host_unreachable = true;
        return 0;
    }
    step = conversation.OnReply(read(reply_ms));
  }
}

int SendToHostAs(const Settings& settings, std::string_view recipients,
                 std::string_view reverse_path, const std::string& host, bool smart_host,
                 int queue_fd, off_t offset, std::string_view text_before, bool* host_unreachable,
                 const ForwardOptions& options) {
  int done = Converse(settings, recipients, reverse_path, host, smart_host, queue_fd, offset,
                      text_before, host_unreachable, options, true);
  if (done != kKeptConnectionLost) return done;
  if (Cancelled(options.cancel_fd)) {
    *host_unreachable = true;
    return 0;
  }
  return Converse(settings, recipients, reverse_path, host, smart_host, queue_fd, offset,
                  text_before, host_unreachable, options, false);
}

}  // namespace

void CloseKeptConnection(const Settings& settings, KeptConnection* kept,
                         const ForwardOptions& options) {
  if (kept == nullptr || !kept->client) return;
  const SYSTEMSTRUCT& system = settings.system;
  SmtpClient& conn = *kept->client;
  Log(system, kLogLevelProtocol, conn.fd(), kLogSent, kSmtpCmdQuit);
  if (conn.Send(kSmtpCmdQuit, options.reply_timeout_ms)) {
    std::string reply = conn.ReadReply(std::min(options.reply_timeout_ms, kQuitReplyMs));
    if (!reply.empty()) Log(system, kLogLevelProtocol, conn.fd(), kLogReceived, reply);
  }
  Log(system, kLogLevelMail, conn.fd(), kLogEvent, kLogConnectionClosed);
  kept->client.reset();
}

int SendToHost(const Settings& settings, std::string_view recipients, std::string_view reverse_path,
               const std::string& host, int queue_fd, off_t offset, std::string_view text_before,
               bool* host_unreachable, const ForwardOptions& options) {
  return SendToHostAs(settings, recipients, reverse_path, host,
                      IsExchangeHost(host, settings.smtp.ExchangeHost), queue_fd, offset,
                      text_before, host_unreachable, options);
}

int ReturnDeliveryReport(const Settings& settings, std::string_view reverse_path,
                         std::string_view recipients, std::string_view transaction, int queue_fd) {
  const SYSTEMSTRUCT& system = settings.system;
  // A report goes to a sender; a message without one is itself a report.
  if (reverse_path.empty()) return 0;
  TempSpool spool(system);
  if (spool.fd() < 0) return 0;
  std::string rp(reverse_path);
  std::string text = Format(kReportFrom, system.AdministratorName, PrimaryDomain(system).c_str());
  text += Format(kReportTo, rp.c_str());
  text += Format(kReportDate, FormatMailDate());
  text += kReportSubject;
  text += mail::kReportIntro;
  text += Format(mail::kReportRecipients, std::string(recipients).c_str());
  text += transaction;
  if (!WriteAll(spool.fd(), text) || !CopyUnmasked(queue_fd, spool.fd()) || !spool.Rewind())
    return 0;
  std::string local, domain;
  SplitAddress(rp, &local, &domain);
  // Delivered as a report: with the empty reverse-path, so that no responder answers it and no
  // report is ever made about it.
  mail::Recipient to{mail::RecipientKind::kForward, rp, ""};
  if (!local.empty() && !domain.empty() && IsUser(system, local, domain)) {
    to = {mail::RecipientKind::kUser, local + "@" + domain, ""};
  } else if (!local.empty() && !domain.empty() && IsSystemAccount(system, local, domain)) {
    to = {mail::RecipientKind::kAccount, local + "@" + domain, ""};
  } else if (rp.find('@') == std::string::npos) {
    return 0;  // the queue has no address to send it to
  }
  mail::Deliver(SmtpMailService(settings), {to}, "", spool.fd());
  return 1;
}

int ForwardQueueFile(const Settings& settings, const std::string& path, bool expired,
                     bool* host_unreachable, const ForwardOptions& options) {
  const SYSTEMSTRUCT& system = settings.system;
  *host_unreachable = false;
  platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return 0;
  char raw[kQueueHead];
  ssize_t got = ::read(file.get(), raw, sizeof raw);
  if (got < 0) return 0;
  UnscrambleBuffer(raw, static_cast<size_t>(got));
  QueueEnvelope env;
  switch (ReadQueueEnvelope(std::string_view(raw, static_cast<size_t>(got)), &env)) {
    case kQueueNoDestination:
      Log(system, kLogLevelLink, 0, kLogEvent, kLogNoDestination);
      return 1;
    case kQueueInvalidAddress:
      Log(system, kLogLevelLink, 0, kLogEvent,
          Format(kLogInvalidAddress, env.local.c_str(), env.domain.c_str()));
      return 1;
    case kQueueInvalidFormat:
      Log(system, kLogLevelLink, 0, kLogEvent, kLogInvalidFormat);
      return 1;
    default:
      break;
  }
  const off_t offset = env.message_offset;
  const std::string recipient = env.local + "@" + env.domain;
  if (!expired) {
    Log(system, kLogLevelMail, 0, kLogEvent,
        Format(kLogSendingForward, env.local.c_str(), env.domain.c_str()));
    return SendToHosts(settings, recipient, env.domain, env.reverse_path, file.get(), offset, "",
                       host_unreachable, options);
  }

  // Expired: back to the sender, or a notice to the administrator.
  std::string sender_local, sender_domain;
  SplitAddress(env.reverse_path, &sender_local, &sender_domain);
  std::string return_text = Format(kReturnText, FormatMailDate(), sender_local.c_str(),
                                   sender_domain.c_str(), recipient.c_str());
  const SMTPSTRUCT& smtp = settings.smtp;
  const bool return_to_sender = (smtp.Flags & kSmtpReturnToSender) != 0;
  const bool has_sender = !sender_local.empty() && !sender_domain.empty();
  if (return_to_sender && has_sender && IsUser(system, sender_local, sender_domain)) {
    Log(system, kLogLevelMail, 0, kLogEvent,
        Format(kLogReturnToSender, sender_local.c_str(), sender_domain.c_str()));
    TempSpool spool(system);
    if (spool.fd() < 0 || !WriteAll(spool.fd(), return_text) ||
        ::lseek(file.get(), offset, SEEK_SET) != offset || !CopyUnmasked(file.get(), spool.fd()) ||
        !spool.Rewind())
      return 0;  // kept: tried again on the next run
    mail::Deliver(SmtpMailService(settings),
                  {{mail::RecipientKind::kUser, sender_local + "@" + sender_domain, ""}},
                  AdministratorAddress(system), spool.fd(),
                  mail::DeliveryPolicy{.top_level = false});
    return 1;
  }
  if ((smtp.Flags & kSmtpSendInfo) != 0 && ::lseek(file.get(), offset, SEEK_SET) == offset) {
    bool attach = (smtp.Flags & kSmtpAttachMessage) != 0;
    mail::WriteAdminNotice(SmtpMailService(settings),
                           attach ? mail::kNoticeExpiredWithMessage : mail::kNoticeExpired,
                           env.reverse_path, recipient, "", attach ? file.get() : -1);
  }
  // Nothing goes back without RETURNTOSENDER, and nothing to a report's empty sender.
  if (!return_to_sender || !has_sender) return 1;
  Log(system, kLogLevelMail, 0, kLogEvent,
      Format(kLogReturnToSender, sender_local.c_str(), sender_domain.c_str()));
  // The return is itself a report: it leaves with the empty reverse-path.
  return SendToHosts(settings, sender_local + "@" + sender_domain, sender_domain, "", file.get(),
                     offset, return_text, host_unreachable, options);
}

namespace {

// One file of a run: forwarded, and removed when done. `opened` tells whether the run opened
// the dial-up link; a link that went down during the file is dialled again (*opened false when
// that failed: the run ends) and the file tried once more. Returns 1 when the file was removed.
int RunFile(const Settings& settings, const std::string& path, int32_t now,
            const ForwardOptions& options, bool* opened) {
  const SYSTEMSTRUCT& system = settings.system;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;  // taken away meanwhile
  int32_t age = now - StampOf(st.st_mtime);
  bool expired = settings.smtp.ReturnTimer < age;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool unreachable = false;
    if (ForwardQueueFile(settings, path, expired, &unreachable, options) == 1) {
      ::unlink(path.c_str());
      return 1;
    }
    if (!*opened || !unreachable || attempt > 0 || Cancelled(options.cancel_fd) ||
        options.dialup->IsActive(system.RASEntry))
      break;
    options.dialup->Close(system.RASEntry);
    *opened = OpenLink(system, options);
    if (!*opened) return 0;
  }
  return 0;
}

}  // namespace

int RunForwardQueue(const Settings& settings, const ForwardOptions& options) {
  const SYSTEMSTRUCT& system = settings.system;
  if ((settings.smtp.Flags & (kSmtpUseDns | kSmtpUseMx)) == 0) return 0;
  const int32_t now = StampOf(std::time(nullptr));
  std::vector<std::string> files = QueueFiles(system);
  if (files.empty()) return 0;
  bool opened = false;
  if ((system.Flags & kSysDialup) != 0) {
    if (!OpenLink(system, options)) return 0;
    opened = true;
  }
  ForwardOptions run_options = options;
  if (!run_options.run) run_options.run = std::make_shared<ForwardRun>(settings);
  std::atomic<size_t> next{0};
  std::atomic<int> removed{0};
  std::atomic<bool> link_lost{false};
  // Each conversation takes the next file until none is left. The files go one after another,
  // in name order, unless the conversations use TLS or a login, whose handshakes and extra
  // round trips a few conversations at once make up for (never over a dial-up link, which is
  // dialled again by the one conversation that found it down).
  auto work = [&] {
    bool link = opened;
    KeptConnection kept;
    ForwardOptions mine = run_options;
    mine.kept = &kept;
    for (size_t i; !link_lost && (i = next++) < files.size();) {
      if (Cancelled(mine.cancel_fd)) break;
      removed += RunFile(settings, files[i], now, mine, &link);
      if (opened && !link) link_lost = true;
    }
    CloseKeptConnection(settings, &kept, mine);
  };
  size_t workers = !opened && run_options.run->secured()
                       ? std::min(files.size(), static_cast<size_t>(kForwardWorkers))
                       : 1;
  std::vector<std::thread> others;
  for (size_t w = 1; w < workers; ++w) others.emplace_back(work);
  work();
  for (std::thread& t : others) t.join();
  if (opened && !link_lost) options.dialup->Close(system.RASEntry);
  return removed;
}

// ---------------------------------------------------------------------------------------------

ForwardRunner::ForwardRunner(const Settings& settings,
                             std::function<void(std::function<void()>)> post,
                             std::function<void()> finished, ForwardOptions options)
    : settings_(settings),
      options_(std::move(options)),
      runner_(std::move(post), {.threads = 1, .niceness = kRunNiceness, .cancel_descriptor = true},
              std::move(finished)) {}

bool ForwardRunner::Start() {
  const Settings& settings = settings_;
  ForwardOptions options = options_;
  return runner_.Start([&settings, options](int cancel_fd) mutable {
    options.cancel_fd = cancel_fd;
    RunForwardQueue(settings, options);
  });
}

}  // namespace qv::smtp
