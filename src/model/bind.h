// The model's tensors bound once at load into per-layer records. A binding that fails
// keeps its error, which surfaces when a token first needs that tensor, exactly where
// a lookup at that point would have failed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "backend/backend.h"
#include "common/error.h"
#include "config/config.h"
#include "layers/geometry.h"
#include "layers/weights.h"
#include "weights/model_file.h"
#include "weights/tensor_cache.h"

namespace kestrune {

// Cached: projections multiply by the dense copy when the cache holds one. Streamed:
// they always stream from the mapping, and the GDN decay/strength inputs must be cached.
enum class Route { Cached, Streamed };

using MixerWeights = std::variant<AttnWeights, GdnWeights>;

struct LayerWeights {
  Result<MixerWeights> mixer;
  Result<FfnWeights> ffn;
};

struct DraftWeights {
  Result<std::span<const float>> enorm;
  Result<std::span<const float>> hnorm;
  Result<Matrix> eh_proj;  // dense when cached
  Result<AttnWeights> attn;  // always streamed
  Result<FfnWeights> ffn;    // always streamed
  Result<std::span<const float>> head_norm;  // nextn.shared_head_norm
};

struct ModelWeights {
  WeightsMode mode = WeightsMode::Eager;
  TensorCache cache;
  std::string head_name;   // "output.weight" or "token_embd.weight"
  uint64_t head_rows = 0;  // logits per token: rows of the head tensor
  Route route = Route::Cached;
  std::vector<LayerWeights> layers;  // schedule order
  Result<std::span<const float>> output_norm = Error{};
  Result<Matrix> head = Error{};          // dense when cached
  Result<TensorView> head_view = Error{};  // always streamed
  Result<TensorView> embed_view = Error{};  // token_embd, looked up by row
  uint64_t draft_layer = 0;                // block index of the nextn draft head
  std::optional<DraftWeights> draft;       // present exactly with a draft head
  std::vector<PackedWeight> packed;  // the copies bound views point into
};

// The bound value in place, or a copy of the error its binding kept.
template <class T>
Result<const T*> bound(const Result<T>& r) {
  if (!r.ok()) return r.error();
  return &r.value();
}

// Binds every main layer on `route`, the head and, when present, the draft block. The
// cache must already be in `w`; `file` must outlive the bindings.
void bind_model_weights(ModelWeights& w, const ModelFile& file, const ModelConfig& config, Route route);

// Gives every bound quantized view with a packed layout its packed copy, each tensor
// packed once, and drops the engine's own copy of the file bytes it replaces (rows are
// read through `weight_row`). A tensor that cannot be packed keeps the plain route. The
// layout is the backend's; the embedding shares the head's copy when the two are tied.
void pack_model_weights(ModelWeights& w, const Backend& b, const ModelFile& file);

}  // namespace kestrune
