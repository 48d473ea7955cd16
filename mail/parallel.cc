#include "mail/parallel.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace qv::mail {

void RunBounded(size_t count, size_t threads, const std::function<void(size_t index)>& work) {
  threads = std::min(threads, count);
  if (threads <= 1) {
    for (size_t i = 0; i < count; ++i) work(i);
    return;
  }
  std::atomic<size_t> next{0};
  auto run = [&] {
    for (size_t i = next++; i < count; i = next++) work(i);
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(run);
  run();
  for (std::thread& t : pool) t.join();
}

}  // namespace qv::mail
