#include "pop3/schedule.h"

#include "common/config.h"

namespace qv::pop3 {

bool AccountSchedule::Add(std::string_view account, int32_t interval) {
  if (account.empty()) return false;
  for (SCHEDSTRUCT& e : entries_) {
    if (e.AccountName[0] != '\0') continue;
    e.Countdown = interval;
    e.Interval = interval;
    CopyField(e.AccountName, std::string(account));
    return true;
  }
  return false;
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

}  // namespace qv::pop3
