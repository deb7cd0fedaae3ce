// AVX2 kernels: the AVX-512 design at half width. Lane i of a vector is output row i
// of a group of 8 rows; 32-byte pieces of 8 rows are transposed so that one vector
// holds one column, dequantized with the decoder's own operations in its order,
// multiplied by x[c] and added to the row sums, columns strictly in order.
#include "backend/cpu/byte_transpose.h"
#include "backend/cpu/matvec_driver.h"
#include "backend/cpu/matvec_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstring>

#include "quant/types.h"

#define KS_AVX2 __attribute__((target("avx2,f16c")))
#define KS_AVX2_INLINE KS_AVX2 inline __attribute__((always_inline))

namespace kestrune::matvec_detail {

namespace {

constexpr int kLanes = 8;

KS_AVX2_INLINE __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Eight rows of 32 bytes in; afterwards r[m] lane L holds, as two qwords, bytes
// 16L + 2m and 16L + 2m + 1 of rows 0..7. Column c of the piece therefore sits at byte
// 16 * (c & 14) + 16 * (c >> 4) + 8 * (c & 1) once r[m] is stored at 32m.
KS_AVX2_INLINE void transpose_bytes(__m256i r[8]) {
  __m256i t[8], u[8];
#pragma GCC unroll 8
  for (int i = 0; i < 4; ++i) {
    t[i] = _mm256_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
    t[i + 4] = _mm256_unpackhi_epi8(r[2 * i], r[2 * i + 1]);
  }
#pragma GCC unroll 8
  for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 8
    for (int j = 0; j < 2; ++j) {
      u[j + 4 * h] = _mm256_unpacklo_epi16(t[2 * j + 4 * h], t[2 * j + 1 + 4 * h]);
      u[j + 2 + 4 * h] = _mm256_unpackhi_epi16(t[2 * j + 4 * h], t[2 * j + 1 + 4 * h]);
    }
  }
#pragma GCC unroll 8
  for (int q = 0; q < 4; ++q) {
    r[2 * q] = _mm256_unpacklo_epi32(u[2 * q], u[2 * q + 1]);
    r[2 * q + 1] = _mm256_unpackhi_epi32(u[2 * q], u[2 * q + 1]);
  }
}

constexpr int piece_offset(int c) { return 16 * (c & 14) + 16 * (c >> 4) + 8 * (c & 1); }

KS_AVX2_INLINE void store_piece(uint8_t* tile, const __m256i r[8]) {
#pragma GCC unroll 8
  for (int m = 0; m < 8; ++m) _mm256_store_si256(reinterpret_cast<__m256i*>(tile + 32 * m), r[m]);
}

using Group = RowGroup<kLanes>;

// The 16 bytes at `off` of the group's rows, transposed: r[c] byte i is byte c of row i
// (bytes 8-15 are zero).
KS_AVX2_INLINE void gather_bytes16(const Group& g, size_t off, __m128i r[16]) {
#pragma GCC unroll 8
  for (int i = 0; i < kLanes; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.p[i] + off));
#pragma GCC unroll 8
  for (int i = kLanes; i < 16; ++i) r[i] = _mm_setzero_si128();
  transpose_bytes16(r);
}

// Eight halves from their low and high bytes, as floats.
KS_AVX2_INLINE __m256 halves8(__m128i lo, __m128i hi) { return _mm256_cvtph_ps(_mm_unpacklo_epi8(lo, hi)); }

// The next tile's bytes at [off, off + bytes), part `part` of `parts` of its rows, so
// that the requests spread over the computation. Prefetches never fault.
template <int V>
KS_AVX2_INLINE void prefetch_part(const Group* groups, size_t off, size_t bytes, int part, int parts) {
  constexpr int kRows = V * kLanes;
  for (int r = part * kRows / parts; r < (part + 1) * kRows / parts; ++r) {
    const Group& g = groups[r / kLanes];
    const uintptr_t at = reinterpret_cast<uintptr_t>(g.p[r % kLanes]) + g.ahead + off;
    for (size_t b = 0; b < bytes; b += 64) _mm_prefetch(reinterpret_cast<const char*>(at + b), _MM_HINT_T1);
  }
}

// ---- K-quants: a byte tile per group and per-segment (16 columns) scale vectors ----
//   w = a[seg] * float(q)            (Q6_K)
//   w = a[seg] * float(q) - b[seg]   (Q4_K, Q5_K)
// Column 16e + j of a block lives at tile + 256 * (e >> 1) + 16 * (e & 1) + piece_offset(j).

template <bool kFive>
struct QkDec {
  static constexpr int kTile = 2048;
  static constexpr int kScales = 8;
  static constexpr bool kSigned = false, kMin = true;
  static constexpr size_t kBlock = kFive ? 176 : 144;
  static constexpr size_t kQs = kFive ? 48 : 16;
  static int scale(int e) { return e >> 1; }

  KS_AVX2 static void decode(const Group& g, size_t step, uint8_t* tile, float* a, float* b) {
    const size_t off = step * kBlock;
    // Bytes 0-3 are d and dmin, 4-15 the packed scales.
    __m128i s[16];
    gather_bytes16(g, off, s);
    const __m256 vd = halves8(s[0], s[1]);
    const __m256 vdmin = halves8(s[2], s[3]);
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      __m128i sc, mn;
      k_scale_min16(j, s + 4, sc, mn);
      _mm256_store_ps(a + 8 * j, _mm256_mul_ps(vd, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(sc))));
      _mm256_store_ps(b + 8 * j, _mm256_mul_ps(vdmin, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(mn))));
    }
    __m256i qh[8];
    if constexpr (kFive) {
#pragma GCC unroll 8
      for (int i = 0; i < kLanes; ++i) qh[i] = load32(g.p[i] + off + 16);
      transpose_bytes(qh);  // lines up with every group's qs piece
    }
    const __m256i low4 = _mm256_set1_epi8(15);
    const __m256i bit4 = _mm256_set1_epi8(16);
    for (int grp = 0; grp < 4; ++grp) {
      __m256i r[8];
#pragma GCC unroll 8
      for (int i = 0; i < kLanes; ++i) r[i] = load32(g.p[i] + off + kQs + 32 * grp);
      transpose_bytes(r);
      const __m128i s_lo = _mm_cvtsi32_si128(2 * grp), s_hi = _mm_cvtsi32_si128(2 * grp + 1);
#pragma GCC unroll 8
      for (int m = 0; m < 8; ++m) {
        __m256i lo = _mm256_and_si256(r[m], low4);
        __m256i hi = _mm256_and_si256(_mm256_srli_epi16(r[m], 4), low4);
        if constexpr (kFive) {
          lo = _mm256_or_si256(lo, _mm256_and_si256(_mm256_slli_epi16(_mm256_srl_epi16(qh[m], s_lo), 4), bit4));
          hi = _mm256_or_si256(hi, _mm256_and_si256(_mm256_slli_epi16(_mm256_srl_epi16(qh[m], s_hi), 4), bit4));
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(tile + 512 * grp + 32 * m), lo);
        _mm256_store_si256(reinterpret_cast<__m256i*>(tile + 512 * grp + 256 + 32 * m), hi);
      }
    }
  }
};

struct Q6Dec {
  static constexpr int kTile = 2048;
  static constexpr int kScales = 16;
  static constexpr bool kSigned = true, kMin = false;
  static constexpr size_t kBlock = 210;
  static int scale(int e) { return e; }

  KS_AVX2 static void decode(const Group& g, size_t step, uint8_t* tile, float* a, float*) {
    const size_t off = step * kBlock;
    // Bytes 192-207 are the scales, 208-209 d (bytes 14, 15 of the block's last 16).
    __m128i sc[16], tail[16];
    gather_bytes16(g, off + 192, sc);
    gather_bytes16(g, off + 194, tail);
    const __m256 vd = halves8(tail[14], tail[15]);
#pragma GCC unroll 16
    for (int j = 0; j < 16; ++j) {
      _mm256_store_ps(a + 8 * j, _mm256_mul_ps(vd, _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(sc[j]))));
    }
    const __m256i low4 = _mm256_set1_epi8(15);
    const __m256i two_bits = _mm256_set1_epi8(0x30);
    const __m256i bias = _mm256_set1_epi8(32);
    for (int h = 0; h < 2; ++h) {
      __m256i qh[8], ql0[8], ql1[8];
#pragma GCC unroll 8
      for (int i = 0; i < kLanes; ++i) {
        const uint8_t* blk = g.p[i] + off;
        ql0[i] = load32(blk + 64 * h);
        ql1[i] = load32(blk + 64 * h + 32);
        qh[i] = load32(blk + 128 + 32 * h);
      }
      transpose_bytes(ql0);
      transpose_bytes(ql1);
      transpose_bytes(qh);
      uint8_t* t = tile + 1024 * h;
#pragma GCC unroll 8
      for (int m = 0; m < 8; ++m) {
        // Quarter k takes qh bits 2k, 2k + 1; quarters 0, 2 read ql[l], 1, 3 ql[l + 32].
        const __m256i q0 = _mm256_or_si256(_mm256_and_si256(ql0[m], low4),
                                           _mm256_and_si256(_mm256_slli_epi16(qh[m], 4), two_bits));
        const __m256i q1 = _mm256_or_si256(_mm256_and_si256(ql1[m], low4),
                                           _mm256_and_si256(_mm256_slli_epi16(qh[m], 2), two_bits));
        const __m256i q2 = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(ql0[m], 4), low4),
                                           _mm256_and_si256(qh[m], two_bits));
        const __m256i q3 = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(ql1[m], 4), low4),
                                           _mm256_and_si256(_mm256_srli_epi16(qh[m], 2), two_bits));
        _mm256_store_si256(reinterpret_cast<__m256i*>(t + 32 * m), _mm256_sub_epi8(q0, bias));
        _mm256_store_si256(reinterpret_cast<__m256i*>(t + 256 + 32 * m), _mm256_sub_epi8(q1, bias));
        _mm256_store_si256(reinterpret_cast<__m256i*>(t + 512 + 32 * m), _mm256_sub_epi8(q2, bias));
        _mm256_store_si256(reinterpret_cast<__m256i*>(t + 768 + 32 * m), _mm256_sub_epi8(q3, bias));
      }
    }
  }
};

template <class D, int V, int C>
KS_AVX2_INLINE void accumulate(const Group* groups, size_t off, const uint8_t* tile, const float* a, const float* b,
                               const float* const* x, size_t c0, int cols, __m256* acc) {
  const int segments = (cols + 15) / 16;
  for (int e = 0; e < segments; ++e) {
    prefetch_part<V>(groups, off, D::kBlock, e, segments);
    const int n = cols - 16 * e < 16 ? cols - 16 * e : 16;
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      const __m256 va = _mm256_load_ps(a + 8 * (v * D::kScales + D::scale(e)));
      const __m256 vb = D::kMin ? _mm256_load_ps(b + 8 * (v * D::kScales + D::scale(e))) : _mm256_setzero_ps();
      const uint8_t* col = tile + v * D::kTile + 256 * (e >> 1) + 16 * (e & 1);
#pragma GCC unroll 4
      for (int j = 0; j < n; ++j) {
        const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(col + piece_offset(j)));
        const __m256 q = _mm256_cvtepi32_ps(D::kSigned ? _mm256_cvtepi8_epi32(raw) : _mm256_cvtepu8_epi32(raw));
        __m256 w = _mm256_mul_ps(va, q);
        if constexpr (D::kMin) w = _mm256_sub_ps(w, vb);
#pragma GCC unroll 4
        for (int cx = 0; cx < C; ++cx) {
          acc[v * C + cx] =
              _mm256_add_ps(acc[v * C + cx], _mm256_mul_ps(w, _mm256_set1_ps(x[cx][c0 + 16 * e + j])));
        }
      }
    }
  }
}

template <class D, int V, int C>
KS_AVX2 void quant_tile(const Group* groups, const float* const* x, size_t n, __m256* out) {
  __m256 acc[V * C];
  for (int v = 0; v < V * C; ++v) acc[v] = _mm256_setzero_ps();
  alignas(32) uint8_t tile[V * D::kTile];
  alignas(32) float a[V * D::kScales * 8];
  alignas(32) float b[V * D::kScales * 8];
  const size_t steps = (n + 255) / 256;
  for (size_t s = 0; s < steps; ++s) {
    const size_t c0 = s * 256;
    const int cols = static_cast<int>(n - c0 < 256 ? n - c0 : 256);
    for (int v = 0; v < V; ++v) D::decode(groups[v], s, tile + v * D::kTile, a + v * D::kScales * 8, b + v * D::kScales * 8);
    accumulate<D, V, C>(groups, s * D::kBlock, tile, a, b, x, c0, cols, acc);
  }
  for (int v = 0; v < V * C; ++v) out[v] = acc[v];
}

// ---- Q8_0: the raw byte stream of 16 blocks (544 bytes, 17 pieces of 32) transposed at
// once, so each block's d comes out of the tile like its values do ----

constexpr int kQ8Blocks = 16;
constexpr int kQ8Pieces = 17;
constexpr int kQ8Tile = kQ8Pieces * 256;

constexpr int stream_offset(int p) { return 256 * (p >> 5) + piece_offset(p & 31); }

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

KS_AVX2_INLINE void transpose_stream(const Group& g, size_t off, int bytes, uint8_t* tile) {
  for (int m = 0; 32 * m < bytes; ++m) {
    const int left = bytes - 32 * m;
    __m256i r[8];
    if (left >= 32) {
#pragma GCC unroll 8
      for (int i = 0; i < kLanes; ++i) r[i] = load32(g.p[i] + off + 32 * m);
    } else {
      // The end of the rows: read no byte past the last block.
      alignas(32) uint8_t tail[kLanes][32] = {};
      for (int i = 0; i < kLanes; ++i) {
        std::memcpy(tail[i], g.p[i] + off + 32 * m, size_t(left));
        r[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail[i]));
      }
    }
    transpose_bytes(r);
    store_piece(tile + 256 * m, r);
  }
}

template <int V, int C>
KS_AVX2 void q8_0_tile(const Group* groups, const float* const* x, size_t n, __m256* out) {
  __m256 acc[V * C];
  for (int v = 0; v < V * C; ++v) acc[v] = _mm256_setzero_ps();
  alignas(32) uint8_t tile[V * kQ8Tile];
  const size_t blocks = (n + 31) / 32;
  for (size_t b0 = 0; b0 < blocks; b0 += kQ8Blocks) {
    const int nb = static_cast<int>(blocks - b0 < size_t(kQ8Blocks) ? blocks - b0 : size_t(kQ8Blocks));
    for (int v = 0; v < V; ++v) transpose_stream(groups[v], b0 * 34, 34 * nb, tile + v * kQ8Tile);
    for (int k = 0; k < nb; ++k) {
      const size_t c0 = (b0 + size_t(k)) * 32;
      const int cols = static_cast<int>(n - c0 < 32 ? n - c0 : 32);
      const uint16_t* offs = kQ8.col[k];
      prefetch_part<V>(groups, b0 * 34, size_t(34 * nb), k, nb);
      __m256 d[V];
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        const uint8_t* t = tile + v * kQ8Tile;
        const __m128i lo = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + kQ8.d[k][0]));
        const __m128i hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + kQ8.d[k][1]));
        d[v] = _mm256_cvtph_ps(_mm_unpacklo_epi8(lo, hi));
      }
      // Groups interleaved per column: V independent sums hide the add latency.
#pragma GCC unroll 2
      for (int c = 0; c < cols; ++c) {
        __m256 xc[C];
#pragma GCC unroll 4
        for (int cx = 0; cx < C; ++cx) xc[cx] = _mm256_set1_ps(x[cx][c0 + c]);
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) {
          const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(tile + v * kQ8Tile + offs[c]));
          const __m256 w = _mm256_mul_ps(d[v], _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(raw)));
#pragma GCC unroll 4
          for (int cx = 0; cx < C; ++cx) acc[v * C + cx] = _mm256_add_ps(acc[v * C + cx], _mm256_mul_ps(w, xc[cx]));
        }
      }
    }
  }
  for (int v = 0; v < V * C; ++v) out[v] = acc[v];
}

// Loads 32 bytes of each row at `off`, or the `bytes` < 32 left of it, zero-padded.
KS_AVX2_INLINE void load_rows(const Group& g, size_t off, size_t bytes, __m256i r[8]) {
  if (bytes >= 32) {
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) r[i] = load32(g.p[i] + off);
    return;
  }
  alignas(32) uint8_t tail[kLanes][32] = {};
  for (int i = 0; i < kLanes; ++i) {
    std::memcpy(tail[i], g.p[i] + off, bytes);
    r[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail[i]));
  }
}

// ---- F16: 8 rows of 16 halves transposed so that a column is 16 contiguous bytes ----

template <int V, int C>
KS_AVX2 void f16_tile(const Group* groups, const float* const* x, size_t n, __m256* out) {
  __m256 acc[V * C];
  for (int v = 0; v < V * C; ++v) acc[v] = _mm256_setzero_ps();
  alignas(32) uint8_t tile[V * 256];
  for (size_t c0 = 0; c0 < n; c0 += 16) {
    const int cols = static_cast<int>(n - c0 < 16 ? n - c0 : 16);
    for (int v = 0; v < V; ++v) {
      prefetch_part<1>(groups + v, 2 * c0, 32, 0, 1);
      __m256i r[8], t[8];
      load_rows(groups[v], 2 * c0, 2 * size_t(cols), r);
#pragma GCC unroll 8
      for (int i = 0; i < 4; ++i) {
        t[i] = _mm256_unpacklo_epi16(r[2 * i], r[2 * i + 1]);
        t[i + 4] = _mm256_unpackhi_epi16(r[2 * i], r[2 * i + 1]);
      }
      // t[i + 4h]: dword k of lane L = column 8L + 4h + k of rows 2i, 2i + 1.
#pragma GCC unroll 8
      for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 8
        for (int j = 0; j < 2; ++j) {
          r[j + 4 * h] = _mm256_unpacklo_epi32(t[2 * j + 4 * h], t[2 * j + 1 + 4 * h]);
          r[j + 2 + 4 * h] = _mm256_unpackhi_epi32(t[2 * j + 4 * h], t[2 * j + 1 + 4 * h]);
        }
      }
      // r[j + 2q]: qword k of lane L = column 8L + 2q + k of rows 4j..4j + 3.
#pragma GCC unroll 8
      for (int q = 0; q < 4; ++q) {
        const __m256i lo = _mm256_unpacklo_epi64(r[2 * q], r[2 * q + 1]);
        const __m256i hi = _mm256_unpackhi_epi64(r[2 * q], r[2 * q + 1]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(tile + v * 256 + 32 * (2 * q)), lo);
        _mm256_store_si256(reinterpret_cast<__m256i*>(tile + v * 256 + 32 * (2 * q + 1)), hi);
      }
    }
    // Column 8L + c sits at 32c + 16L.
    for (int c = 0; c < cols; ++c) {
      __m256 xc[C];
#pragma GCC unroll 4
      for (int cx = 0; cx < C; ++cx) xc[cx] = _mm256_set1_ps(x[cx][c0 + c]);
      const int off = 32 * (c & 7) + 16 * (c >> 3);
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        const __m256 w = _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(tile + v * 256 + off)));
#pragma GCC unroll 4
        for (int cx = 0; cx < C; ++cx) acc[v * C + cx] = _mm256_add_ps(acc[v * C + cx], _mm256_mul_ps(w, xc[cx]));
      }
    }
  }
  for (int v = 0; v < V * C; ++v) out[v] = acc[v];
}

// ---- F32: an 8x8 float transpose consumed straight from registers ----

template <int V, int C>
KS_AVX2 void f32_tile(const Group* groups, const float* const* x, size_t n, __m256* out) {
  __m256 acc[V * C];
  for (int v = 0; v < V * C; ++v) acc[v] = _mm256_setzero_ps();
  for (size_t c0 = 0; c0 < n; c0 += 8) {
    const int cols = static_cast<int>(n - c0 < 8 ? n - c0 : 8);
    for (int v = 0; v < V; ++v) {
      prefetch_part<1>(groups + v, 4 * c0, 32, 0, 1);
      __m256i raw[8];
      load_rows(groups[v], 4 * c0, 4 * size_t(cols), raw);
      __m256 r[8], t[8];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) r[i] = _mm256_castsi256_ps(raw[i]);
#pragma GCC unroll 8
      for (int i = 0; i < 4; ++i) {
        t[i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
        t[i + 4] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
      }
      // t[i + 4h]: qword k of lane L = column 4L + 2h + k of rows 2i, 2i + 1.
#pragma GCC unroll 8
      for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 8
        for (int j = 0; j < 2; ++j) {
          const __m256d a = _mm256_castps_pd(t[2 * j + 4 * h]), b = _mm256_castps_pd(t[2 * j + 1 + 4 * h]);
          r[j + 4 * h] = _mm256_castpd_ps(_mm256_unpacklo_pd(a, b));
          r[j + 2 + 4 * h] = _mm256_castpd_ps(_mm256_unpackhi_pd(a, b));
        }
      }
      // r[j + 2q]: lane L = column 4L + q of rows 4j..4j + 3.
      __m256 col[8];
#pragma GCC unroll 8
      for (int q = 0; q < 4; ++q) {
        col[q] = _mm256_permute2f128_ps(r[2 * q], r[2 * q + 1], 0x20);
        col[4 + q] = _mm256_permute2f128_ps(r[2 * q], r[2 * q + 1], 0x31);
      }
      for (int c = 0; c < cols; ++c) {
#pragma GCC unroll 4
        for (int cx = 0; cx < C; ++cx) {
          acc[v * C + cx] =
              _mm256_add_ps(acc[v * C + cx], _mm256_mul_ps(col[c], _mm256_set1_ps(x[cx][c0 + c])));
        }
      }
    }
  }
  for (int v = 0; v < V * C; ++v) out[v] = acc[v];
}

// ---- driver ----

template <int V, int C>
KS_AVX2 void run_tile(const Rows& m, const float* const* x, size_t n, float* const* y, size_t r0, size_t rows) {
  Group groups[V];
  setup_groups<kLanes, V>(m, r0, rows, groups);
  __m256 acc[V * C];
  for (int v = 0; v < V * C; ++v) acc[v] = _mm256_setzero_ps();
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
  for (int v = 0; v < V; ++v) {
    if (groups[v].valid <= 0) continue;
    for (int cx = 0; cx < C; ++cx) {
      alignas(32) float lanes[kLanes];
      _mm256_store_ps(lanes, acc[v * C + cx]);
      std::memcpy(y[cx] + r0 + size_t(v) * kLanes, lanes, sizeof(float) * size_t(groups[v].valid));
    }
  }
}

// What the shared driver needs of this width.
struct Width {
  static constexpr int kLanes = 8;
  static constexpr int kGroups = 2;
  static constexpr int kQ8Groups = 2;
  template <int V, int C>
  KS_AVX2 static void tile(const Rows& m, const float* const* x, size_t n, float* const* y, size_t r0, size_t rows) {
    run_tile<V, C>(m, x, n, y, r0, rows);
  }
};

}  // namespace

void matvec_avx2(const Rows& m, const float* const* x, int cols, size_t n, float* const* y, size_t rows) {
  run_columns<Width>(m, x, cols, n, y, rows);
}

}  // namespace kestrune::matvec_detail

#endif
