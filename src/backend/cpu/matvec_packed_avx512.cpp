// The packed-layout kernels at AVX-512: one 16-row group per register.
#include "backend/cpu/matvec_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include "quant/types.h"

#define KS_PK_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx2,f16c")))
#define KS_PK_FN KS_PK_TARGET inline __attribute__((always_inline))
#define KS_PK_WIDE true

namespace kestrune::matvec_detail {

namespace {

typedef float F __attribute__((vector_size(64)));
typedef int32_t I __attribute__((vector_size(64)));

KS_PK_FN I widen_u8(const uint8_t* p) {
  return I(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}
KS_PK_FN F to_float(I v) { return __builtin_convertvector(v, F); }
KS_PK_FN F float_s8(const uint8_t* p) {
  return to_float(I(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
}
KS_PK_FN F halves(const uint8_t* p) { return F(_mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)))); }
KS_PK_FN F splat(float s) { return F(_mm512_set1_ps(s)); }

typedef uint8_t B __attribute__((vector_size(64)));
typedef uint16_t W __attribute__((vector_size(64)));
KS_PK_FN B load_b(const uint8_t* p) {
  B b;
  __builtin_memcpy(&b, p, 64);
  return b;
}
KS_PK_FN void store_b(uint8_t* p, B b) { __builtin_memcpy(p, &b, 64); }
KS_PK_FN B splat_b(uint8_t v) { return B(_mm512_set1_epi8(char(v))); }
KS_PK_FN B shl16(B b, int n) { return B(W(b) << n); }
KS_PK_FN B shr16(B b, int n) { return B(W(b) >> n); }

#include "backend/cpu/matvec_packed_body.h"

}  // namespace

void matvec_packed_avx512(const PackedRows& p, const float* const* x, int cols, float* const* y, size_t r0,
                          size_t r1) {
  run_packed(p, x, cols, y, r0, r1);
}

void packed_group_avx512(const PackedRows& p, size_t g, float* out) { decode_group(p, g, out); }

}  // namespace kestrune::matvec_detail

#endif
