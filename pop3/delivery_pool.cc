#include "pop3/delivery_pool.h"

#include <algorithm>
#include <utility>

namespace qv::pop3 {

std::unique_ptr<FetchedMessage> DeliveryPool::Take(FetchedMessage::LocalTest is_local) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (spare_.empty()) return std::make_unique<FetchedMessage>(shared_, std::move(is_local));
  std::unique_ptr<FetchedMessage> message = std::move(spare_.back());
  spare_.pop_back();
  return message;
}

void DeliveryPool::Submit(std::unique_ptr<FetchedMessage> message) {
  if (threads_ == 1) {
    if (!deliver_(*message)) failed_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(std::move(message));
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [&] { return queue_.size() < threads_; });
  queue_.push_back(std::move(message));
  ++pending_;
  if (workers_.size() < threads_ && idle_ == 0) workers_.emplace_back([this] { Work(); });
  wake_.notify_one();
}

void DeliveryPool::Wait() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return pending_ == 0; });
    ending_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  ending_ = false;
}

void DeliveryPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(lock, [&] { return ending_ || !queue_.empty(); });
    --idle_;
    if (queue_.empty()) return;
    std::unique_ptr<FetchedMessage> message = std::move(queue_.front());
    queue_.pop_front();
    room_.notify_one();
    lock.unlock();
    bool stored = deliver_(*message);
    lock.lock();
    spare_.push_back(std::move(message));
    if (!stored) failed_ = true;
    if (--pending_ == 0) done_.notify_all();
  }
}

}  // namespace qv::pop3
