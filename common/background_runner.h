// Work that runs beside a service's event loop: one job at a time on a worker thread at a lower
// priority, with a cancel descriptor that Stop makes readable so that a job waiting on the
// network ends at once. The end of each job is handled on the loop thread, like every other
// event. The forwarder's runs and the remote-account checks use it.
#pragma once

#include <functional>
#include <memory>

namespace qv {

class BackgroundRunner {
 public:
  using Job = std::function<void(int cancel_fd)>;

  // `post` runs a function on the service's loop thread; `finished` runs there after each job.
  // The worker thread runs at `niceness` (the loop's sessions come first when the processor is
  // short).
  BackgroundRunner(std::function<void(std::function<void()>)> post, std::function<void()> finished,
                   int niceness);
  ~BackgroundRunner();
  BackgroundRunner(const BackgroundRunner&) = delete;
  BackgroundRunner& operator=(const BackgroundRunner&) = delete;

  // Starts the job unless one is in progress or the runner is stopped (then false). Called on
  // the loop thread.
  bool Start(Job job);
  // True from Start until the job's end has reached the loop thread.
  bool Active() const;
  // Ends a job in progress at its next wait and waits for it. No job starts afterwards.
  void Stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace qv
