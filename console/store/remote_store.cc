// The remote side of the console's data: one logged-in connection to the control service of
// another host, through which settings and records move as stream lines.
//
// Every exchange waits at most the store's time-out for each piece of its reply and reads the
// reply whole: the stream replies, which carry no end, are followed by a NOOP whose prompt marks
// their end (so an empty reply is told from a slow one, and a record of any length arrives
// whole). The first exchange that fails closes the connection; from then on every call fails at
// once with kConnectionBroken.
//
// The service answers every PUTSTREAM with ">" whatever became of the change, so a record change
// is checked by reading the record back by its key.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>

#include "common/settings_table.h"
#include "common/strings.h"
#include "console/store/console_store.h"
#include "console/store/store_lines.h"
#include "console/store/store_texts.h"
#include "control/options.h"
#include "control/stream_fields.h"
#include "net/control_client.h"
#include "platform/unique_fd.h"
#include "serve/line_connection.h"

namespace qv::console {
namespace {

// The OPTIONS line's fields before the network facts (sockets layer description and status,
// host address).
constexpr int kFieldsBeforeNetFacts = 34;

// Saving the settings restarts both mail services before the service answers.
constexpr int kSaveTimeoutFactor = 3;

// The first field of the line after a table's or member file's last record.
bool IsEndOfTable(std::string_view line) {
  return line.size() > std::strlen(kEndOfTable) && line.rfind(kEndOfTable, 0) == 0 &&
         line[std::strlen(kEndOfTable)] == '|';
}

// More records than a file with 32-bit offsets can hold: a peer that never sends the end.
int MostRecords(size_t record_size) {
  return static_cast<int>(std::numeric_limits<int32_t>::max() / record_size);
}

bool HoldsLineEnd(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// The record as the service stores it from its line: the stream field rules applied to it.
std::string AsStored(const TableRecord& record) {
  TableRecord stored(record.table());
  ParseRecordLine(record.table(), FormatRecordLine(record.table(), record.data()), stored.data());
  return FormatRecordLine(stored.table(), stored.data());
}

// A record's table and key, without regard to case, as the records that arrived cut are kept.
std::string CutKey(const TableRecord& record) {
  std::string key = std::to_string(static_cast<int>(record.table())) + ":" + LookupKey(record);
  for (char& c : key) c = UpperAscii(c);
  return key;
}

class RemoteStore : public ConsoleStore {
 public:
  RemoteStore(std::unique_ptr<ControlClient> client, std::string host, platform::UniqueFd cancel)
      : cancel_(std::move(cancel)), client_(std::move(client)), host_(std::move(host)) {}

  ~RemoteStore() override {
    // The service saves and restarts on QUIT; its reply is not waited for.
    if (!broken_) client_->Send(kQuit);
    client_->Close();
  }

  bool remote() const override { return true; }
  std::string host() const override { return host_; }

  Status LoadSettings(Settings* settings) override {
    Result<std::string> line = Stream(kGetOptions);
    if (!line) return Fail(line.error());
    // What the line does not carry is not set on the service, whatever this console showed
    // before (the settings of another host, or of this computer).
    Settings loaded = *settings;
    control::ClearLineGroups(loaded);
    control::OptionsExtras extras;
    if (!control::ParseOptionsLine(*line, &loaded, &extras)) return Fail(kOptionsUnreadable);
    // The network facts of the server's host, which the settings parser leaves alone.
    control::StreamFields fields(*line);
    for (int i = 0; i < kFieldsBeforeNetFacts; ++i) fields.Skip();
    fields.Text(loaded.net.Description);
    fields.Text(loaded.net.SystemStatus);
    fields.Text(loaded.net.Address);
    CopyField(loaded.net.HostName, std::string(FieldText(loaded.system.HostName)));
    settings_ = loaded;
    extras_ = extras;
    have_settings_ = true;
    *settings = loaded;
    return {};
  }

  Status SaveSettings(const Settings& settings) override {
    if (broken_) return Fail(kConnectionBroken);
    // The service refuses such a line without a word; say so here.
    if (!SettingsChangeAccepted(settings_, settings)) return Fail(kSettingsRefused);
    // A group of settings the service held is sent also when all of it went back to its
    // defaults: a line without it would leave the service's values.
    std::string options = control::BuildOptionsLine(settings, extras_, &settings_);
    if (HoldsLineEnd(options) ||
        static_cast<size_t>(std::count(options.begin(), options.end(), '|')) !=
            static_cast<size_t>(control::OptionsFieldCount(settings, &settings_)))
      return Fail(kOptionsBadText);
    std::string line = Format(kPutOptions, options.c_str());
    if (line.size() + 2 > kCommandLineLimit) return Fail(kOptionsTooLong);
    int timeout = client_->timeout_ms();
    client_->set_timeout_ms(timeout * kSaveTimeoutFactor);
    Result<std::string> reply = Command(line);
    client_->set_timeout_ms(timeout);
    if (!reply) return Fail(reply.error());
    settings_ = settings;
    have_settings_ = true;
    return {};
  }

  Result<std::vector<TableRecord>> LoadTable(Table table) override {
    std::vector<TableRecord> records;
    for (int n = 0;; ++n) {
      if (n > MostRecords(GetTableDef(table).record_size)) return Fail(kEndlessTable);
      Result<std::string> line = Stream(Format(kGetRecordAt, StreamWord(table), n));
      if (!line) return Fail(line.error());
      if (line->empty() || IsEndOfTable(*line)) break;
      TableRecord record(table);
      ParseRecordLine(table, *line, record.data());
      if (record.Key().empty()) continue;
      // A text with line ends (a command's keyword definitions) ends the stream form early: the
      // record arrives cut, and saving it back would store the cut copy.
      if (HoldsLineEnd(*line)) cut_.insert(CutKey(record));
      records.push_back(std::move(record));
    }
    return records;
  }

  Status AddRecord(const TableRecord& record) override {
    if (Status checked = CheckRecord(record, RecordPath::kLine); !checked) return checked;
    TableRecord added = record;
    if (added.table() == Table::kLists) {
      if (!have_settings_) {
        Settings loaded;
        if (Status s = LoadSettings(&loaded); !s) return s;
      }
      std::string config(FieldText(settings_.system.ConfigPath));
      if (!GiveDefaultMemberFile(config, &added.as<LISTSTRUCT>()))
        return Fail(Format(kMemberFileTooLong, config.c_str()));
    }
    // Routes may share a destination; every other key is unique.
    if (added.table() != Table::kRoutes) {
      Result<std::string> existing = Lookup(added);
      if (!existing) return Fail(existing.error());
      if (!existing->empty()) return Fail(kRecordExists);
    }
    if (Status put = Put(added, kOpAdd, false); !put) return put;
    Result<std::string> stored = Lookup(added);
    if (!stored) return Fail(stored.error());
    if (stored->empty()) return Fail(kRecordNotTaken);
    return {};
  }

  Status EditRecord(const TableRecord& record) override {
    if (Status checked = CheckRecord(record, RecordPath::kLine); !checked) return checked;
    if (cut_.count(CutKey(record)) != 0) return Fail(Format(kRecordCut, record.NodeText().c_str()));
    if (Status put = Put(record, kOpEdit, false); !put) return put;
    Result<std::string> stored = Lookup(record);
    if (!stored) return Fail(stored.error());
    if (stored->empty()) return Fail(kRecordNotChanged);
    if (*stored != AsStored(record)) return Fail(kRecordNotTaken);
    return {};
  }

  Status DeleteRecord(const TableRecord& record) override {
    if (Status checked = CheckRecord(record, RecordPath::kLine); !checked) return checked;
    if (Status put = Put(record, kOpDelete, true); !put) return put;
    Result<std::string> stored = Lookup(record);
    if (!stored) return Fail(stored.error());
    // A route found again may be another one to the same destination.
    if (!stored->empty() && (record.table() != Table::kRoutes || *stored == AsStored(record)))
      return Fail(kRecordNotChanged);
    return {};
  }

  Result<std::vector<MEMBERSTRUCT>> LoadMembers(const LISTSTRUCT& list) override {
    std::vector<MEMBERSTRUCT> members;
    std::string file(FieldText(list.FileName));
    if (file.empty()) return members;
    if (file.find_first_of("|\r\n") != std::string::npos)
      return Fail(Format(kMemberFileUnreadable, file.c_str()));
    for (int n = 0;; ++n) {
      if (n > MostRecords(sizeof(MEMBERSTRUCT))) return Fail(kEndlessTable);
      Result<std::string> line = Stream(Format(kGetMemberAt, file.c_str(), n));
      if (!line) return Fail(line.error());
      if (line->empty() || IsEndOfTable(*line)) break;
      MEMBERSTRUCT member;
      ParseMemberLine(*line, &member);
      if (member.Address[0] != '\0') members.push_back(member);
    }
    return members;
  }

  Status AddMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) override {
    return PutMember(list, member, kOpAddMember);
  }

  Status DeleteMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) override {
    return PutMember(list, member, kOpDeleteMember);
  }

  Result<ServiceStates> QueryServices() override {
    Result<std::string> reply = Command(kState);
    if (!reply) return Fail(reply.error());
    return ParseStateReply(*reply);
  }

  Status ServiceAction(int service, int command) override {
    const char* name = service == kServiceSmtp   ? kArgSmtp
                       : service == kServicePop3 ? kArgPop3
                                                 : nullptr;
    if (name == nullptr) return Fail(kUnknownService);
    if (command != kCommandStart && command != kCommandStop) return Fail(kRemoteServiceAction);
    Result<std::string> reply =
        Command(Format(command == kCommandStart ? kStartService : kStopService, name));
    if (!reply) return Fail(reply.error());
    if (IsControlFailure(*reply)) {
      std::string text = *reply;
      while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
      return Fail(text);
    }
    return {};
  }

  Result<std::vector<std::string>> PhoneBookEntries() override {
    Result<std::string> reply = Stream(kGetPhoneBook);
    if (!reply) return Fail(reply.error());
    return SplitNames(*reply);
  }

  Result<LogFiles> ListLogFiles() override {
    Result<std::string> reply = Stream(kGetLogs);
    if (!reply) return Fail(reply.error());
    return SplitLogNames(*reply);
  }

  Result<std::vector<std::string>> NtGroups() override {
    Result<std::string> reply = Stream(kGetGroups);
    if (!reply) return Fail(reply.error());
    return SplitNames(*reply);
  }

  // The programs are on the other host: their versions stay unknown.
  AboutFacts About(const Settings& settings) override { return ServerFacts(settings); }

  Status EndSession() override {
    if (broken_) return Fail(kConnectionBroken);
    broken_ = true;
    // The service saves and restarts the running mail services before it answers.
    client_->set_timeout_ms(client_->timeout_ms() * kSaveTimeoutFactor);
    Result<std::string> reply = client_->Quit(kQuit);
    client_->Close();
    if (!reply) return Fail(kConnectionBroken);
    return {};
  }

 private:
  Error Broken() {
    client_->Close();
    broken_ = true;
    return Fail(kConnectionBroken);
  }

  // A stream request and its reply (read up to the prompt of the NOOP sent behind it).
  Result<std::string> Stream(const std::string& line) {
    if (broken_) return Fail(kConnectionBroken);
    Result<std::string> reply = client_->Stream(line);
    if (!reply) return Broken();
    return reply;
  }

  // A request whose reply ends with the prompt (PUTSTREAM's is the prompt alone).
  Result<std::string> Command(const std::string& line) {
    if (broken_) return Fail(kConnectionBroken);
    if (line.size() + 2 > kCommandLineLimit) return Fail(kRecordRefused);
    Result<std::string> reply = client_->Command(line);
    if (!reply) return Broken();
    return reply;
  }

  Status Put(const TableRecord& record, const char* op, bool key_only) {
    Result<std::string> reply = Command(
        Format(kPutRecord, StreamWord(record.table()), op, RecordFields(record, key_only).c_str()));
    if (!reply) return Fail(reply.error());
    return {};
  }

  // The record with the same key as the service has it, as its line; empty when there is none.
  Result<std::string> Lookup(const TableRecord& record) {
    return Stream(Format(kGetRecordByKey, StreamWord(record.table()), LookupKey(record).c_str()));
  }

  Status PutMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member, const char* op) {
    if (Status checked = CheckMember(member); !checked) return checked;
    TableRecord list_record(list);
    if (Status checked = CheckRecord(list_record, RecordPath::kLine); !checked) return checked;
    if (list.FileName[0] == '\0') return Fail(kNoMemberFile);
    Result<std::string> reply = Command(Format(kPutMember, op, list_record.NodeText().c_str(),
                                               std::string(FieldText(member.Address)).c_str(),
                                               std::string(FieldText(member.Name)).c_str()));
    if (!reply) return Fail(reply.error());
    return {};
  }

  platform::UniqueFd cancel_;  // the client's cancel descriptor: outlives the client
  std::unique_ptr<ControlClient> client_;
  std::string host_;
  bool broken_ = false;
  Settings settings_;  // as last loaded from or saved to the service
  bool have_settings_ = false;
  control::OptionsExtras extras_;  // sent back with every save
  std::set<std::string> cut_;      // the records that arrived cut, by CutKey
};

const char* LoginError(ControlLogin login) {
  switch (login) {
    case ControlLogin::kOk:
      return "";
    case ControlLogin::kSocketError:
      return kSocketError;
    case ControlLogin::kUnknownHost:
      return kHostUnknown;
    case ControlLogin::kConnectFailed:
      return kHostSilent;
    case ControlLogin::kUnknownUser:
      return kInvalidLogin;
    case ControlLogin::kNoPermission:
      return kNoPermission;
    case ControlLogin::kBadPassword:
      return kInvalidPassword;
    case ControlLogin::kNoGreeting:
    case ControlLogin::kBroken:
    case ControlLogin::kTlsFailed:
    case ControlLogin::kUntrusted:
      return kGeneralFailure;
  }
  return kGeneralFailure;
}

}  // namespace

ConnectOutcome ConnectControl(const std::string& host, const std::string& login,
                              const std::string& password, uint16_t port, int timeout_ms,
                              int cancel_fd, const TlsTrust* tls) {
  // A line end would end the line early and send the rest as a command of its own.
  if (HoldsLineEnd(login)) return {nullptr, kInvalidLogin};
  if (HoldsLineEnd(password)) return {nullptr, kInvalidPassword};
  platform::UniqueFd cancel(cancel_fd >= 0 ? ::fcntl(cancel_fd, F_DUPFD_CLOEXEC, 0) : -1);
  if (cancel_fd >= 0 && !cancel) return {nullptr, kSocketError};
  auto client = std::make_unique<ControlClient>(cancel.get(), timeout_ms);
  if (tls != nullptr) client->UseTls(*tls);
  ControlLogin result = client->Login(host, port, login, password);
  if (result == ControlLogin::kTlsFailed || result == ControlLogin::kUntrusted) {
    std::string why = std::string(kGeneralFailure) + "\n" + client->tls_error();
    return {nullptr, why, result == ControlLogin::kUntrusted, client->fingerprint()};
  }
  if (result != ControlLogin::kOk) return {nullptr, LoginError(result)};
  return {std::make_unique<RemoteStore>(std::move(client), host, std::move(cancel)), {}};
}

}  // namespace qv::console
