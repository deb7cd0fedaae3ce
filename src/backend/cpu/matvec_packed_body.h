// The packed-layout product kernels, written once over 16-lane vectors and compiled per
// instruction-set level: the including file defines KS_PK_TARGET (a target attribute),
// KS_PK_WIDE (whether a 16-lane vector is one register), KS_PK_NAME (the entry point)
// and KS_PK_HALVES, KS_PK_U8, KS_PK_S8 (16 halves, unsigned or signed bytes at a
// pointer widened to 32-bit lanes), after its own includes.
// Lane i of every vector is row i of a group of 16. Each element is decoded with the
// block decoder's operations in its order, multiplied by x[c] and added to its row's
// sum, columns strictly in order; several groups run side by side to hide the latency
// of the adds.
// 16-lane vectors change the calling convention below AVX-512; they never cross a call
// here, and GCC reports that at the end of the file, so the warning stays off for it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace kestrune::matvec_detail {

namespace {

#define KS_PK_FN KS_PK_TARGET inline __attribute__((always_inline))

typedef float F __attribute__((vector_size(64)));
typedef int32_t I __attribute__((vector_size(64)));

KS_PK_FN I widen_u8(const uint8_t* p) { return KS_PK_U8(p); }

KS_PK_FN F float_s8(const uint8_t* p) { return __builtin_convertvector(KS_PK_S8(p), F); }

KS_PK_FN F to_float(I v) { return __builtin_convertvector(v, F); }

KS_PK_FN F splat(float s) { return F{s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s}; }

// acc[v * C + k] += w[v] * x[k][c], a separate multiply and add.
template <int V, int C>
KS_PK_FN void add_column(const F* w, const float* const* x, size_t c, F* acc) {
#pragma GCC unroll 4
  for (int k = 0; k < C; ++k) {
    const F xc = splat(x[k][c]);
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) acc[v * C + k] = acc[v * C + k] + w[v] * xc;
  }
}

struct Q8 {
  static constexpr size_t kCols = 32, kBytes = 544;
  template <int V, int C>
  KS_PK_FN static void block(const uint8_t* const* k, const float* const* x, size_t c0, F* acc) {
    F d[V];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) d[v] = KS_PK_HALVES(k[v]);
#pragma GCC unroll 2
    for (size_t c = 0; c < 32; ++c) {
      F w[V];
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) w[v] = d[v] * float_s8(k[v] + 32 + 16 * c);
      add_column<V, C>(w, x, c0 + c, acc);
    }
  }
};

// Q4_K and Q5_K: w = (d * sc) * q - dmin * m per sub-block of 32; Q5_K adds bit s of qh
// as the fifth bit of sub-block s.
template <bool kFive>
struct QK {
  static constexpr size_t kCols = 256, kBytes = kFive ? 2880 : 2368, kQs = kFive ? 832 : 320;
  template <int V, int C>
  KS_PK_FN static void block(const uint8_t* const* k, const float* const* x, size_t c0, F* acc) {
    F a[V][8], m[V][8];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      const F d = KS_PK_HALVES(k[v]), dmin = KS_PK_HALVES(k[v] + 32);
#pragma GCC unroll 8
      for (int s = 0; s < 8; ++s) {
        a[v][s] = d * to_float(widen_u8(k[v] + 64 + 16 * s));
        m[v][s] = dmin * to_float(widen_u8(k[v] + 192 + 16 * s));
      }
    }
#pragma GCC unroll 8
    for (int s = 0; s < 8; ++s) {
      const size_t bytes = 16 * 32 * size_t(s / 2);
      for (size_t l = 0; l < 32; ++l) {
        F w[V];
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
          const I raw = widen_u8(k[v] + kQs + bytes + 16 * l);
          I q = (s & 1) ? raw >> 4 : raw & 15;
          if constexpr (kFive) q = q | (((widen_u8(k[v] + 320 + 16 * l) >> s) & 1) << 4);
          w[v] = a[v][s] * to_float(q) - m[v][s];
        }
        add_column<V, C>(w, x, c0 + 32 * size_t(s) + l, acc);
      }
    }
  }
};

// Q6_K: w = (d * sc) * (q - 32) per segment of 16; column 128h + 32k + l takes its low
// nibble from ql byte 64h + 32(k & 1) + l (the high one when k >= 2) and its top bits
// from bits 2k, 2k + 1 of qh byte 32h + l.
struct Q6 {
  static constexpr size_t kCols = 256, kBytes = 3360;
  template <int V, int C>
  KS_PK_FN static void block(const uint8_t* const* k, const float* const* x, size_t c0, F* acc) {
    F a[V][16];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      const F d = KS_PK_HALVES(k[v]);
#pragma GCC unroll 16
      for (int s = 0; s < 16; ++s) a[v][s] = d * float_s8(k[v] + 32 + 16 * s);
    }
#pragma GCC unroll 8
    for (int hk = 0; hk < 8; ++hk) {
      const int h = hk >> 2, q4 = hk & 3;
      const size_t lo_at = 288 + 16 * size_t(64 * h + 32 * (q4 & 1)), hi_at = 2336 + 16 * size_t(32 * h);
      for (size_t l = 0; l < 32; ++l) {
        const int s = 8 * h + 2 * q4 + int(l / 16);
        F w[V];
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
          const I lo = (widen_u8(k[v] + lo_at + 16 * l) >> (4 * (q4 >> 1))) & 15;
          const I hb = (widen_u8(k[v] + hi_at + 16 * l) >> (2 * q4)) & 3;
          w[v] = a[v][s] * to_float((lo | (hb << 4)) - 32);
        }
        add_column<V, C>(w, x, c0 + 32 * size_t(hk) + l, acc);
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
    D::template block<V, C>(k, x, b * D::kCols, acc);
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

}  // namespace

void KS_PK_NAME(const PackedRows& p, const float* const* x, int cols, float* const* y, size_t r0, size_t r1) {
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

#undef KS_PK_FN

}  // namespace kestrune::matvec_detail
