// The CUDA backend's context: the resident weights, the per-layer device state of the
// live decode states, the activation pool and staging buffer, each behind its own lock.
//
// Lock order: weights before a layer's own lock before the activation scratch; the
// speculation lock is never held with another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend/cpu/thread_pool.h"
#include "backend/cuda/dispatch.h"
#include "backend/cuda/layer_store.h"
#include "backend/cuda/runtime.h"
#include "common/error.h"
#include "layers/weights.h"

namespace kestrune {

struct XQuantScratch {
  Buffer q;       // int8 activations
  Buffer scales;  // one float per 32 activations
};

// Tensors uploaded and bytes moved, process-wide.
struct UploadCounters {
  std::atomic<uint64_t> tensors{0};
  std::atomic<uint64_t> bytes{0};
};
// Counts one upload; the progress line when it is due ("# progress: ..." every 32).
std::optional<std::string> count_upload(UploadCounters& c, uint64_t bytes, bool progress);

struct ColumnPool;

struct CudaContext {
  const DeviceApi* api;
  bool x8 = false;        // KESTRUNE_XQUANT=q8
  bool progress = false;  // KESTRUNE_PROGRESS
  // The host threads of the operations that fall back to the host.
  std::unique_ptr<ThreadPool> pool;

  // Speculation: the device GDN window, armed, and the layers whose shadows it wrote.
  std::mutex spec_mu;
  bool spec_armed = false;
  std::vector<uint64_t> spec_keys;
  // Resident weights, keyed by the address of the tensor's bytes in the mapping;
  // owned here, so a later model at a reused address never finds this model's copy.
  std::mutex weight_mu;
  std::unordered_map<const void*, Buffer> weights;
  // Activation quantization.
  std::mutex xq_mu;
  XQuantScratch xq;

  // Normalization vectors, keyed by the host vector's address; taken inside the weight
  // lock. Owned here for the same reason as the weights.
  std::mutex norm_mu;
  std::unordered_map<const float*, Buffer> norms;
  // RoPE frequencies by (rope_dim, base bits), under the same lock.
  std::unordered_map<uint64_t, Buffer> rope_freqs;
  // Activations: spare device buffers, and the pinned buffer that moves columns.
  std::shared_ptr<ColumnPool> columns;
  std::mutex staging_mu;
  Buffer staging;
  // Per-layer device data of the live decode states; shared with their leases.
  std::shared_ptr<LayerStore> layers = std::make_shared<LayerStore>();

  explicit CudaContext(const DeviceApi* a);
};

// The backend value: the context behind a pointer so that the variant stays movable.
// Creating it makes no device call.
struct Cuda {
  std::unique_ptr<CudaContext> ctx;
};

Cuda make_cuda(const DeviceApi& api, size_t threads, bool x8, bool progress);

// cudaMalloc + copy of `bytes` host bytes; counts the upload. The buffer is freed again
// when the copy fails.
Result<Buffer> upload_weight(const DeviceApi& api, const void* host, size_t bytes, bool progress);

// The resident copy of a weight (uploaded on first use). The caller holds weight_mu.
Result<const void*> resident_weight(CudaContext& c, const void* host, uint64_t bytes);

// The resident copy of a normalization vector (uploaded on first use; a vector of
// another length at the same address is uploaded again).
Result<const float*> resident_norm(CudaContext& c, std::span<const float> v);

// The device copy of the host's RoPE frequencies for (rope_dim, base), uploaded on first
// use: the kernels turn pair j by pos ÷ freqs[j] with the host's own powf values, since
// an error there would grow with the position. Null for rope_dim 0.
Result<const float*> resident_rope_frequencies(CudaContext& c, uint64_t rope_dim, float base);

// An eligible view's device shape, or nothing.
std::optional<DeviceShape> device_shape(const TensorView& v);
std::optional<DeviceShape> device_shape(const Matrix& m);

}  // namespace kestrune
