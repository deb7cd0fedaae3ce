// The nextn draft head: one extra attention + SwiGLU block that, from the main model's
// final hidden state at one position and the embedding of the token after it, predicts
// the token after that. It feeds the alpha instrument and speculative decoding.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"
#include "model/model.h"
#include "model/state.h"

namespace kestrune {

// The block's output for (e: embedding of the next token, h: previous hidden state) at
// draft position `pos`; appends one block to `cache`. `nonce` keys the cache on the
// backend side (the decode state's own nonce).
Result<std::vector<float>> draft_hidden(const Model& model, std::span<const float> e, std::span<const float> h,
                                        KvCache& cache, uint32_t pos, uint64_t nonce);

// The greedy token of a block output through the shared head.
Result<uint32_t> draft_token(const Model& model, std::span<const float> y);

// draft_hidden on (e, state.hidden) at the state's draft position, then draft_token;
// advances the draft position. The state must carry a hidden vector and a draft cache.
Result<uint32_t> draft_step(const Model& model, DecodeState& state, std::span<const float> e);

}  // namespace kestrune
