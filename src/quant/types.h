// Tensor element types: the id table, row sizes and the f16 conversion.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "gguf/gguf.h"

namespace kestrune {

enum TensorType : uint32_t {
  kF32 = 0,
  kF16 = 1,
  kQ8_0 = 8,
  kQ4_K = 12,
  kQ5_K = 13,
  kQ6_K = 14,
  kBF16 = 30,
};

// Block geometry of the six usable types.
struct BlockFormat {
  uint32_t values;  // values per block
  uint32_t bytes;   // bytes per block
};

std::string type_name(uint32_t id);
// Geometry of a usable type; absent for every other id.
const BlockFormat* block_format(uint32_t id);
// Bytes of one row of `ne0` values of type `id`. `name` is for messages.
Result<uint64_t> row_size_for(const std::string& name, uint32_t id, uint64_t ne0);
Result<uint64_t> row_size(const TensorInfo& tensor);

float f16_to_f32(uint16_t bits);

inline uint64_t tensor_ne0(const TensorInfo& t) { return t.dims.empty() ? 0 : t.dims[0]; }

}  // namespace kestrune
