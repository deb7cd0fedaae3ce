#include "backend/cpu/dequant_fast.h"

#include "backend/cpu/matvec_fast.h"
#include "backend/cpu/repack.h"
#include "quant/blocks.h"
#include "quant/types.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define KS_DEQUANT_X86 1
#include <immintrin.h>
#endif

namespace kestrune {

namespace {

#ifdef KS_DEQUANT_X86
#define KS_AVX2 __attribute__((target("avx2,f16c")))

KS_AVX2 inline float half(const uint8_t* p) { return _cvtsh_ss(load_u16(p)); }

// out[0..8) = a * float(q) - b for eight unsigned bytes (b = 0: no subtraction).
template <bool kMin>
KS_AVX2 inline void scale_u8(const uint8_t* q, __m256 a, __m256 b, float* out) {
  const __m256 f = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q))));
  __m256 w = _mm256_mul_ps(a, f);
  if constexpr (kMin) w = _mm256_sub_ps(w, b);
  _mm256_storeu_ps(out, w);
}

KS_AVX2 void rows_f16(const uint8_t* src, uint64_t n, float* out) {
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(out + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i))));
  }
  for (; i < n; ++i) out[i] = half(src + 2 * i);
}

KS_AVX2 void rows_q8_0(const uint8_t* src, uint64_t blocks, float* out) {
  for (uint64_t b = 0; b < blocks; ++b, src += 34, out += 32) {
    const __m256 d = _mm256_set1_ps(half(src));
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 2 + 8 * k));
      _mm256_storeu_ps(out + 8 * k, _mm256_mul_ps(d, _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(raw))));
    }
  }
}

// Q4_K and Q5_K: values of group g are the low (then high) nibbles of 32 bytes, plus a
// fifth bit from qh for Q5_K; w = (d * sc) * q - dmin * m.
template <bool kFive>
KS_AVX2 void rows_qk(const uint8_t* src, uint64_t blocks, float* out) {
  constexpr uint64_t kBlock = kFive ? 176 : 144;
  const __m256i low4 = _mm256_set1_epi8(15);
  for (uint64_t b = 0; b < blocks; ++b, src += kBlock, out += 256) {
    const float d = half(src), dmin = half(src + 2);
    const uint8_t* qs = src + (kFive ? 48 : 16);
    const __m256i qh = kFive ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 16)) : _mm256_setzero_si256();
    for (int g = 0; g < 4; ++g) {
      const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(qs + 32 * g));
      __m256i v[2] = {_mm256_and_si256(raw, low4), _mm256_and_si256(_mm256_srli_epi16(raw, 4), low4)};
      for (int h = 0; h < 2; ++h) {
        uint8_t sc, m;
        k_scale_min(2 * g + h, src + 4, sc, m);
        const __m256 a = _mm256_set1_ps(d * float(sc)), c = _mm256_set1_ps(dmin * float(m));
        if constexpr (kFive) {
          const __m256i bit = _mm256_set1_epi8(static_cast<char>(1u << (2 * g + h)));
          const __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(qh, bit), bit);
          v[h] = _mm256_or_si256(v[h], _mm256_and_si256(set, _mm256_set1_epi8(16)));
        }
        alignas(32) uint8_t q[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(q), v[h]);
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) scale_u8<true>(q + 8 * k, a, c, out + 64 * g + 32 * h + 8 * k);
      }
    }
  }
}

KS_AVX2 void rows_q6_k(const uint8_t* src, uint64_t blocks, float* out) {
  const __m256i low4 = _mm256_set1_epi8(15), three = _mm256_set1_epi8(3);
  const __m256 bias = _mm256_set1_ps(32.0f);
  for (uint64_t b = 0; b < blocks; ++b, src += 210, out += 256) {
    const float d = half(src + 208);
    for (int h = 0; h < 2; ++h) {
      const uint8_t* ql = src + 64 * h;
      const __m256i qh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 128 + 32 * h));
      const auto* sc = reinterpret_cast<const int8_t*>(src + 192 + 8 * h);
      for (int k = 0; k < 4; ++k) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ql + 32 * (k & 1)));
        const __m256i nib = k >= 2 ? _mm256_and_si256(_mm256_srli_epi16(lo, 4), low4) : _mm256_and_si256(lo, low4);
        const __m256i top = _mm256_and_si256(_mm256_srli_epi16(qh, 2 * k), three);
        const __m256i q = _mm256_or_si256(nib, _mm256_slli_epi16(top, 4));  // 0..63, no carries across bytes
        alignas(32) uint8_t qb[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(qb), q);
        for (int half16 = 0; half16 < 2; ++half16) {
          const __m256 scale = _mm256_set1_ps(d * float(sc[half16 + 2 * k]));
#pragma GCC unroll 2
          for (int j = 0; j < 2; ++j) {
            const int l = 16 * half16 + 8 * j;
            // float(q - 32) is exact either way: the subtraction moves to floats.
            const __m256 f = _mm256_sub_ps(
                _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(qb + l)))),
                bias);
            _mm256_storeu_ps(out + 128 * h + 32 * k + l, _mm256_mul_ps(scale, f));
          }
        }
      }
    }
  }
}
#undef KS_AVX2
#endif

}  // namespace

Status dequant_values_fast(uint32_t type, const uint8_t* src, uint64_t ne0, float* out) {
#ifdef KS_DEQUANT_X86
  if (fast_matvec_available()) {
    switch (type) {
      case kF16:
        rows_f16(src, ne0, out);
        return {};
      case kQ8_0:
        rows_q8_0(src, ne0 / 32, out);
        return {};
      case kQ4_K:
        rows_qk<false>(src, ne0 / 256, out);
        return {};
      case kQ5_K:
        rows_qk<true>(src, ne0 / 256, out);
        return {};
      case kQ6_K:
        rows_q6_k(src, ne0 / 256, out);
        return {};
      default:
        break;
    }
  }
#endif
  return dequant_values(type, src, ne0, out);
}

Status dequant_row_fast(const TensorView& view, uint64_t r, float* out) {
  if (const auto at = packed_row(view, r)) return packed_dequant_row(*view.packed, *at, out);
  KS_TRY(const uint8_t* src, row_data(view, r));
  return dequant_values_fast(view.info->type, src, view.ne0(), out);
}

}  // namespace kestrune
