#include "backend/cpu/cpu.h"

#include <algorithm>

#include "backend/cpu/attention.h"
#include "backend/cpu/gdn.h"
#include "backend/cpu/matmul.h"
#include "backend/cpu/primitives.h"
#include "backend/cpu/xquant.h"
#include "common/format.h"

namespace kestrune {

Cpu make_cpu(size_t threads, bool xquant) {
  Cpu cpu;
  cpu.pool = make_thread_pool(threads);
  cpu.xquant = xquant;
  return cpu;
}

Result<Columns> host_matmul(const Matrix& m, const Columns& x, ThreadPool* pool, bool xquant) {
  const auto spans = column_spans(x);
  return xquant ? xquant_cols(m, spans, pool) : matvec_cols(m, spans, pool);
}

Result<Columns> cpu_rms_norm(const Cpu&, const Columns& x, std::span<const float> w, float eps, const char* op) {
  Columns y(x.size());
  for (size_t j = 0; j < x.size(); ++j) {
    KS_TRY(y[j], rms_norm(x[j], w, eps, op));
  }
  return y;
}

Result<Columns> cpu_matmul(const Cpu& cpu, const Matrix& m, const Columns& x) {
  return host_matmul(m, x, cpu.pool.get(), cpu.xquant);
}

Status cpu_add(const Cpu&, Columns& acc, const Columns& y) {
  if (acc.size() != y.size()) return invalid_data("add: column count mismatch");
  for (size_t j = 0; j < acc.size(); ++j) {
    if (acc[j].size() != y[j].size()) return invalid_data("add: column length mismatch");
    add_in_place(acc[j], y[j]);
  }
  return {};
}

Status cpu_silu_mul(const Cpu& cpu, Columns& g, const Columns& u) {
  if (g.size() != u.size()) return invalid_data("silu_mul: column count mismatch");
  for (size_t j = 0; j < g.size(); ++j) g[j].resize(std::min(g[j].size(), u[j].size()));
  // Columns are independent; each is thousands of sigmoids.
  const size_t width = g.empty() ? 1 : g[0].size();
  parallel_for(
      cpu.pool.get(), g.size(),
      [&](size_t j0, size_t j1) {
        for (size_t j = j0; j < j1; ++j) {
          for (size_t i = 0; i < g[j].size(); ++i) g[j][i] = (sigmoid(g[j][i]) * g[j][i]) * u[j][i];
        }
      },
      std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(16 * width, 1)));
  return {};
}

Result<Columns> cpu_attention(const Cpu& cpu, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                              KvCache& kv, const Columns& qg, const Columns& k, const Columns& v) {
  Columns keys = k;  // normed and rotated in place before the append
  Columns o(qg.size(), std::vector<float>(static_cast<size_t>(g.n_head * g.head_dim)));
  KS_CHECK(attend_columns(g, w, pos, kv, qg, keys, v, o, cpu.pool.get()));
  return o;
}

Result<Columns> host_gdn_gates(const GdnGeometry& g, const GdnWeights& w, const Columns& xn, ThreadPool* pool,
                               bool xquant) {
  KS_TRY(Columns a_in, host_matmul(w.alpha, xn, pool, xquant));
  KS_TRY(Columns b_in, host_matmul(w.beta, xn, pool, xquant));
  Columns out;
  KS_CHECK(gdn_gate_columns(g, w, a_in, b_in, out));
  return out;
}

// One column: a pending restore, then a snapshot of the state it starts from. Several
// columns in an open window (a verify pass): a pending restore but no snapshot before
// the first column (the state before the round is not a verify result), then the state
// after each column but the last, the conv history here and the recurrent state in the
// scan.
Result<Columns> cpu_gdn_conv(const Cpu& cpu, const GdnGeometry& g, const CachedTensor& w, uint64_t nonce,
                             GdnLayerState& st, const Columns& qkv) {
  CpuSpecState& window = *cpu.window;
  KS_CHECK(spec_before_gdn_step(window, nonce, st, qkv.size() == 1));
  std::function<void(size_t)> after;
  if (qkv.size() > 1 && spec_window_armed(window)) {
    after = [&](size_t j) {
      if (j + 1 < qkv.size()) spec_snapshot_conv(window, nonce, st.conv);
    };
  }
  Columns out;
  KS_CHECK(gdn_conv_columns(g, w, st, qkv, out, after));
  return out;
}

Result<Columns> cpu_gdn_scan(const Cpu& cpu, const GdnGeometry& g, uint64_t nonce, GdnLayerState& st,
                             const Columns& qkv, const Columns& gates) {
  const size_t n = qkv.size();
  if (gates.size() != n) return invalid_data("gdn_mixer: scan geometry mismatch");
  Columns out(n, std::vector<float>(static_cast<size_t>(g.inner()), 0.0f));
  CpuSpecState& window = *cpu.window;
  if (n > 1 && spec_window_armed(window)) {
    for (size_t j = 0; j < n; ++j) {
      KS_CHECK(gdn_scan_columns(g, st, qkv, gates, out, cpu.pool.get(), j, 1));
      if (j + 1 < n) spec_snapshot_recurrent(window, nonce, n - 2 - j, st.recurrent);
    }
    return out;
  }
  KS_CHECK(gdn_scan_columns(g, st, qkv, gates, out, cpu.pool.get(), 0, n));
  return out;
}

Result<Columns> cpu_gated_norm(const Cpu& cpu, const GdnGeometry& g, std::span<const float> w, const Columns& scan,
                               const Columns& z) {
  if (scan.size() != z.size()) return invalid_data("gdn_mixer: gate column count mismatch");
  Columns out;
  KS_CHECK(gated_norm_columns(g, w, scan, z, out, cpu.pool.get()));
  return out;
}

}  // namespace kestrune
