// A persistent set of helper threads that split loops with the calling thread. Work is
// cut into contiguous ranges and every range is computed exactly as it would be alone,
// so results never depend on the thread count or on timing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace kestrune {

// A range body without allocation: call(ctx, begin, end).
struct RangeFn {
  void* ctx = nullptr;
  void (*call)(void*, size_t, size_t) = nullptr;
};

// One job runs at a time; a caller that finds the pool busy (another thread's job, or a
// nested loop inside a job) runs its loop inline. The destructor stops and joins the
// helpers.
struct ThreadPool {
  size_t threads = 1;  // the caller included

  std::mutex submit;  // held by the caller whose job runs
  std::mutex mu;
  std::condition_variable wake;
  std::condition_variable done;
  uint64_t generation = 0;  // guarded by mu
  bool stop = false;        // guarded by mu
  std::atomic<uint64_t> published{0};  // generation, for helpers that spin before sleeping

  // The current job; written under mu before its generation is published.
  RangeFn fn;
  size_t n_items = 0;
  size_t n_parts = 0;
  std::atomic<size_t> next{0};    // next part to claim
  std::atomic<size_t> active{0};  // helpers not yet done with the job

  std::vector<std::thread> helpers;

  ThreadPool() = default;
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool();
};

// A pool of `threads` threads counting the caller; 0 or 1 gives none (no threads start).
std::unique_ptr<ThreadPool> make_thread_pool(size_t threads);

// The cores this process may run on (its affinity mask), at least 1 and at most 256.
size_t available_cores();

// Threads a loop may use: 1 without a pool.
inline size_t pool_threads(const ThreadPool* pool) { return pool ? pool->threads : 1; }

// Calls fn(begin, end) over disjoint contiguous ranges covering [0, n_items), each at
// least `grain` items long unless there is only one, spread over the pool; returns when
// all are done. Without a pool, or when the pool is busy, one call fn(0, n_items).
void parallel_for_ref(ThreadPool* pool, size_t n_items, size_t grain, RangeFn fn);

template <class F>
void parallel_for(ThreadPool* pool, size_t n_items, F&& fn, size_t grain = 1) {
  using Fn = std::remove_reference_t<F>;
  RangeFn r{const_cast<void*>(static_cast<const void*>(&fn)),
            [](void* c, size_t b, size_t e) { (*static_cast<Fn*>(c))(b, e); }};
  parallel_for_ref(pool, n_items, grain, r);
}

}  // namespace kestrune
