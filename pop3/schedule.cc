#include "pop3/schedule.h"

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"

namespace qv::pop3 {

namespace {

constexpr char kNoAccountName[] = "an account without a name cannot be scheduled";
constexpr char kScheduleFull[] = "the account schedule is full";
constexpr char kNoAccountsTable[] = "the accounts table cannot be opened";

}  // namespace

Status AccountSchedule::Add(std::string_view account, int32_t interval) {
  if (account.empty()) return Fail(kNoAccountName);
  for (SCHEDSTRUCT& e : entries_) {
    if (e.AccountName[0] != '\0') continue;
    e.Countdown = interval;
    e.Interval = interval;
    CopyField(e.AccountName, std::string(account));
    return {};
  }
  return Fail(kScheduleFull);
}

void AccountSchedule::Clear() {
  for (SCHEDSTRUCT& e : entries_) e = SCHEDSTRUCT{};
}

int AccountSchedule::size() const {
  int n = 0;
  while (n < kScheduleEntries && entries_[n].AccountName[0] != '\0') ++n;
  return n;
}

void AccountSchedule::Tick(const CheckFunction& check) {
  for (SCHEDSTRUCT& e : entries_) {
    if (e.AccountName[0] == '\0') break;
    e.Countdown -= kTickSeconds;
    if (e.Countdown > 0) continue;
    ++active_;
    if (check) check(e.AccountName);
    e.Countdown = e.Interval;
    if (active_ > 0) --active_;
  }
}

std::vector<std::string> AccountSchedule::TakeDue(bool hold) {
  std::vector<std::string> due;
  for (SCHEDSTRUCT& e : entries_) {
    if (e.AccountName[0] == '\0') break;
    e.Countdown -= kTickSeconds;
    // Held entries stay at 0 or below; the countdown does not run on below that.
    if (e.Countdown > 0) continue;
    if (hold) {
      e.Countdown = 0;
      continue;
    }
    due.emplace_back(e.AccountName);
    e.Countdown = e.Interval;
  }
  return due;
}

Result<AccountSchedule> LoadAccountSchedule(const SYSTEMSTRUCT& system) {
  AccountSchedule schedule;
  int result = ForEachRecord(system, Table::kAccounts, [&](const void* record) {
    const auto& account = *static_cast<const ACCOUNTSTRUCT*>(record);
    std::string_view name = FieldText(account.Name);
    if (name.empty()) return true;
    return schedule.Add(name, account.Interval).ok();
  });
  if (result != 0) return Fail(kNoAccountsTable);
  return schedule;
}

}  // namespace qv::pop3
