// The remote account checks of the POP3 service, run beside its event loop: the one-minute tick
// takes the accounts that are due from the schedule and checks them on worker threads, up to
// kParallelChecks at a time (the others wait in order for a thread), while the loop goes on
// serving POP3 clients. Each account is checked on its own, so a slow or silent server holds up
// only its own account. An account whose check has not ended when it comes due again is not
// checked twice: its interval starts again and a later tick takes it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "pop3/collect.h"
#include "pop3/schedule.h"
#include "serve/worker_pool.h"

namespace qv::pop3 {

// The environment variable naming a PEM file of certificates to check the remote servers'
// against instead of the system's store: a hook for tests with a certificate of their own.
inline constexpr char kCollectCaFileVariable[] = "QV_COLLECT_CA_FILE";

// The checks run beside the loop, a few at a time.
using CheckRunner = WorkerPool;
constexpr size_t kParallelChecks = 4;

// The schedule, its tick and the runner of the checks, as the service holds them.
class RemoteCollection {
 public:
  // `post` runs a function on the loop thread; `changed` runs there when a run starts or ends
  // (the tray icon follows the activity). `context` is the check's context without its cancel
  // descriptor, which the runner provides.
  RemoteCollection(std::function<void(std::function<void()>)> post, std::function<void()> changed,
                   CollectContext context);
  ~RemoteCollection() { Stop(); }
  RemoteCollection(const RemoteCollection&) = delete;
  RemoteCollection& operator=(const RemoteCollection&) = delete;

  // Fills the schedule from the accounts table (at start). An error when the table cannot be
  // opened; the schedule is then empty.
  Status Load();
  // One tick of the one-minute timer.
  void Tick();
  // Checks running or waiting for a thread, for the activity count.
  int active() const { return static_cast<int>(checking_.size()); }
  // Ends every check at once (their waits see the cancel descriptor), drops those waiting for a
  // thread and waits for the threads (at the service's stop). Nothing starts afterwards.
  void Stop();

  AccountSchedule& schedule() { return schedule_; }
  // Accounts whose check ran to its end, for tests and the benchmark.
  int checks_done() const { return checks_done_; }

 private:
  std::function<void()> changed_;
  CollectContext context_;
  AccountSchedule schedule_;
  // Readable once Stop has begun: every check's waits end at once.
  platform::UniqueFd cancel_read_, cancel_write_;
  // The accounts being checked or waiting for a thread; touched on the loop thread only.
  std::set<std::string> checking_;
  CheckRunner runner_;
  std::shared_ptr<std::atomic<int>> done_ = std::make_shared<std::atomic<int>>(0);
  int checks_done_ = 0;
};

// The collection of the running service, with the common and POP3 records and the network
// facts of `settings` (the service's, as loaded at start; they are copied), its delivery of
// fetched mail (empty `deliver`: mail::DeliverFetchedMessage) and its dial-up link.
std::unique_ptr<RemoteCollection> MakeRemoteCollection(
    const Settings& settings, std::function<void(std::function<void()>)> post,
    std::function<void()> changed, FetchedDelivery deliver, DialupLink* dialup = &NoDialupLink());

}  // namespace qv::pop3
