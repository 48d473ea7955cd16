// The remote account schedule: which remote POP accounts are due at each one-minute tick of the
// service. It is filled once at start from the accounts table; a change of the table takes
// effect at the next start.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/result.h"

namespace qv::pop3 {

constexpr int kScheduleEntries = 50;
constexpr int kTickSeconds = 60;
constexpr int kTimerAccounts = 1001;  // the one-minute timer of the schedule

struct SCHEDSTRUCT {
  int32_t Countdown = 0;       // seconds until the next check
  int32_t Interval = 0;        // seconds between checks
  char AccountName[128] = {};  // empty: the end of the table
};

class AccountSchedule {
 public:
  // Checks one account; how the check went is its own to report.
  using CheckFunction = std::function<void(const std::string& account)>;

  // Takes the next entry for the account, with countdown and interval both `interval`. An error
  // when the table is full or the name is empty.
  Status Add(std::string_view account, int32_t interval);
  void Clear();
  int size() const;

  // One tick: each entry's countdown goes down by a minute; an entry that reaches 0 or less is
  // checked (activity is raised around the check) and starts its interval again. So an interval
  // of 60 seconds or less is checked at every tick.
  void Tick(const CheckFunction& check);

  // The same tick for checks that run elsewhere: the accounts due now, in table order, whose
  // countdowns start their intervals again. With `hold` (a check is still running) none is
  // returned and due entries stay due, so that the next free tick takes them.
  std::vector<std::string> TakeDue(bool hold);

  // Checks running now (for the tray icon).
  int active() const { return active_; }
  const SCHEDSTRUCT& entry(int i) const { return entries_[i]; }

 private:
  SCHEDSTRUCT entries_[kScheduleEntries];
  int active_ = 0;
};

// The schedule of the accounts table of `system`: every record with a name, in index order, takes
// the next entry with countdown and interval both its Interval (at most kScheduleEntries). An
// error when the accounts table cannot be opened.
Result<AccountSchedule> LoadAccountSchedule(const SYSTEMSTRUCT& system);

}  // namespace qv::pop3
