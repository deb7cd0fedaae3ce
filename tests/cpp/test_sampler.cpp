#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "sampler/sampler.h"

namespace kestrune {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The textbook procedure: full stable sort (NaN last), softmax, nucleus, scaled draw.
uint32_t reference_sample(Sampler& s, const std::vector<float>& logits) {
  if (s.temperature <= 0.0f) return argmax(logits);
  std::vector<std::pair<uint32_t, float>> c;
  for (size_t i = 0; i < logits.size(); ++i) c.emplace_back(static_cast<uint32_t>(i), logits[i]);
  std::stable_sort(c.begin(), c.end(), [](const auto& a, const auto& b) {
    if (std::isnan(a.second) || std::isnan(b.second)) return !std::isnan(a.second) && std::isnan(b.second);
    return a.second > b.second;
  });
  size_t k = s.top_k == 0 ? c.size() : std::min<size_t>(s.top_k, c.size());
  c.resize(k);
  std::vector<float> p(k);
  float sum = 0.0f;
  for (size_t i = 0; i < k; ++i) sum += (p[i] = expf((c[i].second - c[0].second) / s.temperature));
  for (auto& v : p) v /= sum;
  size_t m = k;
  float acc = 0.0f;
  for (size_t i = 0; i < k; ++i) {
    acc += p[i];
    if (acc >= s.top_p) {
      m = i + 1;
      break;
    }
  }
  float mass = 0.0f;
  for (size_t i = 0; i < m; ++i) mass += p[i];
  float f = next_uniform(s.rng_state) * mass;
  for (size_t i = 0; i < m; ++i) {
    f -= p[i];
    if (f <= 0.0f) return c[i].first;
  }
  return c[m - 1].first;
}

TEST(Sampler, ConstructionOffsetsTheSeedByOneGamma) {
  Sampler s = make_sampler(0.7f, 5, 0.9f, 42);
  EXPECT_EQ(s.rng_state, 42 + 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(s.seed, 42u);
  EXPECT_EQ(s.top_k, 5u);
  EXPECT_EQ(s.temperature, 0.7f);
  EXPECT_EQ(s.top_p, 0.9f);
  // Wrapping addition.
  EXPECT_EQ(make_sampler(1, 0, 1, UINT64_MAX).rng_state, 0x9E3779B97F4A7C14ull);
}

TEST(Sampler, SeedZeroDrawsFromTwoGammas) {
  // SplitMix64 output for the state 2 x gamma (the second output of the stream seeded
  // with 0), not the first.
  uint64_t state = make_sampler(1, 0, 1, 0).rng_state;
  float u = next_uniform(state);
  EXPECT_EQ(state, 2 * 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(u, static_cast<float>(0x6E789E6AA1B965F4ull >> 40) / 16777216.0f);
  EXPECT_NE(u, static_cast<float>(0xE220A8397B1DCDAFull >> 40) / 16777216.0f);
}

TEST(Sampler, GreedyTakesLowestMaximalIdWithoutDrawing) {
  struct Case {
    std::vector<float> logits;
    uint32_t want;
  };
  const Case cases[] = {
      {{1, 3, 3, 2}, 1},
      {{-1, -1}, 0},
      {{kNaN, 5, 7}, 0},  // a NaN at index 0 is never replaced
      {{1, kNaN, 0.5f}, 0},
      {{0, kNaN, 2}, 2},
      {{4}, 0},
      {{}, 0},
      {{-0.0f, 0.0f}, 0},
  };
  for (const Case& c : cases) {
    for (float temp : {0.0f, -1.0f}) {
      Sampler s = make_sampler(temp, 0, 0.95f, 9);
      uint64_t before = s.rng_state;
      EXPECT_EQ(sample(s, c.logits), c.want);
      EXPECT_EQ(s.rng_state, before);
    }
  }
}

TEST(Sampler, TopKOneReturnsArgmaxButAdvancesTheStream) {
  const std::vector<float> logits = {0.5f, 2.0f, 2.0f, 1.0f};
  Sampler s = make_sampler(0.5f, 1, 0.95f, 3);
  for (int i = 0; i < 5; ++i) {
    uint64_t expected = s.rng_state + 0x9E3779B97F4A7C15ull;
    EXPECT_EQ(sample(s, logits), 1u);
    EXPECT_EQ(s.rng_state, expected);
  }
}

TEST(Sampler, NanTemperatureIsNotGreedy) {
  Sampler s = make_sampler(kNaN, 0, 0.95f, 3);
  uint64_t before = s.rng_state;
  uint32_t id = sample(s, std::vector<float>{1, 2, 3});
  EXPECT_LT(id, 3u);
  EXPECT_NE(s.rng_state, before);
}

TEST(Sampler, TopKZeroAndOversizedMeanWholeVocabulary) {
  std::mt19937 gen(7);
  std::normal_distribution<float> dist(0, 2);
  std::vector<float> logits(50);
  for (auto& v : logits) v = dist(gen);
  Sampler a = make_sampler(1.3f, 0, 0.99f, 11);
  Sampler b = make_sampler(1.3f, 50, 0.99f, 11);
  Sampler c = make_sampler(1.3f, 1000, 0.99f, 11);
  for (int i = 0; i < 200; ++i) {
    uint32_t x = sample(a, logits);
    EXPECT_EQ(x, sample(b, logits));
    EXPECT_EQ(x, sample(c, logits));
  }
}

// Two candidates with probabilities 3/4 and 1/4: the draw selects by the cumulative walk.
TEST(Sampler, DrawWalksTheNucleus) {
  const std::vector<float> logits = {0.0f, std::log(3.0f)};
  for (uint64_t seed = 0; seed < 200; ++seed) {
    Sampler s = make_sampler(1.0f, 0, 0.95f, seed);
    uint64_t probe = s.rng_state;
    float u = next_uniform(probe);
    float p_hi = 1.0f / (1.0f + expf((0.0f - std::log(3.0f)) / 1.0f));
    uint32_t want = u * 1.0f - p_hi <= 0.0f ? 1u : 0u;
    EXPECT_EQ(sample(s, logits), want) << seed;
  }
}

TEST(Sampler, TopPAtOrBelowFirstProbabilityKeepsOneToken) {
  const std::vector<float> logits = {0.0f, std::log(3.0f), 0.1f};
  for (float top_p : {0.5f, 0.0f, -1.0f}) {
    Sampler s = make_sampler(1.0f, 0, top_p, 5);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(sample(s, logits), 1u);
  }
}

TEST(Sampler, TopPAboveOneKeepsAllSurvivors) {
  // Equal logits: every id is reachable, and only when the nucleus is the whole list.
  const std::vector<float> logits(4, 1.0f);
  std::vector<int> seen(4, 0);
  Sampler s = make_sampler(1.0f, 0, 2.0f, 1);
  for (int i = 0; i < 400; ++i) ++seen[sample(s, logits)];
  for (int n : seen) EXPECT_GT(n, 0);
}

TEST(Sampler, NanLogitsRankLastAndNeverHang) {
  // NaN ranks below every number, so with top_k 2 only ids 2 and 1 can win.
  const std::vector<float> logits = {kNaN, 1.0f, 2.0f, kNaN};
  Sampler s = make_sampler(1.0f, 2, 1.0f, 8);
  for (int i = 0; i < 200; ++i) {
    uint32_t id = sample(s, logits);
    EXPECT_TRUE(id == 1 || id == 2) << id;
  }
  // All NaN: the probabilities are NaN, the nucleus is everything, and the walk falls
  // through to its last entry.
  const std::vector<float> all_nan(5, kNaN);
  Sampler t = make_sampler(0.8f, 0, 0.9f, 8);
  EXPECT_EQ(sample(t, all_nan), 4u);
  Sampler u = make_sampler(0.8f, 3, 0.9f, 8);
  EXPECT_EQ(sample(u, all_nan), 2u);
}

TEST(Sampler, InfiniteLogitsStayInRange) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> logits = {1.0f, inf, -inf, inf};
  Sampler s = make_sampler(1.0f, 0, 0.9f, 2);
  for (int i = 0; i < 20; ++i) EXPECT_LT(sample(s, logits), 4u);
}

TEST(Sampler, EmptyRowStillAdvancesTheStream) {
  Sampler s = make_sampler(1.0f, 0, 0.9f, 2);
  uint64_t before = s.rng_state;
  EXPECT_EQ(sample(s, std::vector<float>{}), 0u);
  EXPECT_EQ(s.rng_state, before + 0x9E3779B97F4A7C15ull);
}

// Replay: the partial selection must pick exactly what a stable full sort picks, over
// many steps, ties, NaN and settings, and the same seed must give the same ids.
TEST(Sampler, MatchesStableSortReferenceAndReplays) {
  struct Setting {
    float temp;
    uint64_t top_k;
    float top_p;
  };
  const Setting settings[] = {{1.0f, 0, 0.95f}, {0.7f, 20, 0.95f}, {0.3f, 5, 0.5f},  {2.0f, 40, 1.0f},
                              {1.0f, 1, 0.9f},  {0.9f, 3, 1.5f},   {1e-3f, 0, 0.9f}, {5.0f, 7, 0.0f}};
  std::mt19937 gen(2024);
  std::uniform_int_distribution<int> small(-4, 4);
  std::normal_distribution<float> wide(0, 3);
  std::uniform_int_distribution<int> pick(0, 99);
  for (const Setting& st : settings) {
    Sampler a = make_sampler(st.temp, st.top_k, st.top_p, 77);
    Sampler b = make_sampler(st.temp, st.top_k, st.top_p, 77);
    Sampler ref = make_sampler(st.temp, st.top_k, st.top_p, 77);
    for (int step = 0; step < 300; ++step) {
      std::vector<float> logits(64);
      bool ties = step % 2 == 0;
      for (auto& v : logits) {
        v = ties ? static_cast<float>(small(gen)) : wide(gen);
        if (pick(gen) == 0) v = kNaN;
      }
      uint32_t x = sample(a, logits);
      ASSERT_EQ(x, sample(b, logits));
      ASSERT_EQ(x, reference_sample(ref, logits)) << "step " << step;
      ASSERT_EQ(a.rng_state, ref.rng_state);
    }
  }
}

TEST(Sampler, ClockSeedIsNanosecondsSinceEpoch) {
  auto now = [] {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
  };
  uint64_t before = now();
  uint64_t seed = clock_seed();
  uint64_t after = now();
  EXPECT_GE(seed + 1000000, before);  // allow for clock granularity differences
  EXPECT_LE(seed, after + 1000000);
}

}  // namespace
}  // namespace kestrune
