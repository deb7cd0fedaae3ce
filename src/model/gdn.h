// Gated DeltaNet: causal depthwise convolution over the joint q/k/v projection, then a
// gated delta-rule recurrence with one d x d state per value head.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "backend/cpu/matmul.h"
#include "backend/cpu/primitives.h"
#include "common/error.h"
#include "config/config.h"
#include "model/binding.h"
#include "model/state.h"

namespace kestrune {

struct GdnGeometry {
  uint64_t d = 0;            // head width, keys and values
  uint64_t hk = 0;           // key/query heads
  uint64_t hv = 0;           // value heads
  uint64_t conv_kernel = 0;  // K
  float eps = 0;

  uint64_t qk() const { return hk * d; }
  uint64_t inner() const { return hv * d; }
  uint64_t channels() const { return (2 * hk + hv) * d; }
};

GdnGeometry gdn_geometry(const ModelConfig& c);

// Zero conv history and recurrent state for one layer.
GdnLayerState new_gdn_state(const GdnGeometry& g);

struct GdnTensors {
  std::span<const float> norm;  // attn_norm
  Matrix qkv;
  const CachedTensor* conv = nullptr;  // ssm_conv1d, K taps per channel
  Matrix alpha;
  Matrix beta;
  std::span<const float> a;        // ssm_a
  std::span<const float> dt_bias;  // ssm_dt.bias
  Matrix gate;                     // attn_gate (z)
  std::span<const float> out_norm; // ssm_norm
  Matrix out;                      // ssm_out
  ThreadPool* pool = nullptr;      // from the weight source
};

// The streamed binding also refuses a conv weight whose first dim is not K.
Result<GdnTensors> bind_gdn(const WeightSource& w, uint64_t layer, Route route, const GdnGeometry& g);

// The recurrence for every value head l (key head l mod hk): decay S, delta-rule update
// with k and v, read out with q into `out` (zero on entry).
void gdn_step(std::span<float> S, std::span<const float> q, std::span<const float> k, std::span<const float> v,
              std::span<const float> decay, std::span<const float> beta, std::span<float> out, uint64_t d,
              uint64_t hk, uint64_t hv);

// The mixer's output projection for x (hidden floats), advancing the layer's conv and
// recurrent state. x itself is not changed.
Result<std::vector<float>> gdn_output(const GdnGeometry& g, const GdnTensors& t, GdnLayerState& st,
                                      std::span<const float> x);

// gdn_output added into x.
Status gdn_apply(const GdnGeometry& g, const GdnTensors& t, GdnLayerState& st, std::span<float> x);

// Runs before each column touches the layer state, the first call before any other
// work: where a backend restores or snapshots the state per token.
using GdnStepHook = std::function<Status()>;

// gdn_output for consecutive tokens, the state advancing column by column. The
// products take all columns at once; the first error is the one the first column alone
// would meet.
Result<Columns> gdn_outputs(const GdnGeometry& g, const GdnTensors& t, GdnLayerState& st, ColumnsIn xs,
                            const GdnStepHook& before_step = {});

// gdn_outputs added into each column.
Status gdn_apply_cols(const GdnGeometry& g, const GdnTensors& t, GdnLayerState& st, ColumnsOut xs,
                      const GdnStepHook& before_step = {});

}  // namespace kestrune
