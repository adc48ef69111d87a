#include "common/thread_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace norvex {
namespace {

thread_local bool t_in_worker = false;

struct Job {
  std::size_t n = 0;
  std::size_t grain = 1;
  std::size_t chunks = 0;
  const std::function<void(std::size_t)>* body = nullptr;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::mutex mu;
  std::condition_variable all_done;
  std::exception_ptr error;
  std::size_t error_chunk = std::numeric_limits<std::size_t>::max();

  bool exhausted() const { return next.load(std::memory_order_relaxed) >= chunks; }

  void run_chunks() {
    for (;;) {
      const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
      if (c >= chunks) return;
      const std::size_t begin = c * grain;
      const std::size_t end = std::min(n, begin + grain);
      try {
        for (std::size_t i = begin; i < end; ++i) (*body)(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mu);
        if (c < error_chunk) {
          error_chunk = c;
          error = std::current_exception();
        }
      }
      if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == chunks) {
        std::lock_guard<std::mutex> lock(mu);
        all_done.notify_all();
      }
    }
  }
};

class Pool {
 public:
  explicit Pool(std::size_t workers) {
    threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  // Never destroyed: workers may still be parked at process exit, and a forked child drops
  // the pool without touching it.

  std::size_t workers() const { return threads_.size(); }

  void submit(const std::shared_ptr<Job>& job) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(job);
    }
    cv_.notify_all();
  }

 private:
  void work() {
    t_in_worker = true;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return !queue_.empty(); });
      std::shared_ptr<Job> job = queue_.front();
      if (job->exhausted()) {
        queue_.pop_front();
        continue;
      }
      lock.unlock();
      job->run_chunks();
      lock.lock();
      auto it = std::find(queue_.begin(), queue_.end(), job);
      if (it != queue_.end() && job->exhausted()) queue_.erase(it);
    }
  }

  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Job>> queue_;
};

std::atomic<Pool*> g_pool{nullptr};
alignas(std::mutex) unsigned char g_pool_mu_storage[sizeof(std::mutex)];
std::mutex* g_pool_mu = new (g_pool_mu_storage) std::mutex();

std::size_t affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : hw;
}

void reset_in_child() {
  // The child has only the forking thread: forget the parent's pool (its workers do not exist
  // here) and give the child a fresh, unlocked mutex.
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_pool_mu = new (g_pool_mu_storage) std::mutex();
}

Pool& pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  std::lock_guard<std::mutex> lock(*g_pool_mu);
  p = g_pool.load(std::memory_order_acquire);
  if (p == nullptr) {
    static std::once_flag atfork_once;
    std::call_once(atfork_once, [] { pthread_atfork(nullptr, nullptr, reset_in_child); });
    p = new Pool(affinity_cpus() - 1);
    g_pool.store(p, std::memory_order_release);
  }
  return *p;
}

}  // namespace

std::size_t parallel_threads() { return pool().workers() + 1; }

void parallel_for(std::size_t n, std::size_t grain, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  if (grain == 0) grain = 1;
  const std::size_t chunks = (n + grain - 1) / grain;
  if (chunks == 1 || t_in_worker || pool().workers() == 0) {
    for (std::size_t i = 0; i < n; ++i) body(i);
    return;
  }
  auto job = std::make_shared<Job>();
  job->n = n;
  job->grain = grain;
  job->chunks = chunks;
  job->body = &body;
  pool().submit(job);
  job->run_chunks();
  {
    std::unique_lock<std::mutex> lock(job->mu);
    job->all_done.wait(lock,
                       [&] { return job->finished.load(std::memory_order_acquire) == chunks; });
  }
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace norvex
