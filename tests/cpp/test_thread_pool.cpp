// The helper-thread pool: every item covered exactly once by contiguous ranges, busy and
// nested callers served inline, clean shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "backend/cpu/thread_pool.h"
#include "common/runtime_options.h"

namespace kestrune {
namespace {

TEST(ThreadCount, ParsesPositiveDecimalsOnly) {
  const struct {
    std::string value;
    std::optional<size_t> want;
  } cases[] = {
      {"", {}},    {"1", 1},     {"2", 2},     {"16", 16},     {"0", {}},      {"-2", {}}, {"+2", {}},
      {" 2", {}},  {"2 ", {}},   {"two", {}},  {"3x", {}},     {"256", 256},   {"257", 256},
      {"99999999999999999999", 256}, {"007", 7},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_thread_count(c.value), c.want) << '"' << c.value << '"';
  EXPECT_GE(available_cores(), 1u);
}

TEST(ThreadPool, OneThreadStartsNone) {
  EXPECT_EQ(make_thread_pool(0), nullptr);
  EXPECT_EQ(make_thread_pool(1), nullptr);
  auto p = make_thread_pool(3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->threads, 3u);
  EXPECT_EQ(p->helpers.size(), 2u);
  EXPECT_EQ(pool_threads(nullptr), 1u);
  EXPECT_EQ(pool_threads(p.get()), 3u);
}

// Records every range handed out: disjoint, contiguous, covering, at least `grain` long.
void check_cover(ThreadPool* pool, size_t n, size_t grain) {
  std::mutex mu;
  std::vector<std::pair<size_t, size_t>> ranges;
  std::vector<std::atomic<int>> hits(n);
  parallel_for(
      pool, n,
      [&](size_t b, size_t e) {
        for (size_t i = b; i < e; ++i) hits[i].fetch_add(1);
        std::lock_guard<std::mutex> lock(mu);
        ranges.emplace_back(b, e);
      },
      grain);
  const std::string what = "threads " + std::to_string(pool_threads(pool)) + " n " + std::to_string(n) + " grain " +
                           std::to_string(grain);
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << what << " item " << i;
  std::sort(ranges.begin(), ranges.end());
  if (n == 0) {
    EXPECT_TRUE(ranges.empty()) << what;
    return;
  }
  ASSERT_FALSE(ranges.empty()) << what;
  EXPECT_EQ(ranges.front().first, 0u) << what;
  EXPECT_EQ(ranges.back().second, n) << what;
  for (size_t k = 0; k < ranges.size(); ++k) {
    EXPECT_LT(ranges[k].first, ranges[k].second) << what;
    if (k > 0) EXPECT_EQ(ranges[k - 1].second, ranges[k].first) << what;
    if (ranges.size() > 1) EXPECT_GE(ranges[k].second - ranges[k].first, std::max<size_t>(grain, 1)) << what;
  }
  if (pool_threads(pool) == 1) EXPECT_EQ(ranges.size(), 1u) << what;
}

TEST(ThreadPool, RangesCoverEveryItemOnce) {
  for (size_t threads : {1, 2, 3, 4}) {
    auto pool = make_thread_pool(threads);
    for (size_t n : {0, 1, 2, 3, 7, 8, 64, 1000, 1001}) {
      for (size_t grain : {0, 1, 3, 100, 5000}) check_cover(pool.get(), n, grain);
    }
  }
}

TEST(ThreadPool, SplitsWhenThereIsWork) {
  auto pool = make_thread_pool(2);
  std::atomic<int> calls{0};
  parallel_for(pool.get(), 1000, [&](size_t, size_t) { calls.fetch_add(1); });
  EXPECT_GT(calls.load(), 1);
  calls = 0;
  // Fewer items than two grains: one range.
  parallel_for(pool.get(), 1000, [&](size_t, size_t) { calls.fetch_add(1); }, 600);
  EXPECT_EQ(calls.load(), 1);
}

TEST(ThreadPool, NestedLoopsRunInline) {
  auto pool = make_thread_pool(3);
  std::vector<std::atomic<int>> hits(40 * 50);
  parallel_for(pool.get(), 40, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      parallel_for(pool.get(), 50, [&](size_t b2, size_t e2) {
        for (size_t k = b2; k < e2; ++k) hits[i * 50 + k].fetch_add(1);
      });
    }
  });
  for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << i;
}

TEST(ThreadPool, ConcurrentCallersAllFinish) {
  auto pool = make_thread_pool(3);
  constexpr size_t kCallers = 4, kRounds = 200, kN = 257;
  std::vector<std::vector<int>> out(kCallers, std::vector<int>(kN, 0));
  std::vector<std::thread> callers;
  for (size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (size_t r = 0; r < kRounds; ++r) {
        parallel_for(pool.get(), kN, [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) out[c][i] += 1;
        });
      }
    });
  }
  for (auto& t : callers) t.join();
  for (size_t c = 0; c < kCallers; ++c) {
    for (size_t i = 0; i < kN; ++i) ASSERT_EQ(out[c][i], int(kRounds)) << "caller " << c << " item " << i;
  }
}

TEST(ThreadPool, StartsAndStopsRepeatedly) {
  for (int round = 0; round < 50; ++round) {
    auto pool = make_thread_pool(2 + round % 3);
    std::atomic<size_t> sum{0};
    if (round % 2) {
      parallel_for(pool.get(), 100, [&](size_t b, size_t e) {
        for (size_t i = b; i < e; ++i) sum += i;
      });
      EXPECT_EQ(sum.load(), 4950u);
    }
  }
}

}  // namespace
}  // namespace kestrune
