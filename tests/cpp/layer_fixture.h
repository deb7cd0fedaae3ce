// Small in-memory layers with deterministic pseudo-random weights.
#pragma once

#include <cstdint>
#include <vector>

#include "weights/tensor_cache.h"

namespace kestrune::testing {

// Values in [-scale, scale) from a fixed LCG stream.
inline std::vector<float> pseudo_random(size_t n, uint32_t seed, float scale = 1.0f) {
  std::vector<float> v(n);
  uint32_t s = seed * 2654435761u + 12345u;
  for (auto& x : v) {
    s = s * 1664525u + 1013904223u;
    x = scale * (static_cast<float>(s >> 8) / 8388608.0f - 1.0f);
  }
  return v;
}

inline CachedTensor dense(uint64_t ne0, uint64_t ne1, uint32_t seed, float scale = 0.5f) {
  return CachedTensor{{ne0, ne1}, pseudo_random(static_cast<size_t>(ne0 * ne1), seed, scale)};
}

inline CachedTensor vec(uint64_t n, uint32_t seed, float scale = 0.2f) {
  auto v = pseudo_random(static_cast<size_t>(n), seed, scale);
  for (auto& x : v) x += 1.0f;
  return CachedTensor{{n}, v};
}

}  // namespace kestrune::testing
