#include "cli/speculative.h"

#include "common/diag.h"
#include "common/env.h"
#include "common/format.h"
#include "model/model.h"

namespace kestrune {

SpecMode engage_speculation(const Model& model, float temperature) {
  if (!model.speculative) return SpecMode::Off;
  if (temperature != 0.0f) {
    diag("# mtp speculative: armed but idle (temp != 0)\n");
    return SpecMode::Off;
  }
  auto depth = env_utf8("KESTRUNE_MTP_DEPTH");
  SpecMode mode = depth && *depth == "1" ? SpecMode::Depth1 : SpecMode::Depth2;
  diag(format("# mtp speculative: engaged (greedy, depth {})\n", mode == SpecMode::Depth1 ? 1 : 2));
  return mode;
}

// The draft-head passes (forward_mtp, spec_step, spec_step2) plug in here. Until they
// are linked, a round is the plain step the speculative decoder itself falls back to
// when it has no carried hidden vector: feed the token, sample, accept nothing. The
// emitted tokens are therefore the greedy ones either way.
FeedFn speculative_prefill_feed(const Model& model, DecodeState& state, SpecMode /*mode*/) {
  return model_feed(model, state);
}

SpecStepFn speculative_step(const Model& model, DecodeState& state, Sampler& sampler, SpecMode mode) {
  if (mode == SpecMode::Off) return {};
  return [&model, &state, &sampler](uint32_t token) -> Result<SpecRound> {
    KS_TRY(std::vector<float> logits, forward(model, state, token));
    SpecRound round;
    round.next = sample(sampler, logits);
    return round;
  };
}

}  // namespace kestrune
