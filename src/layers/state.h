// The per-layer state of one sequence, as the layer operations read and advance it.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "layers/geometry.h"

namespace kestrune {

// Keys and values of one attention layer, one block of n_kv*head_dim floats per
// position, kv heads in order.
struct KvCache {
  std::vector<float> k;
  std::vector<float> v;
};

// Conv history ((K-1) rows of C channels) and the recurrent state (Hv heads of d x d,
// row index over key dims).
struct GdnLayerState {
  std::vector<float> conv;
  std::vector<float> recurrent;
};

struct LayerState {
  uint64_t nonce = 0;  // keys backend-side data of this layer
  std::variant<KvCache, GdnLayerState> data;
};

// Zero conv history and recurrent state for one layer.
inline GdnLayerState new_gdn_state(const GdnGeometry& g) {
  GdnLayerState s;
  const uint64_t rows = g.conv_kernel == 0 ? 0 : g.conv_kernel - 1;
  s.conv.assign(static_cast<size_t>(rows * g.channels()), 0.0f);
  s.recurrent.assign(static_cast<size_t>(g.hv * g.d * g.d), 0.0f);
  return s;
}

// Cuts a cache to `positions` blocks of `kv_width` floats; shorter caches stay as they are.
inline void truncate_kv(KvCache& kv, uint64_t positions, uint64_t kv_width) {
  const uint64_t n = positions * kv_width;
  if (kv.k.size() > n) kv.k.resize(static_cast<size_t>(n));
  if (kv.v.size() > n) kv.v.resize(static_cast<size_t>(n));
}

}  // namespace kestrune
