#include "backend/cuda/attention.h"

#include <math.h>

#include <algorithm>
#include <memory>

#include "backend/cuda/attn_lanes.h"
#include "backend/cuda/columns.h"
#include "backend/cuda/ops.h"
#include "common/format.h"

namespace kestrune {

AttnLayerDevice::AttnLayerDevice(const DeviceApi* api)
    : k(api, Buffer::Device), v(api, Buffer::Device), scores(api, Buffer::Device) {}

namespace {

const char* const kInconsistent = "attn_mixer: kv cache length inconsistent with pos";

// The layer's entry in the store, created empty on first use.
std::shared_ptr<AttnLayerDevice> layer_entry(CudaContext& c, uint64_t nonce) {
  std::lock_guard<std::mutex> lock(c.layers->mu);
  auto& slot = c.layers->attn[nonce];
  if (!slot) slot = std::make_shared<AttnLayerDevice>(c.api);
  return slot;
}

// Seeds the device cache from the host cache on the layer's first call, then makes room
// for positions [pos, pos + k). The caller holds the entry's lock.
Status prepare_cache(CudaContext& c, AttnLayerDevice& e, const KvCache& kv, uint32_t pos, size_t k,
                     uint64_t kv_dim) {
  const char* inconsistent = kInconsistent;
  if (!e.seeded) {
    const uint64_t host_positions = kv.k.size() / kv_dim;
    if (kv.k.size() != kv.v.size() || kv.k.size() % kv_dim != 0 || host_positions < pos) {
      return invalid_data(inconsistent);
    }
    const uint64_t cap = std::max<uint64_t>({uint64_t{pos} + k, host_positions, 64}) * kv_dim * 4;
    Buffer nk(c.api, Buffer::Device), nv(c.api, Buffer::Device);
    KS_CHECK(ensure_device(nk, cap));
    KS_CHECK(ensure_device(nv, cap));
    if (!kv.k.empty()) {
      KS_CHECK(copy_checked(*c.api, nk.ptr, kv.k.data(), 4 * kv.k.size(), CopyKind::HostToDevice, "cudaMemcpy H2D (kv seed k)"));
      KS_CHECK(copy_checked(*c.api, nv.ptr, kv.v.data(), 4 * kv.v.size(), CopyKind::HostToDevice, "cudaMemcpy H2D (kv seed v)"));
    }
    e.k = std::move(nk);
    e.v = std::move(nv);
    e.filled = host_positions;
    e.seeded = true;
  }
  // Positions past `filled` were never written: a call there would attend over garbage.
  if (pos > e.filled) return invalid_data(inconsistent);
  const size_t need = (size_t{pos} + k) * kv_dim * 4;
  KS_CHECK(grow_preserving(e.k, need));
  return grow_preserving(e.v, need);
}

Status launch_attn_kernel(const DeviceApi& api, Kernel kernel, uint64_t grid, const AttnOperands& o,
                          const char* label, uint32_t grid_y = 1) {
  Launch l{kernel};
  l.grid = uint32_t(grid);
  l.grid_y = grid_y;
  l.block = 256;
  l.label = label;
  KernelArgs a;
  a.ext = &o;
  return launch_checked(api, l, a, label);
}

}  // namespace

Result<Activations> cuda_attention(CudaContext& c, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                                   uint64_t nonce, KvCache& kv, const Activations& qg, const Activations& k,
                                   const Activations& v) {
  const size_t n = qg.k, hd = g.head_dim, q_dim = g.n_head * hd, kv_dim = g.kv_width();
  if (g.n_kv == 0 || g.n_head % g.n_kv != 0) return invalid_data("attn_mixer: n_head % n_kv != 0");
  if (g.rope_dim > g.head_dim || g.rope_dim % 2 != 0) return invalid_data("attn_mixer: bad rope_dim");
  if (qg.n != 2 * q_dim) return invalid_data(format("attn_mixer: q rows {} != 2*n_head*hd_k {}", qg.n, 2 * q_dim));
  if (k.k != n || v.k != n || k.n != kv_dim || v.n != kv_dim) {
    return invalid_data("attn_mixer: k/v projection geometry mismatch");
  }
  if (w.q_norm.size() != hd || w.k_norm.size() != hd) return invalid_data("attn_mixer: norm geometry mismatch");
  Activations sq, sk, sv;
  KS_TRY(const float* qg_in, device_input(c, qg, sq, "attn_mixer"));
  KS_TRY(const float* keys, device_input(c, k, sk, "attn_mixer"));
  KS_TRY(const float* values, device_input(c, v, sv, "attn_mixer"));
  KS_TRY(const float* q_norm, resident_norm(c, w.q_norm));
  KS_TRY(const float* k_norm, resident_norm(c, w.k_norm));
  KS_TRY(const float* freqs, resident_rope_frequencies(c, g.rope_dim, g.rope_base));
  KS_TRY(Activations q, device_columns(c, n, q_dim));
  KS_TRY(Activations out, device_columns(c, n, q_dim));

  const std::shared_ptr<AttnLayerDevice> entry = layer_entry(c, nonce);
  AttnLayerDevice& e = *entry;
  std::lock_guard<std::mutex> lock(e.mu);
  KS_CHECK(prepare_cache(c, e, kv, pos, n, kv_dim));
  const size_t cache_positions = e.k.capacity / (4 * kv_dim);
  const size_t partials = size_t(lanes::attn_split_count(int(cache_positions))) * (hd + 2);
  KS_CHECK(ensure_device(e.scores, 4 * g.n_head * std::max(cache_positions, partials)));

  // Column by column: each appends its key and value before the next one attends.
  const DeviceApi& api = *c.api;
  const float scale = 1.0f / sqrtf(static_cast<float>(hd));
  for (size_t j = 0; j < n; ++j) {
    AttnOperands o;
    o.head_dim = int(hd);
    o.rope_dim = int(g.rope_dim);
    o.n_head = int(g.n_head);
    o.n_kv = int(g.n_kv);
    o.kv_dim = int(kv_dim);
    o.pos = int(pos + j);
    o.n_pos = int(pos + j + 1);
    o.freqs = freqs;
    o.eps = g.eps;
    o.scale = scale;
    o.qg = qg_in + j * 2 * q_dim;
    o.q_out = q.device->floats() + j * q_dim;
    o.q = o.q_out;
    o.k = keys + j * kv_dim;
    o.v = values + j * kv_dim;
    o.k_cache = e.k.floats();
    o.v_cache = e.v.floats();
    o.out = out.device->floats() + j * q_dim;
    o.scores = e.scores.floats();
    o.norm = q_norm;
    KS_CHECK(launch_attn_kernel(api, Kernel::AttnQPrep, g.n_head, o, "attn qprep launch"));
    o.norm = k_norm;
    KS_CHECK(launch_attn_kernel(api, Kernel::AttnKvAppend, g.n_kv, o, "attn kv-append launch"));
    if (o.n_pos < lanes::kAttnSplitFrom) {
      KS_CHECK(launch_attn_kernel(api, Kernel::AttnCore, g.n_head, o, "attn core launch"));
    } else {
      o.n_split = lanes::attn_split_count(o.n_pos);
      KS_CHECK(launch_attn_kernel(api, Kernel::AttnSplit, g.n_head, o, "attn split launch", uint32_t(o.n_split)));
      KS_CHECK(launch_attn_kernel(api, Kernel::AttnCombine, g.n_head, o, "attn combine launch"));
    }
  }
  e.filled = size_t{pos} + n;
  return out;
}

}  // namespace kestrune
