#include "console/ui/tests/fake_store_util.h"

#include <algorithm>
#include <cstring>

#include "common/strings.h"

namespace qv::console::testing {

Status FakeStore::Call(const char* name) {
  calls.emplace_back(name);
  if (broken) return Fail(kConnectionBroken);
  return {};
}

std::vector<TableRecord>::iterator FakeStore::Find(const TableRecord& record) {
  auto& rows = tables[record.table()];
  return std::find_if(rows.begin(), rows.end(), [&](const TableRecord& row) {
    return EqualsNoCase(row.NodeText(), record.NodeText());
  });
}

Status FakeStore::LoadSettings(Settings* out) {
  Status s = Call("LoadSettings");
  if (s.ok()) *out = settings;
  return s;
}

Status FakeStore::SaveSettings(const Settings& in) {
  Status s = Call("SaveSettings");
  if (s.ok()) {
    settings = in;
    ++saves;
  }
  return s;
}

Result<std::vector<TableRecord>> FakeStore::LoadTable(Table table) {
  Status s = Call("LoadTable");
  if (!s.ok()) return Fail(s.error());
  return tables[table];
}

Status FakeStore::AddRecord(const TableRecord& record) {
  Status s = Call("AddRecord");
  if (!s.ok()) return s;
  if (Find(record) != tables[record.table()].end()) return Fail("the record exists");
  tables[record.table()].push_back(record);
  return {};
}

Status FakeStore::EditRecord(const TableRecord& record) {
  Status s = Call("EditRecord");
  if (!s.ok()) return s;
  auto it = Find(record);
  if (it == tables[record.table()].end()) return Fail("no such record");
  *it = record;
  return {};
}

Status FakeStore::DeleteRecord(const TableRecord& record) {
  Status s = Call("DeleteRecord");
  if (!s.ok()) return s;
  auto it = Find(record);
  if (it == tables[record.table()].end()) return Fail("no such record");
  tables[record.table()].erase(it);
  return {};
}

Result<std::vector<MEMBERSTRUCT>> FakeStore::LoadMembers(const LISTSTRUCT& list) {
  Status s = Call("LoadMembers");
  if (!s.ok()) return Fail(s.error());
  return members[std::string(FieldText(list.FileName))];
}

Status FakeStore::AddMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) {
  Status s = Call("AddMember");
  if (s.ok()) members[std::string(FieldText(list.FileName))].push_back(member);
  return s;
}

Status FakeStore::DeleteMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) {
  Status s = Call("DeleteMember");
  if (!s.ok()) return s;
  auto& rows = members[std::string(FieldText(list.FileName))];
  auto it = std::find_if(rows.begin(), rows.end(), [&](const MEMBERSTRUCT& row) {
    return EqualsNoCase(FieldText(row.Address), FieldText(member.Address));
  });
  if (it == rows.end()) return Fail("no such member");
  rows.erase(it);
  return {};
}

Result<ServiceStates> FakeStore::QueryServices() {
  Status s = Call("QueryServices");
  if (!s.ok()) return Fail(s.error());
  return states;
}

Status FakeStore::ServiceAction(int service, int command) {
  Status s = Call("ServiceAction");
  if (s.ok()) actions.push_back(std::to_string(service) + ":" + std::to_string(command));
  return s;
}

Result<std::vector<std::string>> FakeStore::PhoneBookEntries() {
  Status s = Call("PhoneBookEntries");
  if (!s.ok()) return Fail(s.error());
  return phone_book;
}

Result<LogFiles> FakeStore::ListLogFiles() {
  Status s = Call("ListLogFiles");
  if (!s.ok()) return Fail(s.error());
  return logs;
}

Result<std::vector<std::string>> FakeStore::NtGroups() {
  Status s = Call("NtGroups");
  if (!s.ok()) return Fail(s.error());
  return groups;
}

AboutFacts FakeStore::About(const Settings& in) {
  calls.emplace_back("About");
  AboutFacts facts;
  facts.host_name = FieldText(in.system.HostName);
  facts.address = FieldText(in.net.Address);
  facts.domain = FieldText(in.system.Domain);
  facts.smtp_version = facts.pop3_version = facts.control_version = "<unknown>";
  return facts;
}

}  // namespace qv::console::testing
