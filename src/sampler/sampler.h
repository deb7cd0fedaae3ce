// Turns one logits row into one token id: greedy argmax, or seeded temperature /
// top-k / top-p sampling with a SplitMix64 stream that replays bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune {

inline constexpr uint64_t kSplitMixGamma = 0x9E3779B97F4A7C15ull;

struct Sampler {
  uint64_t top_k = 0;        // 0: the whole vocabulary
  uint64_t seed = 0;         // kept for reporting only
  float temperature = 0.0f;  // <= 0: greedy
  float top_p = 1.0f;
  uint64_t rng_state = 0;
};

Sampler make_sampler(float temperature, uint64_t top_k, float top_p, uint64_t seed);

// Advances the stream by one step and returns a uniform float in [0, 1) with 24-bit
// resolution.
float next_uniform(uint64_t& rng_state);

// Index of the first maximal logit (strictly-greater scan; 0 for fewer than 2 entries):
// a NaN never replaces the best, so a NaN at index 0 stays.
uint32_t argmax(std::span<const float> logits);

// One token id from `logits`. Draws exactly one random number unless greedy.
// NaN logits rank below every number (ties among them by ascending id), so a row
// containing NaN still yields an id without trapping or looping.
uint32_t sample(Sampler& sampler, std::span<const float> logits);
inline uint32_t sample(Sampler& sampler, const std::vector<float>& logits) {
  return sample(sampler, std::span<const float>(logits.data(), logits.size()));
}

// Nanoseconds since the Unix epoch (wrapping), or the SplitMix64 gamma when the clock
// reads before the epoch.
uint64_t clock_seed();

}  // namespace kestrune
