// The forward pass: one layer loop over k consecutive token columns, used for a single
// token, a prompt chunk and a speculative verify pass alike.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"
#include "backend/backend.h"
#include "layers/columns.h"
#include "model/model.h"
#include "model/state.h"

namespace kestrune {

// The embedding row of `token` (hidden floats).
Result<std::vector<float>> embed(const Model& model, uint32_t token);

// Runs `token` at state.position through every layer and returns the logits (head_rows
// floats); advances state.position by one on success. With the alpha instrument on it
// also drafts the next token with the draft head and reports the previous draft.
Result<std::vector<float>> forward(const Model& model, DecodeState& state, uint32_t token);

// forward that keeps the draft head in step: when the state carries a hidden vector and
// a draft cache, the draft block first runs on (embedding of token, carried hidden),
// adding one draft-cache entry; afterwards the token's final hidden vector is carried.
Result<std::vector<float>> forward_mtp(const Model& model, DecodeState& state, uint32_t token);

// The main layers, final norm and head for the embedded token `x` at state.position,
// without any draft-head work; advances state.position by one on success. The final
// residual comes back only with `keep_hidden`.
struct ForwardPass {
  std::vector<float> logits;
  std::vector<float> hidden;  // residual stream after the last layer, before the final norm
};
Result<ForwardPass> forward_layers(const Model& model, DecodeState& state, std::vector<float> x,
                                   bool keep_hidden);

// Every main layer in schedule order over the columns, column j at state.position + j,
// each layer's mixer then its feed-forward block. A single column also prints the trace
// and lens lines when they are on. state.position is not moved.
Status run_layers(const Model& model, DecodeState& state, Activations& x);
// The same over several sequences at once: each sequence's columns follow the previous
// one's, from its own position. Positions are not moved.
struct PassPart {
  DecodeState* state = nullptr;
  size_t columns = 0;
};
Status run_layers(const Model& model, std::span<const PassPart> parts, Activations& x);

// Final norm and head product of every column: one logits vector per column.
Result<Columns> head_logits(const Model& model, const Activations& x);

// Final norm and head product of one residual vector.
Result<std::vector<float>> final_logits(const Model& model, std::span<const float> x);

}  // namespace kestrune
