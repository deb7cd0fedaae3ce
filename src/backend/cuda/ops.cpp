#include "backend/cuda/ops.h"

#include <functional>

#include "backend/cpu/matmul.h"
#include "backend/cuda/gdn.h"

namespace kestrune {

HostRun cuda_host_run(CudaContext& c) {
  HostRun run{c.pool.get(), &c.window, {}, {}};
  run.products = [&c](const Matrix& m, ColumnsIn xs) -> Result<Columns> {
    if (!device_shape(m)) return matvec_cols(m, xs, c.pool.get());
    Columns ys;
    ys.reserve(xs.size());
    for (auto x : xs) {
      KS_TRY(std::vector<float> y, matvec_host(c, m, x));
      ys.push_back(std::move(y));
    }
    return ys;
  };
  return run;
}

namespace {

// Runs `op` on host columns: resident columns come down first and go back after.
Status on_host_columns(CudaContext& c, ColumnsOut xs, const std::function<Status()>& op) {
  bool pulled = false;
  if (xs.size() == 1) {
    KS_TRY(pulled, token_pull(c, xs[0]));
  } else if (xs.size() == 2) {
    KS_TRY(pulled, token2_pull(c, xs[0], xs[1]));
  } else if (xs.size() == 3) {
    KS_TRY(pulled, token3_pull(c, xs[0], xs[1], xs[2]));
  }
  KS_CHECK(op());
  if (!pulled) return {};
  if (xs.size() == 1) return token_push(c, xs[0]);
  if (xs.size() == 2) return token2_push(c, xs[0], xs[1]);
  return token3_push(c, xs[0], xs[1], xs[2]);
}

}  // namespace

Status cuda_attn_mixer(const Cuda& cuda, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, KvCache& kv,
                       ColumnsOut xs, float* out_norm) {
  CudaContext& c = *cuda.ctx;
  return on_host_columns(c, xs, [&] { return host_attn_mixer(cuda_host_run(c), g, w, pos, kv, xs, out_norm); });
}

Status cuda_gdn_mixer(const Cuda& cuda, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                      ColumnsOut xs, float* out_norm) {
  return cuda_gdn_columns(*cuda.ctx, g, w, nonce, st, xs, out_norm);
}

Status cuda_ffn_swiglu(const Cuda& cuda, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm) {
  CudaContext& c = *cuda.ctx;
  return on_host_columns(c, xs, [&] { return host_ffn_swiglu(cuda_host_run(c), w, eps, xs, out_norm); });
}

Status cuda_logits_head(const Cuda& cuda, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  CudaContext& c = *cuda.ctx;
  Columns host;
  for (auto x : xs) host.emplace_back(x.begin(), x.end());
  if (host.size() == 1) {
    KS_CHECK(token_end(c, host[0]));
  } else if (host.size() == 2) {
    KS_CHECK(token2_end(c, host[0], host[1]));
  } else if (host.size() == 3) {
    KS_CHECK(token3_end(c, host[0], host[1], host[2]));
  }
  return host_logits_head(cuda_host_run(c), w, eps, column_spans(host), logits);
}

Result<std::vector<float>> cuda_project(const Cuda& cuda, const Matrix& m, std::span<const float> x) {
  return matvec_host(*cuda.ctx, m, x);
}

}  // namespace kestrune
