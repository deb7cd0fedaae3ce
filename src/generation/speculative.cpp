#include "generation/speculative.h"

#include <algorithm>

#include "common/diag.h"
#include "common/format.h"
#include "model/forward.h"
#include "model/model.h"
#include "model/speculative.h"

namespace kestrune {

SpecMode engage_speculation(const Model& model, float temperature) {
  if (!model.switches.speculative) return SpecMode::Off;
  if (temperature != 0.0f) {
    diag("# mtp speculative: armed but idle (temp != 0)\n");
    return SpecMode::Off;
  }
  SpecMode mode = model.switches.spec_depth1 ? SpecMode::Depth1 : SpecMode::Depth2;
  diag(format("# mtp speculative: engaged (greedy, depth {})\n", mode == SpecMode::Depth1 ? 1 : 2));
  return mode;
}

PrefillFn speculative_prefill_feed(const Model& model, DecodeState& state, SpecMode mode) {
  if (mode == SpecMode::Off) return model_prefill(model, state);
  // The draft head sees the whole prompt, so the first round can draft at once.
  return [&model, &state](std::span<const uint32_t> tokens) -> Result<std::vector<float>> {
    std::vector<float> logits;
    for (uint32_t token : tokens) {
      KS_TRY(logits, forward_mtp(model, state, token));
    }
    return logits;
  };
}

SpecStepFn speculative_step(const Model& model, DecodeState& state, Sampler& sampler, SpecMode mode) {
  if (mode == SpecMode::Off) return {};
  const unsigned depth = mode == SpecMode::Depth1 ? 1 : 2;
  return [&model, &state, &sampler, depth](uint32_t token, uint64_t keep,
                                           std::span<const uint32_t> stop) -> Result<StepResult> {
    StepResult round;
    if (keep == 0) {
      KS_TRY(std::vector<float> logits, forward_mtp(model, state, token));
      round.next = sample(sampler, logits);
      return round;
    }
    RoundLimits limits;
    limits.keep = static_cast<unsigned>(std::min<uint64_t>(keep, depth));
    limits.stop = stop;
    return speculative_round(model, depth, token, state, sampler, limits);
  };
}

}  // namespace kestrune
