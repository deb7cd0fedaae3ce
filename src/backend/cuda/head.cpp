#include "backend/cuda/head.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "backend/cuda/matvec.h"
#include "backend/cuda/ops.h"
#include "common/format.h"

namespace kestrune {

HeadScratch::HeadScratch(const DeviceApi* api)
    : xn(api, Buffer::Device), logits(api, Buffer::Device), pinned(api, Buffer::Pinned) {}

namespace {

Status host_head(CudaContext& c, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  return host_logits_head(cuda_host_run(c), w, eps, xs, logits);
}

HeadScratch& head_scratch(CudaContext& c) {
  if (!c.head) c.head = std::make_shared<HeadScratch>(c.api);
  return *c.head;
}

bool geometry_columns_equal(ColumnsIn xs) {
  return std::all_of(xs.begin(), xs.end(), [&](std::span<const float> x) { return x.size() == xs[0].size(); });
}

bool geometry_ok(const HeadWeights& w, const DeviceShape& s, ColumnsIn xs, ColumnsOut logits) {
  const size_t n = xs[0].size();
  for (size_t j = 0; j < xs.size(); ++j) {
    if (xs[j].size() != n || logits[j].size() != s.rows) return false;
  }
  return w.norm.size() == n && s.cols == n;
}

struct HeadLabels {
  const char* mismatch;
  const char* geometry;
  const char* stage_in;
  const char* norm;
  const char* download;
  const char* pull[3];
};

const HeadLabels kMulti[2] = {
    {"logits_head2: mismatched residency active -- batch-2 head refuses (columns would be stale)",
     "logits_head2: geometry mismatch", "cudaMemcpy H2D (head2 x)", "head2 norm launch",
     "cudaMemcpy D2H (head2 logits)", {"cudaMemcpy D2H (token2 pull col0)", "cudaMemcpy D2H (token2 pull col1)", ""}},
    {"logits_head3: mismatched residency active -- batch-3 head refuses (columns would be stale)",
     "logits_head3: geometry mismatch", "cudaMemcpy H2D (head3 x)", "head3 norm launch",
     "cudaMemcpy D2H (head3 logits)",
     {"cudaMemcpy D2H (token3 pull)", "cudaMemcpy D2H (token3 pull)", "cudaMemcpy D2H (token3 pull)"}},
};

Status single_head(CudaContext& c, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  std::unique_lock<std::mutex> token(c.token_mu);
  TokenResidency& t = c.token;
  if (t.active && t.columns != 1) {
    return invalid_data("logits_head: batch residency active -- serial head refuses (use the matching batch head)");
  }
  const size_t n = xs[0].size();
  if (!t.active || t.n != n) {
    token.unlock();
    return host_head(c, w, eps, xs, logits);
  }
  const auto shape = device_shape(w.head);
  if (!shape) {
    // The residual comes down and the host head takes over.
    std::vector<float> x(n);
    KS_CHECK(copy_checked(*c.api, x.data(), t.device.ptr, 4 * n, CopyKind::DeviceToHost, "cudaMemcpy D2H (token x)"));
    t.active = false;
    token.unlock();
    const std::span<const float> col[1] = {x};
    return host_head(c, w, eps, col, logits);
  }
  if (!geometry_ok(w, *shape, xs, logits)) return invalid_data("logits_head: geometry mismatch");
  const size_t rows = shape->rows;
  std::lock_guard<std::mutex> weights(c.weight_mu);
  KS_TRY(const void* wh, resident_weight(c, w.head.data, w.head.size));
  KS_TRY(const float* norm, resident_norm(c, w.norm));
  HeadScratch& s = head_scratch(c);
  KS_CHECK(ensure_device(s.xn, 4 * n));
  KS_CHECK(ensure_device(s.logits, 4 * rows));
  KS_CHECK(ensure_pinned(s.pinned, 4 * rows));
  KS_CHECK(dev_rmsnorm(*c.api, t.device.floats(), norm, s.xn.floats(), int(n), eps, "head norm launch"));
  KS_CHECK(dev_matvec(c, shape->fmt, wh, s.xn.floats(), s.logits.floats(), int(n), int(rows)));
  KS_CHECK(copy_checked(*c.api, s.pinned.ptr, s.logits.ptr, 4 * rows, CopyKind::DeviceToHost,
                        "cudaMemcpy D2H (logits)"));
  std::memcpy(logits[0].data(), s.pinned.ptr, 4 * rows);
  t.active = false;
  return {};
}

Status multi_head(CudaContext& c, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  const size_t k = xs.size();
  const HeadLabels& L = kMulti[k - 2];
  std::unique_lock<std::mutex> token(c.token_mu);
  TokenResidency& t = c.token;
  if (t.active && t.columns != k) return invalid_data(L.mismatch);
  const bool resident = t.active;
  const auto shape = device_shape(w.head);
  if (!shape) {
    Columns host(k);
    for (size_t j = 0; j < k; ++j) host[j].assign(xs[j].begin(), xs[j].end());
    if (resident && t.n == xs[0].size() && geometry_columns_equal(xs)) {
      for (size_t j = 0; j < k; ++j) {
        KS_CHECK(copy_checked(*c.api, host[j].data(), t.device.floats() + j * t.n, 4 * t.n, CopyKind::DeviceToHost,
                              L.pull[j]));
      }
      t.active = false;
    }
    token.unlock();
    return host_head(c, w, eps, column_spans(host), logits);
  }
  if (!geometry_ok(w, *shape, xs, logits) || (resident && t.n != xs[0].size())) return invalid_data(L.geometry);
  const size_t n = xs[0].size(), rows = shape->rows;
  std::lock_guard<std::mutex> weights(c.weight_mu);
  KS_TRY(const void* wh, resident_weight(c, w.head.data, w.head.size));
  KS_TRY(const float* norm, resident_norm(c, w.norm));
  HeadScratch& s = head_scratch(c);
  KS_CHECK(ensure_device(s.xn, 4 * k * n));
  KS_CHECK(ensure_device(s.logits, 4 * k * rows));
  KS_CHECK(ensure_pinned(s.pinned, 4 * k * std::max(n, rows)));
  // Staged columns go up into the normalized buffer and are normalized in place.
  const float* x = resident ? t.device.floats() : s.xn.floats();
  if (!resident) {
    for (size_t j = 0; j < k; ++j) std::memcpy(s.pinned.floats() + j * n, xs[j].data(), 4 * n);
    KS_CHECK(copy_checked(*c.api, s.xn.ptr, s.pinned.ptr, 4 * k * n, CopyKind::HostToDevice, L.stage_in));
  }
  for (size_t j = 0; j < k; ++j) {
    KS_CHECK(dev_rmsnorm(*c.api, x + j * n, norm, s.xn.floats() + j * n, int(n), eps, L.norm));
  }
  if (k == 2) {
    KS_CHECK(dev_matvec_n2(c, shape->fmt, wh, s.xn.floats(), s.logits.floats(), int(n), int(rows)));
  } else {
    KS_CHECK(dev_matvec_n3(c, shape->fmt, wh, s.xn.floats(), s.logits.floats(), int(n), int(rows)));
  }
  KS_CHECK(copy_checked(*c.api, s.pinned.ptr, s.logits.ptr, 4 * k * rows, CopyKind::DeviceToHost, L.download));
  for (size_t j = 0; j < k; ++j) std::memcpy(logits[j].data(), s.pinned.floats() + j * rows, 4 * rows);
  if (resident) t.active = false;
  return {};
}

}  // namespace

Status logits_head_device(CudaContext& c, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  if (xs.empty()) return {};
  if (xs.size() != logits.size()) return invalid_data("logits_head: geometry mismatch");
  if (xs.size() == 1) return single_head(c, w, eps, xs, logits);
  if (xs.size() <= 3) return multi_head(c, w, eps, xs, logits);
  return host_head(c, w, eps, xs, logits);
}

}  // namespace kestrune
