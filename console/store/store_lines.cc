#include "console/store/store_lines.h"

#include <cstddef>
#include <cstring>

#include "common/recordstore.h"
#include "common/strings.h"
#include "console/store/store_texts.h"
#include "platform/svcmgr.h"

namespace qv::console {

namespace {

bool CleanText(std::string_view text) {
  return text.find_first_of("|\r\n") == std::string_view::npos;
}

// The word after `name` and the blanks that follow it; empty when `name` is not in the text.
std::string_view WordAfter(std::string_view text, std::string_view name) {
  size_t at = text.find(name);
  if (at == std::string_view::npos) return {};
  text.remove_prefix(at + name.size());
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  size_t end = text.find_first_of(" \t\r\n");
  return text.substr(0, end);
}

ServiceState StateWord(std::string_view word) {
  if (StartsWithNoCase(word, kStateRunning)) return ServiceState::kStarted;
  if (StartsWithNoCase(word, kStateStopped)) return ServiceState::kNotStarted;
  if (StartsWithNoCase(word, kStatePaused)) return ServiceState::kPaused;
  return ServiceState::kUnknown;
}

}  // namespace

const char* StreamWord(Table table) {
  switch (table) {
    case Table::kUser:
      return "USER";
    case Table::kLists:
      return "LIST";
    case Table::kCommands:
      return "EXEC";
    case Table::kRoutes:
      return "ROUTE";
    case Table::kResponder:
      return "AUTO";
    case Table::kAccounts:
      return "ACCOUNT";
  }
  return "";
}

Status CheckRecord(const TableRecord& record, RecordPath path) {
  const TableDef& def = GetTableDef(record.table());
  const char* bytes = static_cast<const char*>(record.data());
  if (record.Key().empty()) return Fail(kEmptyKey);
  for (size_t i = 0; i < def.field_count; ++i) {
    const FieldDef& f = def.fields[i];
    if (f.number) continue;
    std::string_view text = FieldText(bytes + f.offset, f.width);
    bool lines_allowed = path == RecordPath::kFile && record.table() == Table::kCommands &&
                         f.offset == offsetof(EXECSTRUCT, Keywords);
    if (lines_allowed ? text.find('|') != std::string_view::npos : !CleanText(text))
      return Fail(Format(kBadFieldText, f.name));
  }
  return {};
}

Status CheckMember(const MEMBERSTRUCT& member) {
  if (!CleanText(FieldText(member.Address)) || !CleanText(FieldText(member.Name)))
    return Fail(kBadMemberText);
  return {};
}

std::string RecordFields(const TableRecord& record, bool key_only) {
  const TableDef& def = GetTableDef(record.table());
  size_t count = def.field_count;
  if (key_only) {
    count = 0;
    for (size_t i = 0; i < def.field_count; ++i) {
      const FieldDef& f = def.fields[i];
      if (f.offset == def.key_offset || (def.has_domain && f.offset == kDomainOffset))
        count = i + 1;
    }
  }
  std::string line = FormatRecordLine(record.table(), record.data());
  // The texts hold no "|" (CheckRecord), so the n-th separator ends the n-th field.
  size_t end = 0;
  for (size_t i = 0; i < count; ++i) end = line.find('|', end) + 1;
  line.resize(end == 0 ? 0 : end - 1);
  return line;
}

std::string LookupKey(const TableRecord& record) {
  return GetTableDef(record.table()).has_domain ? record.NodeText() : record.Key();
}

bool GiveDefaultMemberFile(const std::string& config_path, LISTSTRUCT* list) {
  if (list->FileName[0] != '\0') return true;
  std::string file =
      Format(kDefaultMemberFile, config_path.c_str(), std::string(FieldText(list->Name)).c_str());
  if (file.size() >= sizeof list->FileName) return false;
  CopyField(list->FileName, file);
  return true;
}

std::vector<std::string> SplitNames(std::string_view reply) {
  std::vector<std::string> names;
  while (!reply.empty()) {
    size_t bar = reply.find('|');
    std::string_view name = reply.substr(0, bar);
    if (!name.empty()) names.emplace_back(name);
    if (bar == std::string_view::npos) break;
    reply.remove_prefix(bar + 1);
  }
  return names;
}

LogFiles SplitLogNames(std::string_view reply) {
  LogFiles logs;
  for (std::string& name : SplitNames(reply)) {
    if (StartsWithNoCase(name, kSmtpLogPrefix))
      logs.smtp.push_back(std::move(name));
    else if (StartsWithNoCase(name, kPop3LogPrefix))
      logs.pop3.push_back(std::move(name));
  }
  return logs;
}

ServiceStates ParseStateReply(std::string_view reply) {
  ServiceStates states;
  states.smtp = StateWord(WordAfter(reply, kStateSmtp));
  states.pop3 = StateWord(WordAfter(reply, kStatePop3));
  return states;
}

AboutFacts ServerFacts(const Settings& settings) {
  AboutFacts facts;
  facts.host_name = FieldText(settings.system.HostName);
  if (facts.host_name.empty()) facts.host_name = FieldText(settings.net.HostName);
  facts.address = FieldText(settings.net.Address);
  facts.domain = PrimaryDomain(settings.system);
  facts.smtp_version = facts.pop3_version = facts.control_version = kUnknownVersion;
  return facts;
}

ServiceState StateFromQuery(int result) {
  switch (result) {
    case platform::kServiceStopped:
    case platform::kServiceStartPending:
      return ServiceState::kNotStarted;
    case platform::kServiceRunning:
    case platform::kServiceStopPending:
    case 6:  // pause pending
      return ServiceState::kStarted;
    case 5:  // continue pending
    case 7:  // paused
      return ServiceState::kPaused;
    default:
      return result < 0 ? ServiceState::kNotInstalled : ServiceState::kUnknown;
  }
}

}  // namespace qv::console
