// A 16x16 byte transpose in SSE2 registers, shared by the kernels of every level (the
// baseline instructions inline into AVX2 and AVX-512 functions alike).
#pragma once

#if defined(__x86_64__) || defined(__i386__)

#include <emmintrin.h>

namespace kestrune::matvec_detail {

// Sixteen rows of 16 bytes in; afterwards r[c] holds byte c of rows 0..15.
inline __attribute__((always_inline)) void transpose_bytes16(__m128i r[16]) {
  __m128i t[16], u[16];
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) {
    t[i] = _mm_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
    t[i + 8] = _mm_unpackhi_epi8(r[2 * i], r[2 * i + 1]);
  }
#pragma GCC unroll 16
  for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 16
    for (int j = 0; j < 4; ++j) {
      u[j + 8 * h] = _mm_unpacklo_epi16(t[2 * j + 8 * h], t[2 * j + 1 + 8 * h]);
      u[j + 4 + 8 * h] = _mm_unpackhi_epi16(t[2 * j + 8 * h], t[2 * j + 1 + 8 * h]);
    }
  }
#pragma GCC unroll 16
  for (int q = 0; q < 4; ++q) {
#pragma GCC unroll 16
    for (int m = 0; m < 2; ++m) {
      t[m + 4 * q] = _mm_unpacklo_epi32(u[2 * m + 4 * q], u[2 * m + 1 + 4 * q]);
      t[m + 4 * q + 2] = _mm_unpackhi_epi32(u[2 * m + 4 * q], u[2 * m + 1 + 4 * q]);
    }
  }
#pragma GCC unroll 16
  for (int p = 0; p < 8; ++p) {
    r[2 * p] = _mm_unpacklo_epi64(t[2 * p], t[2 * p + 1]);
    r[2 * p + 1] = _mm_unpackhi_epi64(t[2 * p], t[2 * p + 1]);
  }
}

// The 6-bit scale and min of sub-block j of K-quant scale fields, sixteen at once: f[c]
// holds byte c of every field. The scalar decoder's unpacking, byte for byte.
inline __attribute__((always_inline)) void k_scale_min16(int j, const __m128i f[12], __m128i& sc, __m128i& mn) {
  const __m128i m63 = _mm_set1_epi8(63), m15 = _mm_set1_epi8(15), top2 = _mm_set1_epi8(char(0xc0));
  if (j < 4) {
    sc = _mm_and_si128(f[j], m63);
    mn = _mm_and_si128(f[j + 4], m63);
  } else {
    // (x >> 6) << 4 as (x & 0xc0) >> 2: no bit crosses into the neighbouring byte.
    sc = _mm_or_si128(_mm_and_si128(f[j + 4], m15), _mm_srli_epi16(_mm_and_si128(f[j - 4], top2), 2));
    mn = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(f[j + 4], 4), m15), _mm_srli_epi16(_mm_and_si128(f[j], top2), 2));
  }
}

}  // namespace kestrune::matvec_detail

#endif
