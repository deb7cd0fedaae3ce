#include "sampler/sampler.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace kestrune {

namespace {

struct Candidate {
  uint32_t id;
  float logit;
};

// Descending logit, ties (including -0 vs +0) by ascending id, NaN after everything.
// A strict total order, so a partial selection yields exactly the prefix a stable
// full sort would.
bool ranks_before(const Candidate& a, const Candidate& b) {
  bool a_nan = std::isnan(a.logit);
  bool b_nan = std::isnan(b.logit);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.logit != b.logit) return a.logit > b.logit;
  return a.id < b.id;
}

}  // namespace

Sampler make_sampler(float temperature, uint64_t top_k, float top_p, uint64_t seed) {
  Sampler s;
  s.top_k = top_k;
  s.seed = seed;
  s.temperature = temperature;
  s.top_p = top_p;
  s.rng_state = seed + kSplitMixGamma;
  return s;
}

float next_uniform(uint64_t& rng_state) {
  rng_state += kSplitMixGamma;
  uint64_t z = rng_state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  // The final z ^ (z >> 31) of SplitMix64 leaves the top 24 bits unchanged.
  return static_cast<float>(z >> 40) * 5.9604645e-8f;
}

uint32_t argmax(std::span<const float> logits) {
  uint32_t best = 0;
  for (size_t i = 1; i < logits.size(); ++i) {
    if (logits[i] > logits[best]) best = static_cast<uint32_t>(i);
  }
  return best;
}

uint32_t sample(Sampler& sampler, std::span<const float> logits) {
  if (sampler.temperature <= 0.0f) return argmax(logits);

  const size_t n = logits.size();
  const float u = next_uniform(sampler.rng_state);
  if (n == 0) return 0;  // outside the contract; the draw above still happened

  std::vector<Candidate> cands(n);
  for (size_t i = 0; i < n; ++i) cands[i] = {static_cast<uint32_t>(i), logits[i]};
  const size_t k = sampler.top_k == 0 ? n : static_cast<size_t>(std::min<uint64_t>(sampler.top_k, n));
  if (k == n) {
    std::sort(cands.begin(), cands.end(), ranks_before);
  } else {
    std::partial_sort(cands.begin(), cands.begin() + static_cast<std::ptrdiff_t>(k), cands.end(),
                      ranks_before);
  }
  cands.resize(k);

  const float l_max = cands[0].logit;
  const float t = sampler.temperature;
  std::vector<float> p(k);
  float sum = 0.0f;
  for (size_t i = 0; i < k; ++i) {
    p[i] = expf((cands[i].logit - l_max) / t);
    sum += p[i];
  }
  for (size_t i = 0; i < k; ++i) p[i] = p[i] / sum;

  size_t m = k;
  float c = 0.0f;
  for (size_t i = 0; i < k; ++i) {
    c += p[i];
    if (c >= sampler.top_p) {
      m = i + 1;
      break;
    }
  }

  float mass = 0.0f;
  for (size_t i = 0; i < m; ++i) mass += p[i];

  float f = u * mass;
  for (size_t i = 0; i < m; ++i) {
    f -= p[i];
    if (f <= 0.0f) return cands[i].id;
  }
  return cands[m - 1].id;
}

uint64_t clock_seed() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return kSplitMixGamma;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace kestrune
