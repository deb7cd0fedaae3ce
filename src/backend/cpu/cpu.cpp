#include "backend/cpu/cpu.h"

#include <algorithm>

#include "common/format.h"

namespace kestrune {

Status cpu_attn_mixer(const Cpu&, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                      std::span<float> x) {
  return attn_step(g, t, pos, kv, x);
}

// The verify forms run their columns together: each weight row is read once for all of
// them, and the recurrent parts still advance column by column.
Status cpu_attn_mixer2(const Cpu&, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                       std::span<float> x0, std::span<float> x1) {
  const std::span<float> xs[2] = {x0, x1};
  return attn_step_cols(g, t, pos, kv, xs);
}

Status cpu_attn_mixer3(const Cpu&, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                       std::span<float> x0, std::span<float> x1, std::span<float> x2) {
  const std::span<float> xs[3] = {x0, x1, x2};
  return attn_step_cols(g, t, pos, kv, xs);
}

Status cpu_gdn_mixer(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                     std::span<float> x) {
  KS_CHECK(spec_before_gdn_step(*cpu.window, nonce, st, true));
  return gdn_apply(g, t, st, x);
}

namespace {

// Before the first column: a pending restore, no snapshot (the state before the round
// is not a verify result). Before each later column: the state after the previous one.
Status gdn_verify_cols(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                       std::span<const std::span<float>> xs) {
  size_t calls = 0;
  const GdnStepHook hook = [&]() -> Status {
    if (calls++ == 0) return spec_before_gdn_step(*cpu.window, nonce, st, false);
    spec_snapshot(*cpu.window, nonce, st);
    return {};
  };
  return gdn_apply_cols(g, t, st, xs, hook);
}

}  // namespace

Status cpu_gdn_mixer2(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                      std::span<float> x0, std::span<float> x1) {
  const std::span<float> xs[2] = {x0, x1};
  return gdn_verify_cols(cpu, g, t, nonce, st, xs);
}

Status cpu_gdn_mixer3(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                      std::span<float> x0, std::span<float> x1, std::span<float> x2) {
  const std::span<float> xs[3] = {x0, x1, x2};
  return gdn_verify_cols(cpu, g, t, nonce, st, xs);
}

Status cpu_ffn_swiglu(const Cpu&, const FfnTensors& t, float eps, std::span<float> x) { return ffn_apply(t, eps, x); }

Status cpu_ffn_swiglu2(const Cpu&, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1) {
  const std::span<float> xs[2] = {x0, x1};
  return ffn_apply_cols(t, eps, xs);
}

Status cpu_ffn_swiglu3(const Cpu&, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1,
                       std::span<float> x2) {
  const std::span<float> xs[3] = {x0, x1, x2};
  return ffn_apply_cols(t, eps, xs);
}

Status cpu_logits_head(const Cpu& cpu, std::span<const float> x, std::span<const float> w_norm, float eps,
                       const TensorView& head, std::span<float> logits) {
  KS_TRY(std::vector<float> xn, rms_norm(x, w_norm, eps, "logits_head"));
  KS_TRY(std::vector<float> y, matvec(head, xn, cpu.pool));
  if (y.size() != logits.size()) {
    return invalid_data(format("logits_head: head rows {} != logits {}", y.size(), logits.size()));
  }
  std::copy(y.begin(), y.end(), logits.begin());
  return {};
}

namespace {

Status logits_cols(const Cpu& cpu, std::span<const std::span<const float>> xs, std::span<const float> w_norm,
                   float eps, const TensorView& head, std::span<const std::span<float>> out) {
  Columns xn(xs.size());
  for (size_t j = 0; j < xs.size(); ++j) {
    KS_TRY(xn[j], rms_norm(xs[j], w_norm, eps, "logits_head"));
  }
  KS_TRY(Columns y, matvec_cols(head, xn, cpu.pool));
  for (size_t j = 0; j < xs.size(); ++j) {
    if (y[j].size() != out[j].size()) {
      return invalid_data(format("logits_head: head rows {} != logits {}", y[j].size(), out[j].size()));
    }
    std::copy(y[j].begin(), y[j].end(), out[j].begin());
  }
  return {};
}

}  // namespace

Status cpu_logits_head2(const Cpu& cpu, std::span<const float> x0, std::span<const float> x1,
                        std::span<const float> w_norm, float eps, const TensorView& head, std::span<float> l0,
                        std::span<float> l1) {
  const std::span<const float> xs[2] = {x0, x1};
  const std::span<float> out[2] = {l0, l1};
  return logits_cols(cpu, xs, w_norm, eps, head, out);
}

Status cpu_logits_head3(const Cpu& cpu, std::span<const float> x0, std::span<const float> x1,
                        std::span<const float> x2, std::span<const float> w_norm, float eps, const TensorView& head,
                        std::span<float> l0, std::span<float> l1, std::span<float> l2) {
  const std::span<const float> xs[3] = {x0, x1, x2};
  const std::span<float> out[3] = {l0, l1, l2};
  return logits_cols(cpu, xs, w_norm, eps, head, out);
}

}  // namespace kestrune
