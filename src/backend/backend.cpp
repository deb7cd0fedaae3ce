#include "backend/backend.h"

#include <atomic>

#include "common/diag.h"
#include "common/format.h"

namespace kestrune {

Result<Backend> select_backend(const RuntimeOptions& options) {
  const auto& v = options.backend;
  if (!v || *v == "cpu") {
    diag("# backend: cpu (scalar reference)\n");
    return Backend{make_cpu(parse_thread_count(options.threads))};
  }
  if (*v == "cuda") return invalid_input("KESTRUNE_BACKEND=cuda: this build has no CUDA backend");
  return invalid_input(format("unknown KESTRUNE_BACKEND: {}", *v));
}

namespace {
std::atomic<uint64_t> g_next_nonce{1};
}  // namespace

uint64_t next_nonce() { return g_next_nonce.fetch_add(1, std::memory_order_relaxed); }

// Each operation forwards its arguments unchanged to the selected variant.
Status attn_mixer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, uint64_t,
                  KvCache& kv, ColumnsOut xs, float* out_norm) {
  return std::visit([&](const Cpu& cpu) { return cpu_attn_mixer(cpu, g, w, pos, kv, xs, out_norm); }, b);
}

Status gdn_mixer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                 ColumnsOut xs, float* out_norm) {
  return std::visit([&](const Cpu& cpu) { return cpu_gdn_mixer(cpu, g, w, nonce, st, xs, out_norm); }, b);
}

Status ffn_swiglu(const Backend& b, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm) {
  return std::visit([&](const Cpu& cpu) { return cpu_ffn_swiglu(cpu, w, eps, xs, out_norm); }, b);
}

Status logits_head(const Backend& b, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  return std::visit([&](const Cpu& cpu) { return cpu_logits_head(cpu, w, eps, xs, logits); }, b);
}

Result<std::vector<float>> project(const Backend& b, const Matrix& m, std::span<const float> x) {
  return std::visit([&](const Cpu& cpu) { return cpu_project(cpu, m, x); }, b);
}

Result<bool> spec_arm(const Backend& b) {
  return std::visit(
      [&](const Cpu& cpu) -> Result<bool> {
        spec_arm_cpu(*cpu.window);
        return true;
      },
      b);
}

Status spec_resolve(const Backend& b, unsigned accepted) {
  return std::visit([&](const Cpu& cpu) { return spec_resolve_cpu(*cpu.window, accepted); }, b);
}

}  // namespace kestrune
