// Work that runs beside a service's event loop: worker threads run the jobs, and each job's end
// is then handled on the loop thread, like every other event. The frame's pool flushes message
// files on a few threads at once (concurrent flushes are what let the file system commit many
// messages together); the forwarder's runs go one at a time on a thread at a lower priority, and
// the remote-account checks four at a time, each account its own job; both have a cancel
// descriptor that Stop makes readable so that a job waiting on the network ends at once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

namespace qv {

struct WorkerPoolOptions {
  size_t threads = 1;
  // The niceness of the worker threads (the loop's sessions come first when the processor is
  // short); none: that of the process.
  std::optional<int> niceness;
  // A pipe whose read end every job gets and which Stop makes readable; without it jobs get -1.
  bool cancel_descriptor = false;
};

class WorkerPool {
 public:
  // Runs a function on the service's loop thread; safe to call from any thread.
  using Post = std::function<void(std::function<void()>)>;
  using Job = std::function<void(int cancel_fd)>;

  // `finished` (may be empty) runs on the loop thread after each job's own completion.
  WorkerPool(Post post, WorkerPoolOptions options, std::function<void()> finished = nullptr);
  // A pool with a cancel descriptor is stopped (see Stop). One without runs the jobs still
  // queued, then ends its threads; their completions are posted as usual.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `work`; `done` (may be empty) runs on the loop afterwards. False once stopped.
  bool Submit(std::function<void()> work, std::function<void()> done);
  // Starts the job only when the pool is idle (see Active) and not stopped; false otherwise.
  // Called on the loop thread.
  bool Start(Job job);
  // True while a job is queued, running, or its completion has not yet run on the loop thread.
  bool Active() const;
  // Makes the cancel descriptor readable, drops the queued jobs and waits for the running ones.
  // Nothing starts afterwards, and completions not yet run are dropped.
  void Stop();

 private:
  struct State;
  void Enqueue(Job job, std::function<void()> done);
  std::shared_ptr<State> state_;
};

}  // namespace qv
