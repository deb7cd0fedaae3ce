// The layers of the model, each written once over the backend's small operations, for
// one token, a prompt chunk or a verification pass alike. Every check and message of a
// layer comes first, before any operation runs.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "backend/backend.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"

namespace kestrune {

// One sequence's share of the columns of a pass: `columns` consecutive columns, the
// first at position `pos`, with the sequence's state of the layer. A pass may carry
// several sequences; the products take all their columns at once, the attention and the
// GDN recurrence each sequence's own.
struct AttnPart {
  KvCache* kv = nullptr;
  uint64_t nonce = 0;
  uint32_t pos = 0;
  size_t columns = 0;
};
struct GdnPart {
  GdnLayerState* st = nullptr;
  uint64_t nonce = 0;
  size_t columns = 0;
};

// Each layer reads its input columns `x` and adds its output into `acc` (the model
// passes the residual stream as both). With `out_norm` set it receives the norm of the
// last column's output (the trace).
Status attention_layer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w,
                       std::span<const AttnPart> parts, const Activations& x, Activations& acc,
                       float* out_norm = nullptr);
Status gdn_layer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, std::span<const GdnPart> parts,
                 const Activations& x, Activations& acc, float* out_norm = nullptr);
// One sequence: column j is the token at pos + j.
Status attention_layer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                       uint64_t nonce, KvCache& kv, const Activations& x, Activations& acc,
                       float* out_norm = nullptr);
Status gdn_layer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                 const Activations& x, Activations& acc, float* out_norm = nullptr);
Status ffn_layer(const Backend& b, const FfnWeights& w, float eps, const Activations& x, Activations& acc,
                 float* out_norm = nullptr);
// Final norm and head product of every column, on the host: one entry per head row.
Result<Columns> logits_head(const Backend& b, std::span<const float> norm, const Matrix& head, float eps,
                            const Activations& x);

// The same over host columns, updated in place (the draft head and the layer tests).
Status attn_mixer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, uint64_t nonce,
                  KvCache& kv, ColumnsOut xs, float* out_norm = nullptr);
Status gdn_mixer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                 ColumnsOut xs, float* out_norm = nullptr);
Status ffn_swiglu(const Backend& b, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm = nullptr);

// A plain matrix-vector product of host floats.
Result<std::vector<float>> project(const Backend& b, const Matrix& m, std::span<const float> x);

}  // namespace kestrune
