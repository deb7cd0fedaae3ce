// The CUDA backend's activations: device buffers of k columns, recycled through the
// context's pool so that a token allocates nothing once the first one has run.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <span>

#include "backend/backend.h"
#include "backend/cuda/cuda.h"
#include "common/error.h"

namespace kestrune {

// Spare device buffers by exact byte size.
struct ColumnPool {
  std::mutex mu;
  std::multimap<size_t, Buffer> spare;
};

// Columns on the device; the buffer goes back to the pool with the last handle.
struct DeviceColumns {
  Buffer buf;
  std::shared_ptr<ColumnPool> pool;

  DeviceColumns() = default;
  DeviceColumns(const DeviceColumns&) = delete;
  DeviceColumns& operator=(const DeviceColumns&) = delete;
  ~DeviceColumns();
  float* floats() const { return buf.floats(); }
};

// k × n floats on the device, uninitialised.
Result<Activations> device_columns(CudaContext& c, size_t k, size_t n);

// The device copy of `a`: its own buffer when it is held on the device, else `staged`
// filled from the host columns with one copy. Fails when the host columns differ in
// length from `n` (when n is nonzero) or from each other.
Result<const float*> device_input(CudaContext& c, const Activations& a, Activations& staged, const char* op,
                                  size_t n = 0);
// Moves `a` onto the device in place (an accumulator held on the host).
Status make_resident(CudaContext& c, Activations& a, const char* op);

// Columns of device activations, copied on the device.
Result<Activations> cuda_slice(CudaContext& c, const Activations& a, size_t first, size_t count);
Result<Activations> cuda_concat(CudaContext& c, std::span<const Activations> parts);

Result<Activations> cuda_upload(CudaContext& c, Columns xs);
Result<Columns> cuda_download(CudaContext& c, const Activations& a);
Result<std::vector<float>> cuda_download_column(CudaContext& c, const Activations& a, size_t j);

}  // namespace kestrune
