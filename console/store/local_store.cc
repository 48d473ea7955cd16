// The local side of the console's data: this machine's registry, its table and member files,
// its services by ServiceCommand, its phone book, logs and groups.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "common/member_path.h"
#include "common/program.h"
#include "common/recordstore.h"
#include "common/settings_table.h"
#include "common/strings.h"
#include "common/tables.h"
#include "console/store/console_store.h"
#include "console/store/store_lines.h"
#include "console/store/store_texts.h"
#include "control/control_host.h"
#include "control/record_commands.h"
#include "platform/fileio.h"
#include "platform/rasapi_client.h"
#include "platform/spawn.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace qv::console {
namespace {

// How long a start or stop may take to show in the service's state.
constexpr std::chrono::milliseconds kServiceWait{5000};
constexpr std::chrono::milliseconds kServicePoll{100};
// How long a service that took its presence must stay to count as started (it may still fail
// to open its ports and end).
constexpr std::chrono::milliseconds kStartSettle{1500};

class LocalStore : public ConsoleStore {
 public:
  LocalStore() { qv::LoadSettings(settings_); }

  bool remote() const override { return false; }
  std::string host() const override { return {}; }

  Status LoadSettings(Settings* settings) override {
    Settings loaded;
    qv::LoadSettings(loaded);
    settings_ = loaded;
    *settings = loaded;
    return {};
  }

  Status SaveSettings(const Settings& settings) override {
    // One replacement of the registry file: a service started meanwhile reads the old or the
    // new settings, never a mixture.
    if (!SettingsChangeAccepted(settings_, settings)) return Fail(kSettingsRefused);
    if (!control::SaveAllSettings(settings, settings_)) return Fail(kSettingsNotSaved);
    settings_ = settings;
    return {};
  }

  Result<std::vector<TableRecord>> LoadTable(Table table) override {
    std::vector<TableRecord> records;
    int result = ForEachRecord(settings_.system, table, [&](const void* bytes) {
      TableRecord record(table);
      std::memcpy(record.data(), bytes, record.size());
      if (!record.Key().empty()) records.push_back(std::move(record));
      return true;
    });
    if (result != 0) {
      // A table that was never written is empty, not broken.
      if (!platform::Exists(GetTablePaths(settings_.system, table).data)) return records;
      return Fail(Format(kTableUnreadable, GetTableDef(table).name));
    }
    return records;
  }

  Status AddRecord(const TableRecord& record) override {
    if (Status checked = CheckRecord(record, RecordPath::kFile); !checked) return checked;
    TableRecord added = record;
    std::string config(FieldText(settings_.system.ConfigPath));
    if (added.table() == Table::kLists && !GiveDefaultMemberFile(config, &added.as<LISTSTRUCT>()))
      return Fail(Format(kMemberFileTooLong, config.c_str()));
    switch (qv::AddRecord(settings_.system, added.table(), added.data())) {
      case 0:
        return {};
      case 1:
        return Fail(kRecordExists);
      default:
        return Fail(kRecordRefused);
    }
  }

  Status EditRecord(const TableRecord& record) override {
    if (Status checked = CheckRecord(record, RecordPath::kFile); !checked) return checked;
    if (UpdateRecord(settings_.system, record.table(), record.data(), false) != 0)
      return Fail(kRecordNotChanged);
    return {};
  }

  Status DeleteRecord(const TableRecord& record) override {
    if (record.Key().empty()) return Fail(kEmptyKey);
    if (UpdateRecord(settings_.system, record.table(), record.data(), true) != 0)
      return Fail(kRecordNotChanged);
    return {};
  }

  Result<std::vector<MEMBERSTRUCT>> LoadMembers(const LISTSTRUCT& list) override {
    std::vector<MEMBERSTRUCT> members;
    std::string file(FieldText(list.FileName));
    if (file.empty()) return members;
    Result<std::string> path = MemberFilePath(settings_.system, file);
    if (!path) return Fail(Format(kMemberFileUnreadable, file.c_str()));
    FileLock lock(LockPathFor(*path), LockMode::kShared);
    platform::UniqueFd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
      if (errno == ENOENT) return members;  // no member has joined yet
      return Fail(Format(kMemberFileUnreadable, file.c_str()));
    }
    MEMBERSTRUCT member;
    for (int64_t at = 0;; at += sizeof member) {
      int64_t got = platform::ReadUpTo(fd.get(), &member, sizeof member, at);
      if (got < 0) return Fail(Format(kMemberFileUnreadable, file.c_str()));
      if (got < static_cast<int64_t>(sizeof member)) break;  // the end, or a partial record
      if (member.Address[0] != '\0') members.push_back(member);
    }
    return members;
  }

  Status AddMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) override {
    if (Status checked = CheckMember(member); !checked) return checked;
    std::string file(FieldText(list.FileName));
    if (file.empty()) return Fail(kNoMemberFile);
    switch (
        qv::AddMember(settings_.system, file, FieldText(member.Address), FieldText(member.Name))) {
      case 0:
        return {};
      case 1:
        return Fail(kMemberExists);
      case kMemberIsList:
        return Fail(kMemberIsAList);
      default:
        return Fail(Format(kMemberFileUnreadable, file.c_str()));
    }
  }

  Status DeleteMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) override {
    std::string file(FieldText(list.FileName));
    if (file.empty()) return Fail(kNoMemberFile);
    if (UpdateMember(settings_.system, file, FieldText(member.Address), {}, {}, true) != 0)
      return Fail(kMemberNotChanged);
    return {};
  }

  Result<ServiceStates> QueryServices() override {
    ServiceStates states;
    states.smtp = StateFromQuery(ServiceCommand(settings_, kServiceSmtp, kCommandQuery));
    states.pop3 = StateFromQuery(ServiceCommand(settings_, kServicePop3, kCommandQuery));
    return states;
  }

  Status ServiceAction(int service, int command) override {
    if (service != kServiceSmtp && service != kServicePop3) return Fail(kUnknownService);
    switch (command) {
      case kCommandStart:
        if (!settings_.nt_mode) return StartService(service);
        [[fallthrough]];
      case kCommandStop: {
        ServiceCommand(settings_, service, command);
        // A start or stop shows only once the program has taken or let go of its presence.
        ServiceState wanted =
            command == kCommandStart ? ServiceState::kStarted : ServiceState::kNotStarted;
        auto deadline = std::chrono::steady_clock::now() + kServiceWait;
        for (;;) {
          if (StateFromQuery(ServiceCommand(settings_, service, kCommandQuery)) == wanted)
            return {};
          if (std::chrono::steady_clock::now() >= deadline) break;
          std::this_thread::sleep_for(kServicePoll);
        }
        return Fail(
            Format(command == kCommandStart ? kCannotStart : kCannotStop, ServiceName(service)));
      }
      case kCommandInstall:
      case kCommandRemove:
        if (ServiceCommand(settings_, service, command) < 0)
          return Fail(Format(command == kCommandInstall ? kCannotInstall : kCannotRemove,
                             ServiceName(service)));
        return {};
      default:
        return Fail(kUnknownService);
    }
  }

  Result<std::vector<std::string>> PhoneBookEntries() override {
    return platform::ras::ListPhonebookEntries();
  }

  Result<LogFiles> ListLogFiles() override {
    return SplitLogNames(control::ListLogs(std::string(FieldText(settings_.system.LogPath))));
  }

  Result<std::vector<std::string>> NtGroups() override { return SplitNames(control::ListGroups()); }

  AboutFacts About(const Settings& settings) override {
    AboutFacts facts = ServerFacts(settings);
    std::string_view install = FieldText(settings.system.InstallPath);
    struct Program {
      int service;
      std::string* text;
    } programs[] = {{kServiceSmtp, &facts.smtp_version},
                    {kServicePop3, &facts.pop3_version},
                    {kServiceControl, &facts.control_version}};
    for (const Program& p : programs) {
      std::string version;
      *p.text = GetProgramVersion(install, ServiceProgram(p.service), &version) && !version.empty()
                    ? version
                    : kUnknownVersion;
    }
    return facts;
  }

 private:
  ServiceState StateOf(int service) {
    return StateFromQuery(ServiceCommand(settings_, service, kCommandQuery));
  }

  // Starts a service's program as ServiceCommand does, but reads its standard error meanwhile:
  // a program that cannot start says why there ("QuorvanePop3: cannot listen on port 1100") and
  // ends, which ends the wait early too. Once the service runs, the pipe is closed; the service
  // ignores SIGPIPE, so what it writes later is dropped.
  Status StartService(int service) {
    if (StateOf(service) == ServiceState::kStarted) return {};
    const std::string program = ServiceProgramPath(settings_, service);
    const std::string failed = Format(kCannotStart, ServiceName(service));
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return Fail(failed);
    platform::UniqueFd from(ends[0]);
    platform::UniqueFd to(ends[1]);
    if (!platform::StartDetached(program, {}, to.get()))
      return Fail(failed + "\n\n" + Format(kStartNotRun, program.c_str()));
    to.Reset();
    constexpr size_t kMostSaid = 4096;
    std::string said;
    bool ended = false;
    auto deadline = std::chrono::steady_clock::now() + kServiceWait;
    // A service shows as started once it holds its presence, which it takes before it opens
    // its ports: it counts as started only when it is still there a moment later.
    std::optional<std::chrono::steady_clock::time_point> settled;
    for (;;) {
      auto now = std::chrono::steady_clock::now();
      if (!settled && StateOf(service) == ServiceState::kStarted) settled = now + kStartSettle;
      if (settled && !ended && now >= *settled) return {};
      if (ended || (!settled && now >= deadline)) break;
      pollfd wait{from.get(), POLLIN, 0};
      ::poll(&wait, 1, static_cast<int>(kServicePoll.count()));
      char buffer[512];
      ssize_t n;
      while ((n = ::read(from.get(), buffer, sizeof buffer)) > 0)
        said.append(buffer,
                    std::min(static_cast<size_t>(n), kMostSaid - std::min(said.size(), kMostSaid)));
      // The end of the pipe: the program (and whatever it started) has gone.
      if (n == 0) ended = true;
    }
    while (!said.empty() && std::isspace(static_cast<unsigned char>(said.back()))) said.pop_back();
    std::string reason(Trim(said));
    if (reason.empty() && ended) reason = Format(kStartEnded, program.c_str());
    return Fail(reason.empty() ? failed : failed + "\n\n" + reason);
  }

  Settings settings_;
};

}  // namespace

std::unique_ptr<ConsoleStore> MakeLocalStore() {
  return std::make_unique<LocalStore>();
}

}  // namespace qv::console
