#include "pop3/collect_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "common/config.h"
#include "pop3/deliver_fetched.h"

namespace qv::pop3 {

namespace {

// Background work: the POP3 clients on the loop thread come first when the processor is short.
constexpr int kCheckNiceness = 5;

}  // namespace

struct CheckRunner::State {
  std::function<void(std::function<void()>)> post;
  std::function<void()> finished;
  std::atomic<bool> active{false};
  std::atomic<bool> stopped{false};
  int cancel[2] = {-1, -1};
  std::thread worker;

  ~State() {
    if (cancel[0] >= 0) ::close(cancel[0]);
    if (cancel[1] >= 0) ::close(cancel[1]);
  }
};

CheckRunner::CheckRunner(std::function<void(std::function<void()>)> post,
                         std::function<void()> finished)
    : state_(std::make_shared<State>()) {
  state_->post = std::move(post);
  state_->finished = std::move(finished);
  if (::pipe2(state_->cancel, O_CLOEXEC) != 0) state_->cancel[0] = state_->cancel[1] = -1;
}

CheckRunner::~CheckRunner() {
  Stop();
}

bool CheckRunner::Start(Job job) {
  State& s = *state_;
  if (s.stopped || s.active) return false;
  if (s.worker.joinable()) s.worker.join();  // a job whose end is still on its way
  s.active = true;
  std::shared_ptr<State> shared = state_;
  s.worker = std::thread([shared, job = std::move(job)] {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kCheckNiceness);
    job(shared->cancel[0]);
    // The end of the job is handled on the loop thread, like every other event.
    shared->post([shared] {
      if (shared->stopped) return;
      if (shared->worker.joinable()) shared->worker.join();
      shared->active = false;
      if (shared->finished) shared->finished();
    });
  });
  return true;
}

bool CheckRunner::Active() const {
  return state_->active;
}

void CheckRunner::Stop() {
  State& s = *state_;
  s.stopped = true;
  if (s.cancel[1] >= 0) {
    ssize_t w = ::write(s.cancel[1], "x", 1);
    (void)w;
  }
  if (s.worker.joinable()) s.worker.join();
  s.active = false;
}

// ---------------------------------------------------------------------------------------------

RemoteCollection::RemoteCollection(std::function<void(std::function<void()>)> post,
                                   std::function<void()> changed, CollectContext context)
    : changed_(changed), context_(std::move(context)), runner_(std::move(post), [this] {
        checks_done_ = done_->load();
        if (changed_) changed_();
      }) {}

bool RemoteCollection::Load() {
  return LoadAccountSchedule(context_.settings.system, &schedule_);
}

void RemoteCollection::Tick() {
  std::vector<std::string> due = schedule_.TakeDue(runner_.Active());
  if (due.empty()) return;
  CollectContext context = context_;
  std::shared_ptr<std::atomic<int>> done = done_;
  runner_.Start([context, due, done](int cancel_fd) mutable {
    context.cancel_fd = cancel_fd;
    for (const std::string& name : due) {
      CheckAccount(context, name);
      ++*done;
    }
  });
  if (changed_) changed_();
}

std::unique_ptr<RemoteCollection> MakeRemoteCollection(
    const Settings& settings, std::function<void(std::function<void()>)> post,
    std::function<void()> changed, FetchedDelivery deliver, DialupLink* dialup) {
  CollectContext context;
  context.dialup = dialup;
  context.settings.system = settings.system;
  context.settings.pop3 = settings.pop3;
  context.settings.net = settings.net;
  context.deliver = std::move(deliver);
  if (!context.deliver) {
    auto delivery = std::make_shared<CollectionDelivery>(context.settings);
    context.deliver = [delivery](std::string_view local, std::string_view domain,
                                 std::string_view sender, int fd) {
      return delivery->Deliver(local, domain, sender, fd, false);
    };
  }
  return std::make_unique<RemoteCollection>(std::move(post), std::move(changed),
                                            std::move(context));
}

}  // namespace qv::pop3
