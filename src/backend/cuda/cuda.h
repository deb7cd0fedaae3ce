// The CUDA backend's context: five groups of device state, each behind its own lock,
// the resident weight table, the host-facing product service and the token residency
// (the residual columns kept on the device between layer operations).
//
// Lock order: token (2) before weights (3) before the host-product buffers (4) before
// the activation scratch (5); the speculation group (1) is never held with another.
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

#include "backend/cpu/spec_window.h"
#include "backend/cpu/thread_pool.h"
#include "backend/cuda/dispatch.h"
#include "backend/cuda/layer_store.h"
#include "backend/cuda/runtime.h"
#include "common/error.h"
#include "layers/weights.h"

namespace kestrune {

struct TokenResidency {
  Buffer device;
  Buffer pinned;
  size_t n = 0;        // floats per column
  unsigned columns = 1;
  bool active = false;
};

struct HostMatvecBuffers {
  Buffer x_dev, y_dev, x_pin, y_pin;
};

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

// Scratch of the device feed-forward blocks and logits heads, defined with them.
struct FfnScratch;
struct HeadScratch;

struct CudaContext {
  const DeviceApi* api;
  bool x8 = false;        // KESTRUNE_XQUANT=q8
  bool progress = false;  // KESTRUNE_PROGRESS
  // The host threads of the fallback's non-product work.
  std::unique_ptr<ThreadPool> pool;

  // 1: speculation. The fallback GDN keeps its snapshots here.
  CpuSpecState window;
  // Also 1: the device GDN window, armed, and the layers whose shadows it wrote.
  std::mutex spec_mu;
  bool spec_armed = false;
  std::vector<uint64_t> spec_keys;
  // 2: token residency.
  std::mutex token_mu;
  TokenResidency token;
  // 3: resident weights, keyed by the address of the tensor's bytes in the mapping;
  // owned here, so a later model at a reused address never finds this model's copy.
  std::mutex weight_mu;
  std::unordered_map<const void*, Buffer> weights;
  // 4: host products.
  std::mutex host_mu;
  HostMatvecBuffers host;
  // 5: activation quantization.
  std::mutex xq_mu;
  XQuantScratch xq;

  // Normalization vectors, keyed by the host vector's address; taken inside the weight
  // lock. Owned here for the same reason as the weights.
  std::mutex norm_mu;
  std::unordered_map<const float*, Buffer> norms;
  // RoPE frequencies by (rope_dim, base bits), under the same lock.
  std::unordered_map<uint64_t, Buffer> rope_freqs;
  // Feed-forward scratch keyed by the address of the block's gate bytes (in this
  // context's model), and the heads' scratch, used under the token lock.
  std::mutex ffn_mu;
  std::unordered_map<const void*, std::shared_ptr<FfnScratch>> ffn;
  std::shared_ptr<HeadScratch> head;
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

// y = m · x: on the device for an eligible weight, else the CPU product (on the pool).
Result<std::vector<float>> matvec_host(CudaContext& c, const Matrix& m, std::span<const float> x);

// Token residency: the residual columns on the device. Begins replace any earlier state;
// ends copy the columns back and deactivate; pulls and pushes move the columns while
// the residency stays active. An end, pull or push that does not match the residency
// (inactive, other column count, other length) does nothing; pulls then return false.
Status token_begin(CudaContext& c, std::span<const float> x);
Status token2_begin(CudaContext& c, std::span<const float> x0, std::span<const float> x1);
Status token3_begin(CudaContext& c, std::span<const float> x0, std::span<const float> x1, std::span<const float> x2);
Status token_end(CudaContext& c, std::span<float> out);
Status token2_end(CudaContext& c, std::span<float> out0, std::span<float> out1);
Status token3_end(CudaContext& c, std::span<float> out0, std::span<float> out1, std::span<float> out2);
Result<bool> token_pull(CudaContext& c, std::span<float> x);
Status token_push(CudaContext& c, std::span<const float> x);
Result<bool> token2_pull(CudaContext& c, std::span<float> x0, std::span<float> x1);
Status token2_push(CudaContext& c, std::span<const float> x0, std::span<const float> x1);
Result<bool> token3_pull(CudaContext& c, std::span<float> x0, std::span<float> x1, std::span<float> x2);
Status token3_push(CudaContext& c, std::span<const float> x0, std::span<const float> x1, std::span<const float> x2);

}  // namespace kestrune
