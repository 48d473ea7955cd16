#include "control/control_session.h"

#include "common/accounts.h"
#include "common/address.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "control/control_texts.h"
#include "control/options.h"
#include "control/record_commands.h"
#include "platform/svcmgr.h"

namespace qv::control {

namespace {

constexpr uint32_t kInLoggedIn = StateBit(ControlState::kLoggedIn);

// Marks of the commands that wait for the mail services or write the registry.
constexpr uint32_t kWaitsForServices = 1;

constexpr const char* kStateNames[] = {"UserName", "Password", "LoggedIn", "Closing"};

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
  reply.code = kReplyNormal;
  reply.text = std::move(text);
  return reply;
}

SessionReply Error(const char* text) {
  SessionReply reply;
  reply.code = kReplyError;
  reply.text = text;
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

const ControlSession::Commands::Row ControlSession::kRows[] = {
    {"HELP", &ControlSession::Help, kInLoggedIn},
    {"NOOP", &ControlSession::Noop, kInLoggedIn},
    {"QUIT", &ControlSession::Quit, kInLoggedIn, kWaitsForServices},
    {"EXIT", &ControlSession::Quit, kInLoggedIn, kWaitsForServices},
    {"SAVE", &ControlSession::Save, kInLoggedIn, kWaitsForServices},
    {"RSET", &ControlSession::Rset, kInLoggedIn},
    {"SET", &ControlSession::Set, kInLoggedIn},
    {"START", &ControlSession::Start, kInLoggedIn, kWaitsForServices},
    {"STOP", &ControlSession::Stop, kInLoggedIn, kWaitsForServices},
    {"PUTSTREAM", &ControlSession::PutStream, kInLoggedIn, kWaitsForServices},
    {"GETSTREAM", &ControlSession::GetStream, kInLoggedIn},
    {"USER", &ControlSession::User, kInLoggedIn},
    {"LIST", &ControlSession::List, kInLoggedIn},
    {"AUTO", &ControlSession::Auto, kInLoggedIn},
    {"EXEC", &ControlSession::Exec, kInLoggedIn},
    {"ROUTE", &ControlSession::Route, kInLoggedIn},
    {"POPA", &ControlSession::Popa, kInLoggedIn},
    {"STATE", &ControlSession::State, kInLoggedIn, kWaitsForServices},
    // Before the login every line is the user name, then the password.
    {"", &ControlSession::UserNameStep, StateBit(ControlState::kUserName)},
    {"", &ControlSession::PasswordStep, StateBit(ControlState::kPassword)},
};

// A line runs the first row, in this order, whose verb it begins with.
const ControlSession::Commands ControlSession::kCommands = {
    .names = {"Control", kStateNames, kTraceLevelErrors},
    .match = VerbMatch::kPrefix,
    .rows = kRows,
    .unknown = {kReplyError, kInvalidCommand},
    .wrong_state = {kReplyError, kInvalidCommand},
    .closing = ControlState::kClosing,
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

bool ControlSession::WaitsForServices(std::string_view line) const {
  const Commands::Row* row = kCommands.Find(Clean(line), state_.get());
  return row != nullptr && (row->marks & kWaitsForServices) != 0;
}

SessionReply ControlSession::Dispatch(std::string_view line) {
  if (state_.get() == ControlState::kClosing) {
    SessionReply reply;
    reply.close = true;
    return reply;
  }
  return kCommands.Dispatch(*this, state_, Clean(line));
}

int DispatchControlCommand(ControlSession* session, const char* line, size_t length,
                           SessionReply* reply) {
  if (session == nullptr) {
    *reply = SessionReply();
    return kReplyNone;
  }
  *reply = session->Dispatch(std::string_view(line == nullptr ? "" : line, line ? length : 0));
  return reply->code;
}

// ---- Login ---------------------------------------------------------------------------------

SessionReply ControlSession::UserNameStep(std::string_view line) {
  if (line.size() + 2 > kMaxUserNameLine) return Error(kInvalidUserName);
  user_name_ = std::string(line);
  EnterState(ControlState::kPassword);
  return Normal(kPasswordPrompt);
}

SessionReply ControlSession::PasswordStep(std::string_view password) {
  std::string alias, domain;
  SplitAddress(user_name_, &alias, &domain);
  USERSTRUCT user{};
  // A refusal is answered late.
  auto refuse = [](const char* text) {
    SessionReply reply = Error(text);
    reply.delayed = true;
    return reply;
  };
  if (alias.empty() || FindRecord(tables_, alias, domain, &user) != 0) {
    EnterState(ControlState::kUserName);
    return refuse(kInvalidUserName);
  }
  if ((user.Options & kUserAdmin) == 0) {
    EnterState(ControlState::kUserName);
    return refuse(kNoPermission);
  }
  if (!PasswordMatches(FieldText(user.Password), password))
    return refuse(kInvalidPassword);  // the next line is the password again
  settings_ = host_.ReloadedSettings(settings_);
  EnterState(ControlState::kLoggedIn);
  return Normal(kLoginOk);
}

// ---- Commands ------------------------------------------------------------------------------

SessionReply ControlSession::Help(std::string_view line) {
  return Normal(HelpText(AfterCommand(line, 4)));
}

SessionReply ControlSession::Noop(std::string_view) {
  return Normal(kPrompt);
}

void ControlSession::SaveChanges() {
  if (changes_.empty()) return;
  // When the registry cannot be written the changes stay, for the next save to try again.
  Result<Settings> saved = host_.SaveChanges(settings_, changes_);
  if (!saved) return;
  settings_ = *saved;
  changes_.Clear();
}

void ControlSession::SaveAndRestart() {
  SaveChanges();
  host_.ServiceCommand(kServiceSmtp, kCommandInterrogate);
  host_.ServiceCommand(kServicePop3, kCommandInterrogate);
}

SessionReply ControlSession::Quit(std::string_view) {
  SaveChanges();
  host_.SyncMailboxDirectories();
  for (int service : {kServiceSmtp, kServicePop3}) {
    if (host_.ServiceCommand(service, kCommandQuery) == platform::kServiceRunning)
      host_.ServiceCommand(service, kCommandInterrogate);
  }
  EnterState(ControlState::kClosing);
  return Normal(Format(kClosing, peer_.c_str()));
}

SessionReply ControlSession::Save(std::string_view) {
  SaveAndRestart();
  return Normal(kSaved);
}

SessionReply ControlSession::Rset(std::string_view) {
  settings_ = host_.ReloadedSettings(settings_);
  changes_.Clear();
  return Normal(kReloaded);
}

SessionReply ControlSession::Set(std::string_view line) {
  std::string_view arguments = AfterCommand(line, 3);
  while (!arguments.empty() && arguments.back() == ' ') arguments.remove_suffix(1);
  if (arguments.empty()) return Normal(ShowOptions(settings_));
  return Normal(ApplySetArguments(settings_, arguments, &changes_) ? kPrompt : kSyntaxError);
}

int ControlSession::ServiceArgument(std::string_view line, size_t word_length) {
  std::string_view name = AfterCommand(line, word_length);
  if (StartsWithNoCase(name, kArgSmtp)) return kServiceSmtp;
  if (StartsWithNoCase(name, kArgPop3)) return kServicePop3;
  return 0;
}

SessionReply ControlSession::Start(std::string_view line) {
  int service = ServiceArgument(line, 5);
  if (service == 0) return Normal(kSyntaxError);
  host_.ServiceCommand(service, kCommandStart);
  bool running = host_.ServiceCommand(service, kCommandQuery) == platform::kServiceRunning;
  return Normal(Format(running ? kServiceStarted : kCannotStart, ServiceName(service)));
}

SessionReply ControlSession::Stop(std::string_view line) {
  int service = ServiceArgument(line, 4);
  if (service == 0) return Normal(kSyntaxError);
  host_.ServiceCommand(service, kCommandStop);
  bool stopped = host_.ServiceCommand(service, kCommandQuery) == platform::kServiceStopped;
  return Normal(Format(stopped ? kServiceStopped : kCannotStop, ServiceName(service)));
}

SessionReply ControlSession::State(std::string_view) {
  std::string text;
  for (int service : {kServiceSmtp, kServicePop3})
    text += Format(kStateLine, ServiceName(service),
                   StateWord(host_.ServiceCommand(service, kCommandQuery)));
  return Normal(text + kPrompt);
}

SessionReply ControlSession::PutStream(std::string_view line) {
  std::string_view rest = AfterFirstBlank(line);
  size_t blank = rest.find(' ');
  std::string_view word = rest.substr(0, blank);
  std::string_view fields =
      blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
  if (EqualsNoCase(word, kStreamOptions)) {
    OptionsExtras extras = host_.Extras();
    Settings changed = settings_;
    if (ParseOptionsLine(fields, &changed, &extras)) {
      changes_.Note(settings_, changed);
      settings_ = changed;
      host_.SetExtras(extras);
      SaveAndRestart();
    }
  } else {
    PutStreamRecord(tables_, word, fields);
  }
  return Normal(kStreamPrompt);
}

SessionReply ControlSession::GetStream(std::string_view line) {
  std::string_view rest = AfterFirstBlank(line);
  std::string_view word = rest.substr(0, rest.find(' '));
  if (EqualsNoCase(word, kStreamOptions)) {
    return Normal(BuildOptionsLine(settings_, host_.Extras()));
  }
  StreamSources sources;
  sources.log_path = std::string(FieldText(settings_.system.LogPath));
  sources.phone_book = [this] { return host_.PhoneBookEntries(); };
  return Normal(qv::control::GetStream(tables_, line, sources));
}

SessionReply ControlSession::User(std::string_view line) {
  return Normal(UserCommand(tables_, line));
}
SessionReply ControlSession::List(std::string_view line) {
  return Normal(ListCommand(tables_, line));
}
SessionReply ControlSession::Auto(std::string_view line) {
  return Normal(AutoCommand(tables_, line));
}
SessionReply ControlSession::Exec(std::string_view line) {
  return Normal(ExecCommand(tables_, line));
}
SessionReply ControlSession::Route(std::string_view line) {
  return Normal(RouteCommand(tables_, line));
}
SessionReply ControlSession::Popa(std::string_view line) {
  return Normal(PopaCommand(tables_, line));
}

}  // namespace qv::control
