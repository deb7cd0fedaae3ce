// Many-rows-at-once matrix-vector product that keeps the reference bits: every output
// element is still accumulated s = s + w[i]*x[i] from zero, left to right, with each
// weight dequantized exactly as the block decoders do. Only the number of rows in
// flight changes: each SIMD lane owns one output row.
#pragma once

#include <span>

#include "backend/cpu/primitives.h"
#include "common/error.h"
#include "weights/packed_rows.h"

namespace kestrune {

enum class MatvecIsa {
  kScalar,  // the reference loop: one row dequantized, then one dot
  kAvx2,    // 8 rows per vector
  kAvx512,  // 16 rows per vector (AVX-512 F/BW/VL)
};

const char* matvec_isa_name(MatvecIsa isa);
bool matvec_isa_supported(MatvecIsa isa);
// The widest level this CPU runs; fixed for the life of the process.
MatvecIsa matvec_best_isa();
// Whether matvec_rows_fast is faster than the reference on this CPU.
bool fast_matvec_available();

// Same contract and bits as matvec_rows: y[r] = dot(row r, x) for r < y.size(), rows of
// a stored tensor failing exactly where the row fetch would.
Status matvec_rows_fast(const RowSource& rows, std::span<const float> x, std::span<float> y);

// matvec_rows_fast at a chosen level, for tests and benchmarks. A level the CPU lacks
// is an invalid-input error.
Status matvec_rows_isa(MatvecIsa isa, const RowSource& rows, std::span<const float> x, std::span<float> y);

// Several columns through one read of the rows: ys[k][r] = dot(row r, xs[k]), the bits
// of matvec_rows_fast per column. Up to four columns of one length share the kernel;
// other shapes run column by column.
Status matvec_rows_fast_multi(const RowSource& rows, std::span<const std::span<const float>> xs,
                              std::span<const std::span<float>> ys);
Status matvec_rows_isa_multi(MatvecIsa isa, const RowSource& rows, std::span<const std::span<const float>> xs,
                             std::span<const std::span<float>> ys);

// The 16 rows of group g of a packed tensor as floats, column-major (row i of column c
// at out[16c + i], 16 * ne0 floats), the bits of the block decoders.
void decode_packed_group(const PackedRows& p, size_t g, float* out);

// ys[k][r] = dot(x_k, row r) over n floats for up to four columns, row r at
// base + r * stride (rows of a strided float matrix, such as a head's slice of an
// attention cache). Bit-identical to the scalar dot, s = s + row[i] * x[i] from zero.
void dot_rows_f32(const float* base, size_t stride, size_t n, size_t rows, std::span<const float* const> xs,
                  std::span<float* const> ys);

}  // namespace kestrune
