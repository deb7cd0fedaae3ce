// The device columns a layer operation updates: the token residency when it matches the
// operation, else the operation's own staging copy of the host columns.
#pragma once

#include <cstddef>
#include <mutex>

#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "layers/columns.h"

namespace kestrune {

// The resident columns when the residency is active with k columns of n floats, with
// the token lock kept until the value goes, so that no begin can replace the buffer
// under the kernels of the chain; else null, the lock released at once.
struct ResidentColumns {
  std::unique_lock<std::mutex> lock;
  float* x = nullptr;
};
ResidentColumns resident_columns(CudaContext& c, size_t k, size_t n);

// Host columns → pinned → device (one copy), and back. The buffers grow to fit.
Status stage_columns_in(const DeviceApi& api, Buffer& pinned, Buffer& device, ColumnsOut xs, const char* label);
Status stage_columns_out(const DeviceApi& api, Buffer& pinned, const Buffer& device, ColumnsOut xs,
                         const char* label);

// Whether every column has the length of the first.
bool column_lengths_equal(ColumnsOut xs);

}  // namespace kestrune
