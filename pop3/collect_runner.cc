#include "pop3/collect_runner.h"

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
      runner_(std::move(post),
              {.threads = 1, .niceness = kCheckNiceness, .cancel_descriptor = true}, [this] {
                checks_done_ = done_->load();
                if (changed_) changed_();
              }) {}

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
  context.settings.smtp = settings.smtp;  // the size limit of fetched messages
  context.settings.pop3 = settings.pop3;
  context.settings.net = settings.net;
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
