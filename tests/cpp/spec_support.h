// Shared pieces of the draft-head and speculative-decoding tests: loading generated
// models under a given environment, and greedy runs through the real generation loop.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "generation/generate.h"
#include "generation/speculative.h"
#include "model/forward.h"
#include "model/model.h"
#include "model/mtp.h"
#include "model/speculative.h"
#include "model_fixture.h"

namespace kestrune::testing {

#define REQUIRE_SPEC_MODEL(var, args)                                  \
  auto var##_path = ::kestrune::testing::generated_model(args);        \
  if (!var##_path) GTEST_SKIP() << "python3 with numpy is unavailable"; \
  const std::string var = *var##_path

inline const ScopedEnv::Vars kArmedEnv = {{"KESTRUNE_MTP", "1"}, {"KESTRUNE_WEIGHTS", "lazy"}};

// Loads a kept copy of `path` with every load variable unset except `env`; start-up lines
// are swallowed.
inline std::unique_ptr<Model> load_with(const std::string& path, const ScopedEnv::Vars& env) {
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  ScopedEnv set(env);
  ::testing::internal::CaptureStderr();
  auto m = load_kept_copy(path);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(m.ok()) << m.error().message;
  return m.ok() ? std::move(m).value() : nullptr;
}

inline uint64_t kv_width(const Model& m) { return m.attn.kv_width(); }

// Number of positions an attention cache holds.
inline uint64_t kv_positions(const Model& m, const KvCache& kv) { return kv.k.size() / kv_width(m); }

inline Sampler greedy() { return make_sampler(0.0f, 0, 1.0f, 0); }

// What one run through the generation loop produced.
struct Run {
  std::vector<uint32_t> emitted;
  RunReport report;
  std::vector<StepResult> rounds;  // every speculative round's result, in order
};

// Prefill `prompt` and decode greedily with `mode` (Off: plain forward) through the
// loop the command line uses. The state is left as the run leaves it.
inline Run greedy_run(const Model& m, DecodeState& state, const std::vector<uint32_t>& prompt, uint64_t budget,
                      const std::vector<uint32_t>& stop, SpecMode mode) {
  Run run;
  Sampler s = greedy();
  PrefillFn prefill_feed = speculative_prefill_feed(m, state, mode);
  auto logits = feed_prompt(prefill_feed, prompt, run.report);
  EXPECT_TRUE(logits.ok()) << logits.error().message;
  if (!logits.ok()) return run;
  SpecStepFn inner = speculative_step(m, state, s, mode);
  SpecStepFn logged;
  if (inner) {
    logged = [&](uint32_t t, uint64_t keep, std::span<const uint32_t> stop) -> Result<StepResult> {
      KS_TRY(StepResult r, inner(t, keep, stop));
      if (keep > 0) run.rounds.push_back(r);
      return r;
    };
  }
  DecodeRules rules;
  rules.budget = budget;
  rules.stop = stop;
  EmitFn emit = [&](uint32_t t) -> Status {
    run.emitted.push_back(t);
    return Ok{};
  };
  auto start = decode_loop(model_feed(m, state), &logged, s, std::move(*logits), rules, emit, run.report);
  EXPECT_TRUE(start.ok()) << start.error().message;
  return run;
}

}  // namespace kestrune::testing
