#include "backend/cpu/ffn.h"

#include <algorithm>

#include "common/format.h"

namespace kestrune {

Result<FfnTensors> bind_ffn(const WeightSource& w, uint64_t layer, Route route) {
  const std::string p = format("blk.{}.", layer);
  FfnTensors t;
  KS_TRY(t.norm, bind_vector(w, p + "post_attention_norm.weight"));
  KS_TRY(t.gate, bind_matrix(w, p + "ffn_gate.weight", route));
  KS_TRY(t.up, bind_matrix(w, p + "ffn_up.weight", route));
  KS_TRY(t.down, bind_matrix(w, p + "ffn_down.weight", route));
  t.pool = w.pool;
  return t;
}

Result<Columns> ffn_outputs(const FfnTensors& t, float eps, ColumnsIn xs) {
  const size_t n = xs.size();
  Columns xn(n);
  for (size_t j = 0; j < n; ++j) {
    if (t.norm.size() < xs[j].size()) return invalid_data("ffn_swiglu: norm geometry mismatch");
    KS_TRY(xn[j], rms_norm(xs[j], t.norm, eps, "ffn_swiglu"));
  }
  KS_TRY(Columns g, matvec_cols(t.gate, xn, t.pool));
  KS_TRY(Columns u, matvec_cols(t.up, xn, t.pool));
  Columns h(n);
  for (size_t j = 0; j < n; ++j) h[j].resize(g[j].size() < u[j].size() ? g[j].size() : u[j].size());
  // Columns are independent; each is thousands of sigmoids.
  parallel_for(
      t.pool, n,
      [&](size_t j0, size_t j1) {
        for (size_t j = j0; j < j1; ++j) {
          for (size_t i = 0; i < h[j].size(); ++i) h[j][i] = (sigmoid(g[j][i]) * g[j][i]) * u[j][i];
        }
      },
      std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(16 * (n ? h[0].size() : 1), 1)));
  return matvec_cols(t.down, h, t.pool);
}

Result<std::vector<float>> ffn_output(const FfnTensors& t, float eps, std::span<const float> x) {
  const std::span<const float> col[1] = {x};
  KS_TRY(Columns y, ffn_outputs(t, eps, col));
  return std::move(y[0]);
}

Status ffn_apply(const FfnTensors& t, float eps, std::span<float> x) {
  KS_TRY(std::vector<float> y, ffn_output(t, eps, x));
  add_in_place(x, y);
  return {};
}

Status ffn_apply_cols(const FfnTensors& t, float eps, ColumnsOut xs) {
  const std::vector<std::span<const float>> in(xs.begin(), xs.end());
  KS_TRY(Columns y, ffn_outputs(t, eps, in));
  for (size_t j = 0; j < xs.size(); ++j) add_in_place(xs[j], y[j]);
  return {};
}

}  // namespace kestrune
