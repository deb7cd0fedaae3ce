#include "backend/cuda/ops.h"

#include <functional>
#include <mutex>

#include "backend/cpu/matmul.h"
#include "backend/cuda/attention.h"
#include "backend/cuda/ffn.h"
#include "backend/cuda/gdn.h"
#include "backend/cuda/head.h"

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

// The device chains take one to three columns: a longer run (a prompt chunk) goes
// through in groups of three, each staged, since no residency holds more.
Status in_groups(ColumnsOut xs, const std::function<Status(ColumnsOut, size_t first, bool stage_only)>& op) {
  if (xs.size() <= 3) return op(xs, 0, false);
  for (size_t first = 0; first < xs.size(); first += 3) {
    KS_CHECK(op(xs.subspan(first, std::min<size_t>(3, xs.size() - first)), first, true));
  }
  return {};
}

}  // namespace

// A traced call (out_norm set) runs the host operation, which reports the norm.
Status cuda_attn_mixer(const Cuda& cuda, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                       uint64_t nonce, KvCache& kv, ColumnsOut xs, float* out_norm) {
  CudaContext& c = *cuda.ctx;
  if (out_norm != nullptr || !attn_device_eligible(w)) {
    return on_host_columns(c, xs, [&] { return host_attn_mixer(cuda_host_run(c), g, w, pos, kv, xs, out_norm); });
  }
  return in_groups(xs, [&](ColumnsOut part, size_t first, bool stage_only) {
    return attn_mixer_device(c, g, w, pos + static_cast<uint32_t>(first), nonce, kv, part, stage_only);
  });
}

Status cuda_gdn_mixer(const Cuda& cuda, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                      ColumnsOut xs, float* out_norm) {
  return cuda_gdn_columns(*cuda.ctx, g, w, nonce, st, xs, out_norm);
}

Status cuda_ffn_swiglu(const Cuda& cuda, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm) {
  CudaContext& c = *cuda.ctx;
  if (out_norm != nullptr || !ffn_device_eligible(w)) {
    return on_host_columns(c, xs, [&] { return host_ffn_swiglu(cuda_host_run(c), w, eps, xs, out_norm); });
  }
  return in_groups(xs, [&](ColumnsOut part, size_t, bool stage_only) {
    return ffn_swiglu_device(c, w, eps, part, stage_only);
  });
}

Status cuda_logits_head(const Cuda& cuda, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits) {
  return logits_head_device(*cuda.ctx, w, eps, xs, logits);
}

Status cuda_columns_begin(const Cuda& cuda, ColumnsIn xs) {
  CudaContext& c = *cuda.ctx;
  if (xs.size() == 1) return token_begin(c, xs[0]);
  if (xs.size() == 2) return token2_begin(c, xs[0], xs[1]);
  if (xs.size() == 3) return token3_begin(c, xs[0], xs[1], xs[2]);
  return {};
}

Status cuda_columns_read(const Cuda& cuda, ColumnsOut xs) {
  CudaContext& c = *cuda.ctx;
  Result<bool> pulled = false;
  if (xs.size() == 1) pulled = token_pull(c, xs[0]);
  if (xs.size() == 2) pulled = token2_pull(c, xs[0], xs[1]);
  if (xs.size() == 3) pulled = token3_pull(c, xs[0], xs[1], xs[2]);
  if (!pulled.ok()) return std::move(pulled).error();
  return {};
}

void cuda_columns_drop(const Cuda& cuda) {
  std::lock_guard<std::mutex> lock(cuda.ctx->token_mu);
  cuda.ctx->token.active = false;
}

Result<std::vector<float>> cuda_project(const Cuda& cuda, const Matrix& m, std::span<const float> x) {
  return matvec_host(*cuda.ctx, m, x);
}

}  // namespace kestrune
