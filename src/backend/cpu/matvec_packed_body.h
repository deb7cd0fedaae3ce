// The packed-layout product kernels, written once over 16-lane vectors and compiled per
// instruction-set level: included inside an anonymous namespace that already holds,
// for the level, KS_PK_TARGET (a target attribute), KS_PK_FN (the same, inlined),
// KS_PK_WIDE (whether a 16-lane vector is one register), the float and int32 vectors F
// and I with lane access and element-wise arithmetic, widen_u8 / float_s8 / halves
// (16 bytes or halves at a pointer as 32-bit lanes), to_float and splat, and a 64-byte
// vector B with load_b, store_b, splat_b, bitwise and, or, bytewise minus, and shl16 /
// shr16 (shifts of 16-bit lanes). Defines run_packed and decode_group, the bodies of
// matvec_packed_* and packed_group_* at that level.
//
// Lane i of every vector is row i of a group of 16. Each element is decoded with the
// block decoder's operations in its order, multiplied by x[c] and added to its row's
// sum, columns strictly in order; several groups run side by side to hide the latency
// of the adds.
#pragma once

// A block decoder hands each column's weights, w[v] for group v, to a sink.

// acc[v * C + k] += w[v] * x[k][c], a separate multiply and add. Each group is one
// stream, but the hardware's prefetch stops at every 4 KiB page: the first columns of
// a block each ask for one line of the block kAhead blocks on (`next`, one pointer per
// group), spreading the requests over the block's work. Prefetches never fault, even
// past the end.
constexpr size_t kAhead = 2;

template <int V, int C, size_t kCols, size_t kBytes>
struct Accumulate {
  const float* const* x;
  F* acc;
  const uint8_t* const* next;
  KS_PK_FN void operator()(const F* w, size_t c) const {
    constexpr size_t kLines = (kBytes + 63) / 64;
    const size_t line = c % kCols;
    if (line < kLines) {
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) __builtin_prefetch(next[v] + 64 * line, 0, 3);
    }
#pragma GCC unroll 4
    for (int k = 0; k < C; ++k) {
      const F xc = splat(x[k][c]);
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) acc[v * C + k] = acc[v * C + k] + w[v] * xc;
    }
  }
};

// The weights themselves, column c's 16 rows at out[16c].
struct Store {
  float* out;
  KS_PK_FN void operator()(const F* w, size_t c) const { __builtin_memcpy(out + 16 * c, &w[0], 64); }
};

struct Q8 {
  static constexpr size_t kCols = 32, kBytes = 544;
  template <int V, class Sink>
  KS_PK_FN static void block(const uint8_t* const* k, size_t c0, const Sink& sink) {
    F d[V];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) d[v] = halves(k[v]);
#pragma GCC unroll 2
    for (size_t c = 0; c < 32; ++c) {
      F w[V];
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) w[v] = d[v] * float_s8(k[v] + 32 + 16 * c);
      sink(w, c0 + c);
    }
  }
};

// Q4_K and Q5_K: w = (d * sc) * q - dmin * m per sub-block of 32; Q5_K adds bit s of qh
// as the fifth bit of sub-block s.
template <bool kFive>
struct QK {
  static constexpr size_t kCols = 256, kBytes = kFive ? 2880 : 2368, kQs = kFive ? 832 : 320;
  template <int V, class Sink>
  KS_PK_FN static void block(const uint8_t* const* k, size_t c0, const Sink& sink) {
    F a[V][8], m[V][8];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      const F d = halves(k[v]), dmin = halves(k[v] + 32);
#pragma GCC unroll 8
      for (int s = 0; s < 8; ++s) {
        a[v][s] = d * to_float(widen_u8(k[v] + 64 + 16 * s));
        m[v][s] = dmin * to_float(widen_u8(k[v] + 192 + 16 * s));
      }
    }
    if constexpr (kFive) {
      alignas(64) uint8_t tile[V][4096];
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) assemble(k[v], tile[v]);
#pragma GCC unroll 2
      for (int s = 0; s < 8; ++s) {
        for (size_t l = 0; l < 32; ++l) {
          F w[V];
#pragma GCC unroll 8
          for (int v = 0; v < V; ++v) w[v] = a[v][s] * to_float(widen_u8(tile[v] + 16 * (32 * size_t(s) + l))) - m[v][s];
          sink(w, c0 + 32 * size_t(s) + l);
        }
      }
    } else {
#pragma GCC unroll 8
      for (int s = 0; s < 8; ++s) {
        const size_t bytes = 16 * 32 * size_t(s / 2);
        for (size_t l = 0; l < 32; ++l) {
          F w[V];
#pragma GCC unroll 8
          for (int v = 0; v < V; ++v) {
            const I raw = widen_u8(k[v] + kQs + bytes + 16 * l);
            w[v] = a[v][s] * to_float((s & 1) ? raw >> 4 : raw & 15) - m[v][s];
          }
          sink(w, c0 + 32 * size_t(s) + l);
        }
      }
    }
  }

  // Q5_K's five-bit values, tile[16c + i] for column c of row i, four columns per
  // 64-byte operation: the nibble, and bit s of qh as bit 4 in sub-block s.
  KS_PK_FN static void assemble(const uint8_t* k, uint8_t* tile) {
    const B low4 = splat_b(0x0f), bit4 = splat_b(0x10);
#pragma GCC unroll 8
    for (int s = 0; s < 8; ++s) {
      for (int l0 = 0; l0 < 32; l0 += 4) {
        const B qs = load_b(k + kQs + 16 * (32 * (s / 2) + l0));
        const B qh = load_b(k + 320 + 16 * l0);
        const B nib = (s & 1 ? shr16(qs, 4) : qs) & low4;
        const B top = (s < 4 ? shl16(qh, 4 - s) : shr16(qh, s - 4)) & bit4;
        store_b(tile + 16 * (32 * s + l0), nib | top);
      }
    }
  }
};

// Q6_K: w = (d * sc) * (q - 32) per segment of 16; column 128h + 32k + l takes its low
// nibble from ql byte 64h + 32(k & 1) + l (the high one when k >= 2) and its top bits
// from bits 2k, 2k + 1 of qh byte 32h + l. The six-bit values of a block are first
// assembled as q - 32 bytes, four columns per 64-byte operation, into a tile laid out
// like Q8_0's values.
struct Q6 {
  static constexpr size_t kCols = 256, kBytes = 3360;

  // tile[16c + i] = q - 32 of column c, row i.
  KS_PK_FN static void assemble(const uint8_t* k, uint8_t* tile) {
    const B low4 = splat_b(0x0f), top2 = splat_b(0x30), bias = splat_b(32);
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 2
      for (int kk = 0; kk < 2; ++kk) {
        for (int l0 = 0; l0 < 32; l0 += 4) {
          const B ql = load_b(k + 288 + 16 * (64 * h + 32 * kk + l0));
          const B qh = load_b(k + 2336 + 16 * (32 * h + l0));
          // Bits 2k, 2k + 1 of qh to bits 4, 5: k = kk and k = kk + 2.
          const B lo_top = (kk == 0 ? shl16(qh, 4) : shl16(qh, 2)) & top2;
          const B hi_top = (kk == 0 ? qh : shr16(qh, 2)) & top2;
          store_b(tile + 16 * (128 * h + 32 * kk + l0), ((ql & low4) | lo_top) - bias);
          store_b(tile + 16 * (128 * h + 32 * (kk + 2) + l0), ((shr16(ql, 4) & low4) | hi_top) - bias);
        }
      }
    }
  }

  template <int V, class Sink>
  KS_PK_FN static void block(const uint8_t* const* k, size_t c0, const Sink& sink) {
    alignas(64) uint8_t tile[V][4096];
    F a[V][16];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      const F d = halves(k[v]);
#pragma GCC unroll 16
      for (int s = 0; s < 16; ++s) a[v][s] = d * float_s8(k[v] + 32 + 16 * s);
      assemble(k[v], tile[v]);
    }
#pragma GCC unroll 2
    for (int s = 0; s < 16; ++s) {
      for (size_t j = 0; j < 16; ++j) {
        const size_t c = 16 * size_t(s) + j;
        F w[V];
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) w[v] = a[v][s] * float_s8(tile[v] + 16 * c);
        sink(w, c0 + c);
      }
    }
  }
};

// Groups g0 .. g0 + V - 1 of the rows; outputs for rows [r0, r1) only, y[k][r - r0].
template <class D, int V, int C>
KS_PK_TARGET void groups(const PackedRows& p, const float* const* x, float* const* y, size_t g0, size_t r0,
                         size_t r1) {
  F acc[V * C];
#pragma GCC unroll 16
  for (int i = 0; i < V * C; ++i) acc[i] = F{};
  const uint8_t* base[V];
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v) base[v] = p.data + (g0 + size_t(v)) * p.group_bytes;
  const size_t blocks = p.ne0 / D::kCols;
  for (size_t b = 0; b < blocks; ++b) {
    const uint8_t* k[V];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) k[v] = base[v] + b * D::kBytes;
    const uint8_t* next[V];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) next[v] = k[v] + kAhead * D::kBytes;
    D::template block<V>(k, b * D::kCols, Accumulate<V, C, D::kCols, D::kBytes>{x, acc, next});
  }
  for (int v = 0; v < V; ++v) {
    for (int i = 0; i < 16; ++i) {
      const size_t r = (g0 + size_t(v)) * 16 + size_t(i);
      if (r < r0 || r >= r1) continue;
      for (int c = 0; c < C; ++c) y[c][r - r0] = acc[v * C + c][i];
    }
  }
}

// Groups in flight: enough independent sums to cover the add latency, few enough that
// the sums and weights stay in registers.
template <class D, int C>
constexpr int in_flight() {
  constexpr bool q8 = D::kCols == 32;
  if constexpr (KS_PK_WIDE) return C == 1 ? (q8 ? 8 : 4) : (C == 2 ? (q8 ? 4 : 2) : 2);
  return C == 1 ? (q8 ? 4 : 2) : 1;
}

template <class D, int C>
KS_PK_TARGET void rows_of(const PackedRows& p, const float* const* x, float* const* y, size_t r0, size_t r1) {
  constexpr int V = in_flight<D, C>();
  size_t g = r0 / 16;
  const size_t end = (r1 + 15) / 16;
  for (; g + V <= end; g += V) groups<D, V, C>(p, x, y, g, r0, r1);
  for (; g < end; ++g) groups<D, 1, C>(p, x, y, g, r0, r1);
}

template <class D>
KS_PK_TARGET void columns(const PackedRows& p, const float* const* x, int cols, float* const* y, size_t r0,
                          size_t r1) {
  switch (cols) {
    case 1:
      return rows_of<D, 1>(p, x, y, r0, r1);
    case 2:
      return rows_of<D, 2>(p, x, y, r0, r1);
    case 3:
      return rows_of<D, 3>(p, x, y, r0, r1);
    default:
      return rows_of<D, 4>(p, x, y, r0, r1);
  }
}

template <class D>
KS_PK_TARGET void decode_blocks(const PackedRows& p, size_t g, float* out) {
  const uint8_t* base = p.data + g * p.group_bytes;
  for (size_t b = 0; b * D::kCols < p.ne0; ++b) {
    const uint8_t* k[1] = {base + b * D::kBytes};
    D::template block<1>(k, b * D::kCols, Store{out});
  }
}

KS_PK_TARGET void decode_group(const PackedRows& p, size_t g, float* out) {
  switch (p.type) {
    case kQ8_0:
      return decode_blocks<Q8>(p, g, out);
    case kQ4_K:
      return decode_blocks<QK<false>>(p, g, out);
    case kQ5_K:
      return decode_blocks<QK<true>>(p, g, out);
    case kQ6_K:
      return decode_blocks<Q6>(p, g, out);
    default:
      return;
  }
}

KS_PK_TARGET void run_packed(const PackedRows& p, const float* const* x, int cols, float* const* y, size_t r0,
                             size_t r1) {
  switch (p.type) {
    case kQ8_0:
      return columns<Q8>(p, x, cols, y, r0, r1);
    case kQ4_K:
      return columns<QK<false>>(p, x, cols, y, r0, r1);
    case kQ5_K:
      return columns<QK<true>>(p, x, cols, y, r0, r1);
    case kQ6_K:
      return columns<Q6>(p, x, cols, y, r0, r1);
    default:
      return;
  }
}
