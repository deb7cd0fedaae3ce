#include "numerics/scalar.h"

#include <math.h>

#include "common/format.h"

namespace kestrune {

float dot(std::span<const float> a, std::span<const float> b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

float l2_norm(std::span<const float> x) { return sqrtf(dot(x, x)); }

Result<std::vector<float>> rms_norm(std::span<const float> x, std::span<const float> w, float eps,
                                    const char* what) {
  if (w.size() < x.size()) return invalid_data(format("{}: norm weight {} < {}", what, w.size(), x.size()));
  const float mean = dot(x, x) / static_cast<float>(x.size());
  const float inv = 1.0f / sqrtf(eps + mean);
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = (x[i] * inv) * w[i];
  return y;
}

void add_in_place(std::span<float> x, std::span<const float> y) {
  const size_t n = x.size() < y.size() ? x.size() : y.size();
  for (size_t i = 0; i < n; ++i) x[i] = y[i] + x[i];
}

float sigmoid(float z) { return 1.0f / (expf(-z) + 1.0f); }
float silu(float z) { return sigmoid(z) * z; }
float softplus(float z) { return z > 20.0f ? z : logf(expf(z) + 1.0f); }

float rope_frequency(size_t j, uint64_t rope_dim, float base) {
  return powf(base, (static_cast<float>(j) * 2.0f) / static_cast<float>(rope_dim));
}

std::vector<float> rope_frequencies(uint64_t rope_dim, float base) {
  std::vector<float> f(static_cast<size_t>(rope_dim / 2));
  for (size_t j = 0; j < f.size(); ++j) f[j] = rope_frequency(j, rope_dim, base);
  return f;
}

}  // namespace kestrune
