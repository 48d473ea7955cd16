// The remote account checks of the POP3 service, run beside its event loop: the one-minute tick
// takes the accounts that are due from the schedule and checks them, one after the other, on a
// worker thread, while the loop goes on serving POP3 clients. One run at a time: a tick that
// finds a run in progress starts none, and the accounts it found due stay due for the next tick.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pop3/collect.h"
#include "pop3/schedule.h"
#include "serve/worker_pool.h"

namespace qv::pop3 {

// The checks run one at a time beside the loop.
using CheckRunner = WorkerPool;

// The schedule, its tick and the runner of the checks, as the service holds them.
class RemoteCollection {
 public:
  // `post` runs a function on the loop thread; `changed` runs there when a run starts or ends
  // (the tray icon follows the activity). `context` is the check's context without its cancel
  // descriptor, which the runner provides.
  RemoteCollection(std::function<void(std::function<void()>)> post, std::function<void()> changed,
                   CollectContext context);

  // Fills the schedule from the accounts table (at start). An error when the table cannot be
  // opened; the schedule is then empty.
  Status Load();
  // One tick of the one-minute timer.
  void Tick();
  // Checks in progress (0 or 1), for the activity count.
  int active() const { return runner_.Active() ? 1 : 0; }
  // Ends a run in progress and waits for it (at the service's stop).
  void Stop() { runner_.Stop(); }

  AccountSchedule& schedule() { return schedule_; }
  // Accounts whose check ran to its end, for tests and the benchmark.
  int checks_done() const { return checks_done_; }

 private:
  std::function<void()> changed_;
  CollectContext context_;
  AccountSchedule schedule_;
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
