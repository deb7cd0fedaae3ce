// A quantized tensor rewritten for the SIMD products: rows in groups of 16, each block
// of a group stored column-major so that one 16-byte load yields one element of 16 rows.
// Only the layout changes; every stored bit of the tensor is kept.
#pragma once

#include <cstdint>

namespace kestrune {

struct PackedRows {
  uint32_t type = 0;             // element type of the source tensor
  uint64_t ne0 = 0;              // elements per row
  uint64_t rows = 0;             // rows of the source tensor
  uint64_t row_bytes = 0;        // bytes of one source row
  uint64_t block_bytes = 0;      // bytes of one block of one group
  uint64_t group_bytes = 0;      // bytes of one group: every block of 16 rows
  const uint8_t* source = nullptr;  // the tensor's first byte in the mapping
  const uint8_t* data = nullptr;    // group g at data + g * group_bytes
};

}  // namespace kestrune
