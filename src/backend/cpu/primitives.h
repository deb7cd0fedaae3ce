// The reference matrix-vector products. Every dot runs strictly left to right; the
// fast kernels and other backends are checked against these bits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/error.h"
#include "numerics/scalar.h"
#include "layers/weights.h"
#include "weights/model_file.h"
#include "weights/tensor_cache.h"

namespace kestrune {

// Rows of a product: a dense row-major block read in place, or a stored tensor whose
// rows are dequantized one at a time.
struct DenseRows {
  const float* data = nullptr;
  uint64_t ne0 = 0;
};
using RowSource = std::variant<DenseRows, TensorView>;

// The one product kernel, from row `first` on: y[r] = dot(row r, x) for r < y.size(),
// one row dequantized, then one dot. The caller has bounded the rows. A faster version
// must keep the order of every dot.
Status matvec_rows_reference(const RowSource& rows, std::span<const float> x, std::span<float> y,
                             size_t first = 0);

// Dense product over floor(data.size() / ne0) rows; x shorter or longer than a row is
// paired positionally. ne0 = 0 is an error.
Result<std::vector<float>> matvec_f32(uint64_t ne0, std::span<const float> data, std::span<const float> x);

// Streamed product over the ne1 rows of a stored tensor; x must have ne0 elements.
Result<std::vector<float>> matvec_tensor(const TensorView& t, std::span<const float> x);

Result<std::vector<float>> matvec(const Matrix& m, std::span<const float> x);

}  // namespace kestrune
