#include "control/control_session.h"

#include "common/address.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "control/control_texts.h"
#include "control/options.h"
#include "control/record_commands.h"
#include "platform/svcmgr.h"

namespace qv::control {

namespace {

constexpr uint32_t StateBit(ControlState state) {
  return 1u << static_cast<uint32_t>(state);
}
constexpr uint32_t kInLoggedIn = StateBit(ControlState::kLoggedIn);

std::string_view SkipBlanks(std::string_view text) {
  size_t start = text.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

// The text after a command word of `length` characters and the blanks that follow it.
std::string_view AfterCommand(std::string_view line, size_t length) {
  return line.size() <= length ? std::string_view() : SkipBlanks(line.substr(length));
}

// After the first blank and the blanks that follow it.
std::string_view AfterFirstBlank(std::string_view text) {
  size_t blank = text.find(' ');
  return blank == std::string_view::npos ? std::string_view() : SkipBlanks(text.substr(blank));
}

SessionReply Normal(std::string text) {
  SessionReply reply;
  reply.kind = kReplyNormal;
  reply.text = std::move(text);
  return reply;
}

struct HelpTopic {
  const char* topic;
  const char* text;
};

// Compared in this order over each topic's length.
const HelpTopic kHelpTopics[] = {
    {"HELP", kHelpCommands}, {"NOOP", kHelpNoop},   {"QUIT", kHelpQuit}, {"EXIT", kHelpQuit},
    {"SAVE", kHelpSave},     {"RSET", kHelpRset},   {"SET", kHelpSet},   {"FLAGS", kHelpFlags},
    {"PARA", kHelpPara},     {"START", kHelpStart}, {"STOP", kHelpStop}, {"USER", kHelpUser},
    {"LIST", kHelpList},     {"AUTO", kHelpAuto},   {"EXEC", kHelpExec}, {"ROUTE", kHelpRoute},
    {"POPA", kHelpPopa},     {"STATE", kHelpState},
};

}  // namespace

const ControlSession::Command ControlSession::kCommands[] = {
    {"HELP", &ControlSession::Help, kInLoggedIn, false},
    {"NOOP", &ControlSession::Noop, kInLoggedIn, false},
    {"QUIT", &ControlSession::Quit, kInLoggedIn, true},
    {"EXIT", &ControlSession::Quit, kInLoggedIn, true},
    {"SAVE", &ControlSession::Save, kInLoggedIn, true},
    {"RSET", &ControlSession::Rset, kInLoggedIn, false},
    {"SET", &ControlSession::Set, kInLoggedIn, false},
    {"START", &ControlSession::Start, kInLoggedIn, true},
    {"STOP", &ControlSession::Stop, kInLoggedIn, true},
    {"PUTSTREAM", &ControlSession::PutStream, kInLoggedIn, true},
    {"GETSTREAM", &ControlSession::GetStream, kInLoggedIn, false},
    {"USER", &ControlSession::User, kInLoggedIn, false},
    {"LIST", &ControlSession::List, kInLoggedIn, false},
    {"AUTO", &ControlSession::Auto, kInLoggedIn, false},
    {"EXEC", &ControlSession::Exec, kInLoggedIn, false},
    {"ROUTE", &ControlSession::Route, kInLoggedIn, false},
    {"POPA", &ControlSession::Popa, kInLoggedIn, false},
    {"STATE", &ControlSession::State, kInLoggedIn, true},
};

const char* HelpText(std::string_view topic) {
  if (topic.empty()) return kHelpCommands;
  for (const HelpTopic& t : kHelpTopics)
    if (StartsWithNoCase(topic, t.topic)) return t.text;
  return kHelpUnknown;
}

const char* StateWord(int state) {
  switch (state) {
    case platform::kServiceStopped:
      return kStateStopped;
    case platform::kServiceRunning:
      return kStateRunning;
    case 7:
      return kStatePaused;
    case 2:
    case 3:
    case 5:
    case 6:
      return kStatePending;
    default:
      return kStateUnknown;
  }
}

ControlSession::ControlSession(const Settings& process, ControlHost& host,
                               std::string_view peer_address)
    : tables_(process.system),
      host_(host),
      peer_(peer_address.substr(0, 31)),
      settings_(host.CurrentSettings()) {}

std::string_view ControlSession::Clean(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  return line.substr(0, line.find_first_of("\r\n"));
}

const ControlSession::Command* ControlSession::Find(std::string_view line) const {
  for (const Command& command : kCommands)
    if (StartsWithNoCase(line, command.verb)) return &command;
  return nullptr;
}

bool ControlSession::WaitsForServices(std::string_view line) const {
  if (state_ != ControlState::kLoggedIn) return false;
  const Command* command = Find(Clean(line));
  return command != nullptr && command->waits_for_services;
}

SessionReply ControlSession::Dispatch(std::string_view line) {
  SessionReply reply;
  line = Clean(line);
  switch (state_) {
    case ControlState::kUserName:
      UserNameStep(line, &reply);
      break;
    case ControlState::kPassword:
      PasswordStep(line, &reply);
      break;
    case ControlState::kLoggedIn: {
      const Command* command = Find(line);
      if (command == nullptr || (command->states & StateBit(state_)) == 0) {
        reply.kind = kReplyError;
        reply.text = kInvalidCommand;
      } else {
        (this->*command->handler)(line, &reply);
      }
      break;
    }
    case ControlState::kClosing:
      break;
  }
  reply.close = state_ == ControlState::kClosing;
  return reply;
}

int DispatchControlCommand(ControlSession* session, const char* line, size_t length,
                           SessionReply* reply) {
  if (session == nullptr) {
    *reply = SessionReply();
    return kReplyNone;
  }
  *reply = session->Dispatch(std::string_view(line == nullptr ? "" : line, line ? length : 0));
  return reply->kind;
}

// ---- Login ---------------------------------------------------------------------------------

void ControlSession::UserNameStep(std::string_view line, SessionReply* reply) {
  if (line.size() + 2 > kMaxUserNameLine) {
    reply->kind = kReplyError;
    reply->text = kInvalidUserName;
    return;
  }
  user_name_ = std::string(line);
  state_ = ControlState::kPassword;
  reply->kind = kReplyNormal;
  reply->text = kPasswordPrompt;
}

void ControlSession::PasswordStep(std::string_view password, SessionReply* reply) {
  std::string alias, domain;
  SplitAddress(user_name_, &alias, &domain);
  USERSTRUCT user{};
  reply->kind = kReplyError;
  if (alias.empty() || FindRecord(tables_, alias, domain, &user) != 0) {
    state_ = ControlState::kUserName;
    reply->text = kInvalidUserName;
    reply->delayed = true;
    return;
  }
  if ((user.Options & kUserAdmin) == 0) {
    state_ = ControlState::kUserName;
    reply->text = kNoPermission;
    reply->delayed = true;
    return;
  }
  std::string_view stored = FieldText(user.Password);
  if (!stored.empty() && !EqualsNoCase(stored, password)) {
    reply->text = kInvalidPassword;  // the next line is the password again
    reply->delayed = true;
    return;
  }
  state_ = ControlState::kLoggedIn;
  reply->kind = kReplyNormal;
  reply->text = kLoginOk;
}

// ---- Commands ------------------------------------------------------------------------------

void ControlSession::Help(std::string_view line, SessionReply* reply) {
  *reply = Normal(HelpText(AfterCommand(line, 4)));
}

void ControlSession::Noop(std::string_view, SessionReply* reply) {
  *reply = Normal(kPrompt);
}

void ControlSession::SaveAndRestart() {
  host_.SaveSettings(settings_);
  host_.ServiceCommand(kServiceSmtp, kCommandInterrogate);
  host_.ServiceCommand(kServicePop3, kCommandInterrogate);
}

void ControlSession::Quit(std::string_view, SessionReply* reply) {
  host_.SaveSettings(settings_);
  host_.SyncMailboxDirectories();
  for (int service : {kServiceSmtp, kServicePop3}) {
    if (host_.ServiceCommand(service, kCommandQuery) == platform::kServiceRunning)
      host_.ServiceCommand(service, kCommandInterrogate);
  }
  state_ = ControlState::kClosing;
  *reply = Normal(Format(kClosing, peer_.c_str()));
}

void ControlSession::Save(std::string_view, SessionReply* reply) {
  SaveAndRestart();
  *reply = Normal(kSaved);
}

void ControlSession::Rset(std::string_view, SessionReply* reply) {
  host_.ReloadSettings(&settings_);
  *reply = Normal(kReloaded);
}

void ControlSession::Set(std::string_view line, SessionReply* reply) {
  std::string_view arguments = AfterCommand(line, 3);
  while (!arguments.empty() && arguments.back() == ' ') arguments.remove_suffix(1);
  if (arguments.empty()) {
    *reply = Normal(ShowOptions(settings_));
    return;
  }
  *reply = Normal(ApplySetArguments(settings_, arguments) ? kPrompt : kSyntaxError);
}

int ControlSession::ServiceArgument(std::string_view line, size_t word_length) {
  std::string_view name = AfterCommand(line, word_length);
  if (StartsWithNoCase(name, kArgSmtp)) return kServiceSmtp;
  if (StartsWithNoCase(name, kArgPop3)) return kServicePop3;
  return 0;
}

void ControlSession::Start(std::string_view line, SessionReply* reply) {
  int service = ServiceArgument(line, 5);
  if (service == 0) {
    *reply = Normal(kSyntaxError);
    return;
  }
  host_.ServiceCommand(service, kCommandStart);
  bool running = host_.ServiceCommand(service, kCommandQuery) == platform::kServiceRunning;
  *reply = Normal(Format(running ? kServiceStarted : kCannotStart, ServiceName(service)));
}

void ControlSession::Stop(std::string_view line, SessionReply* reply) {
  int service = ServiceArgument(line, 4);
  if (service == 0) {
    *reply = Normal(kSyntaxError);
    return;
  }
  host_.ServiceCommand(service, kCommandStop);
  bool stopped = host_.ServiceCommand(service, kCommandQuery) == platform::kServiceStopped;
  *reply = Normal(Format(stopped ? kServiceStopped : kCannotStop, ServiceName(service)));
}

void ControlSession::State(std::string_view, SessionReply* reply) {
  std::string text;
  for (int service : {kServiceSmtp, kServicePop3})
    text += Format(kStateLine, ServiceName(service),
                   StateWord(host_.ServiceCommand(service, kCommandQuery)));
  *reply = Normal(text + kPrompt);
}

void ControlSession::PutStream(std::string_view line, SessionReply* reply) {
  std::string_view rest = AfterFirstBlank(line);
  size_t blank = rest.find(' ');
  std::string_view word = rest.substr(0, blank);
  std::string_view fields =
      blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
  if (EqualsNoCase(word, kStreamOptions)) {
    OptionsExtras extras = host_.Extras();
    Settings changed = settings_;
    if (ParseOptionsLine(fields, &changed, &extras)) {
      settings_ = changed;
      host_.SetExtras(extras);
      SaveAndRestart();
    }
  } else {
    PutStreamRecord(tables_, word, fields);
  }
  *reply = Normal(kStreamPrompt);
}

void ControlSession::GetStream(std::string_view line, SessionReply* reply) {
  std::string_view rest = AfterFirstBlank(line);
  std::string_view word = rest.substr(0, rest.find(' '));
  if (EqualsNoCase(word, kStreamOptions)) {
    *reply = Normal(BuildOptionsLine(settings_, host_.Extras()));
    return;
  }
  StreamSources sources;
  sources.log_path = std::string(FieldText(settings_.system.LogPath));
  sources.phone_book = [this] { return host_.PhoneBookEntries(); };
  *reply = Normal(qv::control::GetStream(tables_, line, sources));
}

void ControlSession::User(std::string_view line, SessionReply* reply) {
  *reply = Normal(UserCommand(tables_, line));
}
void ControlSession::List(std::string_view line, SessionReply* reply) {
  *reply = Normal(ListCommand(tables_, line));
}
void ControlSession::Auto(std::string_view line, SessionReply* reply) {
  *reply = Normal(AutoCommand(tables_, line));
}
void ControlSession::Exec(std::string_view line, SessionReply* reply) {
  *reply = Normal(ExecCommand(tables_, line));
}
void ControlSession::Route(std::string_view line, SessionReply* reply) {
  *reply = Normal(RouteCommand(tables_, line));
}
void ControlSession::Popa(std::string_view line, SessionReply* reply) {
  *reply = Normal(PopaCommand(tables_, line));
}

}  // namespace qv::control
