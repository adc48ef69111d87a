// The process-wide pool of worker threads that runs the data-parallel loops (batch encoding,
// batch reconstruction, large scans, graph build passes).
//
// The pool starts lazily on first use, sized to the CPUs this process may run on (its
// affinity mask, so `taskset` limits it), and is reset in a forked child so that a fork
// never inherits workers that do not exist there. No OpenMP: libgomp hangs after fork.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace norvex {

// Threads that run a parallel loop: the workers plus the calling thread. At least 1.
std::size_t parallel_threads();

// Calls body(i) for every i in [0, n), spreading chunks of `grain` consecutive indices over
// the pool; the caller runs chunks too and returns once all have run. Small inputs (a single
// chunk), a one-thread process and calls made from inside a worker run serially on the
// caller. If bodies throw, the exception of the lowest-numbered failing chunk is rethrown on
// the caller after every chunk has finished. `body` may run concurrently with itself: it must
// only read shared state and write outputs owned by its index.
void parallel_for(std::size_t n, std::size_t grain, const std::function<void(std::size_t)>& body);

// parallel_for collecting fn(i) into a vector in input order.
template <typename T, typename Fn>
std::vector<T> parallel_map(std::size_t n, std::size_t grain, Fn&& fn) {
  std::vector<T> out(n);
  parallel_for(n, grain, [&](std::size_t i) { out[i] = fn(i); });
  return out;
}

}  // namespace norvex
