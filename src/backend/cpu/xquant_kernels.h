// Internal interface between the int8 product driver and its per-ISA kernels.
//
// Every kernel computes, for each row and each 32-value block b of the input in order,
// an exact integer dot of the block's quantized weights with the block's int8 inputs,
// turns it into one float term with the formulas below (separate multiplies and adds,
// no fusing), and adds the terms to a sum that starts at zero. Lanes of a vector are
// rows, so a wider vector changes nothing but how many rows run at once.
//
//   Q8_0        t = dx * (dw * float(sum q*x))
//   Q4_K, Q5_K  t = dx * ((d*float(sc)) * float(sum q*x) - (dmin*float(m)) * float(sum x))
//   Q6_K        t = dx * ((d*float(sc0)) * float(sum0 (q-32)*x) + (d*float(sc1)) * float(sum1 (q-32)*x))
//
// where sum0 and sum1 cover the two 16-value halves of the block, each with its scale.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::xquant_detail {

// One input column quantized in 32-value blocks: q[32b..32b+31] * d[b] approximates it;
// sum32[b] and sum16[2b], sum16[2b+1] are the sums of its q values.
struct XCol {
  const int8_t* q = nullptr;
  const float* d = nullptr;
  const int32_t* sum32 = nullptr;
  const int32_t* sum16 = nullptr;
};

// Rows of one stored type (Q8_0, Q4_K, Q5_K or Q6_K): row r at data + r * row_bytes,
// n values (whole blocks) each.
struct XRows {
  uint32_t type = 0;
  const uint8_t* data = nullptr;
  uint64_t row_bytes = 0;
  size_t n = 0;
};

// y[c][r] for r in [r0, r1) and c < cols.
void xrows_portable(const XRows& m, const XCol* x, size_t cols, float* const* y, size_t r0, size_t r1);
void xrows_avx2(const XRows& m, const XCol* x, size_t cols, float* const* y, size_t r0, size_t r1);
void xrows_vnni512(const XRows& m, const XCol* x, size_t cols, float* const* y, size_t r0, size_t r1);

// quantize_column's values for `blocks` blocks of x, with AVX-512.
void quantize_vnni512(const float* x, size_t blocks, int8_t* q, float* d, int32_t* sum32, int32_t* sum16);

}  // namespace kestrune::xquant_detail
