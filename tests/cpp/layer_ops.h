// Single-column and fixed-width shorthands over the span-taking layer operations, so
// the layer tests read like the operations they check.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/attention.h"
#include "backend/cpu/ffn.h"
#include "backend/cpu/gdn.h"
#include "backend/cpu/matmul.h"
#include "backend/cpu/primitives.h"

namespace kestrune::testing {

template <class... X>
std::array<std::span<float>, sizeof...(X)> cols(X&... x) {
  return {std::span<float>(x)...};
}

inline Result<std::vector<float>> attn_output(const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                                              KvCache& kv, std::span<const float> x, ThreadPool* pool = nullptr) {
  const std::span<const float> c[1] = {x};
  KS_TRY(Columns y, attn_outputs(g, w, pos, kv, c, pool));
  return std::move(y[0]);
}

inline Result<std::vector<float>> gdn_output(const GdnGeometry& g, const GdnWeights& w, GdnLayerState& st,
                                             std::span<const float> x, ThreadPool* pool = nullptr) {
  const std::span<const float> c[1] = {x};
  KS_TRY(Columns y, gdn_outputs(g, w, st, c, pool));
  return std::move(y[0]);
}

inline Result<std::vector<float>> ffn_output(const FfnWeights& w, float eps, std::span<const float> x,
                                             ThreadPool* pool = nullptr) {
  const std::span<const float> c[1] = {x};
  KS_TRY(Columns y, ffn_outputs(w, eps, c, pool));
  return std::move(y[0]);
}

// A reference backend with no pool, for calling the operations the way the model does.
inline const Backend& plain_backend() {
  static const Backend b{make_cpu(1)};
  return b;
}

inline Status attn_step(const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, KvCache& kv,
                        std::vector<float>& x) {
  return attn_mixer(plain_backend(), g, w, pos, 0, kv, cols(x));
}

inline Status gdn_apply(const GdnGeometry& g, const GdnWeights& w, GdnLayerState& st, std::vector<float>& x) {
  return gdn_mixer(plain_backend(), g, w, 0, st, cols(x));
}

}  // namespace kestrune::testing
