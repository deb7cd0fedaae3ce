// Block decoders: whole blocks of the mapped bytes in, floats out, in value order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"

namespace kestrune {

inline uint16_t load_u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// The 6-bit scale and min of sub-block j of a K-quant scale field.
inline void k_scale_min(int j, const uint8_t* s, uint8_t& sc, uint8_t& m) {
  if (j < 4) {
    sc = s[j] & 63;
    m = s[j + 4] & 63;
  } else {
    sc = uint8_t((s[j + 4] & 15) | ((s[j - 4] >> 6) << 4));
    m = uint8_t((s[j + 4] >> 4) | ((s[j] >> 6) << 4));
  }
}

void dequant_block_q8_0(const uint8_t* block, float* out);  // 32 values
void dequant_block_q4_k(const uint8_t* block, float* out);  // 256 values
void dequant_block_q5_k(const uint8_t* block, float* out);  // 256 values
void dequant_block_q6_k(const uint8_t* block, float* out);  // 256 values

// Decodes `ne0` values of type `type` from `src` (which holds whole blocks).
// Fails only for a type without a decoder.
Status dequant_values(uint32_t type, const uint8_t* src, uint64_t ne0, float* out);

}  // namespace kestrune
