// AVX-512 VNNI int8 products: lane i of a vector is row i of a group of 16 rows. The
// rows' bytes are transposed in 4-byte units, so one dot-product instruction multiplies
// four weights of every row with the same four inputs (broadcast) and no horizontal sum
// is ever needed. Weights are unsigned for the dot instruction: K-quant values already
// are; Q8_0 values are offset by 128 and 128 * sum(x) is taken back out.
#include "backend/cpu/byte_transpose.h"
#include "backend/cpu/xquant_kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)

#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <cstring>

#include "quant/types.h"

#define KS_VNNI __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni,avx2,f16c")))
#define KS_VNNI_INLINE KS_VNNI inline __attribute__((always_inline))

namespace kestrune::xquant_detail {

namespace {

constexpr int kLanes = 16;

struct Group {
  const uint8_t* p[kLanes];  // lanes past the last row repeat it
  int32_t off[kLanes];       // p[i] - p[0], for gathers
  int valid = kLanes;
  size_t ahead = 0;          // bytes from a row to the same row of the next group
};

// Sixteen row streams at once are more than the hardware prefetcher follows: fetch the
// next group's bytes [off, off + bytes) while this one computes. Prefetches never fault.
KS_VNNI_INLINE void prefetch_next(const Group& g, size_t off, size_t bytes) {
#pragma GCC unroll 16
  for (int i = 0; i < kLanes; ++i) {
    for (size_t b = 0; b < bytes; b += 64) _mm_prefetch(reinterpret_cast<const char*>(g.p[i] + g.ahead + off + b), _MM_HINT_T0);
  }
}

// The 32 bytes at `off` of every row, as t[c] lane i = bytes 4c..4c+3 of row i.
KS_VNNI_INLINE void load_t32(const Group& g, size_t off, __m512i t[8]) {
  __m512i r[8], a[8], b[8];
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.p[k] + off));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.p[k + 8] + off));
    r[k] = _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
  }
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    a[2 * i] = _mm512_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
    a[2 * i + 1] = _mm512_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
  }
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    b[4 * h] = _mm512_unpacklo_epi64(a[4 * h], a[4 * h + 2]);
    b[4 * h + 1] = _mm512_unpackhi_epi64(a[4 * h], a[4 * h + 2]);
    b[4 * h + 2] = _mm512_unpacklo_epi64(a[4 * h + 1], a[4 * h + 3]);
    b[4 * h + 3] = _mm512_unpackhi_epi64(a[4 * h + 1], a[4 * h + 3]);
  }
  // b[k] holds dwords k and k + 4 of rows 0-3 and 8-11, b[k + 4] the same of rows 4-7, 12-15.
  const __m512i lo_idx = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i hi_idx = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    t[k] = _mm512_permutex2var_epi64(b[k], lo_idx, b[k + 4]);
    t[k + 4] = _mm512_permutex2var_epi64(b[k], hi_idx, b[k + 4]);
  }
}

// The 16 bytes at `off` of every row, transposed: r[c] lane i = byte c of row i.
KS_VNNI_INLINE void gather16(const Group& g, size_t off, __m128i r[16]) {
#pragma GCC unroll 16
  for (int i = 0; i < kLanes; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.p[i] + off));
  matvec_detail::transpose_bytes16(r);
}

KS_VNNI_INLINE __m512 halves16(__m128i lo, __m128i hi) {
  return _mm512_cvtph_ps(_mm256_set_m128i(_mm_unpackhi_epi8(lo, hi), _mm_unpacklo_epi8(lo, hi)));
}

KS_VNNI_INLINE __m512i bcast4(const int8_t* p) {
  int v;
  std::memcpy(&v, p, 4);
  return _mm512_set1_epi32(v);
}

KS_VNNI_INLINE __m512 cvt(__m512i v) { return _mm512_cvtepi32_ps(v); }

// init + sum over k < 2*kHalf of u[k] . x[4k..4k+3] per lane; two chains for latency.
template <int kWords>
KS_VNNI_INLINE __m512i dot(const __m512i* u, const int8_t* xq, __m512i init) {
  __m512i a = init, b = _mm512_setzero_si512();
#pragma GCC unroll 4
  for (int k = 0; k < kWords / 2; ++k) {
    a = _mm512_dpbusd_epi32(a, u[2 * k], bcast4(xq + 8 * k));
    b = _mm512_dpbusd_epi32(b, u[2 * k + 1], bcast4(xq + 8 * k + 4));
  }
  return _mm512_add_epi32(a, b);
}

template <int C>
KS_VNNI_INLINE void q8_0_group(const XRows& m, const Group& g, const XCol* x, __m512 acc[C]) {
  const __m512i flip = _mm512_set1_epi8(char(0x80));
  const __m512i gidx = _mm512_loadu_si512(g.off);
  for (size_t b = 0; b < m.n / 32; ++b) {
    const size_t off = 34 * b;
    if (b % 2 == 0) prefetch_next(g, off, 64);
    __m512i t[8];
    load_t32(g, off + 2, t);
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) t[k] = _mm512_xor_si512(t[k], flip);
    const __m512i raw = _mm512_i32gather_epi32(gidx, g.p[0] + off, 1);
    const __m512 dw = _mm512_cvtph_ps(_mm512_cvtepi32_epi16(raw));
#pragma GCC unroll 8
    for (int c = 0; c < C; ++c) {
      const __m512i s = dot<8>(t, x[c].q + 32 * b, _mm512_set1_epi32(-128 * x[c].sum32[b]));
      acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(_mm512_set1_ps(x[c].d[b]), _mm512_mul_ps(dw, cvt(s))));
    }
  }
}

// One column: no transpose. Row k and row k + 8 share a vector, multiplied with the
// block's inputs in both halves; the 8 dword sums per row are then added up across
// the 8 vectors, which costs fewer shuffles than the transpose when nothing shares it.
KS_VNNI_INLINE void q8_0_group_one(const XRows& m, const Group& g, const XCol& x, __m512& acc) {
  const __m512i flip = _mm512_set1_epi8(char(0x80));
  const __m512i gidx = _mm512_loadu_si512(g.off);
  const __m512i lo_idx = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i hi_idx = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  for (size_t b = 0; b < m.n / 32; ++b) {
    const size_t off = 34 * b;
    if (b % 2 == 0) prefetch_next(g, off, 64);
    const __m512i xv = _mm512_broadcast_i64x4(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x.q + 32 * b)));
    __m512i a[8], s[4];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.p[k] + off + 2));
      const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.p[k + 8] + off + 2));
      const __m512i w = _mm512_xor_si512(_mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1), flip);
      a[k] = _mm512_dpbusd_epi32(_mm512_setzero_si512(), w, xv);
    }
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      s[i] = _mm512_add_epi32(_mm512_unpacklo_epi32(a[2 * i], a[2 * i + 1]),
                              _mm512_unpackhi_epi32(a[2 * i], a[2 * i + 1]));
    }
    // t0: rows 0-3 (two partial sums each) and rows 8-11; t1: rows 4-7 and 12-15.
    const __m512i t0 = _mm512_add_epi32(_mm512_unpacklo_epi64(s[0], s[1]), _mm512_unpackhi_epi64(s[0], s[1]));
    const __m512i t1 = _mm512_add_epi32(_mm512_unpacklo_epi64(s[2], s[3]), _mm512_unpackhi_epi64(s[2], s[3]));
    const __m512i sum = _mm512_add_epi32(_mm512_add_epi32(_mm512_permutex2var_epi64(t0, lo_idx, t1),
                                                          _mm512_permutex2var_epi64(t0, hi_idx, t1)),
                                         _mm512_set1_epi32(-128 * x.sum32[b]));
    const __m512i raw = _mm512_i32gather_epi32(gidx, g.p[0] + off, 1);
    const __m512 dw = _mm512_cvtph_ps(_mm512_cvtepi32_epi16(raw));
    acc = _mm512_add_ps(acc, _mm512_mul_ps(_mm512_set1_ps(x.d[b]), _mm512_mul_ps(dw, cvt(sum))));
  }
}

template <bool kFive, int C>
KS_VNNI_INLINE void q45_k_group(const XRows& m, const Group& g, const XCol* x, __m512 acc[C]) {
  constexpr size_t kBlock = kFive ? 176 : 144, kQs = kFive ? 48 : 16;
  const __m512i low4 = _mm512_set1_epi8(15), sixteen = _mm512_set1_epi8(16);
  for (size_t s = 0; s < m.n / 256; ++s) {
    const size_t off = kBlock * s;
    prefetch_next(g, off, kBlock);
    __m128i h[16];
    gather16(g, off, h);
    const __m512 d = halves16(h[0], h[1]), dmin = halves16(h[2], h[3]);
    __m512i qh[8];
    if constexpr (kFive) load_t32(g, off + 16, qh);
#pragma GCC unroll 4
    for (int gq = 0; gq < 4; ++gq) {
      __m512 ds[2], dm[2];
#pragma GCC unroll 2
      for (int e = 0; e < 2; ++e) {
        __m128i sc, mn;
        matvec_detail::k_scale_min16(2 * gq + e, h + 4, sc, mn);
        ds[e] = _mm512_mul_ps(d, cvt(_mm512_cvtepu8_epi32(sc)));
        dm[e] = _mm512_mul_ps(dmin, cvt(_mm512_cvtepu8_epi32(mn)));
      }
      __m512i t[8], q[2][8];
      load_t32(g, off + kQs + 32 * gq, t);
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k) {
        q[0][k] = _mm512_and_si512(t[k], low4);
        q[1][k] = _mm512_and_si512(_mm512_srli_epi16(t[k], 4), low4);
        if constexpr (kFive) {
          const __mmask64 b0 = _mm512_test_epi8_mask(qh[k], _mm512_set1_epi8(char(1 << (2 * gq))));
          const __mmask64 b1 = _mm512_test_epi8_mask(qh[k], _mm512_set1_epi8(char(2 << (2 * gq))));
          q[0][k] = _mm512_mask_add_epi8(q[0][k], b0, q[0][k], sixteen);
          q[1][k] = _mm512_mask_add_epi8(q[1][k], b1, q[1][k], sixteen);
        }
      }
#pragma GCC unroll 8
      for (int c = 0; c < C; ++c) {
#pragma GCC unroll 2
        for (int e = 0; e < 2; ++e) {
          const size_t b = 8 * s + 2 * gq + e;
          const __m512i dotv = dot<8>(q[e], x[c].q + 32 * b, _mm512_setzero_si512());
          const __m512 t1 = _mm512_sub_ps(_mm512_mul_ps(ds[e], cvt(dotv)),
                                          _mm512_mul_ps(dm[e], _mm512_set1_ps(float(x[c].sum32[b]))));
          acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(_mm512_set1_ps(x[c].d[b]), t1));
        }
      }
    }
  }
}

template <int C>
KS_VNNI_INLINE void q6_k_group(const XRows& m, const Group& g, const XCol* x, __m512 acc[C]) {
  const __m512i low4 = _mm512_set1_epi8(15), six_bits = _mm512_set1_epi8(63);
  for (size_t s = 0; s < m.n / 256; ++s) {
    const size_t off = 210 * s;
    prefetch_next(g, off, 210);
    __m128i sc[16], tail[16];
    gather16(g, off + 192, sc);
    gather16(g, off + 194, tail);  // the block's last 16 bytes: d is bytes 14, 15
    const __m512 d = halves16(tail[14], tail[15]);
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
      __m512i ql[2][8], qh[8];
      load_t32(g, off + 64 * h, ql[0]);
      load_t32(g, off + 64 * h + 32, ql[1]);
      load_t32(g, off + 128 + 32 * h, qh);
#pragma GCC unroll 4
      for (int k4 = 0; k4 < 4; ++k4) {
        const __m512 ds0 = _mm512_mul_ps(d, cvt(_mm512_cvtepi8_epi32(sc[8 * h + 2 * k4])));
        const __m512 ds1 = _mm512_mul_ps(d, cvt(_mm512_cvtepi8_epi32(sc[8 * h + 2 * k4 + 1])));
        __m512i u[8];
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
          // Low nibble in bits 0-3, qh bits 2k4, 2k4 + 1 moved to bits 4-5: one
          // bitwise select (0xe4: c ? a : b) and one mask.
          const __m512i src = ql[k4 & 1][k];
          const __m512i lo = k4 >> 1 ? _mm512_srli_epi16(src, 4) : src;
          const __m512i hi = k4 == 0   ? _mm512_slli_epi16(qh[k], 4)
                             : k4 == 1 ? _mm512_slli_epi16(qh[k], 2)
                             : k4 == 2 ? qh[k]
                                       : _mm512_srli_epi16(qh[k], 2);
          u[k] = _mm512_and_si512(_mm512_ternarylogic_epi32(lo, hi, low4, 0xe4), six_bits);
        }
#pragma GCC unroll 8
        for (int c = 0; c < C; ++c) {
          const size_t b = 8 * s + 4 * h + k4;
          const int8_t* xq = x[c].q + 32 * b;
          const __m512i s0 = dot<4>(u, xq, _mm512_set1_epi32(-32 * x[c].sum16[2 * b]));
          const __m512i s1 = dot<4>(u + 4, xq + 16, _mm512_set1_epi32(-32 * x[c].sum16[2 * b + 1]));
          const __m512 t1 = _mm512_add_ps(_mm512_mul_ps(ds0, cvt(s0)), _mm512_mul_ps(ds1, cvt(s1)));
          acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(_mm512_set1_ps(x[c].d[b]), t1));
        }
      }
    }
  }
}

template <int C>
KS_VNNI void run_chunk(const XRows& m, const Group& g, const XCol* x, float* const* y, size_t r) {
  __m512 acc[C];
  for (int c = 0; c < C; ++c) acc[c] = _mm512_setzero_ps();
  switch (m.type) {
    case kQ8_0:
      if constexpr (C == 1) {
        q8_0_group_one(m, g, x[0], acc[0]);
      } else {
        q8_0_group<C>(m, g, x, acc);
      }
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
  const __mmask16 keep = __mmask16((1u << g.valid) - 1);
  for (int c = 0; c < C; ++c) _mm512_mask_storeu_ps(y[c] + r, keep, acc[c]);
}

}  // namespace

// The scalar quantizer's operations lane by lane: NaN lanes are left out of the
// maximum and quantize to 0, the rest are clamped and rounded to nearest even.
KS_VNNI void quantize_vnni512(const float* x, size_t blocks, int8_t* q, float* d, int32_t* sum32, int32_t* sum16) {
  const __m512 lim = _mm512_set1_ps(127.0f), nlim = _mm512_set1_ps(-127.0f);
  for (size_t b = 0; b < blocks; ++b) {
    __m512 v[2];
    __m512 amax = _mm512_setzero_ps();
    for (int h = 0; h < 2; ++h) {
      v[h] = _mm512_loadu_ps(x + 32 * b + 16 * h);
      const __mmask16 num = _mm512_cmp_ps_mask(v[h], v[h], _CMP_ORD_Q);
      amax = _mm512_max_ps(amax, _mm512_mask_abs_ps(_mm512_setzero_ps(), num, v[h]));
    }
    const float m = _mm512_reduce_max_ps(amax);
    const __m512 inv = _mm512_set1_ps(m == 0.0f ? 0.0f : 127.0f / m);
    int32_t total = 0;
    for (int h = 0; h < 2; ++h) {
      const __m512 sc = _mm512_mul_ps(v[h], inv);
      const __mmask16 num = _mm512_cmp_ps_mask(sc, sc, _CMP_ORD_Q);
      const __m512i qi = _mm512_maskz_cvtps_epi32(num, _mm512_max_ps(_mm512_min_ps(sc, lim), nlim));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 32 * b + 16 * h), _mm512_cvtepi32_epi8(qi));
      sum16[2 * b + h] = _mm512_reduce_add_epi32(qi);
      total += sum16[2 * b + h];
    }
    sum32[b] = total;
    d[b] = m == 0.0f ? 0.0f : m / 127.0f;
  }
}

void xrows_vnni512(const XRows& m, const XCol* x, size_t cols, float* const* y, size_t r0, size_t r1) {
  for (size_t r = r0; r < r1; r += kLanes) {
    Group g;
    g.valid = r1 - r < size_t(kLanes) ? int(r1 - r) : kLanes;
    g.ahead = kLanes * m.row_bytes;
    for (int i = 0; i < kLanes; ++i) {
      g.p[i] = m.data + (r + size_t(i < g.valid ? i : g.valid - 1)) * m.row_bytes;
      g.off[i] = int32_t(g.p[i] - g.p[0]);
    }
    // Up to 8 columns per read of the group's rows (which then stay in cache).
    for (size_t c = 0; c < cols;) {
      const size_t left = cols - c;
      if (left >= 8) {
        run_chunk<8>(m, g, x + c, y + c, r), c += 8;
      } else if (left >= 4) {
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
