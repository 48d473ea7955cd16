// Placeholder until the local side is built: every call fails.
#include "console/store/console_store.h"

namespace qv::console {
namespace {

class LocalStore : public ConsoleStore {
 public:
  bool remote() const override { return false; }
  std::string host() const override { return {}; }
  Status LoadSettings(Settings*) override { return Fail("not built"); }
  Status SaveSettings(const Settings&) override { return Fail("not built"); }
  Result<std::vector<TableRecord>> LoadTable(Table) override { return Fail("not built"); }
  Status AddRecord(const TableRecord&) override { return Fail("not built"); }
  Status EditRecord(const TableRecord&) override { return Fail("not built"); }
  Status DeleteRecord(const TableRecord&) override { return Fail("not built"); }
  Result<std::vector<MEMBERSTRUCT>> LoadMembers(const LISTSTRUCT&) override {
    return Fail("not built");
  }
  Status AddMember(const LISTSTRUCT&, const MEMBERSTRUCT&) override { return Fail("not built"); }
  Status DeleteMember(const LISTSTRUCT&, const MEMBERSTRUCT&) override {
    return Fail("not built");
  }
  Result<ServiceStates> QueryServices() override { return Fail("not built"); }
  Status ServiceAction(int, int) override { return Fail("not built"); }
  Result<std::vector<std::string>> PhoneBookEntries() override { return Fail("not built"); }
  Result<LogFiles> ListLogFiles() override { return Fail("not built"); }
  Result<std::vector<std::string>> NtGroups() override { return Fail("not built"); }
  AboutFacts About(const Settings&) override { return {}; }
};

}  // namespace

std::unique_ptr<ConsoleStore> MakeLocalStore() { return std::make_unique<LocalStore>(); }

ConnectOutcome ConnectControl(const std::string&, const std::string&, const std::string&,
                              uint16_t, int) {
  return {nullptr, "General failure!"};
}

}  // namespace qv::console
