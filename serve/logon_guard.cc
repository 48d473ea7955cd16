#include "serve/logon_guard.h"

#include <algorithm>
#include <utility>

namespace qv {

namespace {

// Beyond this many failures the pause no longer grows (and the shift cannot overflow).
constexpr int kMaxDoublings = 30;

}  // namespace

LogonGuard::LogonGuard(LogonGuardLimits limits, Clock clock)
    : limits_(limits), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
  limits_.max_addresses = std::max<size_t>(limits_.max_addresses, 1);
}

std::chrono::milliseconds LogonGuard::PauseFor(int failures) const {
  int doublings = std::clamp(failures - 1, 0, kMaxDoublings);
  auto pause = limits_.first_pause;
  for (int i = 0; i < doublings && pause < limits_.longest_pause; ++i) pause *= 2;
  return std::min(pause, limits_.longest_pause);
}

bool LogonGuard::Forgotten(const Entry& entry, TimePoint now) const {
  return entry.until <= now && now - entry.last_failure >= limits_.quiet_period;
}

void LogonGuard::Evict(TimePoint now) {
  std::erase_if(entries_, [&](const auto& item) { return Forgotten(item.second, now); });
  if (entries_.size() < limits_.max_addresses) return;
  auto oldest = std::min_element(
      entries_.begin(), entries_.end(),
      [](const auto& a, const auto& b) { return a.second.last_failure < b.second.last_failure; });
  entries_.erase(oldest);
}

LogonVerdict LogonGuard::Answer(std::string_view address, bool failed) {
  std::lock_guard lock(mutex_);
  TimePoint now = clock_();
  auto it = entries_.find(std::string(address));
  if (it != entries_.end() && Forgotten(it->second, now)) {
    entries_.erase(it);
    it = entries_.end();
  }
  TimePoint start = it == entries_.end() ? now : std::max(now, it->second.until);
  LogonVerdict verdict;
  if (!failed) {
    verdict.delay = std::chrono::duration_cast<std::chrono::milliseconds>(start - now);
    if (it != entries_.end()) verdict.failures = it->second.failures;
    return verdict;
  }
  if (it == entries_.end()) {
    if (entries_.size() >= limits_.max_addresses) Evict(now);
    it = entries_.emplace(std::string(address), Entry{}).first;
  }
  Entry& entry = it->second;
  if (entry.failures < kMaxDoublings + 1) ++entry.failures;
  entry.until = std::min(start + PauseFor(entry.failures), now + limits_.longest_pause);
  entry.last_failure = now;
  verdict.delay = std::chrono::duration_cast<std::chrono::milliseconds>(entry.until - now);
  verdict.failures = entry.failures;
  verdict.backoff_started = entry.failures == 1;
  return verdict;
}

size_t LogonGuard::tracked() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace qv
