#include "backend/cuda/cuda.h"

#include <algorithm>
#include <cstring>

#include "backend/cpu/attention.h"
#include "backend/cpu/matmul.h"
#include "backend/cuda/matvec.h"
#include "common/diag.h"
#include "common/format.h"

namespace kestrune {

CudaContext::CudaContext(const DeviceApi* a) : api(a) {
  token.device = Buffer(a, Buffer::Device);
  token.pinned = Buffer(a, Buffer::Pinned);
  host.x_dev = Buffer(a, Buffer::Device);
  host.y_dev = Buffer(a, Buffer::Device);
  host.x_pin = Buffer(a, Buffer::Pinned);
  host.y_pin = Buffer(a, Buffer::Pinned);
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

Result<std::vector<float>> matvec_host(CudaContext& c, const Matrix& m, std::span<const float> x) {
  const auto shape = device_shape(m);
  if (!shape) return matvec(m, x, c.pool.get());
  const TensorView& v = std::get<TensorView>(m);
  if (x.size() != shape->cols) {
    return invalid_data(format("{}: matvec x len {} != ne0 {}", v.name(), x.size(), shape->cols));
  }
  const size_t rows = static_cast<size_t>(shape->rows), cols = x.size();
  std::lock_guard<std::mutex> weights(c.weight_mu);
  KS_TRY(const void* w, resident_weight(c, v.data, v.size));
  std::lock_guard<std::mutex> buffers(c.host_mu);
  HostMatvecBuffers& h = c.host;
  KS_CHECK(ensure_pinned(h.x_pin, 4 * cols));
  KS_CHECK(ensure_pinned(h.y_pin, 4 * rows));
  KS_CHECK(ensure_device(h.x_dev, 4 * cols));
  KS_CHECK(ensure_device(h.y_dev, 4 * rows));
  std::memcpy(h.x_pin.ptr, x.data(), 4 * cols);
  KS_CHECK(copy_checked(*c.api, h.x_dev.ptr, h.x_pin.ptr, 4 * cols, CopyKind::HostToDevice, "cudaMemcpy H2D (pinned x)"));
  KS_CHECK(dev_matvec(c, shape->fmt, w, h.x_dev.floats(), h.y_dev.floats(), int(cols), int(rows)));
  KS_CHECK(copy_checked(*c.api, h.y_pin.ptr, h.y_dev.ptr, 4 * rows, CopyKind::DeviceToHost, "cudaMemcpy D2H (pinned y)"));
  const float* y = h.y_pin.floats();
  return std::vector<float>(y, y + rows);
}

namespace {

// Stages k equal-length columns into the residency with one copy.
Status begin_columns(CudaContext& c, std::span<const std::span<const float>> xs, const char* label) {
  const size_t n = xs[0].size(), k = xs.size();
  std::lock_guard<std::mutex> lock(c.token_mu);
  TokenResidency& t = c.token;
  KS_CHECK(ensure_device(t.device, 4 * k * n));
  KS_CHECK(ensure_pinned(t.pinned, 4 * k * n));
  for (size_t j = 0; j < k; ++j) std::memcpy(t.pinned.floats() + j * n, xs[j].data(), 4 * n);
  KS_CHECK(copy_checked(*c.api, t.device.ptr, t.pinned.ptr, 4 * k * n, CopyKind::HostToDevice, label));
  t.n = n;
  t.columns = static_cast<unsigned>(k);
  t.active = true;
  return {};
}

bool matches(const TokenResidency& t, unsigned columns, std::span<const std::span<float>> xs) {
  if (!t.active || t.columns != columns) return false;
  return std::all_of(xs.begin(), xs.end(), [&](std::span<float> x) { return x.size() == t.n; });
}

bool same_lengths(std::span<const std::span<const float>> xs) {
  return std::all_of(xs.begin(), xs.end(), [&](std::span<const float> x) { return x.size() == xs[0].size(); });
}

// Copies every column back with one copy and deactivates; nothing when it does not match.
Status end_columns(CudaContext& c, std::span<const std::span<float>> outs, const char* label) {
  std::lock_guard<std::mutex> lock(c.token_mu);
  TokenResidency& t = c.token;
  const unsigned k = static_cast<unsigned>(outs.size());
  if (!matches(t, k, outs)) return {};
  KS_CHECK(copy_checked(*c.api, t.pinned.ptr, t.device.ptr, 4 * k * t.n, CopyKind::DeviceToHost, label));
  for (unsigned j = 0; j < k; ++j) std::memcpy(outs[j].data(), t.pinned.floats() + j * t.n, 4 * t.n);
  t.active = false;
  return {};
}

// Column j moves with its own copy labelled labels[j].
Result<bool> pull_columns(CudaContext& c, std::span<const std::span<float>> xs, const char* const* labels) {
  std::lock_guard<std::mutex> lock(c.token_mu);
  TokenResidency& t = c.token;
  if (!matches(t, static_cast<unsigned>(xs.size()), xs)) return false;
  for (size_t j = 0; j < xs.size(); ++j) {
    KS_CHECK(copy_checked(*c.api, xs[j].data(), t.device.floats() + j * t.n, 4 * t.n, CopyKind::DeviceToHost,
                          labels[j]));
  }
  return true;
}

Status push_columns(CudaContext& c, std::span<const std::span<const float>> xs, const char* const* labels) {
  std::lock_guard<std::mutex> lock(c.token_mu);
  TokenResidency& t = c.token;
  if (!t.active || t.columns != xs.size()) return {};
  for (auto x : xs) {
    if (x.size() != t.n) return {};
  }
  for (size_t j = 0; j < xs.size(); ++j) {
    KS_CHECK(copy_checked(*c.api, t.device.floats() + j * t.n, xs[j].data(), 4 * t.n, CopyKind::HostToDevice,
                          labels[j]));
  }
  return {};
}

}  // namespace

Status token_begin(CudaContext& c, std::span<const float> x) {
  const std::span<const float> xs[] = {x};
  return begin_columns(c, xs, "cudaMemcpy H2D (token x)");
}

Status token2_begin(CudaContext& c, std::span<const float> x0, std::span<const float> x1) {
  const std::span<const float> xs[] = {x0, x1};
  if (!same_lengths(xs)) return invalid_input("token2_begin: column length mismatch");
  return begin_columns(c, xs, "cudaMemcpy H2D (token2 x)");
}

Status token3_begin(CudaContext& c, std::span<const float> x0, std::span<const float> x1,
                    std::span<const float> x2) {
  const std::span<const float> xs[] = {x0, x1, x2};
  if (!same_lengths(xs)) return invalid_input("token3_begin: column length mismatch");
  return begin_columns(c, xs, "cudaMemcpy H2D (token3 x)");
}

Status token_end(CudaContext& c, std::span<float> out) {
  const std::span<float> xs[] = {out};
  return end_columns(c, xs, "cudaMemcpy D2H (token x)");
}

Status token2_end(CudaContext& c, std::span<float> out0, std::span<float> out1) {
  const std::span<float> xs[] = {out0, out1};
  return end_columns(c, xs, "cudaMemcpy D2H (token2 x)");
}

Status token3_end(CudaContext& c, std::span<float> out0, std::span<float> out1, std::span<float> out2) {
  const std::span<float> xs[] = {out0, out1, out2};
  return end_columns(c, xs, "cudaMemcpy D2H (token3 x)");
}

Result<bool> token_pull(CudaContext& c, std::span<float> x) {
  const std::span<float> xs[] = {x};
  const char* labels[] = {"cudaMemcpy D2H (token pull)"};
  return pull_columns(c, xs, labels);
}

Status token_push(CudaContext& c, std::span<const float> x) {
  const std::span<const float> xs[] = {x};
  const char* labels[] = {"cudaMemcpy H2D (token push)"};
  return push_columns(c, xs, labels);
}

Result<bool> token2_pull(CudaContext& c, std::span<float> x0, std::span<float> x1) {
  const std::span<float> xs[] = {x0, x1};
  const char* labels[] = {"cudaMemcpy D2H (token2 pull col0)", "cudaMemcpy D2H (token2 pull col1)"};
  return pull_columns(c, xs, labels);
}

Status token2_push(CudaContext& c, std::span<const float> x0, std::span<const float> x1) {
  const std::span<const float> xs[] = {x0, x1};
  const char* labels[] = {"cudaMemcpy H2D (token2 push col0)", "cudaMemcpy H2D (token2 push col1)"};
  return push_columns(c, xs, labels);
}

Result<bool> token3_pull(CudaContext& c, std::span<float> x0, std::span<float> x1, std::span<float> x2) {
  const std::span<float> xs[] = {x0, x1, x2};
  const char* labels[] = {"cudaMemcpy D2H (token3 pull)", "cudaMemcpy D2H (token3 pull)", "cudaMemcpy D2H (token3 pull)"};
  return pull_columns(c, xs, labels);
}

Status token3_push(CudaContext& c, std::span<const float> x0, std::span<const float> x1,
                   std::span<const float> x2) {
  const std::span<const float> xs[] = {x0, x1, x2};
  const char* labels[] = {"cudaMemcpy H2D (token3 push)", "cudaMemcpy H2D (token3 push)", "cudaMemcpy H2D (token3 push)"};
  return push_columns(c, xs, labels);
}

}  // namespace kestrune
