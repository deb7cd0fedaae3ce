// Greedy speculative rounds: the draft head proposes one (depth 1) or two (depth 2)
// tokens, one multi-column pass verifies them, and the backend's window commits the
// accepted columns or rolls the GDN states back while the attention and draft caches
// are truncated.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"
#include "model/model.h"
#include "model/state.h"
#include "sampler/sampler.h"

namespace kestrune {

// One verified column: its logits and the residual stream before the final norm.
struct VerifyColumn {
  std::vector<float> logits;
  std::vector<float> hidden;
};

// The multi-column pass over `tokens` (two or three) at positions P, P + 1, ...: every
// column is appended to the attention caches and GDN states advance through all of
// them; state.position is not changed.
Result<std::vector<VerifyColumn>> verify(const Model& model, std::span<const uint32_t> tokens, DecodeState& state);

struct StepResult {
  std::vector<uint32_t> accepted;  // drafts equal to the greedy choice, in order
  uint32_t next = 0;               // the token to emit and feed to the following round
  bool drafted = false;            // false for the plain step taken without a hidden vector
};

// What a round may keep. The state after a round must hold exactly what plain decoding
// would have fed: never a stop token, never a token past the caller's budget. A draft
// that is a stop id, or that would exceed `keep` accepted drafts, is therefore not
// accepted; it comes back as `next` when it is the greedy choice.
struct RoundLimits {
  unsigned keep = 2;
  std::span<const uint32_t> stop;
};

// One round at depth 1 or 2 fed with the just-emitted token `a` (not yet in the caches).
Result<StepResult> speculative_round(const Model& model, unsigned depth, uint32_t a, DecodeState& state,
                                     Sampler& sampler, const RoundLimits& limits = {});

inline Result<StepResult> spec_step(const Model& model, uint32_t a, DecodeState& state, Sampler& sampler) {
  return speculative_round(model, 1, a, state, sampler);
}
inline Result<StepResult> spec_step2(const Model& model, uint32_t a, DecodeState& state, Sampler& sampler) {
  return speculative_round(model, 2, a, state, sampler);
}

}  // namespace kestrune
