// The deliveries of one fetch conversation: received messages are delivered by a few threads
// while the conversation goes on. Submit waits while the threads are all busy and the queue is
// full, so that only a bounded number of messages is held at a time.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pop3/fetched_message.h"

namespace qv::pop3 {

class DeliveryPool {
 public:
  // Delivers one received message; false when it could not be stored.
  using Deliver = std::function<bool(const FetchedMessage& message)>;

  // Up to `threads` deliveries run at a time; with 1 (or 0) Submit delivers the message itself.
  // The messages are of a shared account when `shared` is set.
  DeliveryPool(size_t threads, bool shared, Deliver deliver)
      : threads_(std::max<size_t>(1, threads)), shared_(shared), deliver_(std::move(deliver)) {}
  ~DeliveryPool() { Wait(); }
  DeliveryPool(const DeliveryPool&) = delete;
  DeliveryPool& operator=(const DeliveryPool&) = delete;

  // A message to receive into: one whose delivery has ended (its file is used again), or a new
  // one.
  std::unique_ptr<FetchedMessage> Take(FetchedMessage::LocalTest is_local);

  void Submit(std::unique_ptr<FetchedMessage> message);

  // Returns when every message submitted has been delivered; the threads end.
  void Wait();

  // True when a delivery could not store its message.
  bool failed() const { return failed_; }

 private:
  void Work();

  const size_t threads_;
  const bool shared_;
  const Deliver deliver_;
  std::mutex mutex_;
  std::condition_variable wake_, room_, done_;
  std::deque<std::unique_ptr<FetchedMessage>> queue_;
  // Delivered messages whose temporary files serve the next ones (deleted with the pool).
  std::vector<std::unique_ptr<FetchedMessage>> spare_;
  std::vector<std::thread> workers_;
  size_t pending_ = 0;
  size_t idle_ = 0;
  bool ending_ = false;
  std::atomic<bool> failed_{false};
};

}  // namespace qv::pop3
