#include "pop3/collect.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "common/address.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "net/dns.h"
#include "net/line_client.h"
#include "platform/fileio.h"
#include "pop3/collect_texts.h"

namespace qv::pop3 {

// ---- The conversation ------------------------------------------------------------------------

namespace {

// The first decimal number of the text at or after `pos` (after blanks); false when none.
bool NumberAt(std::string_view text, size_t* pos, long* value) {
  size_t i = *pos;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  size_t start = i;
  long n = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 10) {
    n = n * 10 + (text[i] - '0');
    ++i;
  }
  if (i == start) return false;
  *pos = i;
  *value = n;
  return true;
}

}  // namespace

namespace {

FetchStep SendStep(std::string command, bool end = false) {
  FetchStep step;
  step.send = std::move(command);
  step.end = end;
  return step;
}

}  // namespace

bool IsPositiveReply(std::string_view reply) {
  return StartsWithNoCase(reply, kReplyPositive);
}

const FetchConversation::Row FetchConversation::kTable[] = {
    {FetchState::kGreeting, &FetchConversation::Greeting},
    {FetchState::kUser, &FetchConversation::User},
    {FetchState::kPass, &FetchConversation::Pass},
    {FetchState::kStat, &FetchConversation::Stat},
    {FetchState::kList, &FetchConversation::List},
    {FetchState::kRetr, &FetchConversation::Retr},
    {FetchState::kDele, &FetchConversation::Dele},
    {FetchState::kLastDele, &FetchConversation::LastDele},
};

FetchConversation::FetchConversation(std::string login, std::string password)
    : login_(std::move(login)), password_(std::move(password)) {}

FetchStep FetchConversation::OnReply(std::string_view reply) {
  for (const Row& row : kTable) {
    if (row.state != state_) continue;
    if (!IsPositiveReply(reply)) return Fail();
    return (this->*row.handler)(reply);
  }
  // A reply while receiving a message or after the end is a caller's mistake.
  return Fail();
}

FetchStep FetchConversation::Fail() {
  state_ = FetchState::kFailed;
  FetchStep step;
  step.end = true;
  return step;
}

FetchStep FetchConversation::Greeting(std::string_view) {
  state_ = FetchState::kUser;
  return SendStep(Format(kCmdUser, login_.c_str()));
}

FetchStep FetchConversation::User(std::string_view) {
  state_ = FetchState::kPass;
  return SendStep(Format(kCmdPass, password_.c_str()));
}

FetchStep FetchConversation::Pass(std::string_view) {
  state_ = FetchState::kStat;
  return SendStep(kCmdStat);
}

FetchStep FetchConversation::Stat(std::string_view reply) {
  // The count is the number after the first blank(s); none counts as 0.
  size_t pos = reply.find_first_of(" \t");
  long n = 0;
  if (pos == std::string_view::npos || !NumberAt(reply, &pos, &n)) n = 0;
  count_ = static_cast<int>(n);
  if (count_ < 1) {
    state_ = FetchState::kDone;
    return SendStep(kCmdQuit, true);
  }
  message_ = 1;
  state_ = FetchState::kList;
  return SendStep(Format(kCmdList, message_));
}

FetchStep FetchConversation::List(std::string_view reply) {
  size_t pos = 3;
  long number = 0, size = 0;
  if (!NumberAt(reply, &pos, &number) || !NumberAt(reply, &pos, &size)) return Fail();
  state_ = FetchState::kRetr;
  return SendStep(Format(kCmdRetr, message_));
}

FetchStep FetchConversation::Retr(std::string_view) {
  state_ = FetchState::kMessage;
  FetchStep step;
  step.receive = true;
  return step;
}

FetchStep FetchConversation::OnMessageEnd(bool complete) {
  if (state_ != FetchState::kMessage || !complete) return Fail();
  state_ = message_ >= count_ ? FetchState::kLastDele : FetchState::kDele;
  return SendStep(Format(kCmdDele, message_));
}

FetchStep FetchConversation::Dele(std::string_view) {
  ++message_;
  state_ = FetchState::kList;
  return SendStep(Format(kCmdList, message_));
}

FetchStep FetchConversation::LastDele(std::string_view) {
  state_ = FetchState::kDone;
  return SendStep(kCmdQuit, true);
}

// ---- Addresses ---------------------------------------------------------------------------------

std::string AddressAround(std::string_view line, size_t from, size_t* next) {
  size_t at = line.find('@', from);
  if (at == std::string_view::npos) {
    if (next != nullptr) *next = line.size();
    return {};
  }
  constexpr std::string_view kBefore = " \t<\";,:";
  constexpr std::string_view kAfter = ";,> \t\"\r\n";
  size_t start = at;
  while (start > from && kBefore.find(line[start - 1]) == std::string_view::npos) --start;
  size_t end = line.find_first_of(kAfter, at + 1);
  if (end == std::string_view::npos) end = line.size();
  if (next != nullptr) *next = end;
  return std::string(line.substr(start, end - start));
}

// ---- Reception
// -----------------------------------------------------------------------------------

namespace {

constexpr size_t kWriteBuffer = 64 * 1024;

bool SameAddress(const std::string& a, const std::string& b) {
  return EqualsNoCase(a, b);
}

}  // namespace

FetchedMessage::FetchedMessage(bool shared, LocalTest is_local)
    : shared_(shared), is_local_(std::move(is_local)) {}

FetchedMessage::~FetchedMessage() {
  Discard();
}

void FetchedMessage::Discard() {
  if (fd_.valid()) {
    fd_.Reset();
    ::unlink(path_.c_str());
  }
  path_.clear();
  Forget();
}

void FetchedMessage::Forget() {
  buffer_.clear();
  failed_ = false;
  size_ = 0;
  at_line_start_ = true;
  in_header_ = true;
  field_ = Field::kNone;
  sender_.clear();
  received_.clear();
  to_cc_.clear();
}

bool FetchedMessage::Open(const std::string& temp_path, std::string_view mail_path) {
  if (fd_.valid()) {
    // The file of the previous message serves again: creating and deleting a file for every
    // message costs the file system more than emptying one.
    Forget();
    if (::ftruncate(fd_.get(), 0) == 0 && ::lseek(fd_.get(), 0, SEEK_SET) == 0) return true;
    Discard();
  }
  std::string directory = temp_path;
  std::string name;
  int fd = CreateTempFile(&directory, mail_path, &name);
  if (fd < 0) return false;
  fd_.Reset(fd);
  path_ = name;
  return true;
}

bool FetchedMessage::Flush() {
  if (buffer_.empty()) return !failed_;
  if (!failed_ && !platform::WriteAll(fd_.get(), buffer_.data(), buffer_.size())) failed_ = true;
  buffer_.clear();
  return !failed_;
}

bool FetchedMessage::AddLine(std::string_view line) {
  bool line_start = at_line_start_;
  bool whole = !line.empty() && line.back() == '\n';
  at_line_start_ = whole;
  if (line_start && line == kMessageEnd) return false;
  if (line_start && in_header_) {
    if (line == "\r\n" || line == "\n") {
      in_header_ = false;
    } else {
      HeaderLine(line);
    }
  }
  buffer_.append(line);
  size_ += line.size();
  if (buffer_.size() >= kWriteBuffer) Flush();
  return true;
}

bool FetchedMessage::Finish() {
  return Flush();
}

void FetchedMessage::HeaderLine(std::string_view line) {
  if (line[0] == ' ' || line[0] == '\t') {
    // A continuation line belongs to the field before it.
  } else if (StartsWithNoCase(line, "From:")) {
    field_ = Field::kFrom;
  } else if (StartsWithNoCase(line, "Received:")) {
    field_ = Field::kReceived;
  } else if (StartsWithNoCase(line, "To:") || StartsWithNoCase(line, "Cc:")) {
    field_ = Field::kToCc;
  } else {
    field_ = Field::kNone;
  }
  size_t from = 0;
  if (field_ != Field::kNone && line[0] != ' ' && line[0] != '\t') from = line.find(':') + 1;
  switch (field_) {
    case Field::kNone:
      break;
    case Field::kFrom:
      if (sender_.empty()) sender_ = AddressAround(line, from);
      break;
    case Field::kReceived: {
      if (!shared_ || !received_.empty()) break;
      std::string address = AddressAround(line, from);
      if (address.empty()) break;
      std::string local, domain;
      SplitAddress(address, &local, &domain);
      if (is_local_ && is_local_(local, domain)) received_ = address;
      break;
    }
    case Field::kToCc: {
      if (!shared_) break;
      size_t pos = from;
      while (pos < line.size()) {
        std::string address = AddressAround(line, pos, &pos);
        if (address.empty()) break;
        if (address.find('@') == 0 || address.back() == '@') continue;
        bool known = std::any_of(to_cc_.begin(), to_cc_.end(),
                                 [&](const std::string& a) { return SameAddress(a, address); });
        if (!known) to_cc_.push_back(address);
      }
      break;
    }
  }
}

std::vector<std::string> FetchedMessage::Recipients() const {
  if (!shared_) return {};
  if (!received_.empty()) return {received_};
  return to_cc_;
}

// ---- Checks
// ---------------------------------------------------------------------------------------

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

// Receives the message after a positive reply to RETR into `message`: true when its end line
// arrived and the file holds all of it.
bool ReceiveMessage(const CollectContext& context, LineClient& client, FetchedMessage* message) {
  for (;;) {
    std::string line = client.ReadLine(context.receive_timeout_ms);
    if (line.empty()) return false;
    std::string_view rest = line;
    while (!rest.empty()) {
      std::string_view piece = rest.substr(0, kCollectLineMax);
      rest.remove_prefix(piece.size());
      if (!message->AddLine(piece)) return message->Finish();
      Log(context, kLogLevelData, client.fd(), kLogData, piece);
    }
  }
}

// True when every delivery stored the message.
bool Deliver(const CollectContext& context, const FetchTarget& target,
             const FetchedMessage& message) {
  if (!context.deliver) return true;
  std::vector<std::string> recipients = message.Recipients();
  if (!target.shared || recipients.empty())
    return context.deliver(target.local, target.domain, message.sender(), message.fd());
  bool stored = true;
  for (const std::string& address : recipients) {
    std::string local, domain;
    SplitAddress(address, &local, &domain);
    if (!context.deliver(local, domain, message.sender(), message.fd())) stored = false;
  }
  return stored;
}

// The deliveries of one conversation: received messages are delivered by a few threads while
// the conversation goes on. Submit waits while the threads are all busy and the queue is full,
// so that only a bounded number of messages is held at a time.
class DeliveryPipeline {
 public:
  DeliveryPipeline(const CollectContext& context, const FetchTarget& target)
      : context_(context), target_(target) {}
  ~DeliveryPipeline() { Wait(); }
  DeliveryPipeline(const DeliveryPipeline&) = delete;
  DeliveryPipeline& operator=(const DeliveryPipeline&) = delete;

  // A message to receive into: one whose delivery has ended (its file is used again), or a new
  // one.
  std::unique_ptr<FetchedMessage> Take(FetchedMessage::LocalTest is_local) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty())
      return std::make_unique<FetchedMessage>(target_.shared, std::move(is_local));
    std::unique_ptr<FetchedMessage> message = std::move(spare_.back());
    spare_.pop_back();
    return message;
  }

  void Submit(std::unique_ptr<FetchedMessage> message) {
    size_t threads = std::max<size_t>(1, context_.parallel_deliveries);
    if (threads == 1) {
      if (!Deliver(context_, target_, *message)) failed_ = true;
      std::lock_guard<std::mutex> lock(mutex_);
      spare_.push_back(std::move(message));
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < threads; });
    queue_.push_back(std::move(message));
    ++pending_;
    if (workers_.size() < threads && idle_ == 0) workers_.emplace_back([this] { Work(); });
    wake_.notify_one();
  }

  // Returns when every message submitted has been delivered; the threads end.
  void Wait() {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [&] { return pending_ == 0; });
      ending_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    ending_ = false;
  }

  // True when a delivery could not store its message.
  bool failed() const { return failed_; }

 private:
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      wake_.wait(lock, [&] { return ending_ || !queue_.empty(); });
      --idle_;
      if (queue_.empty()) return;
      std::unique_ptr<FetchedMessage> message = std::move(queue_.front());
      queue_.pop_front();
      room_.notify_one();
      lock.unlock();
      bool stored = Deliver(context_, target_, *message);
      lock.lock();
      spare_.push_back(std::move(message));
      if (!stored) failed_ = true;
      if (--pending_ == 0) done_.notify_all();
    }
  }

  const CollectContext& context_;
  const FetchTarget& target_;
  std::mutex mutex_;
  std::condition_variable wake_, room_, done_;
  std::deque<std::unique_ptr<FetchedMessage>> queue_;
  // Delivered messages whose temporary files serve the next ones (deleted with the pipeline).
  std::vector<std::unique_ptr<FetchedMessage>> spare_;
  std::vector<std::thread> workers_;
  size_t pending_ = 0;
  size_t idle_ = 0;
  bool ending_ = false;
  std::atomic<bool> failed_{false};
};

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

// The server of an account as a dotted address and port (a "host:port" form is taken too).
bool ResolveServer(const CollectContext& context, const ACCOUNTSTRUCT& account,
                   std::string* address, uint16_t* port) {
  std::string host;
  uint16_t default_port = static_cast<uint16_t>(context.settings.pop3.PortEx);
  if (default_port == 0) default_port = 110;
  in_addr resolved{};
  if (!SplitHostPort(FieldText(account.Server), default_port, &host, port) ||
      !ResolveIPv4(host, &resolved)) {
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
               uint16_t port) {
  if (client.Connect(address, port, context.connect_timeout_ms) == ConnectResult::kConnected)
    return true;
  Log(context, kLogLevelFailure, 0, kLogEvent, kLogConnectionTimedOut);
  client.Close();
  return false;
}

}  // namespace

bool FetchMailbox(const CollectContext& context, LineClient& client, const FetchTarget& target) {
  FetchConversation conversation(target.login, target.password);
  FetchedMessage::LocalTest is_local =
      context.is_local ? context.is_local : DefaultIsLocal(context.settings.system);
  DeliveryPipeline deliveries(context, target);
  std::string reply;
  if (!ReadReply(context, client, &reply)) return false;
  FetchStep step = conversation.OnReply(reply);
  for (;;) {
    if (step.end && conversation.ok()) {
      // QUIT makes the server apply the deletions: every message must be stored first.
      deliveries.Wait();
      if (deliveries.failed()) {
        Log(context, kLogLevelFailure, client.fd(), kLogEvent, kLogNotStored);
        return false;
      }
    }
    if (!step.send.empty() && !SendCommand(context, client, step.send)) return false;
    if (step.end) {
      // The server applies the deletions when it takes QUIT and answers after that: closing
      // before the answer could end the session before they are done.
      if (conversation.ok()) ReadReply(context, client, &reply);
      return conversation.ok();
    }
    if (step.receive) {
      std::unique_ptr<FetchedMessage> message = deliveries.Take(is_local);
      bool complete =
          message->Open(context.settings.system.TempPath, context.settings.system.MailPath) &&
          ReceiveMessage(context, client, message.get());
      if (complete) {
        deliveries.Submit(std::move(message));
      } else {
        Log(context, kLogLevelFailure, client.fd(), kLogEvent,
            Format(kLogMessageCut, conversation.message()));
      }
      step = conversation.OnMessageEnd(complete);
      continue;
    }
    if (!ReadReply(context, client, &reply)) return false;
    step = conversation.OnReply(reply);
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
  uint16_t port = 0;
  if (ResolveServer(context, account, &address, &port)) {
    LineClient client(context.cancel_fd, kCollectReadMax);
    if (ConnectTo(context, client, address, port)) {
      FetchTarget target;
      target.login = std::string(FieldText(account.Account));
      target.password = std::string(FieldText(account.Password));
      target.shared = true;
      result = FetchMailbox(context, client, target) ? 1 : 0;
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
  uint16_t port = 0;
  bool resolved = ResolveServer(context, account, &address, &port);
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
    if (!ConnectTo(context, client, address, port)) {
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
    if ((account.Options & kAccountUserLogin) != 0) {
      target.login = alias;
      target.password = std::string(FieldText(user.Password));
    } else {
      target.login = std::string(FieldText(account.Account));
      target.password = std::string(FieldText(account.Password));
    }
    if (!FetchMailbox(context, client, target)) result = 0;
    client.Close();
  }
  if (taken) Log(context, kLogLevelMail, last_socket, kLogEvent, kLogConnectionClosed);
  if (dialup) context.dialup->Close(std::string(FieldText(account.DialProfile)));
  return result;
}

}  // namespace qv::pop3
