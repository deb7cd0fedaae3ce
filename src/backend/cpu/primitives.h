// Scalar single-precision primitives of the reference backend. Every reduction runs
// strictly left to right; other backends are checked against these bits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/error.h"
#include "weights/model_file.h"
#include "weights/tensor_cache.h"

namespace kestrune {

// Sum of a[i]*b[i] over the common length, from zero, left to right.
float dot(std::span<const float> a, std::span<const float> b);

// sqrt of the left-to-right sum of squares.
float l2_norm(std::span<const float> x);

// Rows of a product: a dense row-major block read in place, or a stored tensor whose
// rows are dequantized one at a time.
struct DenseRows {
  const float* data = nullptr;
  uint64_t ne0 = 0;
};
using RowSource = std::variant<DenseRows, TensorView>;

// The one product kernel: y[r] = dot(row r, x) for r < y.size(). The caller has bounded
// the rows. A faster version must keep the order of every dot.
// Runs the exact SIMD kernels where the CPU has them, unless KESTRUNE_REFERENCE=1.
Status matvec_rows(const RowSource& rows, std::span<const float> x, std::span<float> y);
// The scalar reference itself, from row `first` on: one row dequantized, then one dot.
Status matvec_rows_reference(const RowSource& rows, std::span<const float> x, std::span<float> y,
                             size_t first = 0);
// Whether KESTRUNE_REFERENCE=1 forces the scalar reference everywhere.
bool reference_forced();

// Dense product over floor(data.size() / ne0) rows; x shorter or longer than a row is
// paired positionally. ne0 = 0 is an error.
Result<std::vector<float>> matvec_f32(uint64_t ne0, std::span<const float> data, std::span<const float> x);

// Streamed product over the ne1 rows of a stored tensor; x must have ne0 elements.
Result<std::vector<float>> matvec_tensor(const TensorView& t, std::span<const float> x);

// A projection matrix as a layer sees it: a dense copy from TensorCache, or a tensor
// left in the mapping.
using Matrix = std::variant<const CachedTensor*, TensorView>;

Result<std::vector<float>> matvec(const Matrix& m, std::span<const float> x);
// Rows the product of `m` yields.
uint64_t matrix_rows(const Matrix& m);

// y[i] = (x[i] * inv) * w[i], inv = 1 / sqrtf(eps + mean square). A weight shorter
// than x is an error ("{what}: norm weight {} < {}").
Result<std::vector<float>> rms_norm(std::span<const float> x, std::span<const float> w, float eps,
                                    const char* what = "rms_norm");

// x[i] = y[i] + x[i] over the common length.
void add_in_place(std::span<float> x, std::span<const float> y);

float sigmoid(float z);
float silu(float z);
float softplus(float z);

}  // namespace kestrune
