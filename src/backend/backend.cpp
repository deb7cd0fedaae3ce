#include "backend/backend.h"

#include <atomic>

#include "backend/cpu/dequant_fast.h"
#include "backend/cpu/matvec_fast.h"
#include "backend/cpu/repack.h"
#include "backend/cpu/thread_pool.h"
#include "backend/cpu/xquant.h"
#include "backend/cuda/gdn.h"
#include "backend/cuda/ops.h"
#include "common/diag.h"
#include "common/format.h"

namespace kestrune {

Result<Backend> select_backend(const RuntimeOptions& options, size_t threads, const DeviceApi& api, bool cuda_built) {
  const auto& v = options.backend;
  if (!v || *v == "cpu") {
    diag("# backend: cpu (scalar reference)\n");
    if (options.cpu_xquant) {
      diag(format("# cpu products: int8 inputs (KESTRUNE_CPU_XQUANT=q8, {})\n", xquant_isa_name(xquant_best_isa())));
    }
    return Backend{make_cpu(threads, options.cpu_xquant)};
  }
  if (*v == "cuda") {
    if (!cuda_built) return invalid_input("KESTRUNE_BACKEND=cuda: this build has no CUDA backend (KESTRUNE_CUDA=OFF)");
    diag("# backend: cuda (Q8_0 fused dequant-GEMV resident; other ops CPU fallback)\n");
    return Backend{make_cuda(api, threads, options.xquant == "q8", options.progress)};
  }
  return invalid_input(format("unknown KESTRUNE_BACKEND: {}", *v));
}

Result<Backend> select_backend(const RuntimeOptions& options, size_t threads) {
  return select_backend(options, threads, cuda_runtime_api(options.cuda_sync), cuda_runtime_built());
}

namespace {
std::atomic<uint64_t> g_next_nonce{1};

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;
}  // namespace

size_t backend_threads(const Backend& b) {
  if (const auto* cpu = std::get_if<Cpu>(&b)) return pool_threads(cpu->pool.get());
  return pool_threads(std::get<Cuda>(b).ctx->pool.get());
}

uint64_t next_nonce() { return g_next_nonce.fetch_add(1, std::memory_order_relaxed); }

// Each operation forwards its arguments unchanged to the selected variant.
Status attn_mixer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, uint64_t nonce,
                  KvCache& kv, ColumnsOut xs, float* out_norm) {
  return std::visit(
      Overloaded{[&](const Cpu& cpu) { return cpu_attn_mixer(cpu, g, w, pos, kv, xs, out_norm); },
                 [&](const Cuda& cuda) { return cuda_attn_mixer(cuda, g, w, pos, nonce, kv, xs, out_norm); }},
      b);
}

Status gdn_mixer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                 ColumnsOut xs, float* out_norm) {
  return std::visit(
      Overloaded{[&](const Cpu& cpu) { return cpu_gdn_mixer(cpu, g, w, nonce, st, xs, out_norm); },
                 [&](const Cuda& cuda) { return cuda_gdn_mixer(cuda, g, w, nonce, st, xs, out_norm); }},
      b);
}

Status ffn_swiglu(const Backend& b, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm) {
  return std::visit(Overloaded{[&](const Cpu& cpu) { return cpu_ffn_swiglu(cpu, w, eps, xs, out_norm); },
                               [&](const Cuda& cuda) { return cuda_ffn_swiglu(cuda, w, eps, xs, out_norm); }},
                    b);
}

Status logits_head(const Backend& b, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  return std::visit(Overloaded{[&](const Cpu& cpu) { return cpu_logits_head(cpu, w, eps, xs, logits); },
                               [&](const Cuda& cuda) { return cuda_logits_head(cuda, w, eps, xs, logits); }},
                    b);
}

bool keeps_columns(const Backend& b) { return std::holds_alternative<Cuda>(b); }

Status columns_begin(const Backend& b, ColumnsIn xs) {
  const auto* cuda = std::get_if<Cuda>(&b);
  return cuda ? cuda_columns_begin(*cuda, xs) : Status{};
}

Status columns_read(const Backend& b, ColumnsOut xs) {
  const auto* cuda = std::get_if<Cuda>(&b);
  return cuda ? cuda_columns_read(*cuda, xs) : Status{};
}

void columns_drop(const Backend& b) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) cuda_columns_drop(*cuda);
}

Result<std::vector<float>> project(const Backend& b, const Matrix& m, std::span<const float> x) {
  return std::visit(Overloaded{[&](const Cpu& cpu) { return cpu_project(cpu, m, x); },
                               [&](const Cuda& cuda) { return cuda_project(cuda, m, x); }},
                    b);
}

bool wants_packed_weights(const Backend& b, const RuntimeOptions& options) {
  const auto* cpu = std::get_if<Cpu>(&b);
  return cpu != nullptr && !cpu->xquant && !options.reference && fast_matvec_available();
}

PackedWeight pack_weight(const Backend& b, const TensorView& view, bool release) {
  if (!std::holds_alternative<Cpu>(b) || view.info == nullptr || !packable_type(view.info->type)) return {};
  auto t = repack_tensor(view, release);
  if (!t.ok()) return {};
  std::shared_ptr<const PackedTensor> owner = std::move(*t);
  return {&owner->rows, owner};
}

Result<std::vector<float>> weight_row(const TensorView& view, uint64_t r) {
  if (!packed_row(view, r)) return dequant_row(view, r);
  std::vector<float> row(view.ne0());
  KS_CHECK(dequant_row_fast(view, r, row.data()));
  return row;
}

size_t host_cores() { return available_cores(); }

std::shared_ptr<const void> hold_layers(const Backend& b, std::vector<uint64_t> nonces) {
  const auto* cuda = std::get_if<Cuda>(&b);
  if (cuda == nullptr) return nullptr;
  return lease_layers(cuda->ctx->layers, std::move(nonces));
}

// The cuda backend keeps its GDN windows on the device: front and shadow states.
Result<bool> spec_arm(const Backend& b) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) {
    gdn_spec_arm(*cuda->ctx);
  } else {
    spec_arm_cpu(*std::get<Cpu>(b).window);
  }
  return true;
}

Status spec_resolve(const Backend& b, unsigned accepted) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return gdn_spec_resolve_depth(*cuda->ctx, accepted);
  return spec_resolve_cpu(*std::get<Cpu>(b).window, accepted);
}

}  // namespace kestrune
