// Internal interface between the product driver and its per-ISA kernels.
#pragma once

#include "quant/blocks.h"
#include "weights/packed_rows.h"

#include <cstddef>
#include <cstdint>

namespace kestrune::matvec_detail {

// A matrix as the kernels read it: `type` is an element type id (kF32 for dense rows),
// row r starts at data + r * row_bytes and holds whole blocks.
struct Rows {
  uint32_t type = 0;
  const uint8_t* data = nullptr;
  uint64_t row_bytes = 0;
};


// Up to kMaxCols columns at once: y[k][r] = dot(row r[0..n), x[k][0..n)) for r < rows
// and k < cols, n at most the row length; each row is dequantized once for all columns.
// The type must be one of F32, F16, Q8_0, Q4_K, Q5_K, Q6_K.
constexpr int kMaxCols = 4;
void matvec_avx512(const Rows& m, const float* const* x, int cols, size_t n, float* const* y, size_t rows);
void matvec_avx2(const Rows& m, const float* const* x, int cols, size_t n, float* const* y, size_t rows);

// The same products over the packed layout, whole rows (n = ne0), for rows [r0, r1) of
// the tensor: y[k][r - r0].
void matvec_packed_avx512(const PackedRows& p, const float* const* x, int cols, float* const* y, size_t r0,
                          size_t r1);
void matvec_packed_avx2(const PackedRows& p, const float* const* x, int cols, float* const* y, size_t r0,
                        size_t r1);
// The 16 rows of packed group g decoded, column-major: row i of column c at out[16c + i].
void packed_group_avx512(const PackedRows& p, size_t g, float* out);
void packed_group_avx2(const PackedRows& p, size_t g, float* out);

}  // namespace kestrune::matvec_detail
