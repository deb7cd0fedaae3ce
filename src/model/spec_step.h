// Greedy speculative rounds: the draft head proposes one (spec_step) or two
// (spec_step2) tokens, one multi-column pass verifies them, and the backend's window
// commits the accepted columns or rolls the GDN states back while the attention and
// draft caches are truncated.
#pragma once

#include <array>
#include <cstdint>
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

// Multi-column passes at positions P, P + 1 (, P + 2): every column is appended to the
// attention caches and GDN states advance through all of them; state.position is not
// changed.
Result<std::array<VerifyColumn, 2>> verify2(const Model& model, uint32_t a, uint32_t d1, DecodeState& state);
Result<std::array<VerifyColumn, 3>> verify3(const Model& model, uint32_t a, uint32_t d1, uint32_t d2,
                                            DecodeState& state);

struct StepResult {
  std::vector<uint32_t> accepted;  // drafts equal to the greedy choice, in order
  uint32_t next = 0;               // the token to emit and feed to the following round
  bool drafted = false;            // false for the plain step taken without a hidden vector
};

// One round fed with the just-emitted token `a` (not yet in the caches).
Result<StepResult> spec_step(const Model& model, uint32_t a, DecodeState& state, Sampler& sampler);
Result<StepResult> spec_step2(const Model& model, uint32_t a, DecodeState& state, Sampler& sampler);

// Cuts a cache to `positions` blocks of `kv_width` floats; shorter caches stay as they are.
void truncate_kv(KvCache& kv, uint64_t positions, uint64_t kv_width);

}  // namespace kestrune
