#include "backend/cuda/gdn.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "backend/cuda/columns.h"
#include "backend/cuda/gdn_lanes.h"
#include "backend/cuda/matvec.h"
#include "backend/cuda/ops.h"
#include "common/format.h"
#include "numerics/scalar.h"

namespace kestrune {

GdnLayerDevice::GdnLayerDevice(const DeviceApi* api) {
  for (Buffer* b : {&recurrent[0], &recurrent[1], &recurrent[2], &conv[0], &conv[1], &conv[2], &x_dev, &xn, &qkv, &z,
                    &conv_out, &gates, &scan_out, &gated, &yo, &scan_in}) {
    *b = Buffer(api, Buffer::Device);
  }
  x_pin = Buffer(api, Buffer::Pinned);
  scan_pin = Buffer(api, Buffer::Pinned);
}

GdnRoute gdn_route(unsigned column, bool armed) {
  if (!armed || column == 0) return {0, 0};
  return {column - 1, column};
}

namespace {

constexpr uint64_t kMaxScanHead = 1024;  // one thread per state column

// Launch labels and staging-copy labels of one width.
struct GdnLabels {
  const char* name;
  const char* stage_in;
  const char* stage_out;
  const char* norm;
  const char* qkv;  // the two- and three-column products
  const char* z;
  const char* conv;
  const char* gates;
  const char* scan;
  const char* gated;
  const char* out;
  const char* add;
};

constexpr GdnLabels kLabels[3] = {
    {"gdn_mixer", "cudaMemcpy H2D (gdn x)", "cudaMemcpy D2H (gdn x)", "gdn pre-norm launch", "", "",
     "gdn conv+scale launch", "gdn ab+gates launch", "gdn scan launch", "gdn gated-norm launch", "",
     "gdn residual add launch"},
    {"gdn_mixer2", "cudaMemcpy H2D (gdn2 x)", "cudaMemcpy D2H (gdn2 x)", "gdn2 rmsnorm launch", "gdn2 qkv n2 launch",
     "gdn2 z n2 launch", "gdn2 conv+scale launch", "gdn2 ab+gates launch", "gdn2 scan launch",
     "gdn2 gated-norm launch", "gdn2 out n2 launch", "gdn2 add launch"},
    {"gdn_mixer3", "cudaMemcpy H2D (gdn3 x)", "cudaMemcpy D2H (gdn3 x)", "gdn3 rmsnorm launch", "", "",
     "gdn3 conv+scale launch", "gdn3 ab+gates launch", "gdn3 scan launch", "gdn3 gated-norm launch", "",
     "gdn3 residual launch"},
};

// A layer the device can run: its three projections resident-eligible and the two gate
// projections dense.
struct Eligible {
  DeviceShape qkv, z, out;
  const TensorView* qkv_view;
  const TensorView* z_view;
  const TensorView* out_view;
  const CachedTensor* alpha;
  const CachedTensor* beta;
};

std::optional<Eligible> eligible(const GdnWeights& w) {
  const auto qkv = device_shape(w.qkv), z = device_shape(w.gate), out = device_shape(w.out);
  const auto* alpha = std::get_if<const CachedTensor*>(&w.alpha);
  const auto* beta = std::get_if<const CachedTensor*>(&w.beta);
  if (!qkv || !z || !out || alpha == nullptr || *alpha == nullptr || beta == nullptr || *beta == nullptr) {
    return std::nullopt;
  }
  return Eligible{*qkv, *z, *out, &std::get<TensorView>(w.qkv), &std::get<TensorView>(w.gate),
                  &std::get<TensorView>(w.out), *alpha, *beta};
}

bool projections_fit(const GdnGeometry& g, const Eligible& e, uint64_t n) {
  return e.qkv.cols == n && e.qkv.rows == g.channels() && e.z.cols == n && e.z.rows == g.inner() &&
         e.out.cols == g.inner() && e.out.rows == n;
}

bool dense_fits(const CachedTensor* t, uint64_t ne0, uint64_t rows) {
  return t != nullptr && !t->dims.empty() && t->dims[0] == ne0 && t->data.size() == ne0 * rows;
}

bool controls_fit(const GdnGeometry& g, const GdnWeights& w, const Eligible& e, uint64_t n) {
  return w.norm.size() == n && dense_fits(e.alpha, n, g.hv) && dense_fits(e.beta, n, g.hv) &&
         dense_fits(w.conv, g.conv_kernel, g.channels()) && w.dt_bias.size() == g.hv && w.a.size() == g.hv &&
         w.out_norm.size() == g.d;
}

bool state_fits(const GdnGeometry& g, const GdnLayerState& st) {
  return st.recurrent.size() == g.hv * g.d * g.d && st.conv.size() == (g.conv_kernel - 1) * g.channels();
}

bool head_fits(const GdnGeometry& g) { return g.d >= 1 && g.d <= kMaxScanHead && g.hk >= 1; }

std::shared_ptr<GdnLayerDevice> layer_entry(CudaContext& c, uint64_t nonce) {
  std::lock_guard<std::mutex> lock(c.layers->mu);
  auto& slot = c.layers->gdn[nonce];
  if (!slot) slot = std::make_shared<GdnLayerDevice>(c.api);
  return slot;
}

// The front state `b` of `host.size()` floats: uploaded from the host on first use.
Status ensure_front(const DeviceApi& api, Buffer& b, std::span<const float> host, const char* label) {
  const size_t bytes = 4 * host.size();
  if (b.ptr != nullptr) {
    if (b.capacity != bytes) return invalid_data("gdn_mixer: device state does not fit the layer");
    return {};
  }
  KS_CHECK(ensure_device(b, bytes));
  return copy_checked(api, b.ptr, host.data(), bytes, CopyKind::HostToDevice, label);
}

Status launch(const DeviceApi& api, Kernel k, uint32_t grid, uint32_t block, const GdnKernelArgs& a,
              const char* label) {
  Launch l{k};
  l.grid = grid;
  l.block = block;
  l.label = label;
  KernelArgs ka;
  ka.ext = &a;
  return launch_checked(api, l, ka, label);
}

Status launch_scan(const DeviceApi& api, const GdnGeometry& g, const GdnKernelArgs& a, const char* label) {
  const bool wide = g.d == 128;
  return launch(api, wide ? Kernel::GdnScanWide : Kernel::GdnScan, uint32_t(g.hv), wide ? 256u : uint32_t(g.d), a,
                label);
}

bool window_armed(CudaContext& c) {
  std::lock_guard<std::mutex> lock(c.spec_mu);
  return c.spec_armed;
}

// The device chain over k = 1..3 columns of an eligible, checked layer.
Status device_chain(CudaContext& c, const GdnGeometry& g, const GdnWeights& w, const Eligible& e, uint64_t nonce,
                    GdnLayerState& st, ColumnsOut xs, bool may_reside, bool armed, float* out_norm) {
  const size_t k = xs.size(), n = xs[0].size();
  const GdnLabels& lb = kLabels[k - 1];
  const DeviceApi& api = *c.api;
  const int N = int(n), ch = int(g.channels()), inner = int(g.inner()), d = int(g.d), nv = int(g.hv);
  const bool shadows = armed && k > 1;
  // The token lock stays held while the chain runs on the resident columns.
  ResidentColumns resident = may_reside ? resident_columns(c, k, n) : ResidentColumns{};
  float* x = resident.x;
  const bool staged = x == nullptr;

  std::lock_guard<std::mutex> weights(c.weight_mu);
  KS_TRY(const void* w_qkv, resident_weight(c, e.qkv_view->data, e.qkv_view->size));
  KS_TRY(const void* w_z, resident_weight(c, e.z_view->data, e.z_view->size));
  KS_TRY(const void* w_out, resident_weight(c, e.out_view->data, e.out_view->size));
  KS_TRY(const float* norm, resident_norm(c, w.norm));
  KS_TRY(const float* alpha, resident_norm(c, e.alpha->data));
  KS_TRY(const float* beta, resident_norm(c, e.beta->data));
  KS_TRY(const float* conv_w, resident_norm(c, w.conv->data));
  KS_TRY(const float* dt_bias, resident_norm(c, w.dt_bias));
  KS_TRY(const float* a_log, resident_norm(c, w.a));
  KS_TRY(const float* out_norm_w, resident_norm(c, w.out_norm));
  const std::shared_ptr<GdnLayerDevice> entry = layer_entry(c, nonce);
  GdnLayerDevice& L = *entry;
  std::lock_guard<std::mutex> lock(L.mu);

  KS_CHECK(ensure_front(api, L.recurrent[0], st.recurrent, "cudaMemcpy H2D (gdn state)"));
  KS_CHECK(ensure_front(api, L.conv[0], st.conv, "cudaMemcpy H2D (gdn conv state)"));
  if (shadows) {
    for (size_t s = 1; s < k; ++s) {
      KS_CHECK(ensure_device(L.recurrent[s], L.recurrent[0].capacity));
      KS_CHECK(ensure_device(L.conv[s], L.conv[0].capacity));
    }
  }
  for (auto [b, floats] : {std::pair{&L.xn, n}, {&L.qkv, size_t(ch)}, {&L.z, size_t(inner)}, {&L.conv_out, size_t(ch)},
                           {&L.gates, size_t(2 * nv)}, {&L.scan_out, size_t(inner)}, {&L.gated, size_t(inner)},
                           {&L.yo, n}}) {
    KS_CHECK(ensure_device(*b, 4 * k * floats));
  }

  if (staged) {
    KS_CHECK(ensure_device(L.x_dev, 4 * k * n));
    KS_CHECK(ensure_pinned(L.x_pin, 4 * k * n));
    for (size_t j = 0; j < k; ++j) std::memcpy(L.x_pin.floats() + j * n, xs[j].data(), 4 * n);
    KS_CHECK(copy_checked(api, L.x_dev.ptr, L.x_pin.ptr, 4 * k * n, CopyKind::HostToDevice, lb.stage_in));
    x = L.x_dev.floats();
  }

  for (size_t j = 0; j < k; ++j) KS_CHECK(dev_rmsnorm(api, x + j * n, norm, L.xn.floats() + j * n, N, g.eps, lb.norm));
  if (k == 1) {
    KS_CHECK(dev_matvec_dual2(c, e.qkv.fmt, w_qkv, ch, e.z.fmt, w_z, inner, L.xn.floats(), L.qkv.floats(),
                              L.z.floats(), N));
  } else if (k == 2) {
    KS_CHECK(dev_matvec_raw_n2(c, e.qkv.fmt, w_qkv, L.xn.floats(), L.qkv.floats(), N, ch, lb.qkv));
    KS_CHECK(dev_matvec_raw_n2(c, e.z.fmt, w_z, L.xn.floats(), L.z.floats(), N, inner, lb.z));
  } else {
    KS_CHECK(dev_matvec_raw_n3(c, e.qkv.fmt, w_qkv, L.xn.floats(), L.qkv.floats(), N, ch));
    KS_CHECK(dev_matvec_raw_n3(c, e.z.fmt, w_z, L.xn.floats(), L.z.floats(), N, inner));
  }

  const float s = powf(float(g.d), -0.5f);
  const int qk = int(g.qk());
  for (size_t j = 0; j < k; ++j) {
    const GdnRoute r = gdn_route(unsigned(j), shadows);
    GdnKernelArgs a;
    a.d = d;
    a.n_k = int(g.hk);
    a.n_v = nv;
    a.conv_w = conv_w;
    a.state_in = L.conv[r.read].floats();
    a.state_out = L.conv[r.write].floats();
    a.qkv = L.qkv.floats() + j * ch;
    a.conv_out = L.conv_out.floats() + j * ch;
    a.channels = ch;
    a.K = int(g.conv_kernel);
    a.q_scale = s * s;
    a.k_scale = s;
    KS_CHECK(launch(api, Kernel::GdnConvScaled, uint32_t(ch / d), 256, a, lb.conv));
    a.alpha = alpha;
    a.beta_w = beta;
    a.xn = L.xn.floats() + j * n;
    a.dt_bias = dt_bias;
    a.a = a_log;
    a.decay = L.gates.floats() + j * 2 * nv;
    a.beta = a.decay + nv;
    a.n = N;
    KS_CHECK(launch(api, Kernel::GdnAbGates, uint32_t(nv), 256, a, lb.gates));
    a.state_in = L.recurrent[r.read].floats();
    a.state_out = L.recurrent[r.write].floats();
    a.q = a.conv_out;
    a.k = a.conv_out + qk;
    a.v = a.conv_out + 2 * qk;
    a.out = L.scan_out.floats() + j * inner;
    KS_CHECK(launch_scan(api, g, a, lb.scan));
  }
  for (size_t j = 0; j < k; ++j) {
    GdnKernelArgs a;
    a.d = d;
    a.n_v = nv;
    a.scan = L.scan_out.floats() + j * inner;
    a.z = L.z.floats() + j * inner;
    a.norm = out_norm_w;
    a.gated = L.gated.floats() + j * inner;
    a.eps = g.eps;
    KS_CHECK(launch(api, Kernel::GatedNormSilu, uint32_t(nv), 256, a, lb.gated));
  }

  if (k == 1 && out_norm == nullptr) {
    KS_CHECK(dev_matvec_residual(c, e.out.fmt, w_out, L.gated.floats(), L.yo.floats(), x, inner, N));
  } else {
    if (k == 1) {
      KS_CHECK(dev_matvec(c, e.out.fmt, w_out, L.gated.floats(), L.yo.floats(), inner, N));
    } else if (k == 2) {
      KS_CHECK(dev_matvec_raw_n2(c, e.out.fmt, w_out, L.gated.floats(), L.yo.floats(), inner, N, lb.out));
    } else {
      KS_CHECK(dev_matvec_raw_n3(c, e.out.fmt, w_out, L.gated.floats(), L.yo.floats(), inner, N));
    }
    KS_CHECK(dev_add_inplace(api, x, L.yo.floats(), int(k * n), lb.add));
  }
  if (out_norm != nullptr) {
    std::vector<float> last(n);
    KS_CHECK(copy_checked(api, last.data(), L.yo.floats() + (k - 1) * n, 4 * n, CopyKind::DeviceToHost,
                          "cudaMemcpy D2H (gdn out norm)"));
    *out_norm = l2_norm(last);
  }
  if (staged) {
    KS_CHECK(copy_checked(api, L.x_pin.ptr, L.x_dev.ptr, 4 * k * n, CopyKind::DeviceToHost, lb.stage_out));
    for (size_t j = 0; j < k; ++j) std::memcpy(xs[j].data(), L.x_pin.floats() + j * n, 4 * n);
  }
  return {};
}

// The CPU layer with the device's products and scan, one column at a time.
Status host_columns(CudaContext& c, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                    ColumnsOut xs, float* out_norm) {
  HostRun run = cuda_host_run(c);
  run.gdn_scan = [&c, &g](uint64_t key, const GdnLayerState& s, const GdnScanIo& io) {
    return gdn_scan_service(c, g, key, s, io);
  };
  for (size_t j = 0; j < xs.size(); ++j) {
    KS_CHECK(host_gdn_mixer(run, g, w, nonce, st, xs.subspan(j, 1), j + 1 == xs.size() ? out_norm : nullptr));
  }
  return {};
}

Result<bool> pull(CudaContext& c, ColumnsOut xs) {
  if (xs.size() == 1) return token_pull(c, xs[0]);
  if (xs.size() == 2) return token2_pull(c, xs[0], xs[1]);
  return token3_pull(c, xs[0], xs[1], xs[2]);
}

Status push(CudaContext& c, ColumnsOut xs) {
  if (xs.size() == 1) return token_push(c, xs[0]);
  if (xs.size() == 2) return token2_push(c, xs[0], xs[1]);
  return token3_push(c, xs[0], xs[1], xs[2]);
}

// One call of width k = 1..3.
Status gdn_call(CudaContext& c, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                ColumnsOut xs, bool may_reside, float* out_norm) {
  const size_t k = xs.size();
  const char* name = kLabels[k - 1].name;
  const bool armed = window_armed(c);
  const std::optional<Eligible> e = eligible(w);
  if (!e) {
    if (k > 1 && armed) {
      return invalid_data(format("{}: spec window armed but this layer's formats fall back to the serial reference "
                                 "-- no shadow state on that path",
                                 name));
    }
    bool pulled = false;
    if (may_reside) {
      KS_TRY(pulled, pull(c, xs));
    }
    KS_CHECK(host_columns(c, g, w, nonce, st, xs, out_norm));
    return pulled ? push(c, xs) : Status{};
  }
  const uint64_t n = xs[0].size();
  bool same = true;
  for (auto x : xs) same = same && x.size() == n;
  if (k == 1) {
    if (g.conv_kernel < 2) return invalid_data("gdn_mixer: conv_kernel < 2 unsupported");
    if (!projections_fit(g, *e, n)) return invalid_data("gdn_mixer: projection geometry mismatch");
    if (!controls_fit(g, w, *e, n) || !state_fits(g, st)) {
      return invalid_data("gdn_mixer: control tensor geometry mismatch");
    }
  } else {
    const bool fits = same && g.conv_kernel >= 2 && projections_fit(g, *e, n) && controls_fit(g, w, *e, n);
    if (!fits || (k == 2 && !state_fits(g, st))) return invalid_data(format("{}: geometry mismatch", name));
    if (!state_fits(g, st)) return invalid_data("gdn_mixer3: state geometry mismatch");
  }
  if (!head_fits(g)) {
    return invalid_data(format("{}: head size {} with {} key heads unsupported on the device (1 to {})", name, g.d,
                               g.hk, kMaxScanHead));
  }
  if (armed && k > 1) {
    // Recorded before the other locks are taken: the speculation lock is never held with them.
    std::lock_guard<std::mutex> window(c.spec_mu);
    if (std::find(c.spec_keys.begin(), c.spec_keys.end(), nonce) == c.spec_keys.end()) c.spec_keys.push_back(nonce);
  }
  return device_chain(c, g, w, *e, nonce, st, xs, may_reside, armed, out_norm);
}

}  // namespace

Status cuda_gdn_columns(CudaContext& c, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce,
                        GdnLayerState& st, ColumnsOut xs, float* out_norm) {
  if (xs.empty()) return {};
  if (xs.size() <= 3) return gdn_call(c, g, w, nonce, st, xs, true, out_norm);
  // Wider calls (prompt chunks) never own a residency: each column is staged on its own.
  for (size_t j = 0; j < xs.size(); ++j) {
    KS_CHECK(gdn_call(c, g, w, nonce, st, xs.subspan(j, 1), false, j + 1 == xs.size() ? out_norm : nullptr));
  }
  return {};
}

void gdn_spec_arm(CudaContext& c) {
  std::lock_guard<std::mutex> lock(c.spec_mu);
  c.spec_armed = true;
  c.spec_keys.clear();
}

Status gdn_spec_resolve_depth(CudaContext& c, unsigned depth) {
  std::vector<uint64_t> keys;
  {
    std::lock_guard<std::mutex> lock(c.spec_mu);
    if (!c.spec_armed) return invalid_data("spec_resolve without an armed window");
    c.spec_armed = false;
    keys.swap(c.spec_keys);
  }
  if (depth == 0) return {};
  if (depth > 2) return invalid_data("spec_resolve_depth: depth beyond 2");
  for (uint64_t key : keys) {
    std::shared_ptr<GdnLayerDevice> entry;
    {
      std::lock_guard<std::mutex> lock(c.layers->mu);
      auto it = c.layers->gdn.find(key);
      if (it != c.layers->gdn.end()) entry = it->second;
    }
    bool paired = entry != nullptr;
    if (paired) {
      std::lock_guard<std::mutex> lock(entry->mu);
      GdnLayerDevice& L = *entry;
      paired = L.recurrent[0].ptr && L.conv[0].ptr && L.recurrent[depth].ptr && L.conv[depth].ptr;
      if (paired) {
        std::swap(L.recurrent[0], L.recurrent[depth]);
        std::swap(L.conv[0], L.conv[depth]);
      }
    }
    if (!paired) {
      char hex[32];
      std::snprintf(hex, sizeof hex, "0x%" PRIx64, key);
      return invalid_data(std::string("spec_resolve: nonce ") + hex + " missing a front/shadow pair");
    }
  }
  return {};
}

Status gdn_scan_service(CudaContext& c, const GdnGeometry& g, uint64_t nonce, const GdnLayerState& st,
                        const GdnScanIo& io) {
  const size_t qk = size_t(g.qk()), inner = size_t(g.inner()), nv = size_t(g.hv);
  if (!head_fits(g) || io.q.size() != qk || io.k.size() != qk || io.v.size() != inner || io.decay.size() < nv ||
      io.beta.size() < nv || io.out.size() != inner || st.recurrent.size() != nv * g.d * g.d) {
    return invalid_data("gdn scan: geometry mismatch");
  }
  const DeviceApi& api = *c.api;
  std::lock_guard<std::mutex> weights(c.weight_mu);
  const std::shared_ptr<GdnLayerDevice> entry = layer_entry(c, nonce);
  GdnLayerDevice& L = *entry;
  std::lock_guard<std::mutex> lock(L.mu);
  KS_CHECK(ensure_front(api, L.recurrent[0], st.recurrent, "cudaMemcpy H2D (gdn state)"));
  const size_t total = 2 * qk + inner + 2 * nv;
  KS_CHECK(ensure_pinned(L.scan_pin, 4 * std::max(total, inner)));
  KS_CHECK(ensure_device(L.scan_in, 4 * total));
  KS_CHECK(ensure_device(L.scan_out, 4 * inner));
  float* p = L.scan_pin.floats();
  for (auto part : {io.q, io.k, io.v, io.decay.first(nv), io.beta.first(nv)}) {
    std::memcpy(p, part.data(), 4 * part.size());
    p += part.size();
  }
  KS_CHECK(copy_checked(api, L.scan_in.ptr, L.scan_pin.ptr, 4 * total, CopyKind::HostToDevice,
                        "cudaMemcpy H2D (gdn in)"));
  GdnKernelArgs a;
  a.d = int(g.d);
  a.n_k = int(g.hk);
  a.n_v = int(nv);
  a.q = L.scan_in.floats();
  a.k = a.q + qk;
  a.v = a.k + qk;
  a.decay = L.scan_in.floats() + 2 * qk + inner;
  a.beta = a.decay + nv;
  a.state_in = L.recurrent[0].floats();
  a.state_out = L.recurrent[0].floats();
  a.out = L.scan_out.floats();
  KS_CHECK(launch_scan(api, g, a, "gdn_scan launch"));
  KS_CHECK(copy_checked(api, L.scan_pin.ptr, L.scan_out.ptr, 4 * inner, CopyKind::DeviceToHost,
                        "cudaMemcpy D2H (gdn out)"));
  std::memcpy(io.out.data(), L.scan_pin.ptr, 4 * inner);
  return {};
}

}  // namespace kestrune
