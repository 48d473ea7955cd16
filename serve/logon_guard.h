// The brake on password guessing of a process: per remote address, the failed logons of the
// recent past and the pause they impose. Every connection and listener of a process asks the
// one guard before it answers a logon, so that neither parallel connections nor hanging up and
// coming back escape the count.
//
// The n-th failure of an address in a row pauses its logons for first_pause * 2^(n-1), at most
// longest_pause. While the pause lasts, every answer to a logon from that address waits for its
// end, right or wrong alike, so the time of an answer tells nothing; a failure's own answer
// waits for its new pause on top (never longer than longest_pause from now). A right password
// does not clear the count (a guesser who knows one password must not reset it with that); the
// count is forgotten once the address has been quiet for quiet_period.
//
// At most max_addresses addresses are held; beyond that the one quiet for longest is forgotten.
// Safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qv {

struct LogonGuardLimits {
  std::chrono::milliseconds first_pause{1000};
  std::chrono::milliseconds longest_pause{60000};
  std::chrono::milliseconds quiet_period{std::chrono::minutes(10)};
  size_t max_addresses = 4096;
};

// The guard's answer for one logon.
struct LogonVerdict {
  std::chrono::milliseconds delay{0};  // the wait before the answer goes out
  int failures = 0;                    // the address's failures in a row, this one counted
  bool backoff_started = false;        // this failure began the address's pauses
};

class LogonGuard {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `clock` null: the steady clock.
  explicit LogonGuard(LogonGuardLimits limits = {}, Clock clock = nullptr);

  // A logon from `address` was decided now, `failed` or not: the wait before its answer. A
  // failure is counted.
  LogonVerdict Answer(std::string_view address, bool failed);

  // The pause of the n-th failure in a row (n >= 1).
  std::chrono::milliseconds PauseFor(int failures) const;

  // Addresses held now.
  size_t tracked() const;
  const LogonGuardLimits& limits() const { return limits_; }

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Entry {
    int failures = 0;
    TimePoint until{};         // answers wait until then
    TimePoint last_failure{};  // the quiet period counts from here
  };

  bool Forgotten(const Entry& entry, TimePoint now) const;
  // Makes room for one more address.
  void Evict(TimePoint now);

  LogonGuardLimits limits_;
  Clock clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace qv
