// Internal interface between the product driver and its per-ISA kernels.
#pragma once

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

inline uint16_t load_u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// The 6-bit scale and min of sub-block j of a K-quant scale field.
inline void k_scale_min(int j, const uint8_t* s, uint8_t& sc, uint8_t& m) {
  if (j < 4) {
    sc = s[j] & 63;
    m = s[j + 4] & 63;
  } else {
    sc = uint8_t((s[j + 4] & 15) | ((s[j - 4] >> 6) << 4));
    m = uint8_t((s[j + 4] >> 4) | ((s[j] >> 6) << 4));
  }
}

// y[r] = dot(row r[0..n), x[0..n)) for r < rows, n at most the row length. The type must
// be one of F32, F16, Q8_0, Q4_K, Q5_K, Q6_K.
void matvec_avx512(const Rows& m, const float* x, size_t n, float* y, size_t rows);
void matvec_avx2(const Rows& m, const float* x, size_t n, float* y, size_t rows);

}  // namespace kestrune::matvec_detail
