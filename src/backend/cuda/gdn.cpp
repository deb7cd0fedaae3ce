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
#include "backend/cuda/ops.h"
#include "common/format.h"
#include "numerics/scalar.h"

namespace kestrune {

GdnLayerDevice::GdnLayerDevice(const DeviceApi* api) {
  for (Buffer* b : {&recurrent[0], &recurrent[1], &recurrent[2], &conv[0], &conv[1], &conv[2]}) {
    *b = Buffer(api, Buffer::Device);
  }
}

GdnRoute gdn_route(unsigned column, bool armed) {
  if (!armed || column == 0) return {0, 0};
  return {column - 1, column};
}

namespace {

constexpr uint64_t kMaxScanHead = 1024;  // one thread per state column

bool dense_fits(const CachedTensor* t, uint64_t ne0, uint64_t rows) {
  return t != nullptr && !t->dims.empty() && t->dims[0] == ne0 && t->data.size() == ne0 * rows;
}

const CachedTensor* dense(const Matrix& m) {
  const auto* t = std::get_if<const CachedTensor*>(&m);
  return t ? *t : nullptr;
}

Status check_heads(const GdnGeometry& g) {
  if (g.d >= 1 && g.d <= kMaxScanHead && g.hk >= 1) return {};
  return invalid_data(format("gdn_mixer: head size {} with {} key heads unsupported on the device (1 to {})", g.d,
                             g.hk, kMaxScanHead));
}

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

// Whether the columns of a call route through the shadows: several columns in an open
// window. The layer is recorded for the resolve before any other lock is taken.
bool shadows_for(CudaContext& c, uint64_t nonce, size_t columns) {
  std::lock_guard<std::mutex> window(c.spec_mu);
  if (!c.spec_armed || columns < 2) return false;
  if (std::find(c.spec_keys.begin(), c.spec_keys.end(), nonce) == c.spec_keys.end()) c.spec_keys.push_back(nonce);
  return true;
}

// The layer's states of one kind: the front seeded from the host, the shadows sized to
// it when the call routes through them.
Status prepare_states(const DeviceApi& api, Buffer (&states)[3], std::span<const float> host, size_t columns,
                      bool shadows, const char* label) {
  KS_CHECK(ensure_front(api, states[0], host, label));
  if (!shadows) return {};
  for (size_t s = 1; s < std::min<size_t>(columns, 3); ++s) KS_CHECK(ensure_device(states[s], states[0].capacity));
  if (columns > 3) return invalid_data("gdn_mixer: more than three columns in a speculative window");
  return {};
}

}  // namespace

bool cuda_gates_fit(const GdnGeometry& g, const GdnWeights& w, size_t n) {
  return dense_fits(dense(w.alpha), n, g.hv) && dense_fits(dense(w.beta), n, g.hv) && w.a.size() >= g.hv &&
         w.dt_bias.size() >= g.hv;
}

Result<Activations> cuda_gdn_gates(CudaContext& c, const GdnGeometry& g, const GdnWeights& w, const Activations& xn) {
  const CachedTensor *alpha = dense(w.alpha), *beta = dense(w.beta);
  if (!cuda_gates_fit(g, w, xn.n)) return invalid_data("gdn_mixer: gate weights the device cannot read");
  Activations staged;
  KS_TRY(const float* in, device_input(c, xn, staged, "gdn_mixer"));
  KS_TRY(const float* alpha_w, resident_norm(c, alpha->data));
  KS_TRY(const float* beta_w, resident_norm(c, beta->data));
  KS_TRY(const float* dt_bias, resident_norm(c, w.dt_bias.first(g.hv)));
  KS_TRY(const float* a_log, resident_norm(c, w.a.first(g.hv)));
  const size_t nv = g.hv;
  KS_TRY(Activations out, device_columns(c, xn.k, 2 * nv));
  for (size_t j = 0; j < xn.k; ++j) {
    GdnKernelArgs a;
    a.n_v = int(nv);
    a.alpha = alpha_w;
    a.beta_w = beta_w;
    a.xn = in + j * xn.n;
    a.dt_bias = dt_bias;
    a.a = a_log;
    a.decay = out.device->floats() + j * 2 * nv;
    a.beta = a.decay + nv;
    a.n = int(xn.n);
    KS_CHECK(launch(*c.api, Kernel::GdnAbGates, uint32_t(nv), 256, a, "gdn ab+gates launch"));
  }
  return out;
}

Result<Activations> cuda_gdn_conv(CudaContext& c, const GdnGeometry& g, const CachedTensor& w, uint64_t nonce,
                                  GdnLayerState& st, const Activations& qkv) {
  const uint64_t K = g.conv_kernel, C = g.channels();
  if (K < 2) return invalid_data("gdn_mixer: conv_kernel < 2 unsupported");
  if (qkv.n != C || st.conv.size() != (K - 1) * C) {
    return invalid_data(format("gdn_mixer: qkv/conv geometry mismatch (qkv {}, conv {}, width {})", qkv.n,
                               st.conv.size(), C));
  }
  if (!dense_fits(&w, K, C)) {
    return invalid_data(format("gdn_mixer: conv weight dims {} too small for conv_kernel {} x channels {}",
                               list_str(w.dims), K, C));
  }
  KS_CHECK(check_heads(g));
  const bool shadows = shadows_for(c, nonce, qkv.k);
  Activations staged;
  KS_TRY(const float* in, device_input(c, qkv, staged, "gdn_mixer"));
  KS_TRY(const float* conv_w, resident_norm(c, w.data));
  KS_TRY(Activations out, device_columns(c, qkv.k, C));
  const std::shared_ptr<GdnLayerDevice> entry = layer_entry(c, nonce);
  GdnLayerDevice& L = *entry;
  std::lock_guard<std::mutex> lock(L.mu);
  KS_CHECK(prepare_states(*c.api, L.conv, st.conv, qkv.k, shadows, "cudaMemcpy H2D (gdn conv state)"));
  const float s = powf(float(g.d), -0.5f);
  for (size_t j = 0; j < qkv.k; ++j) {
    const GdnRoute r = gdn_route(unsigned(j), shadows);
    GdnKernelArgs a;
    a.d = int(g.d);
    a.n_k = int(g.hk);
    a.n_v = int(g.hv);
    a.conv_w = conv_w;
    a.state_in = L.conv[r.read].floats();
    a.state_out = L.conv[r.write].floats();
    a.qkv = in + j * C;
    a.conv_out = out.device->floats() + j * C;
    a.channels = int(C);
    a.K = int(K);
    a.q_scale = s * s;
    a.k_scale = s;
    KS_CHECK(launch(*c.api, Kernel::GdnConvScaled, uint32_t(C / g.d), 256, a, "gdn conv+scale launch"));
  }
  return out;
}

Result<Activations> cuda_gdn_scan(CudaContext& c, const GdnGeometry& g, uint64_t nonce, GdnLayerState& st,
                                  const Activations& qkv, const Activations& gates) {
  const size_t nv = g.hv, qk = g.qk(), inner = g.inner();
  if (qkv.n != g.channels() || gates.k != qkv.k || gates.n != 2 * nv) {
    return invalid_data("gdn_mixer: scan geometry mismatch");
  }
  if (st.recurrent.size() != nv * g.d * g.d) return invalid_data("gdn_mixer: recurrent state geometry mismatch");
  KS_CHECK(check_heads(g));
  const bool shadows = shadows_for(c, nonce, qkv.k);
  Activations sq, sg;
  KS_TRY(const float* in, device_input(c, qkv, sq, "gdn_mixer"));
  KS_TRY(const float* gate_in, device_input(c, gates, sg, "gdn_mixer"));
  KS_TRY(Activations out, device_columns(c, qkv.k, inner));
  const std::shared_ptr<GdnLayerDevice> entry = layer_entry(c, nonce);
  GdnLayerDevice& L = *entry;
  std::lock_guard<std::mutex> lock(L.mu);
  KS_CHECK(prepare_states(*c.api, L.recurrent, st.recurrent, qkv.k, shadows, "cudaMemcpy H2D (gdn state)"));
  const bool wide = g.d == 128;
  for (size_t j = 0; j < qkv.k; ++j) {
    const GdnRoute r = gdn_route(unsigned(j), shadows);
    GdnKernelArgs a;
    a.d = int(g.d);
    a.n_k = int(g.hk);
    a.n_v = int(nv);
    a.state_in = L.recurrent[r.read].floats();
    a.state_out = L.recurrent[r.write].floats();
    a.q = in + j * g.channels();
    a.k = a.q + qk;
    a.v = a.q + 2 * qk;
    a.decay = const_cast<float*>(gate_in) + j * 2 * nv;  // read only by the scan
    a.beta = a.decay + nv;
    a.out = out.device->floats() + j * inner;
    KS_CHECK(launch(*c.api, wide ? Kernel::GdnScanWide : Kernel::GdnScan, uint32_t(nv), wide ? 256u : uint32_t(g.d),
                    a, "gdn scan launch"));
  }
  return out;
}

Result<Activations> cuda_gated_norm(CudaContext& c, const GdnGeometry& g, std::span<const float> w,
                                    const Activations& scan, const Activations& z) {
  const size_t inner = g.inner();
  if (w.size() < g.d) return invalid_data(format("gdn_mixer: ssm_norm length {} < d {}", w.size(), g.d));
  if (z.n != inner) return invalid_data(format("gdn_mixer: gate rows {} != inner {}", z.n, inner));
  if (scan.k != z.k || scan.n != inner) return invalid_data("gdn_mixer: gate column count mismatch");
  Activations ss, sz;
  KS_TRY(const float* in, device_input(c, scan, ss, "gdn_mixer"));
  KS_TRY(const float* z_in, device_input(c, z, sz, "gdn_mixer"));
  KS_TRY(const float* norm, resident_norm(c, w.first(g.d)));
  KS_TRY(Activations out, device_columns(c, z.k, inner));
  for (size_t j = 0; j < z.k; ++j) {
    GdnKernelArgs a;
    a.d = int(g.d);
    a.n_v = int(g.hv);
    a.scan = in + j * inner;
    a.z = z_in + j * inner;
    a.norm = norm;
    a.gated = out.device->floats() + j * inner;
    a.eps = g.eps;
    KS_CHECK(launch(*c.api, Kernel::GatedNormSilu, uint32_t(g.hv), 256, a, "gdn gated-norm launch"));
  }
  return out;
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

}  // namespace kestrune
