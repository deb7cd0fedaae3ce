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
#include "weights/packed_rows.h"

#define KS_PK_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx2,f16c")))
#define KS_PK_WIDE true
#define KS_PK_NAME matvec_packed_avx512
#define KS_PK_HALVES(p) F(_mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))))
#define KS_PK_U8(p) I(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
#define KS_PK_S8(p) I(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))

#include "backend/cpu/matvec_packed_body.h"

#endif
