#include "backend/cuda/cuda.h"

#include <algorithm>
#include <cstring>

#include "backend/cuda/columns.h"
#include "backend/cuda/matvec.h"
#include "common/diag.h"
#include "common/format.h"
#include "numerics/scalar.h"

namespace kestrune {

CudaContext::CudaContext(const DeviceApi* a) : api(a), columns(std::make_shared<ColumnPool>()) {
  staging = Buffer(a, Buffer::Pinned);
  xq.q = Buffer(a, Buffer::Device);
  xq.scales = Buffer(a, Buffer::Device);
}

Cuda make_cuda(const DeviceApi& api, size_t threads, bool x8, bool progress) {
  Cuda c{std::make_unique<CudaContext>(&api)};
  c.ctx->x8 = x8;
  c.ctx->progress = progress;
  c.ctx->pool = make_thread_pool(threads);
  return c;
}

std::optional<std::string> count_upload(UploadCounters& c, uint64_t bytes, bool progress) {
  const uint64_t n = c.tensors.fetch_add(1) + 1;
  const uint64_t total = c.bytes.fetch_add(bytes) + bytes;
  if (!progress || n % 32 != 0) return std::nullopt;
  return format("# progress: {} resident tensors, {} GB uploaded\n", n,
                fixed_str(static_cast<double>(total) / 1e9, 1));
}

namespace {
UploadCounters g_uploads;
}  // namespace

Result<Buffer> upload_weight(const DeviceApi& api, const void* host, size_t bytes, bool progress) {
  Buffer b(&api, Buffer::Device);
  KS_CHECK(ensure_device(b, bytes));
  KS_CHECK(copy_checked(api, b.ptr, host, bytes, CopyKind::HostToDevice, "cudaMemcpy H2D"));
  if (auto line = count_upload(g_uploads, bytes, progress)) diag(*line);
  return b;
}

Result<const void*> resident_weight(CudaContext& c, const void* host, uint64_t bytes) {
  auto it = c.weights.find(host);
  if (it != c.weights.end()) return static_cast<const void*>(it->second.ptr);
  KS_TRY(Buffer b, upload_weight(*c.api, host, static_cast<size_t>(bytes), c.progress));
  const void* p = b.ptr;
  c.weights.emplace(host, std::move(b));
  return p;
}

Result<const float*> resident_norm(CudaContext& c, std::span<const float> v) {
  std::lock_guard<std::mutex> lock(c.norm_mu);
  const size_t bytes = 4 * v.size();
  auto it = c.norms.find(v.data());
  if (it != c.norms.end() && it->second.capacity == bytes) return it->second.floats();
  Buffer b(c.api, Buffer::Device);
  KS_CHECK(ensure_device(b, bytes));
  KS_CHECK(copy_checked(*c.api, b.ptr, v.data(), bytes, CopyKind::HostToDevice, "cudaMemcpy H2D"));
  float* p = b.floats();
  c.norms.insert_or_assign(v.data(), std::move(b));
  return p;
}

Result<const float*> resident_rope_frequencies(CudaContext& c, uint64_t rope_dim, float base) {
  const std::vector<float> f = rope_frequencies(rope_dim, base);
  if (f.empty()) return nullptr;
  uint32_t base_bits;
  std::memcpy(&base_bits, &base, sizeof base_bits);
  const uint64_t key = (rope_dim << 32) | base_bits;
  std::lock_guard<std::mutex> lock(c.norm_mu);
  auto it = c.rope_freqs.find(key);
  if (it != c.rope_freqs.end()) return static_cast<const float*>(it->second.floats());
  Buffer b(c.api, Buffer::Device);
  KS_CHECK(ensure_device(b, 4 * f.size()));
  KS_CHECK(copy_checked(*c.api, b.ptr, f.data(), 4 * f.size(), CopyKind::HostToDevice, "cudaMemcpy H2D"));
  const float* p = b.floats();
  c.rope_freqs.emplace(key, std::move(b));
  return p;
}

std::optional<DeviceShape> device_shape(const TensorView& v) {
  if (v.info == nullptr || v.data == nullptr) return std::nullopt;
  return device_shape(*v.info, v.size);
}

std::optional<DeviceShape> device_shape(const Matrix& m) {
  const auto* v = std::get_if<TensorView>(&m);
  return v ? device_shape(*v) : std::nullopt;
}

}  // namespace kestrune
