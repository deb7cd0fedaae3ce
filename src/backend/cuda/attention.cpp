#include "backend/cuda/attention.h"

#include <math.h>

#include <algorithm>
#include <memory>

#include "backend/cuda/attn_lanes.h"
#include "backend/cuda/columns.h"
#include "backend/cuda/matvec.h"
#include "common/format.h"

namespace kestrune {

AttnLayerDevice::AttnLayerDevice(const DeviceApi* api)
    : k(api, Buffer::Device),
      v(api, Buffer::Device),
      x_dev(api, Buffer::Device),
      x_pin(api, Buffer::Pinned),
      xn(api, Buffer::Device),
      qg(api, Buffer::Device),
      q(api, Buffer::Device),
      keys(api, Buffer::Device),
      values(api, Buffer::Device),
      scores(api, Buffer::Device),
      att(api, Buffer::Device),
      y(api, Buffer::Device) {}

bool attn_device_eligible(const AttnWeights& w) {
  return device_shape(w.q) && device_shape(w.k) && device_shape(w.v) && device_shape(w.out);
}

namespace {

// Names and labels of one width.
struct AttnLabels {
  const char* op;
  const char* seed_k;
  const char* seed_v;
  const char* stage_in;
  const char* stage_out;
  const char* prenorm;
  const char* qprep;
  const char* append;
  const char* core;
  const char* split;
  const char* combine;
  const char* residual;  // the add after the multi-column output product
};

const AttnLabels kLabels[3] = {
    {"attn_mixer", "cudaMemcpy H2D (kv seed k)", "cudaMemcpy H2D (kv seed v)", "cudaMemcpy H2D (attn x)",
     "cudaMemcpy D2H (attn x)", "attn pre-norm launch", "attn qprep launch", "attn kv-append launch",
     "attn core launch", "attn split launch", "attn combine launch", ""},
    {"attn_mixer2", "cudaMemcpy H2D (kv2 seed k)", "cudaMemcpy H2D (kv2 seed v)", "cudaMemcpy H2D (attn2 x)",
     "cudaMemcpy D2H (attn2 x)", "attn2 pre-norm launch", "attn2 qprep launch", "attn2 kv-append launch",
     "attn2 core launch", "attn2 split launch", "attn2 combine launch", "attn2 residual launch"},
    {"attn_mixer3", "cudaMemcpy H2D (kv3 seed k)", "cudaMemcpy H2D (kv3 seed v)", "cudaMemcpy H2D (attn3 x)",
     "cudaMemcpy D2H (attn3 x)", "attn3 pre-norm launch", "attn3 qprep launch", "attn3 kv-append launch",
     "attn3 core launch", "attn3 split launch", "attn3 combine launch", "attn3 residual launch"},
};

// The refusals, in order; nothing on the device has happened yet.
Status check_geometry(const AttentionGeometry& g, const AttnWeights& w, ColumnsOut xs, const char* op) {
  if (xs.size() > 1 && !column_lengths_equal(xs)) return invalid_data(format("{}: column length mismatch", op));
  if (g.n_kv == 0 || g.n_head % g.n_kv != 0) return invalid_data(format("{}: n_head % n_kv != 0", op));
  if (g.rope_dim > g.head_dim || g.rope_dim % 2 != 0) return invalid_data(format("{}: bad rope_dim", op));
  const uint64_t n = xs[0].size(), q_dim = g.n_head * g.head_dim, kv_dim = g.kv_width();
  const DeviceShape q = *device_shape(w.q), k = *device_shape(w.k), v = *device_shape(w.v),
                    o = *device_shape(w.out);
  if (q.cols != n || q.rows != 2 * q_dim || k.cols != n || k.rows != kv_dim || v.cols != n || v.rows != kv_dim ||
      o.cols != q_dim || o.rows != n) {
    return invalid_data(format("{}: projection geometry mismatch", op));
  }
  if (w.norm.size() != n || w.q_norm.size() != g.head_dim || w.k_norm.size() != g.head_dim) {
    return invalid_data(format("{}: norm geometry mismatch", op));
  }
  return {};
}

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
                     uint64_t kv_dim, const AttnLabels& L) {
  const std::string inconsistent = format("{}: kv cache length inconsistent with pos", L.op);
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
      KS_CHECK(copy_checked(*c.api, nk.ptr, kv.k.data(), 4 * kv.k.size(), CopyKind::HostToDevice, L.seed_k));
      KS_CHECK(copy_checked(*c.api, nv.ptr, kv.v.data(), 4 * kv.v.size(), CopyKind::HostToDevice, L.seed_v));
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

Status attn_mixer_device(CudaContext& c, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                         uint64_t nonce, const KvCache& kv, ColumnsOut xs, bool stage_only) {
  const size_t k = xs.size();
  if (k == 0) return {};
  const AttnLabels& L = kLabels[k - 1];
  KS_CHECK(check_geometry(g, w, xs, L.op));
  const size_t n = xs[0].size(), hd = g.head_dim, q_dim = g.n_head * hd, kv_dim = g.kv_width();
  const DeviceShape sq = *device_shape(w.q), sk = *device_shape(w.k), sv = *device_shape(w.v),
                    so = *device_shape(w.out);
  // The token lock stays held while the chain runs on the resident columns.
  ResidentColumns resident = stage_only ? ResidentColumns{} : resident_columns(c, k, n);
  float* x = resident.x;
  const bool staged = x == nullptr;

  std::lock_guard<std::mutex> weights(c.weight_mu);
  const auto view = [](const Matrix& m) -> const TensorView& { return std::get<TensorView>(m); };
  KS_TRY(const void* wq, resident_weight(c, view(w.q).data, view(w.q).size));
  KS_TRY(const void* wk, resident_weight(c, view(w.k).data, view(w.k).size));
  KS_TRY(const void* wv, resident_weight(c, view(w.v).data, view(w.v).size));
  KS_TRY(const void* wo, resident_weight(c, view(w.out).data, view(w.out).size));
  KS_TRY(const float* in_norm, resident_norm(c, w.norm));
  KS_TRY(const float* q_norm, resident_norm(c, w.q_norm));
  KS_TRY(const float* k_norm, resident_norm(c, w.k_norm));
  KS_TRY(const float* freqs, resident_rope_frequencies(c, g.rope_dim, g.rope_base));

  const std::shared_ptr<AttnLayerDevice> entry = layer_entry(c, nonce);
  AttnLayerDevice& e = *entry;
  std::lock_guard<std::mutex> lock(e.mu);
  KS_CHECK(prepare_cache(c, e, kv, pos, k, kv_dim, L));
  const size_t n_pos_max = size_t{pos} + k;
  const size_t cache_positions = e.k.capacity / (4 * kv_dim);
  const size_t partials = size_t(lanes::attn_split_count(int(cache_positions))) * (hd + 2);
  KS_CHECK(ensure_device(e.xn, 4 * k * n));
  KS_CHECK(ensure_device(e.qg, 4 * k * 2 * q_dim));
  KS_CHECK(ensure_device(e.q, 4 * k * q_dim));
  KS_CHECK(ensure_device(e.keys, 4 * k * kv_dim));
  KS_CHECK(ensure_device(e.values, 4 * k * kv_dim));
  KS_CHECK(ensure_device(e.scores, 4 * g.n_head * std::max(cache_positions, partials)));
  KS_CHECK(ensure_device(e.att, 4 * k * q_dim));
  KS_CHECK(ensure_device(e.y, 4 * k * n));
  if (staged) {
    KS_CHECK(stage_columns_in(*c.api, e.x_pin, e.x_dev, xs, L.stage_in));
    x = e.x_dev.floats();
  }

  const DeviceApi& api = *c.api;
  for (size_t j = 0; j < k; ++j) {
    KS_CHECK(dev_rmsnorm(api, x + j * n, in_norm, e.xn.floats() + j * n, int(n), g.eps, L.prenorm));
  }
  const int N = int(n), Q = int(q_dim), KV = int(kv_dim);
  float *xn = e.xn.floats(), *qg = e.qg.floats(), *keys = e.keys.floats(), *values = e.values.floats();
  if (k == 1) {
    KS_CHECK(dev_matvec(c, sq.fmt, wq, xn, qg, N, 2 * Q));
    KS_CHECK(dev_matvec(c, sk.fmt, wk, xn, keys, N, KV));
    KS_CHECK(dev_matvec(c, sv.fmt, wv, xn, values, N, KV));
  } else if (k == 2) {
    KS_CHECK(dev_matvec_raw_n2(c, sq.fmt, wq, xn, qg, N, 2 * Q, "attn2 q n2 launch"));
    KS_CHECK(dev_matvec_raw_n2(c, sk.fmt, wk, xn, keys, N, KV, "attn2 k n2 launch"));
    KS_CHECK(dev_matvec_raw_n2(c, sv.fmt, wv, xn, values, N, KV, "attn2 v n2 launch"));
  } else {
    KS_CHECK(dev_matvec_raw_n3(c, sq.fmt, wq, xn, qg, N, 2 * Q));
    KS_CHECK(dev_matvec_raw_n3(c, sk.fmt, wk, xn, keys, N, KV));
    KS_CHECK(dev_matvec_raw_n3(c, sv.fmt, wv, xn, values, N, KV));
  }

  // Column by column: each appends its key and value before the next one attends.
  const float scale = 1.0f / sqrtf(static_cast<float>(hd));
  for (size_t j = 0; j < k; ++j) {
    AttnOperands o;
    o.head_dim = int(hd);
    o.rope_dim = int(g.rope_dim);
    o.n_head = int(g.n_head);
    o.n_kv = int(g.n_kv);
    o.kv_dim = KV;
    o.pos = int(pos + j);
    o.n_pos = int(pos + j + 1);
    o.freqs = freqs;
    o.eps = g.eps;
    o.scale = scale;
    o.qg = qg + j * 2 * q_dim;
    o.q_out = e.q.floats() + j * q_dim;
    o.q = o.q_out;
    o.k = keys + j * kv_dim;
    o.v = values + j * kv_dim;
    o.k_cache = e.k.floats();
    o.v_cache = e.v.floats();
    o.out = e.att.floats() + j * q_dim;
    o.scores = e.scores.floats();
    o.norm = q_norm;
    KS_CHECK(launch_attn_kernel(api, Kernel::AttnQPrep, g.n_head, o, L.qprep));
    o.norm = k_norm;
    KS_CHECK(launch_attn_kernel(api, Kernel::AttnKvAppend, g.n_kv, o, L.append));
    if (o.n_pos < lanes::kAttnSplitFrom) {
      KS_CHECK(launch_attn_kernel(api, Kernel::AttnCore, g.n_head, o, L.core));
    } else {
      o.n_split = lanes::attn_split_count(o.n_pos);
      KS_CHECK(launch_attn_kernel(api, Kernel::AttnSplit, g.n_head, o, L.split, uint32_t(o.n_split)));
      KS_CHECK(launch_attn_kernel(api, Kernel::AttnCombine, g.n_head, o, L.combine));
    }
  }
  e.filled = n_pos_max;

  float* att = e.att.floats();
  if (k == 1) {
    KS_CHECK(dev_matvec_residual(c, so.fmt, wo, att, e.y.floats(), x, Q, N));
  } else {
    if (k == 2) {
      KS_CHECK(dev_matvec_raw_n2(c, so.fmt, wo, att, e.y.floats(), Q, N, "attn2 out n2 launch"));
    } else {
      KS_CHECK(dev_matvec_raw_n3(c, so.fmt, wo, att, e.y.floats(), Q, N));
    }
    KS_CHECK(dev_add_inplace(api, x, e.y.floats(), int(k * n), L.residual));
  }
  if (staged) KS_CHECK(stage_columns_out(api, e.x_pin, e.x_dev, xs, L.stage_out));
  return {};
}

}  // namespace kestrune
