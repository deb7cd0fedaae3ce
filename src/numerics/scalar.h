// Scalar single-precision reference operations. Every reduction runs strictly left to
// right; faster paths are checked against these bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"

namespace kestrune {

// Sum of a[i]*b[i] over the common length, from zero, left to right.
float dot(std::span<const float> a, std::span<const float> b);

// sqrt of the left-to-right sum of squares.
float l2_norm(std::span<const float> x);

// y[i] = (x[i] * inv) * w[i], inv = 1 / sqrtf(eps + mean square). A weight shorter
// than x is an error ("{what}: norm weight {} < {}").
Result<std::vector<float>> rms_norm(std::span<const float> x, std::span<const float> w, float eps,
                                    const char* what = "rms_norm");

// x[i] = y[i] + x[i] over the common length.
void add_in_place(std::span<float> x, std::span<const float> y);

float sigmoid(float z);
float silu(float z);
float softplus(float z);

// RoPE pair j of rope_dim turns by pos ÷ base^(2j / rope_dim); the frequencies of pairs
// 0 .. rope_dim/2 - 1 in one vector (the device takes the host's own values).
float rope_frequency(size_t j, uint64_t rope_dim, float base);
std::vector<float> rope_frequencies(uint64_t rope_dim, float base);

}  // namespace kestrune
