#include "pop3/collect_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "common/config.h"
#include "mail/delivery.h"
#include "mail/fetched_delivery.h"

namespace qv::pop3 {

namespace {

// Background work: the POP3 clients on the loop thread come first when the processor is short.
constexpr int kCheckNiceness = 5;

}  // namespace

RemoteCollection::RemoteCollection(std::function<void(std::function<void()>)> post,
                                   std::function<void()> changed, CollectContext context)
    : changed_(changed),
      context_(std::move(context)),
      runner_(std::move(post), {.threads = kParallelChecks, .niceness = kCheckNiceness}) {
  int cancel[2];
  if (pipe2(cancel, O_CLOEXEC) == 0) {
    cancel_read_.Reset(cancel[0]);
    cancel_write_.Reset(cancel[1]);
  }
  context_.cancel_fd = cancel_read_.get();
}

void RemoteCollection::Stop() {
  if (cancel_write_) {
    ssize_t written = write(cancel_write_.get(), "x", 1);
    (void)written;
  }
  runner_.Stop();
}

Status RemoteCollection::Load() {
  Result<AccountSchedule> loaded = LoadAccountSchedule(context_.settings.system);
  if (!loaded) {
    schedule_.Clear();
    return Fail(loaded.error());
  }
  schedule_ = std::move(loaded).value();
  return {};
}

void RemoteCollection::Tick() {
  for (const std::string& name : schedule_.TakeDue(false)) {
    if (checking_.count(name) != 0) continue;  // still under way from an earlier tick
    // Each check has its own copy of the context: the checks share nothing but the delivery,
    // the dial-up link and the log, which allow calls from several threads at once.
    CollectContext context = context_;
    std::shared_ptr<std::atomic<int>> done = done_;
    bool queued = runner_.Submit(
        [context = std::move(context), name, done] {
          CheckAccount(context, name);
          ++*done;
        },
        [this, name] {
          checking_.erase(name);
          checks_done_ = done_->load();
          if (changed_) changed_();
        });
    if (!queued) return;  // stopped
    checking_.insert(name);
    if (changed_) changed_();
  }
}

std::unique_ptr<RemoteCollection> MakeRemoteCollection(
    const Settings& settings, std::function<void(std::function<void()>)> post,
    std::function<void()> changed, FetchedDelivery deliver, DialupLink* dialup) {
  CollectContext context;
  context.dialup = dialup;
  context.settings.system = settings.system;
  context.settings.smtp = settings.smtp;  // the size limit of fetched messages
  context.settings.pop3 = settings.pop3;
  context.settings.net = settings.net;
  if (const char* ca_file = std::getenv(kCollectCaFileVariable)) context.tls_ca_file = ca_file;
  context.deliver = std::move(deliver);
  if (!context.deliver) {
    auto settings = std::make_shared<const Settings>(context.settings);
    context.deliver = [settings](const std::vector<std::string>& recipients,
                                 std::string_view sender, int fd) {
      return mail::DeliverFetchedMessage(mail::FetchedMailService(*settings), recipients, sender,
                                         fd);
    };
  }
  return std::make_unique<RemoteCollection>(std::move(post), std::move(changed),
                                            std::move(context));
}

}  // namespace qv::pop3
