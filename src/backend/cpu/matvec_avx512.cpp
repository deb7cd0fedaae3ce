// AVX-512 kernels: lane i of a vector is output row i of a group of 16 rows. A block
// of 16 rows is transposed (bytes, halves or floats) so that one vector holds one
// column of the group, dequantized with the decoder's own operations in the decoder's
// order, multiplied by x[c] and added to the row sums. Columns run strictly in order.
#include "backend/cpu/byte_transpose.h"
#include "backend/cpu/matvec_driver.h"
#include "backend/cpu/matvec_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

// GCC 12 reports its own _mm512_undefined_* placeholders as maybe-uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
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

#define KS_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx2,f16c")))
#define KS_AVX512_INLINE KS_AVX512 inline __attribute__((always_inline))

namespace kestrune::matvec_detail {

namespace {

constexpr int kLanes = 16;

// Sixteen rows of 64 bytes in, per 128-bit lane a 16x16 byte transpose: afterwards
// r[c] lane L holds byte 16L + c of rows 0..15.
KS_AVX512_INLINE void transpose_bytes(__m512i r[16]) {
  __m512i t[16], u[16];
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) {
    t[i] = _mm512_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
    t[i + 8] = _mm512_unpackhi_epi8(r[2 * i], r[2 * i + 1]);
  }
#pragma GCC unroll 16
  for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 16
    for (int j = 0; j < 4; ++j) {
      u[j + 8 * h] = _mm512_unpacklo_epi16(t[2 * j + 8 * h], t[2 * j + 1 + 8 * h]);
      u[j + 4 + 8 * h] = _mm512_unpackhi_epi16(t[2 * j + 8 * h], t[2 * j + 1 + 8 * h]);
    }
  }
#pragma GCC unroll 16
  for (int q = 0; q < 4; ++q) {
#pragma GCC unroll 16
    for (int m = 0; m < 2; ++m) {
      t[m + 4 * q] = _mm512_unpacklo_epi32(u[2 * m + 4 * q], u[2 * m + 1 + 4 * q]);
      t[m + 4 * q + 2] = _mm512_unpackhi_epi32(u[2 * m + 4 * q], u[2 * m + 1 + 4 * q]);
    }
  }
#pragma GCC unroll 16
  for (int p = 0; p < 8; ++p) {
    r[2 * p] = _mm512_unpacklo_epi64(t[2 * p], t[2 * p + 1]);
    r[2 * p + 1] = _mm512_unpackhi_epi64(t[2 * p], t[2 * p + 1]);
  }
}

// Row pointers of a group: lanes past the last row repeat it (their sums are dropped).
using Group = RowGroup<kLanes>;

// Sixteen halves from their low and high bytes, as floats.
KS_AVX512_INLINE __m512 halves16(__m128i lo, __m128i hi) {
  return _mm512_cvtph_ps(_mm256_set_m128i(_mm_unpackhi_epi8(lo, hi), _mm_unpacklo_epi8(lo, hi)));
}

// The 16 bytes at `off` of every row of a group, transposed: r[c] lane i = byte c of row i.
KS_AVX512_INLINE void gather_bytes16(const Group& g, size_t off, __m128i r[16]) {
#pragma GCC unroll 16
  for (int i = 0; i < kLanes; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.p[i] + off));
  transpose_bytes16(r);
}

// Streams of 32+ rows defeat the hardware prefetcher, so the next tile's bytes at
// [off, off + bytes) are fetched while this one computes: part `part` of `parts` of its
// rows, so that the requests spread over the computation instead of stalling in a burst.
// Prefetches never fault, so the last tile may point past the end.
template <int V>
KS_AVX512_INLINE void prefetch_part(const Group* groups, size_t off, size_t bytes, int part, int parts) {
  constexpr int kRows = V * kLanes;
  for (int r = part * kRows / parts; r < (part + 1) * kRows / parts; ++r) {
    const Group& g = groups[r / kLanes];
    const uintptr_t at = reinterpret_cast<uintptr_t>(g.p[r % kLanes]) + g.ahead + off;
    for (size_t b = 0; b < bytes; b += 64) _mm_prefetch(reinterpret_cast<const char*>(at + b), _MM_HINT_T1);
  }
}

// ---- K-quants: a tile of bytes, one 16-byte column per (row group, column) ----
//
// Decoders fill, per group, a byte tile and per-segment (16 columns) scale vectors:
//   w = a[seg] * float(q)            (Q6_K)
//   w = a[seg] * float(q) - b[seg]   (Q4_K, Q5_K)
// with a and b formed exactly as the block decoders form them. Column j of segment e
// lives at tile + base(e) + 64 * j.

// Q4_K and Q5_K share the scale field and the nibble layout; Q5_K adds a fifth bit.
template <bool kFive>
struct QkDec {
  static constexpr int kCols = 256;
  static constexpr int kTile = 4096;
  static constexpr int kScales = 8;
  static constexpr bool kSigned = false, kMin = true;
  static constexpr size_t kBlock = kFive ? 176 : 144;  // bytes
  static constexpr size_t kQs = kFive ? 48 : 16;
  // Column 64g + 32h + 16l + j (nibble h of byte 32g + 16l + j) lands in the transpose
  // of byte chunk g/2, lane 2(g%2) + l.
  static int base(int e) { return 2048 * (e >> 3) + 1024 * ((e >> 1) & 1) + 32 * ((e >> 2) & 1) + 16 * (e & 1); }
  static int scale(int e) { return e >> 1; }

  KS_AVX512 static void decode(const Group& g, size_t step, uint8_t* tile, float* a, float* b) {
    const size_t off = step * kBlock;
    // Bytes 0-3 are d and dmin, 4-15 the packed scales: transposed, s[c] lane i is
    // byte c of row i's block.
    __m128i s[16];
    gather_bytes16(g, off, s);
    const __m512 vd = halves16(s[0], s[1]);
    const __m512 vdmin = halves16(s[2], s[3]);
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      __m128i sc, mn;
      k_scale_min16(j, s + 4, sc, mn);
      _mm512_store_ps(a + 16 * j, _mm512_mul_ps(vd, _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(sc))));
      _mm512_store_ps(b + 16 * j, _mm512_mul_ps(vdmin, _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(mn))));
    }

    __m512i qh[16];
    if constexpr (kFive) {
#pragma GCC unroll 16
      for (int i = 0; i < kLanes; ++i) {
        qh[i] = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.p[i] + off + 16)));
      }
      transpose_bytes(qh);  // qh[j] lanes 0, 1: qh bytes j, 16 + j
    }
    const __m512i low4 = _mm512_set1_epi8(15);
    const __m512i bit4 = _mm512_set1_epi8(16);
#pragma GCC unroll 16
    for (int hh = 0; hh < 2; ++hh) {
      __m512i r[16];
#pragma GCC unroll 16
      for (int i = 0; i < kLanes; ++i) r[i] = _mm512_loadu_si512(g.p[i] + off + kQs + 64 * hh);
      transpose_bytes(r);
      // Lanes 0, 1 are group 2hh (qh bits 4hh, 4hh + 1), lanes 2, 3 group 2hh + 1.
      const __m512i shift = _mm512_set_epi64(4 * hh + 2, 4 * hh + 2, 4 * hh + 2, 4 * hh + 2, 4 * hh, 4 * hh, 4 * hh, 4 * hh);
      const __m512i shift16 = _mm512_or_si512(shift, _mm512_slli_epi64(shift, 16));
      const __m512i shift_w = _mm512_or_si512(shift16, _mm512_slli_epi64(shift16, 32));
#pragma GCC unroll 16
      for (int j = 0; j < 16; ++j) {
        __m512i lo = _mm512_and_si512(r[j], low4);
        __m512i hi = _mm512_and_si512(_mm512_srli_epi16(r[j], 4), low4);
        if constexpr (kFive) {
          const __m512i h = _mm512_srlv_epi16(_mm512_shuffle_i64x2(qh[j], qh[j], 0x44), shift_w);
          lo = _mm512_or_si512(lo, _mm512_and_si512(_mm512_slli_epi16(h, 4), bit4));
          hi = _mm512_or_si512(hi, _mm512_and_si512(_mm512_slli_epi16(h, 3), bit4));
        }
        _mm512_store_si512(tile + 2048 * hh + 64 * j, lo);
        _mm512_store_si512(tile + 2048 * hh + 1024 + 64 * j, hi);
      }
    }
  }
};

struct Q6Dec {
  static constexpr int kCols = 256;
  static constexpr size_t kBlock = 210;
  static constexpr int kTile = 4096;
  static constexpr int kScales = 16;
  static constexpr bool kSigned = true, kMin = false;
  // Column 128h + 64k + 16L + j: quarter k of half h, lane L of ql's transpose.
  static int base(int e) { return 1024 * (e >> 2) + 16 * (e & 3); }
  static int scale(int e) { return e; }

  KS_AVX512 static void decode(const Group& g, size_t step, uint8_t* tile, float* a, float*) {
    const size_t off = step * kBlock;
    // Bytes 192-207 are the scales, 208-209 d.
    __m128i sc[16], tail[16];
    gather_bytes16(g, off + 192, sc);
    gather_bytes16(g, off + 194, tail);  // the last 16 bytes of the block; d is bytes 14, 15
    const __m512 vd = halves16(tail[14], tail[15]);
#pragma GCC unroll 16
    for (int j = 0; j < 16; ++j) {
      _mm512_store_ps(a + 16 * j, _mm512_mul_ps(vd, _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(sc[j]))));
    }
    __m512i qh[16];
#pragma GCC unroll 16
    for (int i = 0; i < kLanes; ++i) {
      // Both halves' qh (64 bytes): lanes 0, 1 half 0, lanes 2, 3 half 1.
      qh[i] = _mm512_loadu_si512(g.p[i] + off + 128);
    }
    transpose_bytes(qh);
    const __m512i low4 = _mm512_set1_epi8(15);
    const __m512i two_bits = _mm512_set1_epi8(0x30);
    const __m512i bias = _mm512_set1_epi8(32);
    // Quarters 0/1 (lanes 0-1 / 2-3) take qh bits 0-1 / 2-3, quarters 2/3 bits 4-5 / 6-7.
    const __m512i shift_lo = _mm512_set_epi16(2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i shift_hi = _mm512_add_epi16(shift_lo, _mm512_set1_epi16(4));
#pragma GCC unroll 16
    for (int h = 0; h < 2; ++h) {
      __m512i r[16];
#pragma GCC unroll 16
      for (int i = 0; i < kLanes; ++i) r[i] = _mm512_loadu_si512(g.p[i] + off + 64 * h);
      transpose_bytes(r);
#pragma GCC unroll 16
      for (int j = 0; j < 16; ++j) {
        const __m512i q = h == 0 ? _mm512_shuffle_i64x2(qh[j], qh[j], 0x44) : _mm512_shuffle_i64x2(qh[j], qh[j], 0xee);
        const __m512i bl = _mm512_and_si512(_mm512_slli_epi16(_mm512_srlv_epi16(q, shift_lo), 4), two_bits);
        const __m512i bh = _mm512_and_si512(_mm512_slli_epi16(_mm512_srlv_epi16(q, shift_hi), 4), two_bits);
        const __m512i lo = _mm512_or_si512(_mm512_and_si512(r[j], low4), bl);
        const __m512i hi = _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi16(r[j], 4), low4), bh);
        _mm512_store_si512(tile + 2048 * h + 64 * j, _mm512_sub_epi8(lo, bias));
        _mm512_store_si512(tile + 2048 * h + 1024 + 64 * j, _mm512_sub_epi8(hi, bias));
      }
    }
  }
};

// The 16 columns of segment e for every group; each group's sum is one chain.
template <class D, int V, int C>
KS_AVX512_INLINE void accumulate(const Group* groups, size_t off, const uint8_t* tile, const float* a, const float* b,
                                 const float* const* x, size_t c0, int cols, __m512* acc) {
  const int segments = (cols + 15) / 16;
  for (int e = 0; e < segments; ++e) {
    prefetch_part<V>(groups, off, D::kBlock, e, segments);
    const int n = cols - 16 * e < 16 ? cols - 16 * e : 16;
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      const __m512 va = _mm512_load_ps(a + 16 * (v * D::kScales + D::scale(e)));
      const __m512 vb = D::kMin ? _mm512_load_ps(b + 16 * (v * D::kScales + D::scale(e))) : _mm512_setzero_ps();
      const uint8_t* col = tile + v * D::kTile + D::base(e);
#pragma GCC unroll 4
      for (int j = 0; j < n; ++j) {
        const __m128i raw = _mm_load_si128(reinterpret_cast<const __m128i*>(col + 64 * j));
        const __m512 q = _mm512_cvtepi32_ps(D::kSigned ? _mm512_cvtepi8_epi32(raw) : _mm512_cvtepu8_epi32(raw));
        __m512 w = _mm512_mul_ps(va, q);
        if constexpr (D::kMin) w = _mm512_sub_ps(w, vb);
#pragma GCC unroll 4
        for (int cx = 0; cx < C; ++cx) {
          acc[v * C + cx] =
              _mm512_add_ps(acc[v * C + cx], _mm512_mul_ps(w, _mm512_set1_ps(x[cx][c0 + 16 * e + j])));
        }
      }
    }
  }
}

template <class D, int V, int C>
KS_AVX512 void quant_tile(const Group* groups, const float* const* x, size_t n, __m512* out) {
  __m512 acc[V * C];
#pragma GCC unroll 16
  for (int v = 0; v < V * C; ++v) acc[v] = _mm512_setzero_ps();
  alignas(64) uint8_t tile[V * D::kTile];
  alignas(64) float a[V * D::kScales * 16];
  alignas(64) float b[V * D::kScales * 16];
  const size_t steps = (n + D::kCols - 1) / D::kCols;
  for (size_t s = 0; s < steps; ++s) {
    const size_t c0 = s * D::kCols;
    const int cols = static_cast<int>(n - c0 < size_t(D::kCols) ? n - c0 : size_t(D::kCols));
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) {
      D::decode(groups[v], s, tile + v * D::kTile, a + v * D::kScales * 16, b + v * D::kScales * 16);
    }
    accumulate<D, V, C>(groups, s * D::kBlock, tile, a, b, x, c0, cols, acc);
  }
#pragma GCC unroll 16
  for (int v = 0; v < V * C; ++v) out[v] = acc[v];
}

// ---- Q8_0: the raw byte stream of 16 blocks (544 bytes, 9 pieces of 64) transposed at
// once, so each block's d comes out of the tile like its values do ----

constexpr int kQ8Blocks = 16;
constexpr int kQ8Pieces = 9;
constexpr int kQ8Tile = kQ8Pieces * 1024;

// Tile offset of byte p of the stream: piece p/64, register p%16, lane (p/16)%4.
constexpr int stream_offset(int p) { return 1024 * (p >> 6) + 64 * (p & 15) + 16 * ((p >> 4) & 3); }

struct Q8Offsets {
  uint16_t col[kQ8Blocks][32];
  uint16_t d[kQ8Blocks][2];
};
constexpr Q8Offsets make_q8_offsets() {
  Q8Offsets o{};
  for (int k = 0; k < kQ8Blocks; ++k) {
    for (int c = 0; c < 32; ++c) o.col[k][c] = uint16_t(stream_offset(34 * k + 2 + c));
    o.d[k][0] = uint16_t(stream_offset(34 * k));
    o.d[k][1] = uint16_t(stream_offset(34 * k + 1));
  }
  return o;
}
constexpr Q8Offsets kQ8 = make_q8_offsets();

// Transposes `bytes` bytes from offset `off` of each row of the group into the tile.
KS_AVX512_INLINE void transpose_stream(const Group& g, size_t off, int bytes, uint8_t* tile) {
  for (int m = 0; 64 * m < bytes; ++m) {
    const int left = bytes - 64 * m;
    __m512i r[16];
    if (left >= 64) {
#pragma GCC unroll 16
      for (int i = 0; i < kLanes; ++i) r[i] = _mm512_loadu_si512(g.p[i] + off + 64 * m);
    } else {
      // The end of the rows: read no byte past the last block.
      const __mmask64 mask = (__mmask64(1) << left) - 1;
#pragma GCC unroll 16
      for (int i = 0; i < kLanes; ++i) r[i] = _mm512_maskz_loadu_epi8(mask, g.p[i] + off + 64 * m);
    }
    transpose_bytes(r);
#pragma GCC unroll 16
    for (int j = 0; j < 16; ++j) _mm512_store_si512(tile + 1024 * m + 64 * j, r[j]);
  }
}

template <int V, int C>
KS_AVX512 void q8_0_tile(const Group* groups, const float* const* x, size_t n, __m512* out) {
  __m512 acc[V * C];
  for (int v = 0; v < V * C; ++v) acc[v] = _mm512_setzero_ps();
  alignas(64) uint8_t tile[V * kQ8Tile];
  const size_t blocks = (n + 31) / 32;
  for (size_t b0 = 0; b0 < blocks; b0 += kQ8Blocks) {
    const int nb = static_cast<int>(blocks - b0 < size_t(kQ8Blocks) ? blocks - b0 : size_t(kQ8Blocks));
    for (int v = 0; v < V; ++v) transpose_stream(groups[v], b0 * 34, 34 * nb, tile + v * kQ8Tile);
    for (int k = 0; k < nb; ++k) {
      const size_t c0 = (b0 + size_t(k)) * 32;
      const int cols = static_cast<int>(n - c0 < 32 ? n - c0 : 32);
      const uint16_t* offs = kQ8.col[k];
      prefetch_part<V>(groups, b0 * 34, size_t(34 * nb), k, nb);
      __m512 d[V];
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        const uint8_t* t = tile + v * kQ8Tile;
        const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(t + kQ8.d[k][0]));
        const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(t + kQ8.d[k][1]));
        d[v] = _mm512_cvtph_ps(_mm256_set_m128i(_mm_unpackhi_epi8(lo, hi), _mm_unpacklo_epi8(lo, hi)));
      }
      // Groups interleaved per column: V independent sums hide the add latency.
#pragma GCC unroll 2
      for (int c = 0; c < cols; ++c) {
        __m512 xc[C];
#pragma GCC unroll 4
        for (int cx = 0; cx < C; ++cx) xc[cx] = _mm512_set1_ps(x[cx][c0 + c]);
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) {
          const __m128i raw = _mm_load_si128(reinterpret_cast<const __m128i*>(tile + v * kQ8Tile + offs[c]));
          const __m512 w = _mm512_mul_ps(d[v], _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(raw)));
#pragma GCC unroll 4
          for (int cx = 0; cx < C; ++cx) acc[v * C + cx] = _mm512_add_ps(acc[v * C + cx], _mm512_mul_ps(w, xc[cx]));
        }
      }
    }
  }
  for (int v = 0; v < V * C; ++v) out[v] = acc[v];
}

// ---- F16: halves transposed so that a column of 16 rows is 32 contiguous bytes ----

KS_AVX512_INLINE void transpose_halves(__m512i r[16]) {
  __m512i t[16], u[16];
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) {
    t[i] = _mm512_unpacklo_epi16(r[2 * i], r[2 * i + 1]);
    t[i + 8] = _mm512_unpackhi_epi16(r[2 * i], r[2 * i + 1]);
  }
  // t[i + 8h]: dword k = column 4h + k of rows 2i, 2i + 1.
#pragma GCC unroll 16
  for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 16
    for (int j = 0; j < 4; ++j) {
      u[j + 8 * h] = _mm512_unpacklo_epi32(t[2 * j + 8 * h], t[2 * j + 1 + 8 * h]);
      u[j + 4 + 8 * h] = _mm512_unpackhi_epi32(t[2 * j + 8 * h], t[2 * j + 1 + 8 * h]);
    }
  }
  // u[j + 4q]: qword k = column 2q + k of rows 4j..4j + 3.
#pragma GCC unroll 16
  for (int q = 0; q < 4; ++q) {
#pragma GCC unroll 16
    for (int m = 0; m < 2; ++m) {
      t[m + 4 * q] = _mm512_unpacklo_epi64(u[2 * m + 4 * q], u[2 * m + 1 + 4 * q]);
      t[m + 4 * q + 2] = _mm512_unpackhi_epi64(u[2 * m + 4 * q], u[2 * m + 1 + 4 * q]);
    }
  }
  // t[m + 2c]: lane L = column 8L + c of rows 8m..8m + 7. Pair the two row halves.
  const __m512i lo = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
  const __m512i hi = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
#pragma GCC unroll 16
  for (int c = 0; c < 8; ++c) {
    r[2 * c] = _mm512_permutex2var_epi64(t[2 * c], lo, t[2 * c + 1]);      // columns c, 8 + c
    r[2 * c + 1] = _mm512_permutex2var_epi64(t[2 * c], hi, t[2 * c + 1]);  // columns 16 + c, 24 + c
  }
}

template <int V, int C>
KS_AVX512 void f16_tile(const Group* groups, const float* const* x, size_t n, __m512* out) {
  __m512 acc[V * C];
#pragma GCC unroll 16
  for (int v = 0; v < V * C; ++v) acc[v] = _mm512_setzero_ps();
  alignas(64) uint8_t tile[V * 1024];
  for (size_t c0 = 0; c0 < n; c0 += 32) {
    const int cols = static_cast<int>(n - c0 < 32 ? n - c0 : 32);
    const __mmask32 mask = cols == 32 ? ~__mmask32(0) : (__mmask32(1) << cols) - 1;
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) {
      __m512i r[16];
      prefetch_part<1>(groups + v, 2 * c0, 64, 0, 1);
#pragma GCC unroll 16
      for (int i = 0; i < kLanes; ++i) r[i] = _mm512_maskz_loadu_epi16(mask, groups[v].p[i] + 2 * c0);
      transpose_halves(r);
#pragma GCC unroll 16
      for (int k = 0; k < 16; ++k) _mm512_store_si512(tile + v * 1024 + 64 * k, r[k]);
    }
    // Column 8L + c sits at 128c + 32L.
    for (int c = 0; c < cols; ++c) {
      __m512 xc[C];
#pragma GCC unroll 4
      for (int cx = 0; cx < C; ++cx) xc[cx] = _mm512_set1_ps(x[cx][c0 + c]);
      const int off = 128 * (c & 7) + 32 * (c >> 3);
#pragma GCC unroll 16
      for (int v = 0; v < V; ++v) {
        const __m512 w = _mm512_cvtph_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(tile + v * 1024 + off)));
#pragma GCC unroll 4
        for (int cx = 0; cx < C; ++cx) acc[v * C + cx] = _mm512_add_ps(acc[v * C + cx], _mm512_mul_ps(w, xc[cx]));
      }
    }
  }
#pragma GCC unroll 16
  for (int v = 0; v < V * C; ++v) out[v] = acc[v];
}

// ---- F32: a 16x16 float transpose consumed straight from registers ----

template <int V, int C>
KS_AVX512 void f32_tile(const Group* groups, const float* const* x, size_t n, __m512* out) {
  __m512 acc[V * C];
#pragma GCC unroll 16
  for (int v = 0; v < V * C; ++v) acc[v] = _mm512_setzero_ps();
  for (size_t c0 = 0; c0 < n; c0 += 16) {
    const int cols = static_cast<int>(n - c0 < 16 ? n - c0 : 16);
    const __mmask16 mask = cols == 16 ? __mmask16(0xffff) : __mmask16((1u << cols) - 1);
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) {
      __m512 r[16], t[16];
      prefetch_part<1>(groups + v, 4 * c0, 64, 0, 1);
#pragma GCC unroll 16
      for (int i = 0; i < kLanes; ++i) r[i] = _mm512_maskz_loadu_ps(mask, groups[v].p[i] + 4 * c0);
#pragma GCC unroll 16
      for (int i = 0; i < 8; ++i) {
        t[i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
        t[i + 8] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
      }
      // t[i + 8h]: qword k of lane L = column 4L + 2h + k of rows 2i, 2i + 1.
#pragma GCC unroll 16
      for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 16
        for (int j = 0; j < 4; ++j) {
          const __m512d a = _mm512_castps_pd(t[2 * j + 8 * h]), b = _mm512_castps_pd(t[2 * j + 1 + 8 * h]);
          r[j + 8 * h] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, b));
          r[j + 4 + 8 * h] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, b));
        }
      }
      // r[j + 4q]: lane L = column 4L + q of rows 4j..4j + 3.
      __m512 col[16];
#pragma GCC unroll 16
      for (int q = 0; q < 4; ++q) {
        const __m512 a = _mm512_shuffle_f32x4(r[4 * q], r[4 * q + 1], 0x44);
        const __m512 b = _mm512_shuffle_f32x4(r[4 * q], r[4 * q + 1], 0xee);
        const __m512 c = _mm512_shuffle_f32x4(r[4 * q + 2], r[4 * q + 3], 0x44);
        const __m512 d = _mm512_shuffle_f32x4(r[4 * q + 2], r[4 * q + 3], 0xee);
        col[q] = _mm512_shuffle_f32x4(a, c, 0x88);
        col[4 + q] = _mm512_shuffle_f32x4(a, c, 0xdd);
        col[8 + q] = _mm512_shuffle_f32x4(b, d, 0x88);
        col[12 + q] = _mm512_shuffle_f32x4(b, d, 0xdd);
      }
      for (int c = 0; c < cols; ++c) {
#pragma GCC unroll 4
        for (int cx = 0; cx < C; ++cx) {
          acc[v * C + cx] =
              _mm512_add_ps(acc[v * C + cx], _mm512_mul_ps(col[c], _mm512_set1_ps(x[cx][c0 + c])));
        }
      }
    }
  }
#pragma GCC unroll 16
  for (int v = 0; v < V * C; ++v) out[v] = acc[v];
}

// ---- driver ----

template <int V, int C>
KS_AVX512 void run_tile(const Rows& m, const float* const* x, size_t n, float* const* y, size_t r0, size_t rows) {
  Group groups[V];
  setup_groups<kLanes, V>(m, r0, rows, groups);
  __m512 acc[V * C];
#pragma GCC unroll 16
  for (int v = 0; v < V * C; ++v) acc[v] = _mm512_setzero_ps();
  // Three groups are only ever asked for Q8_0.
  if constexpr (V == 3) {
    if (m.type == kQ8_0) q8_0_tile<V, C>(groups, x, n, acc);
  } else {
    switch (m.type) {
      case kF32:
        f32_tile<V, C>(groups, x, n, acc);
        break;
      case kF16:
        f16_tile<V, C>(groups, x, n, acc);
        break;
      case kQ8_0:
        q8_0_tile<V, C>(groups, x, n, acc);
        break;
      case kQ4_K:
        quant_tile<QkDec<false>, V, C>(groups, x, n, acc);
        break;
      case kQ5_K:
        quant_tile<QkDec<true>, V, C>(groups, x, n, acc);
        break;
      case kQ6_K:
        quant_tile<Q6Dec, V, C>(groups, x, n, acc);
        break;
      default:
        break;
    }
  }
#pragma GCC unroll 16
  for (int v = 0; v < V; ++v) {
    if (groups[v].valid <= 0) continue;
    const __mmask16 mask = groups[v].valid == kLanes ? __mmask16(0xffff) : __mmask16((1u << groups[v].valid) - 1);
    for (int cx = 0; cx < C; ++cx) _mm512_mask_storeu_ps(y[cx] + r0 + size_t(v) * kLanes, mask, acc[v * C + cx]);
  }
}

// What the shared driver needs of this width.
struct Width {
  static constexpr int kLanes = 16;
  static constexpr int kGroups = 2;
  static constexpr int kQ8Groups = 3;
  template <int V, int C>
  KS_AVX512 static void tile(const Rows& m, const float* const* x, size_t n, float* const* y, size_t r0, size_t rows) {
    run_tile<V, C>(m, x, n, y, r0, rows);
  }
};

}  // namespace

void matvec_avx512(const Rows& m, const float* const* x, int cols, size_t n, float* const* y, size_t rows) {
  run_columns<Width>(m, x, cols, n, y, rows);
}

}  // namespace kestrune::matvec_detail

#endif
