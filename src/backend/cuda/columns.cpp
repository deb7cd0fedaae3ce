#include "backend/cuda/columns.h"

#include <cstring>
#include <mutex>

namespace kestrune {

ResidentColumns resident_columns(CudaContext& c, size_t k, size_t n) {
  std::unique_lock<std::mutex> lock(c.token_mu);
  const TokenResidency& t = c.token;
  if (!t.active || t.columns != k || t.n != n) return {};
  return {std::move(lock), t.device.floats()};
}

Status stage_columns_in(const DeviceApi& api, Buffer& pinned, Buffer& device, ColumnsOut xs, const char* label) {
  const size_t n = xs[0].size(), bytes = 4 * n * xs.size();
  KS_CHECK(ensure_pinned(pinned, bytes));
  KS_CHECK(ensure_device(device, bytes));
  for (size_t j = 0; j < xs.size(); ++j) std::memcpy(pinned.floats() + j * n, xs[j].data(), 4 * n);
  return copy_checked(api, device.ptr, pinned.ptr, bytes, CopyKind::HostToDevice, label);
}

Status stage_columns_out(const DeviceApi& api, Buffer& pinned, const Buffer& device, ColumnsOut xs,
                         const char* label) {
  const size_t n = xs[0].size(), bytes = 4 * n * xs.size();
  KS_CHECK(copy_checked(api, pinned.ptr, device.ptr, bytes, CopyKind::DeviceToHost, label));
  for (size_t j = 0; j < xs.size(); ++j) std::memcpy(xs[j].data(), pinned.floats() + j * n, 4 * n);
  return {};
}

bool column_lengths_equal(ColumnsOut xs) {
  for (auto x : xs) {
    if (x.size() != xs[0].size()) return false;
  }
  return true;
}

}  // namespace kestrune
