// Single-column and fixed-width shorthands over the span-taking layer operations, so
// the layer tests read like the operations they check.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/primitives.h"
#include "model/layers.h"

namespace kestrune::testing {

template <class... X>
std::array<std::span<float>, sizeof...(X)> cols(X&... x) {
  return {std::span<float>(x)...};
}

// A reference backend with no pool, for calling the operations the way the model does.
inline const Backend& plain_backend() {
  static const Backend b{make_cpu(1)};
  return b;
}

// A layer's output alone: the layer reads x and adds into zeroed columns.
template <class Layer>
Result<std::vector<float>> layer_output(const Backend& b, std::span<const float> x, size_t rows, Layer&& layer) {
  KS_TRY(Activations in, upload(b, Columns{std::vector<float>(x.begin(), x.end())}));
  KS_TRY(Activations acc, upload(b, Columns{std::vector<float>(rows, 0.0f)}));
  KS_CHECK(layer(in, acc));
  return download_column(b, acc, 0);
}

inline Result<std::vector<float>> attn_output(const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                                              KvCache& kv, std::span<const float> x,
                                              const Backend& b = plain_backend()) {
  return layer_output(b, x, x.size(), [&](const Activations& in, Activations& acc) {
    return attention_layer(b, g, w, pos, 0, kv, in, acc);
  });
}

inline Result<std::vector<float>> gdn_output(const GdnGeometry& g, const GdnWeights& w, GdnLayerState& st,
                                             std::span<const float> x, const Backend& b = plain_backend()) {
  return layer_output(b, x, x.size(), [&](const Activations& in, Activations& acc) {
    return gdn_layer(b, g, w, 0, st, in, acc);
  });
}

inline Result<std::vector<float>> ffn_output(const FfnWeights& w, float eps, std::span<const float> x,
                                             const Backend& b = plain_backend()) {
  return layer_output(b, x, x.size(),
                      [&](const Activations& in, Activations& acc) { return ffn_layer(b, w, eps, in, acc); });
}

inline Status attn_step(const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, KvCache& kv,
                        std::vector<float>& x) {
  return attn_mixer(plain_backend(), g, w, pos, 0, kv, cols(x));
}

inline Status gdn_apply(const GdnGeometry& g, const GdnWeights& w, GdnLayerState& st, std::vector<float>& x) {
  return gdn_mixer(plain_backend(), g, w, 0, st, cols(x));
}

}  // namespace kestrune::testing
