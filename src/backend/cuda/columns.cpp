#include "backend/cuda/columns.h"

#include <algorithm>
#include <cstring>

#include "common/format.h"

namespace kestrune {

DeviceColumns::~DeviceColumns() {
  if (!pool || buf.ptr == nullptr) return;
  std::lock_guard<std::mutex> lock(pool->mu);
  const size_t bytes = buf.capacity;
  pool->spare.emplace(bytes, std::move(buf));
}

Result<Activations> device_columns(CudaContext& c, size_t k, size_t n) {
  const size_t bytes = std::max<size_t>(4 * k * n, 4);
  auto d = std::make_shared<DeviceColumns>();
  d->pool = c.columns;
  {
    std::lock_guard<std::mutex> lock(c.columns->mu);
    auto it = c.columns->spare.find(bytes);
    if (it != c.columns->spare.end()) {
      d->buf = std::move(it->second);
      c.columns->spare.erase(it);
    }
  }
  if (d->buf.ptr == nullptr) {
    d->buf = Buffer(c.api, Buffer::Device);
    KS_CHECK(ensure_device(d->buf, bytes));
  }
  Activations a;
  a.k = k;
  a.n = n;
  a.device = std::move(d);
  return a;
}

namespace {

// Host columns → pinned → device, one copy.
Status stage_up(CudaContext& c, const Columns& xs, float* dst, size_t n, const char* label) {
  std::lock_guard<std::mutex> lock(c.staging_mu);
  KS_CHECK(ensure_pinned(c.staging, std::max<size_t>(4 * xs.size() * n, 4)));
  for (size_t j = 0; j < xs.size(); ++j) std::memcpy(c.staging.floats() + j * n, xs[j].data(), 4 * n);
  return copy_checked(*c.api, dst, c.staging.ptr, 4 * xs.size() * n, CopyKind::HostToDevice, label);
}

Status check_lengths(const Columns& xs, size_t n, const char* op) {
  for (const auto& x : xs) {
    if (x.size() != n) return invalid_data(format("{}: column length mismatch", op));
  }
  return {};
}

}  // namespace

Result<const float*> device_input(CudaContext& c, const Activations& a, Activations& staged, const char* op,
                                  size_t n) {
  if (a.device) {
    if (n != 0 && a.n != n) return invalid_data(format("{}: column length mismatch", op));
    return static_cast<const float*>(a.device->floats());
  }
  const size_t width = n != 0 ? n : a.n;
  KS_CHECK(check_lengths(a.host, width, op));
  KS_TRY(staged, device_columns(c, a.host.size(), width));
  KS_CHECK(stage_up(c, a.host, staged.device->floats(), width, "cudaMemcpy H2D (columns)"));
  return static_cast<const float*>(staged.device->floats());
}

Status make_resident(CudaContext& c, Activations& a, const char* op) {
  if (a.device) return {};
  Activations staged;
  KS_TRY(const float* p, device_input(c, a, staged, op));
  (void)p;
  a = std::move(staged);
  return {};
}

Result<Activations> cuda_slice(CudaContext& c, const Activations& a, size_t first, size_t count) {
  KS_TRY(Activations out, device_columns(c, count, a.n));
  if (count > 0) {
    KS_CHECK(copy_checked(*c.api, out.device->floats(), a.device->floats() + first * a.n, 4 * count * a.n,
                          CopyKind::DeviceToDevice, "cudaMemcpy D2D (columns)"));
  }
  return out;
}

Result<Activations> cuda_concat(CudaContext& c, std::span<const Activations> parts) {
  size_t k = 0;
  const size_t n = parts.empty() ? 0 : parts[0].n;
  for (const Activations& p : parts) {
    if (p.n != n) return invalid_data("concat: column length mismatch");
    k += p.k;
  }
  KS_TRY(Activations out, device_columns(c, k, n));
  size_t at = 0;
  for (const Activations& p : parts) {
    Activations staged;
    KS_TRY(const float* src, device_input(c, p, staged, "concat", n));
    if (p.k > 0) {
      KS_CHECK(copy_checked(*c.api, out.device->floats() + at * n, src, 4 * p.k * n, CopyKind::DeviceToDevice,
                            "cudaMemcpy D2D (columns)"));
    }
    at += p.k;
  }
  return out;
}

Result<Activations> cuda_upload(CudaContext& c, Columns xs) {
  const size_t n = xs.empty() ? 0 : xs[0].size();
  KS_CHECK(check_lengths(xs, n, "upload"));
  KS_TRY(Activations a, device_columns(c, xs.size(), n));
  if (!xs.empty()) KS_CHECK(stage_up(c, xs, a.device->floats(), n, "cudaMemcpy H2D (token x)"));
  return a;
}

Result<Columns> cuda_download(CudaContext& c, const Activations& a) {
  if (!a.device) return a.host;
  Columns out(a.k, std::vector<float>(a.n));
  std::lock_guard<std::mutex> lock(c.staging_mu);
  KS_CHECK(ensure_pinned(c.staging, std::max<size_t>(4 * a.k * a.n, 4)));
  KS_CHECK(copy_checked(*c.api, c.staging.ptr, a.device->floats(), 4 * a.k * a.n, CopyKind::DeviceToHost,
                        "cudaMemcpy D2H (columns)"));
  for (size_t j = 0; j < a.k; ++j) std::memcpy(out[j].data(), c.staging.floats() + j * a.n, 4 * a.n);
  return out;
}

Result<std::vector<float>> cuda_download_column(CudaContext& c, const Activations& a, size_t j) {
  if (!a.device) return a.host[j];
  std::vector<float> out(a.n);
  KS_CHECK(copy_checked(*c.api, out.data(), a.device->floats() + j * a.n, 4 * a.n, CopyKind::DeviceToHost,
                        "cudaMemcpy D2H (column)"));
  return out;
}

}  // namespace kestrune
