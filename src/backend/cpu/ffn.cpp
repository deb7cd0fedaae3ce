#include "backend/cpu/ffn.h"

#include "common/format.h"

namespace kestrune {

Result<FfnTensors> bind_ffn(const WeightSource& w, uint64_t layer, Route route) {
  const std::string p = format("blk.{}.", layer);
  FfnTensors t;
  KS_TRY(t.norm, bind_vector(w, p + "post_attention_norm.weight"));
  KS_TRY(t.gate, bind_matrix(w, p + "ffn_gate.weight", route));
  KS_TRY(t.up, bind_matrix(w, p + "ffn_up.weight", route));
  KS_TRY(t.down, bind_matrix(w, p + "ffn_down.weight", route));
  return t;
}

Result<std::vector<float>> ffn_output(const FfnTensors& t, float eps, std::span<const float> x) {
  if (t.norm.size() < x.size()) return invalid_data("ffn_swiglu: norm geometry mismatch");
  KS_TRY(std::vector<float> xn, rms_norm(x, t.norm, eps, "ffn_swiglu"));
  KS_TRY(std::vector<float> g, matvec(t.gate, xn));
  KS_TRY(std::vector<float> u, matvec(t.up, xn));
  const size_t n = g.size() < u.size() ? g.size() : u.size();
  std::vector<float> h(n);
  for (size_t j = 0; j < n; ++j) h[j] = (sigmoid(g[j]) * g[j]) * u[j];
  return matvec(t.down, h);
}

Status ffn_apply(const FfnTensors& t, float eps, std::span<float> x) {
  KS_TRY(std::vector<float> y, ffn_output(t, eps, x));
  add_in_place(x, y);
  return {};
}

}  // namespace kestrune
