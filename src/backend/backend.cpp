#include "backend/backend.h"

#include <atomic>

#include "backend/cpu/dequant_fast.h"
#include "backend/cpu/matvec_fast.h"
#include "backend/cpu/repack.h"
#include "backend/cpu/thread_pool.h"
#include "backend/cpu/xquant.h"
#include "backend/cuda/gdn.h"
#include "backend/cuda/columns.h"
#include "backend/cuda/ops.h"
#include "backend/cpu/spec_window.h"
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

}  // namespace

size_t backend_threads(const Backend& b) {
  if (const auto* cpu = std::get_if<Cpu>(&b)) return pool_threads(cpu->pool.get());
  return pool_threads(std::get<Cuda>(b).ctx->pool.get());
}

uint64_t next_nonce() { return g_next_nonce.fetch_add(1, std::memory_order_relaxed); }

namespace {

Activations held_on_host(Columns c) {
  Activations a;
  a.k = c.size();
  a.n = c.empty() ? 0 : c[0].size();
  a.host = std::move(c);
  return a;
}

// The CPU's view of activations: always its own host columns.
const Columns& host_of(const Activations& a) { return a.host; }

// An operation the device cannot do runs on the CUDA backend's host threads over the
// downloaded columns; its output stays on the host until the next operation takes it.
template <class HostOp>
Result<Activations> on_host(CudaContext& c, const Activations& x, HostOp&& op) {
  Columns downloaded;
  if (x.device) {
    KS_TRY(downloaded, cuda_download(c, x));
  }
  KS_TRY(Columns y, op(x.device ? downloaded : x.host, c.pool.get()));
  return held_on_host(std::move(y));
}

Result<Activations> cuda_any_matmul(CudaContext& c, const Matrix& m, const Activations& x) {
  if (cuda_reads(m)) return cuda_matmul(c, m, x);
  return on_host(c, x, [&](const Columns& xs, ThreadPool* pool) { return host_matmul(m, xs, pool, false); });
}

}  // namespace

Result<Activations> upload(const Backend& b, Columns xs) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_upload(*cuda->ctx, std::move(xs));
  return held_on_host(std::move(xs));
}

Result<Columns> download(const Backend& b, const Activations& a) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_download(*cuda->ctx, a);
  return a.host;
}

Result<Columns> download(const Backend& b, Activations&& a) {
  if (a.device) return download(b, static_cast<const Activations&>(a));
  return std::move(a.host);
}

Result<std::vector<float>> download_column(const Backend& b, const Activations& a, size_t j) {
  if (j >= a.k) return invalid_input(format("column {} of {}", j, a.k));
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_download_column(*cuda->ctx, a, j);
  return a.host[j];
}

Result<Activations> slice(const Backend& b, const Activations& a, size_t first, size_t count) {
  if (first > a.k || count > a.k - first) return invalid_input(format("columns {}+{} of {}", first, count, a.k));
  if (const auto* cuda = std::get_if<Cuda>(&b); cuda && a.device) return cuda_slice(*cuda->ctx, a, first, count);
  const auto from = a.host.begin() + static_cast<ptrdiff_t>(first);
  return held_on_host(Columns(from, from + static_cast<ptrdiff_t>(count)));
}

Result<Activations> concat(const Backend& b, std::span<const Activations> parts) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_concat(*cuda->ctx, parts);
  Columns all;
  for (const Activations& p : parts) all.insert(all.end(), p.host.begin(), p.host.end());
  return held_on_host(std::move(all));
}

Result<Activations> rms_norm(const Backend& b, const Activations& x, std::span<const float> w, float eps,
                             const char* op) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_rms_norm(*cuda->ctx, x, w, eps, op);
  KS_TRY(Columns y, cpu_rms_norm(std::get<Cpu>(b), host_of(x), w, eps, op));
  return held_on_host(std::move(y));
}

Result<Activations> matmul(const Backend& b, const Matrix& m, const Activations& x) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_any_matmul(*cuda->ctx, m, x);
  KS_TRY(Columns y, cpu_matmul(std::get<Cpu>(b), m, host_of(x)));
  return held_on_host(std::move(y));
}

Result<std::pair<Activations, Activations>> matmul_pair(const Backend& b, const Matrix& m0, const Matrix& m1,
                                                       const Activations& x) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) {
    if (cuda_reads(m0) && cuda_reads(m1)) return cuda_matmul_pair(*cuda->ctx, m0, m1, x);
    KS_TRY(Activations y0, cuda_any_matmul(*cuda->ctx, m0, x));
    KS_TRY(Activations y1, cuda_any_matmul(*cuda->ctx, m1, x));
    return std::pair{std::move(y0), std::move(y1)};
  }
  const Cpu& cpu = std::get<Cpu>(b);
  KS_TRY(Columns y0, cpu_matmul(cpu, m0, host_of(x)));
  KS_TRY(Columns y1, cpu_matmul(cpu, m1, host_of(x)));
  return std::pair{held_on_host(std::move(y0)), held_on_host(std::move(y1))};
}

Status matmul_add(const Backend& b, const Matrix& m, const Activations& x, Activations& acc) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) {
    if (cuda_reads(m)) return cuda_matmul_add(*cuda->ctx, m, x, acc);
    KS_TRY(Activations y, cuda_any_matmul(*cuda->ctx, m, x));
    return cuda_add(*cuda->ctx, acc, y);
  }
  const Cpu& cpu = std::get<Cpu>(b);
  KS_TRY(Columns y, cpu_matmul(cpu, m, host_of(x)));
  return cpu_add(cpu, acc.host, y);
}

Status add(const Backend& b, Activations& acc, const Activations& y) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_add(*cuda->ctx, acc, y);
  return cpu_add(std::get<Cpu>(b), acc.host, host_of(y));
}

Status silu_mul(const Backend& b, Activations& g, const Activations& u) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_silu_mul(*cuda->ctx, g, u);
  return cpu_silu_mul(std::get<Cpu>(b), g.host, host_of(u));
}

Result<Activations> attention(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                              uint64_t nonce, KvCache& kv, const Activations& qg, const Activations& k,
                              const Activations& v) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_attention(*cuda->ctx, g, w, pos, nonce, kv, qg, k, v);
  KS_TRY(Columns o, cpu_attention(std::get<Cpu>(b), g, w, pos, kv, host_of(qg), host_of(k), host_of(v)));
  return held_on_host(std::move(o));
}

Result<Activations> gdn_gates(const Backend& b, const GdnGeometry& g, const GdnWeights& w, const Activations& xn) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) {
    if (cuda_gates_fit(g, w, xn.n)) return cuda_gdn_gates(*cuda->ctx, g, w, xn);
    return on_host(*cuda->ctx, xn, [&](const Columns& xs, ThreadPool* pool) {
      return host_gdn_gates(g, w, xs, pool, false);
    });
  }
  const Cpu& cpu = std::get<Cpu>(b);
  KS_TRY(Columns y, host_gdn_gates(g, w, host_of(xn), cpu.pool.get(), cpu.xquant));
  return held_on_host(std::move(y));
}

Result<Activations> gdn_conv(const Backend& b, const GdnGeometry& g, const CachedTensor& w, uint64_t nonce,
                             GdnLayerState& st, const Activations& qkv) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_gdn_conv(*cuda->ctx, g, w, nonce, st, qkv);
  KS_TRY(Columns y, cpu_gdn_conv(std::get<Cpu>(b), g, w, nonce, st, host_of(qkv)));
  return held_on_host(std::move(y));
}

Result<Activations> gdn_scan(const Backend& b, const GdnGeometry& g, uint64_t nonce, GdnLayerState& st,
                             const Activations& qkv, const Activations& gates) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_gdn_scan(*cuda->ctx, g, nonce, st, qkv, gates);
  KS_TRY(Columns y, cpu_gdn_scan(std::get<Cpu>(b), g, nonce, st, host_of(qkv), host_of(gates)));
  return held_on_host(std::move(y));
}

Result<Activations> gated_norm(const Backend& b, const GdnGeometry& g, std::span<const float> w,
                               const Activations& scan, const Activations& z) {
  if (const auto* cuda = std::get_if<Cuda>(&b)) return cuda_gated_norm(*cuda->ctx, g, w, scan, z);
  KS_TRY(Columns y, cpu_gated_norm(std::get<Cpu>(b), g, w, host_of(scan), host_of(z)));
  return held_on_host(std::move(y));
}

bool wants_packed_weights(const Backend& b, const RuntimeOptions& options) {
  const auto* cpu = std::get_if<Cpu>(&b);
  return cpu != nullptr && !cpu->xquant && !options.reference && fast_matvec_available();
}

bool wants_file_blocks(const Backend& b) { return std::holds_alternative<Cuda>(b); }

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
