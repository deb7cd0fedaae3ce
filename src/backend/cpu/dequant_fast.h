// Row dequantization with the block decoders' own per-element operations, eight
// elements at a time: the values are bit-identical to dequant_values.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "weights/model_file.h"

namespace kestrune {

// dequant_values, vectorised for F16, Q8_0, Q4_K, Q5_K and Q6_K where the CPU allows.
Status dequant_values_fast(uint32_t type, const uint8_t* src, uint64_t ne0, float* out);

// dequant_row_into through dequant_values_fast (same checks and messages).
Status dequant_row_fast(const TensorView& view, uint64_t r, float* out);

}  // namespace kestrune
