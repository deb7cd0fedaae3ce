// The packed-layout kernels at AVX2: a 16-row group is a pair of registers.
#include "backend/cpu/matvec_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "quant/types.h"

#define KS_PK_TARGET __attribute__((target("avx2,f16c")))
#define KS_PK_FN KS_PK_TARGET inline __attribute__((always_inline))
#define KS_PK_WIDE false

namespace kestrune::matvec_detail {

namespace {

typedef float F8 __attribute__((vector_size(32)));
typedef int32_t I8 __attribute__((vector_size(32)));

// Rows 0-7 in lo, 8-15 in hi; every operation acts on both halves alike.
struct F {
  F8 lo = {}, hi = {};
  float operator[](int i) const { return i < 8 ? lo[i] : hi[i - 8]; }
};
struct I {
  I8 lo = {}, hi = {};
};

KS_PK_FN F operator+(F a, F b) { return {a.lo + b.lo, a.hi + b.hi}; }
KS_PK_FN F operator-(F a, F b) { return {a.lo - b.lo, a.hi - b.hi}; }
KS_PK_FN F operator*(F a, F b) { return {a.lo * b.lo, a.hi * b.hi}; }
KS_PK_FN I operator&(I a, int b) { return {a.lo & b, a.hi & b}; }
KS_PK_FN I operator>>(I a, int b) { return {a.lo >> b, a.hi >> b}; }

KS_PK_FN __m128i low8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
KS_PK_FN I widen_u8(const uint8_t* p) {
  return {I8(_mm256_cvtepu8_epi32(low8(p))), I8(_mm256_cvtepu8_epi32(low8(p + 8)))};
}
KS_PK_FN F to_float(I v) { return {__builtin_convertvector(v.lo, F8), __builtin_convertvector(v.hi, F8)}; }
KS_PK_FN F float_s8(const uint8_t* p) {
  return to_float({I8(_mm256_cvtepi8_epi32(low8(p))), I8(_mm256_cvtepi8_epi32(low8(p + 8)))});
}
KS_PK_FN F halves(const uint8_t* p) {
  return {F8(_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))),
          F8(_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))))};
}
KS_PK_FN F splat(float s) {
  const F8 v = F8(_mm256_set1_ps(s));
  return {v, v};
}

typedef uint8_t B32 __attribute__((vector_size(32)));
typedef uint16_t W32 __attribute__((vector_size(32)));
struct B {
  B32 lo = {}, hi = {};
};
KS_PK_FN B operator&(B a, B b) { return {a.lo & b.lo, a.hi & b.hi}; }
KS_PK_FN B operator|(B a, B b) { return {a.lo | b.lo, a.hi | b.hi}; }
KS_PK_FN B operator-(B a, B b) { return {a.lo - b.lo, a.hi - b.hi}; }
KS_PK_FN B load_b(const uint8_t* p) {
  B b;
  __builtin_memcpy(&b.lo, p, 32);
  __builtin_memcpy(&b.hi, p + 32, 32);
  return b;
}
KS_PK_FN void store_b(uint8_t* p, B b) {
  __builtin_memcpy(p, &b.lo, 32);
  __builtin_memcpy(p + 32, &b.hi, 32);
}
KS_PK_FN B splat_b(uint8_t v) {
  const B32 b = B32(_mm256_set1_epi8(char(v)));
  return {b, b};
}
KS_PK_FN B shl16(B b, int n) { return {B32(W32(b.lo) << n), B32(W32(b.hi) << n)}; }
KS_PK_FN B shr16(B b, int n) { return {B32(W32(b.lo) >> n), B32(W32(b.hi) >> n)}; }

#include "backend/cpu/matvec_packed_body.h"

}  // namespace

void matvec_packed_avx2(const PackedRows& p, const float* const* x, int cols, float* const* y, size_t r0,
                        size_t r1) {
  run_packed(p, x, cols, y, r0, r1);
}

void packed_group_avx2(const PackedRows& p, size_t g, float* out) { decode_group(p, g, out); }

}  // namespace kestrune::matvec_detail

#endif
