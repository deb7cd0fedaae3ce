// The packed-layout kernels at AVX2: a 16-row group is two registers.
#include "backend/cpu/matvec_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "quant/types.h"
#include "weights/packed_rows.h"

#define KS_PK_TARGET __attribute__((target("avx2,f16c")))
#define KS_PK_WIDE false
#define KS_PK_NAME matvec_packed_avx2

typedef float ks_packed_f8 __attribute__((vector_size(32)));
typedef int32_t ks_packed_i8 __attribute__((vector_size(32)));
#define KS_PK_LOW8(p) _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))
#define KS_PK_U8(p)                                                                                  \
  __builtin_shufflevector(ks_packed_i8(_mm256_cvtepu8_epi32(KS_PK_LOW8(p))),                        \
                          ks_packed_i8(_mm256_cvtepu8_epi32(KS_PK_LOW8((p) + 8))), 0, 1, 2, 3, 4, 5, 6, \
                          7, 8, 9, 10, 11, 12, 13, 14, 15)
#define KS_PK_S8(p)                                                                                  \
  __builtin_shufflevector(ks_packed_i8(_mm256_cvtepi8_epi32(KS_PK_LOW8(p))),                        \
                          ks_packed_i8(_mm256_cvtepi8_epi32(KS_PK_LOW8((p) + 8))), 0, 1, 2, 3, 4, 5, 6, \
                          7, 8, 9, 10, 11, 12, 13, 14, 15)
#define KS_PK_HALF8(p) ks_packed_f8(_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
#define KS_PK_HALVES(p) \
  __builtin_shufflevector(KS_PK_HALF8(p), KS_PK_HALF8((p) + 16), 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)

#include "backend/cpu/matvec_packed_body.h"

#endif
