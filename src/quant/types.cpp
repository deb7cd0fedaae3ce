#include "quant/types.h"

#include <cstring>

#include "common/format.h"

namespace kestrune {

std::string type_name(uint32_t id) {
  static const char* const kNames[] = {
      "F32",     "F16",    "Q4_0",   "Q4_1",    nullptr,  nullptr, "Q5_0",  "Q5_1",
      "Q8_0",    "Q8_1",   "Q2_K",   "Q3_K",    "Q4_K",   "Q5_K",  "Q6_K",  "Q8_K",
      "IQ2_XXS", "IQ2_XS", "IQ3_XXS", "IQ1_S",  "IQ4_NL", "IQ3_S", "IQ2_S", "IQ4_XS",
      "I8",      "I16",    "I32",    "I64",     "F64",    "IQ1_M", "BF16"};
  if (id < sizeof kNames / sizeof kNames[0] && kNames[id]) return kNames[id];
  return "UNK" + std::to_string(id);
}

const BlockFormat* block_format(uint32_t id) {
  static const BlockFormat kF32Fmt{1, 4}, kF16Fmt{1, 2}, kQ80{32, 34}, kQ4K{256, 144},
      kQ5K{256, 176}, kQ6K{256, 210};
  switch (id) {
    case kF32: return &kF32Fmt;
    case kF16: return &kF16Fmt;
    case kQ8_0: return &kQ80;
    case kQ4_K: return &kQ4K;
    case kQ5_K: return &kQ5K;
    case kQ6_K: return &kQ6K;
    default: return nullptr;
  }
}

Result<uint64_t> row_size_for(const std::string& name, uint32_t id, uint64_t ne0) {
  const BlockFormat* f = block_format(id);
  if (!f) return invalid_data(format("row size for {} unknown", type_name(id)));
  if (ne0 % f->values != 0) {
    if (id == kQ8_0) return invalid_data(format("{}: ne0 {} not divisible by Q8_0 block 32", name, ne0));
    return invalid_data(format("{}: ne0 {} not divisible by K-quant super-block 256", name, ne0));
  }
  uint64_t blocks = ne0 / f->values;
  if (blocks > UINT64_MAX / f->bytes) return invalid_data(format("{}: ne0 {} row size overflows", name, ne0));
  return blocks * f->bytes;
}

Result<uint64_t> row_size(const TensorInfo& tensor) {
  return row_size_for(tensor.name, tensor.type, tensor_ne0(tensor));
}

float f16_to_f32(uint16_t h) {
  // Exponent and mantissa moved into place, then rescaled by 2^112: exact for normal
  // and subnormal halves alike, and free of branches so row loops vectorise.
  const uint32_t sign = uint32_t(h & 0x8000) << 16;
  const uint32_t body = uint32_t(h & 0x7fff) << 13;
  float scaled;
  std::memcpy(&scaled, &body, sizeof scaled);
  scaled *= 0x1p112f;
  uint32_t bits;
  std::memcpy(&bits, &scaled, sizeof bits);
  // Exponent 31: infinity, or a quiet NaN keeping the mantissa.
  const uint32_t special = 0x7f800000u | body | ((h & 0x3ff) ? 0x400000u : 0u);
  bits = ((h & 0x7c00) == 0x7c00 ? special : bits) | sign;
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

}  // namespace kestrune
