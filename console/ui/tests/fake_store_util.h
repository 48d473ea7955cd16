// An in-memory ConsoleStore for the page tests: settings, tables and member lists held in
// memory, every call counted, and a switch that makes every later call fail as a broken
// connection does.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "console/store/console_store.h"

namespace qv::console::testing {

class FakeStore : public ConsoleStore {
 public:
  explicit FakeStore(bool remote = false, std::string host = {})
      : remote_(remote), host_(std::move(host)) {}

  bool remote() const override { return remote_; }
  std::string host() const override { return host_; }

  Status LoadSettings(Settings* settings) override;
  Status SaveSettings(const Settings& settings) override;
  Result<std::vector<TableRecord>> LoadTable(Table table) override;
  Status AddRecord(const TableRecord& record) override;
  Status EditRecord(const TableRecord& record) override;
  Status DeleteRecord(const TableRecord& record) override;
  Result<std::vector<MEMBERSTRUCT>> LoadMembers(const LISTSTRUCT& list) override;
  Status AddMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) override;
  Status DeleteMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) override;
  Result<ServiceStates> QueryServices() override;
  Status ServiceAction(int service, int command) override;
  Result<std::vector<std::string>> PhoneBookEntries() override;
  Result<LogFiles> ListLogFiles() override;
  Result<std::vector<std::string>> NtGroups() override;
  AboutFacts About(const Settings& settings) override;

  // What the store holds; tests set and read these directly.
  Settings settings;
  std::map<Table, std::vector<TableRecord>> tables;
  std::map<std::string, std::vector<MEMBERSTRUCT>> members;  // by list FileName
  ServiceStates states;
  std::vector<std::string> phone_book;
  LogFiles logs;
  std::vector<std::string> groups;
  // Every call by name ("LoadTable", "AddRecord", ...), in order; and the service actions as
  // "service:command".
  std::vector<std::string> calls;
  std::vector<std::string> actions;
  // When set, every call fails with kConnectionBroken.
  bool broken = false;
  int saves = 0;

 private:
  Status Call(const char* name);
  std::vector<TableRecord>::iterator Find(const TableRecord& record);

  bool remote_;
  std::string host_;
};

}  // namespace qv::console::testing
