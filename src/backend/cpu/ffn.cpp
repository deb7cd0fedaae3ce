#include "backend/cpu/ffn.h"

#include <algorithm>

#include "backend/cpu/cpu.h"
#include "backend/cpu/matmul.h"
#include "backend/cpu/primitives.h"
#include "common/format.h"

namespace kestrune {

Result<Columns> ffn_outputs(const FfnWeights& t, float eps, ColumnsIn xs, ThreadPool* pool,
                            const ProductFn& products) {
  const size_t n = xs.size();
  Columns xn(n);
  for (size_t j = 0; j < n; ++j) {
    if (t.norm.size() < xs[j].size()) return invalid_data("ffn_swiglu: norm geometry mismatch");
    KS_TRY(xn[j], rms_norm(xs[j], t.norm, eps, "ffn_swiglu"));
  }
  KS_TRY(Columns g, multiply(t.gate, xn, pool, products));
  KS_TRY(Columns u, multiply(t.up, xn, pool, products));
  Columns h(n);
  for (size_t j = 0; j < n; ++j) h[j].resize(g[j].size() < u[j].size() ? g[j].size() : u[j].size());
  // Columns are independent; each is thousands of sigmoids.
  parallel_for(
      pool, n,
      [&](size_t j0, size_t j1) {
        for (size_t j = j0; j < j1; ++j) {
          for (size_t i = 0; i < h[j].size(); ++i) h[j][i] = (sigmoid(g[j][i]) * g[j][i]) * u[j][i];
        }
      },
      std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(16 * (n ? h[0].size() : 1), 1)));
  return multiply(t.down, h, pool, products);
}

Status host_ffn_swiglu(const HostRun& run, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm) {
  const std::vector<std::span<const float>> in(xs.begin(), xs.end());
  KS_TRY(Columns y, ffn_outputs(w, eps, in, run.pool, run.products));
  if (out_norm && !y.empty()) *out_norm = l2_norm(y.back());
  for (size_t j = 0; j < xs.size(); ++j) add_in_place(xs[j], y[j]);
  return {};
}

Status cpu_ffn_swiglu(const Cpu& cpu, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm) {
  return host_ffn_swiglu(cpu_run(cpu), w, eps, xs, out_norm);
}

}  // namespace kestrune
