#include "backend/cpu/cpu.h"

#include <algorithm>

#include "common/format.h"

namespace kestrune {

Status cpu_attn_mixer(const Cpu&, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                      std::span<float> x) {
  return attn_step(g, t, pos, kv, x);
}

Status cpu_attn_mixer2(const Cpu& cpu, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                       std::span<float> x0, std::span<float> x1) {
  KS_CHECK(cpu_attn_mixer(cpu, g, t, pos, kv, x0));
  return cpu_attn_mixer(cpu, g, t, pos + 1, kv, x1);
}

Status cpu_attn_mixer3(const Cpu& cpu, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                       std::span<float> x0, std::span<float> x1, std::span<float> x2) {
  KS_CHECK(cpu_attn_mixer2(cpu, g, t, pos, kv, x0, x1));
  return cpu_attn_mixer(cpu, g, t, pos + 2, kv, x2);
}

Status cpu_gdn_mixer(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                     std::span<float> x) {
  KS_CHECK(spec_before_gdn_step(*cpu.window, nonce, st, true));
  return gdn_apply(g, t, st, x);
}

Status cpu_gdn_mixer2(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                      std::span<float> x0, std::span<float> x1) {
  KS_CHECK(spec_before_gdn_step(*cpu.window, nonce, st, false));
  KS_CHECK(gdn_apply(g, t, st, x0));
  spec_snapshot(*cpu.window, nonce, st);
  return gdn_apply(g, t, st, x1);
}

Status cpu_gdn_mixer3(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                      std::span<float> x0, std::span<float> x1, std::span<float> x2) {
  KS_CHECK(cpu_gdn_mixer2(cpu, g, t, nonce, st, x0, x1));
  return cpu_gdn_mixer(cpu, g, t, nonce, st, x2);
}

Status cpu_ffn_swiglu(const Cpu&, const FfnTensors& t, float eps, std::span<float> x) { return ffn_apply(t, eps, x); }

Status cpu_ffn_swiglu2(const Cpu& cpu, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1) {
  KS_CHECK(cpu_ffn_swiglu(cpu, t, eps, x0));
  return cpu_ffn_swiglu(cpu, t, eps, x1);
}

Status cpu_ffn_swiglu3(const Cpu& cpu, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1,
                       std::span<float> x2) {
  KS_CHECK(cpu_ffn_swiglu2(cpu, t, eps, x0, x1));
  return cpu_ffn_swiglu(cpu, t, eps, x2);
}

Status cpu_logits_head(const Cpu&, std::span<const float> x, std::span<const float> w_norm, float eps,
                       const TensorView& head, std::span<float> logits) {
  KS_TRY(std::vector<float> xn, rms_norm(x, w_norm, eps, "logits_head"));
  KS_TRY(std::vector<float> y, matvec_tensor(head, xn));
  if (y.size() != logits.size()) {
    return invalid_data(format("logits_head: head rows {} != logits {}", y.size(), logits.size()));
  }
  std::copy(y.begin(), y.end(), logits.begin());
  return {};
}

Status cpu_logits_head2(const Cpu& cpu, std::span<const float> x0, std::span<const float> x1,
                        std::span<const float> w_norm, float eps, const TensorView& head, std::span<float> l0,
                        std::span<float> l1) {
  KS_CHECK(cpu_logits_head(cpu, x0, w_norm, eps, head, l0));
  return cpu_logits_head(cpu, x1, w_norm, eps, head, l1);
}

Status cpu_logits_head3(const Cpu& cpu, std::span<const float> x0, std::span<const float> x1,
                        std::span<const float> x2, std::span<const float> w_norm, float eps, const TensorView& head,
                        std::span<float> l0, std::span<float> l1, std::span<float> l2) {
  KS_CHECK(cpu_logits_head2(cpu, x0, x1, w_norm, eps, head, l0, l1));
  return cpu_logits_head(cpu, x2, w_norm, eps, head, l2);
}

}  // namespace kestrune
