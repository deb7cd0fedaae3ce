// Block decoders: whole blocks of the mapped bytes in, floats out, in value order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"

namespace kestrune {

void dequant_block_q8_0(const uint8_t* block, float* out);  // 32 values
void dequant_block_q4_k(const uint8_t* block, float* out);  // 256 values
void dequant_block_q5_k(const uint8_t* block, float* out);  // 256 values
void dequant_block_q6_k(const uint8_t* block, float* out);  // 256 values

// Decodes `ne0` values of type `type` from `src` (which holds whole blocks).
// Fails only for a type without a decoder.
Status dequant_values(uint32_t type, const uint8_t* src, uint64_t ne0, float* out);

}  // namespace kestrune
