// Gated DeltaNet: causal depthwise convolution over the joint q/k/v projection, then a
// gated delta-rule recurrence with one d x d state per value head.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

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

// The causal convolution of each column in order, advancing the conv history: q | k | v
// with SiLU and the scaled head norms. `after_column`, when set, runs after each column.
Status gdn_conv_columns(const GdnGeometry& g, const CachedTensor& w, GdnLayerState& st, const Columns& qkv,
                        Columns& out, const std::function<void(size_t)>& after_column = {});
// Decay | strength of every value head from the alpha and beta projections.
Status gdn_gate_columns(const GdnGeometry& g, const GdnWeights& w, const Columns& a_in, const Columns& b_in,
                        Columns& out);
// The recurrence of columns [first, first + count) in order into their zeroed outputs.
Status gdn_scan_columns(const GdnGeometry& g, GdnLayerState& st, const Columns& qkv, const Columns& gates,
                        Columns& out, ThreadPool* pool, size_t first, size_t count);
// silu(z) times the RMS-normed scan output of each head times w.
Status gated_norm_columns(const GdnGeometry& g, std::span<const float> w, const Columns& scan, const Columns& z,
                          Columns& out, ThreadPool* pool);

}  // namespace kestrune
