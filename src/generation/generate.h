// The generation loop shared by the Python method, the command-line `generate` and
// each chat turn: prompt feeding, sample/emit/feed decoding with a stop set and a
// budget, and the timing report.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "gguf/gguf.h"
#include "model/speculative.h"
#include "sampler/sampler.h"

namespace kestrune {

inline constexpr std::string_view kEmptyPromptMessage = "empty prompt after tokenization";

// Nothing to sample from: both front ends refuse an empty prompt with this error.
Error empty_prompt_error();
bool is_empty_prompt_error(const Error& error);

// The end-of-sequence id: the first tokenizer.ggml.eos_token_id entry when it is a UInt
// that fits a token id.
std::optional<uint32_t> eos_token(const GgufFile& file);

struct Model;
struct DecodeState;

// Feeds one token at the next position and returns the logits for the one after it.
using FeedFn = std::function<Result<std::vector<float>>(uint32_t token)>;
// Feeds a run of prompt tokens and returns the logits after the last one.
using PrefillFn = std::function<Result<std::vector<float>>(std::span<const uint32_t> tokens)>;

// One speculative round fed with `token`: the accepted drafts and the token to emit next.
// At most `keep` drafts are accepted and none in `stop`, so that the state holds only
// what is emitted; with `keep` 0 the token is only fed.
using SpecStepFn = std::function<Result<StepResult>(uint32_t token, uint64_t keep, std::span<const uint32_t> stop)>;

// Hands one generated token to the front end (stream it, or collect it).
using EmitFn = std::function<Status(uint32_t token)>;

enum class SpecMode { Off, Depth1, Depth2 };

// Restricts each sample to the tokens a grammar allows: `fill` writes one bit per
// vocabulary id (bit i%32 of word i/32, set = allowed) before the sample, `accept`
// learns the sampled token.
struct TokenConstraint {
  std::function<Status(std::span<uint32_t> words)> fill;
  std::function<Status(uint32_t token)> accept;
};

struct DecodeRules {
  uint64_t budget = 64;
  std::vector<uint32_t> stop;
  // The command-line `generate` starts the decode clock after the first sample; the
  // Python method and chat turns start it just before.
  bool clock_after_first_sample = false;
  // Unconstrained when null: the plain loop pays one pointer test per token.
  const TokenConstraint* constraint = nullptr;
  // Polled before each token; true ends the run as the budget would (the chat's Ctrl-C).
  std::function<bool()> cancel;
};

struct RunReport {
  uint64_t prompt_tokens = 0;
  uint64_t generated = 0;
  double prefill_seconds = 0.0;
  double gen_seconds = 0.0;
  uint64_t rounds = 0;    // speculative rounds
  uint64_t accepted = 0;  // accepted drafts over all rounds
};

using Clock = std::chrono::steady_clock;

// Seconds since `start`, floored at 1e-9.
double elapsed_seconds(Clock::time_point start);

// Feeds every prompt token in order; returns the logits of the last one (empty for an
// empty prompt). Records the count and the prefill seconds in `report`.
Result<std::vector<float>> feed_prompt(const FeedFn& feed, std::span<const uint32_t> prompt, RunReport& report);
Result<std::vector<float>> feed_prompt(const PrefillFn& feed, std::span<const uint32_t> prompt, RunReport& report);

// Samples, emits and feeds until the budget or a stop token. `speculate` is used instead of
// `feed` after the first sample when set. Returns the decode clock's start so that the
// caller can stop it after its own closing output; `report` receives the counts.
Result<Clock::time_point> decode_loop(const FeedFn& feed, const SpecStepFn* speculate, Sampler& sampler,
                                      std::vector<float> logits, const DecodeRules& rules, const EmitFn& emit,
                                      RunReport& report);

// The plain (non-speculative) decode loop driven one token at a time by its caller. Each
// step feeds the token the previous step returned, samples, and returns the next token
// to emit, or nothing once the budget or a stop token ends the run; the feeds and draws
// are exactly decode_loop's. A token the budget cuts off has been fed, a stop token has
// not: after the run the state holds the prompt and every emitted token.
struct DecodeCursor {
  uint32_t next = 0;     // sampled, not yet returned
  bool unfed = false;    // `next` was returned by the last step and is fed by this one
  bool done = false;
  bool stopped = false;  // a stop token, not the budget, ended the run
};
DecodeCursor start_cursor(Sampler& sampler, std::span<const float> logits);
// start_cursor under the rules' constraint, when there is one.
Result<DecodeCursor> start_cursor(Sampler& sampler, std::span<const float> logits, const DecodeRules& rules);

// Samples among the tokens `constraint` allows (disallowed logits become -inf), then
// tells it the choice. "constraint: no token allowed" when the mask is empty.
Result<uint32_t> sample_constrained(Sampler& sampler, std::span<const float> logits,
                                    const TokenConstraint& constraint);
Result<std::optional<uint32_t>> decode_step(const FeedFn& feed, Sampler& sampler, DecodeCursor& cursor,
                                            const DecodeRules& rules, RunReport& report);

// "# perf: prefill ... | gen ...\n"
std::string perf_line(const RunReport& report);
// "# spec: accepted {}/{} rounds ({:.1}%)\n"
std::string spec_line(const RunReport& report);
// "# warning: context ...\n" when position is past 90% of the context, else empty.
std::string context_warning(uint32_t position, uint64_t context_length);

// Feeding through the model's plain forward pass.
FeedFn model_feed(const Model& model, DecodeState& state);
// The model's batched prefill (bit-identical to feeding one token at a time).
PrefillFn model_prefill(const Model& model, DecodeState& state);

}  // namespace kestrune
