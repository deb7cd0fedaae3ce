#include "backend/cpu/thread_pool.h"

#include <sched.h>

#include <algorithm>
#include <system_error>

#include "common/runtime_options.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kestrune {

namespace {

// Parts per thread: small enough to stay cheap, enough to even out a slow thread.
constexpr size_t kPartsPerThread = 4;
// Polls before a waiting thread sleeps; the next job usually follows within microseconds.
constexpr int kSpin = 4000;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Claims and runs parts until none is left.
void run_parts(ThreadPool& p) {
  const size_t n = p.n_items, parts = p.n_parts;
  for (;;) {
    const size_t k = p.next.fetch_add(1, std::memory_order_relaxed);
    if (k >= parts) return;
    p.fn.call(p.fn.ctx, k * n / parts, (k + 1) * n / parts);
  }
}

void helper_loop(ThreadPool& p) {
  uint64_t seen = 0;
  for (;;) {
    for (int i = 0; i < kSpin && p.published.load(std::memory_order_acquire) == seen; ++i) cpu_relax();
    {
      std::unique_lock<std::mutex> lock(p.mu);
      p.wake.wait(lock, [&] { return p.stop || p.generation != seen; });
      if (p.stop) return;
      seen = p.generation;
    }
    run_parts(p);
    if (p.active.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // Under the lock, so the caller cannot miss the notification between its check and its wait.
      std::lock_guard<std::mutex> lock(p.mu);
      p.done.notify_all();
    }
  }
}

}  // namespace

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  wake.notify_all();
  for (auto& t : helpers) t.join();
}

std::unique_ptr<ThreadPool> make_thread_pool(size_t threads) {
  if (threads <= 1) return nullptr;
  auto p = std::make_unique<ThreadPool>();
  p->helpers.reserve(threads - 1);
  for (size_t i = 1; i < threads; ++i) {
    try {
      p->helpers.emplace_back(helper_loop, std::ref(*p));
    } catch (const std::system_error&) {
      break;  // the system refuses more threads: work with those that started
    }
  }
  if (p->helpers.empty()) return nullptr;
  p->threads = p->helpers.size() + 1;
  return p;
}

size_t available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n < 1 ? 1 : std::min(static_cast<size_t>(n), kMaxThreads);
}

void parallel_for_ref(ThreadPool* pool, size_t n_items, size_t grain, RangeFn fn) {
  if (n_items == 0) return;
  if (grain == 0) grain = 1;
  const size_t wanted = n_items / grain;  // each part holds at least `grain` items
  const size_t parts = pool ? std::min(wanted, pool->threads * kPartsPerThread) : 1;
  if (parts <= 1) return fn.call(fn.ctx, 0, n_items);
  std::unique_lock<std::mutex> job(pool->submit, std::try_to_lock);
  if (!job.owns_lock()) return fn.call(fn.ctx, 0, n_items);

  ThreadPool& p = *pool;
  {
    std::lock_guard<std::mutex> lock(p.mu);
    p.fn = fn;
    p.n_items = n_items;
    p.n_parts = parts;
    p.next.store(0, std::memory_order_relaxed);
    p.active.store(p.helpers.size(), std::memory_order_relaxed);
    ++p.generation;
    p.published.store(p.generation, std::memory_order_release);
  }
  p.wake.notify_all();
  run_parts(p);
  // Every helper checks in before the job's fields may change again.
  for (int i = 0; i < kSpin && p.active.load(std::memory_order_acquire) != 0; ++i) cpu_relax();
  std::unique_lock<std::mutex> lock(p.mu);
  p.done.wait(lock, [&] { return p.active.load(std::memory_order_acquire) == 0; });
}

}  // namespace kestrune
