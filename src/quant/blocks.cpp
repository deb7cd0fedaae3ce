#include "quant/blocks.h"

#include <cstring>

#include "common/format.h"
#include "quant/types.h"

namespace kestrune {


void dequant_block_q8_0(const uint8_t* block, float* out) {
  const float d = f16_to_f32(load_u16(block));
  const auto* qs = reinterpret_cast<const int8_t*>(block + 2);
  for (int i = 0; i < 32; ++i) out[i] = d * float(qs[i]);
}

void dequant_block_q4_k(const uint8_t* block, float* out) {
  const float d = f16_to_f32(load_u16(block));
  const float dmin = f16_to_f32(load_u16(block + 2));
  const uint8_t* scales = block + 4;
  const uint8_t* qs = block + 16;
  for (int g = 0; g < 4; ++g) {
    uint8_t sc, m;
    k_scale_min(2 * g, scales, sc, m);
    const float d1 = d * float(sc), m1 = dmin * float(m);
    k_scale_min(2 * g + 1, scales, sc, m);
    const float d2 = d * float(sc), m2 = dmin * float(m);
    const uint8_t* q = qs + 32 * g;
    for (int l = 0; l < 32; ++l) out[64 * g + l] = d1 * float(q[l] & 15) - m1;
    for (int l = 0; l < 32; ++l) out[64 * g + 32 + l] = d2 * float(q[l] >> 4) - m2;
  }
}

void dequant_block_q5_k(const uint8_t* block, float* out) {
  const float d = f16_to_f32(load_u16(block));
  const float dmin = f16_to_f32(load_u16(block + 2));
  const uint8_t* scales = block + 4;
  const uint8_t* qh = block + 16;
  const uint8_t* qs = block + 48;
  for (int g = 0; g < 4; ++g) {
    uint8_t sc, m;
    k_scale_min(2 * g, scales, sc, m);
    const float d1 = d * float(sc), m1 = dmin * float(m);
    k_scale_min(2 * g + 1, scales, sc, m);
    const float d2 = d * float(sc), m2 = dmin * float(m);
    const uint8_t u1 = uint8_t(1u << (2 * g)), u2 = uint8_t(2u << (2 * g));
    const uint8_t* q = qs + 32 * g;
    for (int l = 0; l < 32; ++l) {
      int v = (q[l] & 15) + ((qh[l] & u1) ? 16 : 0);
      out[64 * g + l] = d1 * float(v) - m1;
    }
    for (int l = 0; l < 32; ++l) {
      int v = (q[l] >> 4) + ((qh[l] & u2) ? 16 : 0);
      out[64 * g + 32 + l] = d2 * float(v) - m2;
    }
  }
}

void dequant_block_q6_k(const uint8_t* block, float* out) {
  const float d = f16_to_f32(load_u16(block + 208));
  for (int h = 0; h < 2; ++h) {
    const uint8_t* ql = block + 64 * h;
    const uint8_t* qh = block + 128 + 32 * h;
    const auto* sc = reinterpret_cast<const int8_t*>(block + 192 + 8 * h);
    float* y = out + 128 * h;
    // Quarter k of the half takes its low nibbles from ql[l + 32*(k&1)] (high nibble
    // when k >= 2) and its top two bits from qh bits 2k..2k+1; (d * sc) * q as written.
    for (int k = 0; k < 4; ++k) {
      const uint8_t* lo = ql + 32 * (k & 1);
      const int shift = (k >> 1) * 4;
      for (int half16 = 0; half16 < 2; ++half16) {
        const float scale = d * float(sc[half16 + 2 * k]);
        for (int i = 0; i < 16; ++i) {
          const int l = 16 * half16 + i;
          const int q = ((lo[l] >> shift) & 15) | (((qh[l] >> (2 * k)) & 3) << 4);
          y[32 * k + l] = scale * float(q - 32);
        }
      }
    }
  }
}

Status dequant_values(uint32_t type, const uint8_t* src, uint64_t ne0, float* out) {
  switch (type) {
    case kF32:
      // An empty row may come with null pointers, which memcpy must never see.
      if (ne0 != 0) std::memcpy(out, src, ne0 * sizeof(float));
      return {};
    case kF16:
      for (uint64_t i = 0; i < ne0; ++i) out[i] = f16_to_f32(load_u16(src + 2 * i));
      return {};
    case kQ8_0:
      for (uint64_t b = 0; b < ne0 / 32; ++b) dequant_block_q8_0(src + 34 * b, out + 32 * b);
      return {};
    case kQ4_K:
      for (uint64_t b = 0; b < ne0 / 256; ++b) dequant_block_q4_k(src + 144 * b, out + 256 * b);
      return {};
    case kQ5_K:
      for (uint64_t b = 0; b < ne0 / 256; ++b) dequant_block_q5_k(src + 176 * b, out + 256 * b);
      return {};
    case kQ6_K:
      for (uint64_t b = 0; b < ne0 / 256; ++b) dequant_block_q6_k(src + 210 * b, out + 256 * b);
      return {};
    default:
      return invalid_data(format("dequant for {} not implemented", type_name(type)));
  }
}

}  // namespace kestrune
