// Feeding a prompt several tokens per pass over the weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "common/error.h"
#include "model/model.h"
#include "model/state.h"

namespace kestrune {

// Tokens per pass over the weights unless the caller says otherwise.
inline constexpr size_t kPrefillChunk = 64;

// Called between passes (and between tokens on the per-token route); an error stops the
// feed there, for a caller that must notice an interrupt during a long prompt.
using BetweenPasses = std::function<Status()>;

// Feeds `tokens` in order from state.position on and returns the logits after the last
// one (empty for no tokens), leaving the same logits, caches, GDN states and position
// as one forward call per token would, bit for bit. Each layer takes up to `chunk`
// tokens at once, reading every weight row once for all of them, while the caches and
// recurrent states still advance token by token. The trace, the lens, the alpha
// instrument and speculation each need every token's own pass: with any of them on it
// calls forward per token. An error is the one the per-token loop would return; the
// state is then unusable.
Result<std::vector<float>> prefill(const Model& model, DecodeState& state, std::span<const uint32_t> tokens,
                                   size_t chunk = kPrefillChunk, const BetweenPasses& between = {});

// Feeds `tokens` as prefill does and returns, for every token after the first, its
// natural-log probability under the logits of the token before it (one fewer value
// than tokens). The logits are the ones forward would return, bit for bit; the
// log-softmax sums in double precision.
Result<std::vector<double>> score_tokens(const Model& model, DecodeState& state, std::span<const uint32_t> tokens,
                                         size_t chunk = kPrefillChunk, const BetweenPasses& between = {});

}  // namespace kestrune
