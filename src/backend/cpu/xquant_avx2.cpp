// AVX2 int8 products: lane i of a vector is row i of a group of 8 rows, the rows'
// bytes transposed in 4-byte units as in the AVX-512 kernels. Without a byte dot
// instruction, unsigned-by-signed pair products (16 bits, never saturating for these
// ranges) are widened and summed; Q8_0 moves the weights' signs onto the inputs.
#include "backend/cpu/byte_transpose.h"
#include "backend/cpu/xquant_kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#include <cstring>

#include "quant/types.h"

#define KS_AVX2 __attribute__((target("avx2,f16c")))
#define KS_AVX2_INLINE KS_AVX2 inline __attribute__((always_inline))

namespace kestrune::xquant_detail {

namespace {

constexpr int kLanes = 8;

struct Group {
  const uint8_t* p[16];  // lanes past the last row repeat it; 8-15 only feed gather16
  int32_t off[kLanes];
  int valid = kLanes;
};

KS_AVX2_INLINE void load_t32(const Group& g, size_t off, __m256i t[8]) {
  __m256i r[8], a[8], b[8];
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) r[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.p[k] + off));
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    a[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
    a[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
  }
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    b[4 * h] = _mm256_unpacklo_epi64(a[4 * h], a[4 * h + 2]);
    b[4 * h + 1] = _mm256_unpackhi_epi64(a[4 * h], a[4 * h + 2]);
    b[4 * h + 2] = _mm256_unpacklo_epi64(a[4 * h + 1], a[4 * h + 3]);
    b[4 * h + 3] = _mm256_unpackhi_epi64(a[4 * h + 1], a[4 * h + 3]);
  }
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    t[k] = _mm256_permute2x128_si256(b[k], b[k + 4], 0x20);
    t[k + 4] = _mm256_permute2x128_si256(b[k], b[k + 4], 0x31);
  }
}

KS_AVX2_INLINE void gather16(const Group& g, size_t off, __m128i r[16]) {
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.p[i] + off));
  matvec_detail::transpose_bytes16(r);
}

KS_AVX2_INLINE __m256 halves8(__m128i lo, __m128i hi) { return _mm256_cvtph_ps(_mm_unpacklo_epi8(lo, hi)); }

KS_AVX2_INLINE __m256i bcast4(const int8_t* p) {
  int v;
  std::memcpy(&v, p, 4);
  return _mm256_set1_epi32(v);
}

KS_AVX2_INLINE __m256 cvt(__m256i v) { return _mm256_cvtepi32_ps(v); }

// init + sum over k < kWords of u[k] . x[4k..4k+3] per lane (u unsigned, at most 63).
template <int kWords>
KS_AVX2_INLINE __m256i dot(const __m256i* u, const int8_t* xq, __m256i init) {
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i a = init, b = _mm256_setzero_si256();
#pragma GCC unroll 4
  for (int k = 0; k < kWords / 2; ++k) {
    // Two 16-bit pair sums of values below 64 stay below 2^15.
    const __m256i p = _mm256_add_epi16(_mm256_maddubs_epi16(u[2 * k], bcast4(xq + 8 * k)),
                                       _mm256_maddubs_epi16(u[2 * k + 1], bcast4(xq + 8 * k + 4)));
    if (k % 2 == 0) {
      a = _mm256_add_epi32(a, _mm256_madd_epi16(p, ones));
    } else {
      b = _mm256_add_epi32(b, _mm256_madd_epi16(p, ones));
    }
  }
  return _mm256_add_epi32(a, b);
}

template <int C>
KS_AVX2_INLINE void q8_0_group(const XRows& m, const Group& g, const XCol* x, __m256 acc[C]) {
  const __m256i ones = _mm256_set1_epi16(1), low16 = _mm256_set1_epi32(0xffff);
  const __m256i gidx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.off));
  for (size_t b = 0; b < m.n / 32; ++b) {
    const size_t off = 34 * b;
    __m256i t[8], mag[8];
    load_t32(g, off + 2, t);
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) mag[k] = _mm256_abs_epi8(t[k]);
    const __m256i raw = _mm256_and_si256(
        _mm256_i32gather_epi32(reinterpret_cast<const int*>(g.p[0] + off), gidx, 1), low16);
    const __m256 dw =
        _mm256_cvtph_ps(_mm_packus_epi32(_mm256_castsi256_si128(raw), _mm256_extracti128_si256(raw, 1)));
#pragma GCC unroll 4
    for (int c = 0; c < C; ++c) {
      const int8_t* xq = x[c].q + 32 * b;
      __m256i s = _mm256_setzero_si256();
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k) {
        // |w| * (x with w's sign): at most 128 * 127 per product, 2 per 16-bit sum.
        const __m256i p = _mm256_maddubs_epi16(mag[k], _mm256_sign_epi8(bcast4(xq + 4 * k), t[k]));
        s = _mm256_add_epi32(s, _mm256_madd_epi16(p, ones));
      }
      acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(_mm256_set1_ps(x[c].d[b]), _mm256_mul_ps(dw, cvt(s))));
    }
  }
}

template <bool kFive, int C>
KS_AVX2_INLINE void q45_k_group(const XRows& m, const Group& g, const XCol* x, __m256 acc[C]) {
  constexpr size_t kBlock = kFive ? 176 : 144, kQs = kFive ? 48 : 16;
  const __m256i low4 = _mm256_set1_epi8(15), sixteen = _mm256_set1_epi8(16);
  for (size_t s = 0; s < m.n / 256; ++s) {
    const size_t off = kBlock * s;
    __m128i h[16];
    gather16(g, off, h);
    const __m256 d = halves8(h[0], h[1]), dmin = halves8(h[2], h[3]);
    __m256i qh[8];
    if constexpr (kFive) load_t32(g, off + 16, qh);
#pragma GCC unroll 4
    for (int gq = 0; gq < 4; ++gq) {
      __m256 ds[2], dm[2];
#pragma GCC unroll 2
      for (int e = 0; e < 2; ++e) {
        __m128i sc, mn;
        matvec_detail::k_scale_min16(2 * gq + e, h + 4, sc, mn);
        ds[e] = _mm256_mul_ps(d, cvt(_mm256_cvtepu8_epi32(sc)));
        dm[e] = _mm256_mul_ps(dmin, cvt(_mm256_cvtepu8_epi32(mn)));
      }
      __m256i t[8], q[2][8];
      load_t32(g, off + kQs + 32 * gq, t);
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k) {
        q[0][k] = _mm256_and_si256(t[k], low4);
        q[1][k] = _mm256_and_si256(_mm256_srli_epi16(t[k], 4), low4);
        if constexpr (kFive) {
          const __m256i b0 = _mm256_set1_epi8(char(1 << (2 * gq))), b1 = _mm256_set1_epi8(char(2 << (2 * gq)));
          q[0][k] = _mm256_add_epi8(
              q[0][k], _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(qh[k], b0), b0), sixteen));
          q[1][k] = _mm256_add_epi8(
              q[1][k], _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(qh[k], b1), b1), sixteen));
        }
      }
#pragma GCC unroll 4
      for (int c = 0; c < C; ++c) {
#pragma GCC unroll 2
        for (int e = 0; e < 2; ++e) {
          const size_t b = 8 * s + 2 * gq + e;
          const __m256i dotv = dot<8>(q[e], x[c].q + 32 * b, _mm256_setzero_si256());
          const __m256 t1 = _mm256_sub_ps(_mm256_mul_ps(ds[e], cvt(dotv)),
                                          _mm256_mul_ps(dm[e], _mm256_set1_ps(float(x[c].sum32[b]))));
          acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(_mm256_set1_ps(x[c].d[b]), t1));
        }
      }
    }
  }
}

template <int C>
KS_AVX2_INLINE void q6_k_group(const XRows& m, const Group& g, const XCol* x, __m256 acc[C]) {
  const __m256i low4 = _mm256_set1_epi8(15), three = _mm256_set1_epi8(3);
  for (size_t s = 0; s < m.n / 256; ++s) {
    const size_t off = 210 * s;
    __m128i sc[16], tail[16];
    gather16(g, off + 192, sc);
    gather16(g, off + 194, tail);
    const __m256 d = halves8(tail[14], tail[15]);
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
      __m256i ql[2][8], qh[8];
      load_t32(g, off + 64 * h, ql[0]);
      load_t32(g, off + 64 * h + 32, ql[1]);
      load_t32(g, off + 128 + 32 * h, qh);
#pragma GCC unroll 4
      for (int k4 = 0; k4 < 4; ++k4) {
        const __m256 ds0 = _mm256_mul_ps(d, cvt(_mm256_cvtepi8_epi32(sc[8 * h + 2 * k4])));
        const __m256 ds1 = _mm256_mul_ps(d, cvt(_mm256_cvtepi8_epi32(sc[8 * h + 2 * k4 + 1])));
        __m256i u[8];
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
          const __m256i src = ql[k4 & 1][k];
          const __m256i lo = _mm256_and_si256(k4 >> 1 ? _mm256_srli_epi16(src, 4) : src, low4);
          const __m256i hb = _mm256_and_si256(_mm256_srli_epi16(qh[k], 2 * k4), three);
          u[k] = _mm256_or_si256(lo, _mm256_slli_epi16(hb, 4));
        }
#pragma GCC unroll 4
        for (int c = 0; c < C; ++c) {
          const size_t b = 8 * s + 4 * h + k4;
          const int8_t* xq = x[c].q + 32 * b;
          const __m256i s0 = dot<4>(u, xq, _mm256_set1_epi32(-32 * x[c].sum16[2 * b]));
          const __m256i s1 = dot<4>(u + 4, xq + 16, _mm256_set1_epi32(-32 * x[c].sum16[2 * b + 1]));
          const __m256 t1 = _mm256_add_ps(_mm256_mul_ps(ds0, cvt(s0)), _mm256_mul_ps(ds1, cvt(s1)));
          acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(_mm256_set1_ps(x[c].d[b]), t1));
        }
      }
    }
  }
}

template <int C>
KS_AVX2 void run_chunk(const XRows& m, const Group& g, const XCol* x, float* const* y, size_t r) {
  __m256 acc[C];
  for (int c = 0; c < C; ++c) acc[c] = _mm256_setzero_ps();
  switch (m.type) {
    case kQ8_0:
      q8_0_group<C>(m, g, x, acc);
      break;
    case kQ4_K:
      q45_k_group<false, C>(m, g, x, acc);
      break;
    case kQ5_K:
      q45_k_group<true, C>(m, g, x, acc);
      break;
    default:
      q6_k_group<C>(m, g, x, acc);
      break;
  }
  for (int c = 0; c < C; ++c) {
    alignas(32) float out[kLanes];
    _mm256_store_ps(out, acc[c]);
    for (int i = 0; i < g.valid; ++i) y[c][r + i] = out[i];
  }
}

}  // namespace

void xrows_avx2(const XRows& m, const XCol* x, size_t cols, float* const* y, size_t r0, size_t r1) {
  for (size_t r = r0; r < r1; r += kLanes) {
    Group g;
    g.valid = r1 - r < size_t(kLanes) ? int(r1 - r) : kLanes;
    for (int i = 0; i < 16; ++i) {
      g.p[i] = m.data + (r + size_t(i < g.valid ? i : g.valid - 1)) * m.row_bytes;
      if (i < kLanes) g.off[i] = int32_t(g.p[i] - g.p[0]);
    }
    for (size_t c = 0; c < cols;) {
      const size_t left = cols - c;
      if (left >= 4) {
        run_chunk<4>(m, g, x + c, y + c, r), c += 4;
      } else if (left >= 2) {
        run_chunk<2>(m, g, x + c, y + c, r), c += 2;
      } else {
        run_chunk<1>(m, g, x + c, y + c, r), c += 1;
      }
    }
  }
}

}  // namespace kestrune::xquant_detail

#endif
