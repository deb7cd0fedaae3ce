// Rewrites a quantized tensor into the row-interleaved layout of PackedRows, once, at
// load. Per group of 16 rows and per block, in bytes:
//   Q8_0 (544):  d[16] halves | q[32][16]
//   Q4_K (2368): d[16] | dmin[16] | sc[8][16] | m[8][16] | qs[128][16]
//   Q5_K (2880): d[16] | dmin[16] | sc[8][16] | m[8][16] | qh[32][16] | qs[128][16]
//   Q6_K (3360): d[16] | sc[16][16] | ql[128][16] | qh[64][16]
// where x[j][16] is byte j of each row's block, row by row, and sc, m are the 6-bit
// scales and mins the block decoder unpacks. Rows past the last one are zeros.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "common/error.h"
#include "weights/model_file.h"
#include "weights/packed_rows.h"

namespace kestrune {

constexpr uint64_t kPackRows = 16;

struct FreeBytes {
  void operator()(uint8_t* p) const { std::free(p); }
};

// PackedRows together with the storage it points into.
struct PackedTensor {
  PackedRows rows;
  std::unique_ptr<uint8_t, FreeBytes> storage;
};

// Whether tensors of `type` have a packed layout.
bool packable_type(uint32_t type);

// The packed copy of `view`. With `release`, the pages lying wholly inside the tensor
// are dropped as they are consumed, so resident memory stays about one copy. Dropped
// pages of the engine's own copy of the file read back as zeros: `release` is only for
// tensors that nothing reads except through the packed copy.
Result<std::unique_ptr<PackedTensor>> repack_tensor(const TensorView& view, bool release);

// Row r of `view` in the packed copy it carries, when it has one holding that row.
std::optional<uint64_t> packed_row(const TensorView& view, uint64_t r);

// Row r decoded to ne0 floats, the bits of the block decoders.
Status packed_dequant_row(const PackedRows& p, uint64_t r, float* out);

}  // namespace kestrune
