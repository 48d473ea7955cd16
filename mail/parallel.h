// Bounded parallel runs: a piece of work for every index, on up to a given number of threads.
#pragma once

#include <cstddef>
#include <functional>

namespace qv::mail {

// Calls `work` once for each index below `count`, on up to `threads` threads at a time (the
// caller's one among them), and returns when every call has returned. With `threads` at most 1,
// or a single index, the calls run on the caller's thread in index order.
void RunBounded(size_t count, size_t threads, const std::function<void(size_t index)>& work);

}  // namespace qv::mail
