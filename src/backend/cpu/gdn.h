// Gated DeltaNet: causal depthwise convolution over the joint q/k/v projection, then a
// gated delta-rule recurrence with one d x d state per value head.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "backend/cpu/matmul.h"
#include "backend/cpu/thread_pool.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"

namespace kestrune {

// The recurrence for every value head l (key head l mod hk): decay S, delta-rule update
// with k and v, read out with q into `out` (zero on entry).
void gdn_step(std::span<float> S, std::span<const float> q, std::span<const float> k, std::span<const float> v,
              std::span<const float> decay, std::span<const float> beta, std::span<float> out, uint64_t d,
              uint64_t hk, uint64_t hv);

// Runs before each column touches the layer state, the first call before any other
// work: where a backend restores or snapshots the state per token.
using GdnStepHook = std::function<Status()>;

// One token's delta-rule inputs (q and k: Hk heads, v: Hv heads, decay and beta: one per
// value head) and its zeroed output.
struct GdnScanIo {
  std::span<const float> q, k, v, decay, beta;
  std::span<float> out;
};
// The recurrence of one token run elsewhere (a device copy of the layer's state).
using GdnScanFn = std::function<Status(const GdnLayerState& st, const GdnScanIo& io)>;

// The mixer's output projection for consecutive tokens, the layer's conv and recurrent
// state advancing column by column; the columns themselves are not changed. The
// products take all columns at once, split across `pool`; the first error is the one
// the first column alone would meet. With a hook or a scan the recurrence runs token
// by token; `products`, when set, replaces the products, and `scan` the recurrence.
Result<Columns> gdn_outputs(const GdnGeometry& g, const GdnWeights& w, GdnLayerState& st, ColumnsIn xs,
                            ThreadPool* pool, const GdnStepHook& before_step = {}, const ProductFn& products = {},
                            const GdnScanFn& scan = {});

}  // namespace kestrune
