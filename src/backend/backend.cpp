#include "backend/backend.h"

#include <atomic>

#include "common/diag.h"
#include "common/env.h"
#include "common/format.h"

namespace kestrune {

Result<Backend> select_backend() {
  auto v = env_utf8("KESTRUNE_BACKEND");
  if (!v || *v == "cpu") {
    diag("# backend: cpu (scalar reference)\n");
    return Backend{Cpu{}};
  }
  if (*v == "cuda") return invalid_input("KESTRUNE_BACKEND=cuda: this build has no CUDA backend");
  return invalid_input(format("unknown KESTRUNE_BACKEND: {}", *v));
}

namespace {
std::atomic<uint64_t> g_next_nonce{1};
}  // namespace

uint64_t next_nonce() { return g_next_nonce.fetch_add(1, std::memory_order_relaxed); }

// Each operation forwards its arguments unchanged to the selected variant.
Status attn_mixer(const Backend& b, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, uint64_t,
                  KvCache& kv, std::span<float> x) {
  return std::visit([&](const Cpu& cpu) { return cpu_attn_mixer(cpu, g, t, pos, kv, x); }, b);
}
Status attn_mixer2(const Backend& b, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, uint64_t,
                   KvCache& kv, std::span<float> x0, std::span<float> x1) {
  return std::visit([&](const Cpu& cpu) { return cpu_attn_mixer2(cpu, g, t, pos, kv, x0, x1); }, b);
}
Status attn_mixer3(const Backend& b, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, uint64_t,
                   KvCache& kv, std::span<float> x0, std::span<float> x1, std::span<float> x2) {
  return std::visit([&](const Cpu& cpu) { return cpu_attn_mixer3(cpu, g, t, pos, kv, x0, x1, x2); }, b);
}

Status gdn_mixer(const Backend& b, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                 std::span<float> x) {
  return std::visit([&](const Cpu& cpu) { return cpu_gdn_mixer(cpu, g, t, nonce, st, x); }, b);
}
Status gdn_mixer2(const Backend& b, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                  std::span<float> x0, std::span<float> x1) {
  return std::visit([&](const Cpu& cpu) { return cpu_gdn_mixer2(cpu, g, t, nonce, st, x0, x1); }, b);
}
Status gdn_mixer3(const Backend& b, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                  std::span<float> x0, std::span<float> x1, std::span<float> x2) {
  return std::visit([&](const Cpu& cpu) { return cpu_gdn_mixer3(cpu, g, t, nonce, st, x0, x1, x2); }, b);
}

Status ffn_swiglu(const Backend& b, const FfnTensors& t, float eps, std::span<float> x) {
  return std::visit([&](const Cpu& cpu) { return cpu_ffn_swiglu(cpu, t, eps, x); }, b);
}
Status ffn_swiglu2(const Backend& b, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1) {
  return std::visit([&](const Cpu& cpu) { return cpu_ffn_swiglu2(cpu, t, eps, x0, x1); }, b);
}
Status ffn_swiglu3(const Backend& b, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1,
                   std::span<float> x2) {
  return std::visit([&](const Cpu& cpu) { return cpu_ffn_swiglu3(cpu, t, eps, x0, x1, x2); }, b);
}

Status logits_head(const Backend& b, std::span<const float> x, std::span<const float> w_norm, float eps,
                   const TensorView& head, std::span<float> logits) {
  return std::visit([&](const Cpu& cpu) { return cpu_logits_head(cpu, x, w_norm, eps, head, logits); }, b);
}
Status logits_head2(const Backend& b, std::span<const float> x0, std::span<const float> x1,
                    std::span<const float> w_norm, float eps, const TensorView& head, std::span<float> l0,
                    std::span<float> l1) {
  return std::visit([&](const Cpu& cpu) { return cpu_logits_head2(cpu, x0, x1, w_norm, eps, head, l0, l1); }, b);
}
Status logits_head3(const Backend& b, std::span<const float> x0, std::span<const float> x1,
                    std::span<const float> x2, std::span<const float> w_norm, float eps, const TensorView& head,
                    std::span<float> l0, std::span<float> l1, std::span<float> l2) {
  return std::visit(
      [&](const Cpu& cpu) { return cpu_logits_head3(cpu, x0, x1, x2, w_norm, eps, head, l0, l1, l2); }, b);
}

Result<bool> spec_arm(const Backend& b) {
  return std::visit(
      [&](const Cpu& cpu) -> Result<bool> {
        spec_arm_cpu(*cpu.window);
        return true;
      },
      b);
}

Status spec_resolve(const Backend& b, bool accepted) {
  return std::visit([&](const Cpu& cpu) { return spec_resolve_depth1_cpu(*cpu.window, accepted); }, b);
}

Status spec_resolve_depth(const Backend& b, unsigned accepted) {
  return std::visit([&](const Cpu& cpu) { return spec_resolve_cpu(*cpu.window, accepted); }, b);
}

}  // namespace kestrune
