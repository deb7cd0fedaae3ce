// Whether a command-line run decodes speculatively, and the feed/step functions it
// then uses. Only the command line speculates, and only greedily.
#pragma once

#include "generation/generate.h"

namespace kestrune {

struct Model;
struct DecodeState;

// Off unless the model armed the regime at load and the temperature is 0; prints the
// "# mtp speculative: engaged ..." or "... armed but idle ..." line when armed.
SpecMode engage_speculation(const Model& model, float temperature);

// The prefill feed for `mode` (the draft-head-tracking pass when speculating).
PrefillFn speculative_prefill_feed(const Model& model, DecodeState& state, SpecMode mode);

// One speculative round at the mode's depth; an empty function when `mode` is Off.
SpecStepFn speculative_step(const Model& model, DecodeState& state, Sampler& sampler, SpecMode mode);

}  // namespace kestrune
