// What one lane of a product kernel owns in a quantized block and how it turns those
// bytes into values: shared by the device kernels and by the host tests, so that every
// per-element value is the block decoder's, bit for bit, on the device as well (the
// kernels build with --fmad=false, so no step is contracted). Only the summation order
// is the kernels' own.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__CUDACC__)
#define KS_HD __host__ __device__ __forceinline__
#define KS_UNROLL _Pragma("unroll")
#else
#define KS_HD inline
#define KS_UNROLL
#endif

namespace kestrune::lanes {

inline constexpr int kWarp = 32;
inline constexpr int kSuper = 256;  // elements of a K-quant superblock

KS_HD float bits_to_float(uint32_t u) {
#if defined(__CUDA_ARCH__)
  return __uint_as_float(u);
#else
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
#endif
}

KS_HD uint32_t float_to_bits(float f) {
#if defined(__CUDA_ARCH__)
  return __float_as_uint(f);
#else
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
#endif
}

// The host's half conversion step for step: exponent and mantissa moved into place,
// rescaled by 2^112 (exact for normal and subnormal halves), specials patched.
KS_HD float half_to_float(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000u) << 16;
  const uint32_t body = uint32_t(h & 0x7fffu) << 13;
  uint32_t bits = float_to_bits(bits_to_float(body) * 0x1p112f);
  const uint32_t special = 0x7f800000u | body | ((h & 0x3ffu) ? 0x400000u : 0u);
  bits = ((h & 0x7c00u) == 0x7c00u ? special : bits) | sign;
  return bits_to_float(bits);
}

KS_HD uint16_t load16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

// Four consecutive bytes as one little-endian word. Q4_K and Q5_K blocks keep their
// quants 4-byte aligned; Q6_K blocks (210 bytes) only 2-byte aligned.
template <int Align>
KS_HD uint32_t load_word(const uint8_t* p) {
#if defined(__CUDA_ARCH__)
  if constexpr (Align >= 4) {
    return __ldg(reinterpret_cast<const unsigned int*>(p));
  } else {
    const auto* h = reinterpret_cast<const unsigned short*>(p);
    return uint32_t(__ldg(h)) | (uint32_t(__ldg(h + 1)) << 16);
  }
#else
  uint32_t u;
  std::memcpy(&u, p, sizeof u);
  return u;
#endif
}

KS_HD uint32_t byte_of(uint32_t w, int t) { return (w >> (8 * t)) & 0xffu; }

// The 6-bit scale and minimum of sub-block j of a K-quant scale field.
KS_HD void scale_min(int j, const uint8_t* s, uint32_t& sc, uint32_t& m) {
  if (j < 4) {
    sc = s[j] & 63u;
    m = s[j + 4] & 63u;
  } else {
    sc = uint32_t((s[j + 4] & 15) | ((s[j - 4] >> 6) << 4));
    m = uint32_t((s[j + 4] >> 4) | ((s[j] >> 6) << 4));
  }
}

// A lane's two runs of four consecutive elements inside a superblock.
struct Runs {
  int a;  // first element of run A
  int b;  // first element of run B
};

// Q4_K and Q5_K: group g = lane / 8 covers the low nibbles (sub-block 2g) and the high
// nibbles (sub-block 2g + 1) of the same 4 quant bytes.
KS_HD Runs kq45_runs(int lane) {
  const int g = lane / 8, i = 4 * (lane % 8);
  return {64 * g + i, 64 * g + 32 + i};
}

// Q6_K: half h, quarter g; run B is run A + 64 (the high nibbles of the same ql bytes).
KS_HD Runs q6k_runs(int lane) {
  const int h = lane / 16, g = (lane / 8) % 2, i = 4 * (lane % 8);
  return {128 * h + 32 * g + i, 128 * h + 32 * g + i + 64};
}

struct FmtQ4K {
  static constexpr int kBytes = 144;
  static constexpr int kAlign = 4;
  KS_HD static Runs runs(int lane) { return kq45_runs(lane); }
  // The lane's 8 values: va for run A, vb for run B.
  KS_HD static void values(const uint8_t* blk, int lane, float va[4], float vb[4]) {
    const int g = lane / 8, i = 4 * (lane % 8);
    const float d = half_to_float(load16(blk)), dmin = half_to_float(load16(blk + 2));
    uint32_t sc, m;
    scale_min(2 * g, blk + 4, sc, m);
    const float d1 = d * float(sc), m1 = dmin * float(m);
    scale_min(2 * g + 1, blk + 4, sc, m);
    const float d2 = d * float(sc), m2 = dmin * float(m);
    const uint32_t q = load_word<kAlign>(blk + 16 + 32 * g + i);
KS_UNROLL
    for (int t = 0; t < 4; ++t) {
      const uint32_t b = byte_of(q, t);
      va[t] = d1 * float(b & 15u) - m1;
      vb[t] = d2 * float(b >> 4) - m2;
    }
  }
};

struct FmtQ5K {
  static constexpr int kBytes = 176;
  static constexpr int kAlign = 4;
  KS_HD static Runs runs(int lane) { return kq45_runs(lane); }
  KS_HD static void values(const uint8_t* blk, int lane, float va[4], float vb[4]) {
    const int g = lane / 8, i = 4 * (lane % 8);
    const float d = half_to_float(load16(blk)), dmin = half_to_float(load16(blk + 2));
    uint32_t sc, m;
    scale_min(2 * g, blk + 4, sc, m);
    const float d1 = d * float(sc), m1 = dmin * float(m);
    scale_min(2 * g + 1, blk + 4, sc, m);
    const float d2 = d * float(sc), m2 = dmin * float(m);
    const uint32_t q = load_word<kAlign>(blk + 48 + 32 * g + i);
    const uint32_t h = load_word<kAlign>(blk + 16 + i);
    const uint32_t u1 = 1u << (2 * g), u2 = 2u << (2 * g);
KS_UNROLL
    for (int t = 0; t < 4; ++t) {
      const uint32_t b = byte_of(q, t), hb = byte_of(h, t);
      va[t] = d1 * float((b & 15u) + ((hb & u1) ? 16u : 0u)) - m1;
      vb[t] = d2 * float((b >> 4) + ((hb & u2) ? 16u : 0u)) - m2;
    }
  }
};

struct FmtQ6K {
  static constexpr int kBytes = 210;
  static constexpr int kAlign = 2;
  KS_HD static Runs runs(int lane) { return q6k_runs(lane); }
  KS_HD static void values(const uint8_t* blk, int lane, float va[4], float vb[4]) {
    const int h = lane / 16, g = (lane / 8) % 2, i = 4 * (lane % 8);
    const float d = half_to_float(load16(blk + 208));
    const auto* sc = reinterpret_cast<const int8_t*>(blk + 192 + 8 * h);
    // Quarter g takes the low nibbles and qh bits 2g..2g+1, quarter g + 2 the high
    // nibbles and bits 2g+4..2g+5; the 16-element scale follows the element index.
    const float sa = d * float(sc[i / 16 + 2 * g]);
    const float sb = d * float(sc[i / 16 + 2 * (g + 2)]);
    const uint32_t ql = load_word<kAlign>(blk + 64 * h + 32 * g + i);
    const uint32_t qh = load_word<kAlign>(blk + 128 + 32 * h + i);
KS_UNROLL
    for (int t = 0; t < 4; ++t) {
      const uint32_t lo = byte_of(ql, t), hi = byte_of(qh, t);
      const int qa = int((lo & 15u) | (((hi >> (2 * g)) & 3u) << 4));
      const int qb = int((lo >> 4) | (((hi >> (2 * (g + 2))) & 3u) << 4));
      va[t] = sa * float(qa - 32);
      vb[t] = sb * float(qb - 32);
    }
  }
};

// Q8_0: lane l owns element l of every 32-element block.
inline constexpr int kQ8Bytes = 34;
KS_HD float q8_0_value(const uint8_t* blk, int lane) {
  const float d = half_to_float(load16(blk));
  return d * float(reinterpret_cast<const int8_t*>(blk + 2)[lane]);
}

// Activation quantization of one 32-element block with absolute maximum `amax`:
// round to nearest even of x * (127 / amax); zeros when amax is 0.
KS_HD int8_t quantize_q8(float x, float amax) {
  if (amax == 0.0f) return 0;
  const float v = x * (127.0f / amax);
#if defined(__CUDA_ARCH__)
  return int8_t(__float2int_rn(v));
#else
  return int8_t(__builtin_rintf(v));
#endif
}
KS_HD float q8_block_scale(float amax) { return amax == 0.0f ? 0.0f : amax / 127.0f; }

// Sum of four signed byte products (the device's dp4a).
KS_HD int dot4_i8(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
  return __dp4a(int(a), int(b), 0);
#else
  int s = 0;
  for (int t = 0; t < 4; ++t) s += int(int8_t(byte_of(a, t))) * int(int8_t(byte_of(b, t)));
  return s;
#endif
}

// The x8 Q4_K contribution of one lane for one superblock: for each of its two runs,
// xs × (d·sc·Σ q·xq − dmin·m·Σ xq) over the run's four elements. xq and xs start at the
// superblock (256 quantized activations, 8 scales).
KS_HD float q4k_x8_lane(const uint8_t* blk, int lane, const int8_t* xq, const float* xs) {
  const int g = lane / 8, i = 4 * (lane % 8);
  const float d = half_to_float(load16(blk)), dmin = half_to_float(load16(blk + 2));
  const uint32_t q = load_word<4>(blk + 16 + 32 * g + i);
  const uint32_t lo = q & 0x0f0f0f0fu, hi = (q >> 4) & 0x0f0f0f0fu;
  const uint32_t xa = load_word<4>(reinterpret_cast<const uint8_t*>(xq + 64 * g + i));
  const uint32_t xb = load_word<4>(reinterpret_cast<const uint8_t*>(xq + 64 * g + 32 + i));
  uint32_t sc, m;
  scale_min(2 * g, blk + 4, sc, m);
  const float ca = xs[2 * g] * (d * float(sc) * float(dot4_i8(lo, xa)) - dmin * float(m) * float(dot4_i8(0x01010101u, xa)));
  scale_min(2 * g + 1, blk + 4, sc, m);
  const float cb =
      xs[2 * g + 1] * (d * float(sc) * float(dot4_i8(hi, xb)) - dmin * float(m) * float(dot4_i8(0x01010101u, xb)));
  return ca + cb;
}

}  // namespace kestrune::lanes
