#include "generation/generate.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/format.h"
#include "model/forward.h"
#include "model/model.h"
#include "model/prefill.h"

namespace kestrune {

namespace {

bool stops(const DecodeRules& rules, uint32_t token) {
  return std::find(rules.stop.begin(), rules.stop.end(), token) != rules.stop.end();
}

double per_second(uint64_t count, double seconds) { return static_cast<double>(count) / seconds; }

Status decode_plain(const FeedFn& feed, Sampler& sampler, DecodeCursor cursor, const DecodeRules& rules,
                    const EmitFn& emit, RunReport& report) {
  for (;;) {
    KS_TRY(std::optional<uint32_t> token, decode_step(feed, sampler, cursor, rules, report));
    if (!token) return Ok{};
    KS_CHECK(emit(*token));
  }
}

// Each round feeds `tok`; like the plain loop, every emitted token ends up fed (the last
// one by a round that keeps nothing) and a stop token never is, so a chat's next turn
// continues from the same state either way.
Status decode_speculative(const SpecStepFn& speculate, uint32_t tok, const DecodeRules& rules, const EmitFn& emit,
                          RunReport& report) {
  if (rules.budget == 0 || stops(rules, tok)) return Ok{};
  for (;;) {
    KS_CHECK(emit(tok));
    uint64_t left = rules.budget - ++report.generated;
    if (rules.cancel && rules.cancel()) left = 0;
    KS_TRY(StepResult round, speculate(tok, left, rules.stop));
    if (left == 0) return Ok{};
    ++report.rounds;
    report.accepted += round.accepted.size();
    for (uint32_t t : round.accepted) {
      KS_CHECK(emit(t));
      ++report.generated;
    }
    if (report.generated >= rules.budget || stops(rules, round.next)) return Ok{};
    tok = round.next;
  }
}

}  // namespace

Error empty_prompt_error() { return invalid_input(std::string(kEmptyPromptMessage)); }

bool is_empty_prompt_error(const Error& error) {
  return error.kind == ErrorKind::InvalidInput && error.message == kEmptyPromptMessage;
}

std::optional<uint32_t> eos_token(const GgufFile& file) {
  auto v = meta_uint_opt(file, "tokenizer.ggml.eos_token_id");
  // An id past u32 can never be sampled; keep it out of the stop set rather than truncate.
  if (!v || *v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

double elapsed_seconds(Clock::time_point start) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  double s = static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
  return std::max(s, 1e-9);
}

Result<std::vector<float>> feed_prompt(const FeedFn& feed, std::span<const uint32_t> prompt, RunReport& report) {
  auto start = Clock::now();
  std::vector<float> logits;
  for (uint32_t token : prompt) {
    KS_TRY(logits, feed(token));
    ++report.prompt_tokens;
  }
  report.prefill_seconds = elapsed_seconds(start);
  return logits;
}

Result<std::vector<float>> feed_prompt(const PrefillFn& feed, std::span<const uint32_t> prompt, RunReport& report) {
  auto start = Clock::now();
  KS_TRY(std::vector<float> logits, feed(prompt));
  report.prompt_tokens += prompt.size();
  report.prefill_seconds = elapsed_seconds(start);
  return logits;
}

Result<Clock::time_point> decode_loop(const FeedFn& feed, const SpecStepFn* speculate, Sampler& sampler,
                                      std::vector<float> logits, const DecodeRules& rules, const EmitFn& emit,
                                      RunReport& report) {
  auto start = Clock::now();
  DecodeCursor cursor = start_cursor(sampler, logits);
  if (rules.clock_after_first_sample) start = Clock::now();
  if (speculate != nullptr && *speculate) {
    KS_CHECK(decode_speculative(*speculate, cursor.next, rules, emit, report));
  } else {
    KS_CHECK(decode_plain(feed, sampler, cursor, rules, emit, report));
  }
  return start;
}

DecodeCursor start_cursor(Sampler& sampler, std::span<const float> logits) {
  DecodeCursor cursor;
  cursor.next = sample(sampler, logits);
  return cursor;
}

Result<DecodeCursor> start_cursor(Sampler& sampler, std::span<const float> logits, const DecodeRules& rules) {
  if (rules.constraint == nullptr) return start_cursor(sampler, logits);
  DecodeCursor cursor;
  KS_TRY(cursor.next, sample_constrained(sampler, logits, *rules.constraint));
  return cursor;
}

Result<uint32_t> sample_constrained(Sampler& sampler, std::span<const float> logits,
                                    const TokenConstraint& constraint) {
  std::vector<uint32_t> words((logits.size() + 31) / 32, 0);
  KS_CHECK(constraint.fill(words));
  std::vector<float> masked(logits.begin(), logits.end());
  bool any = false;
  for (size_t i = 0; i < masked.size(); ++i) {
    if ((words[i / 32] >> (i % 32)) & 1u) {
      any = true;
    } else {
      masked[i] = -std::numeric_limits<float>::infinity();
    }
  }
  if (!any) return invalid_input("constraint: no token allowed");
  uint32_t token = sample(sampler, masked);
  KS_CHECK(constraint.accept(token));
  return token;
}

Result<std::optional<uint32_t>> decode_step(const FeedFn& feed, Sampler& sampler, DecodeCursor& cursor,
                                            const DecodeRules& rules, RunReport& report) {
  if (cursor.done) return std::optional<uint32_t>{};
  if (cursor.unfed) {
    KS_TRY(auto logits, feed(cursor.next));
    cursor.unfed = false;
    if (rules.constraint != nullptr) {
      KS_TRY(cursor.next, sample_constrained(sampler, logits, *rules.constraint));
    } else {
      cursor.next = sample(sampler, logits);
    }
  }
  const bool cut = report.generated >= rules.budget || (rules.cancel && rules.cancel());
  if (cut || stops(rules, cursor.next)) {
    cursor.done = true;
    cursor.stopped = !cut;
    return std::optional<uint32_t>{};
  }
  ++report.generated;
  cursor.unfed = true;
  return std::optional<uint32_t>{cursor.next};
}

std::string perf_line(const RunReport& r) {
  return format("# perf: prefill {} tok in {}s ({} tok/s) | gen {} tok in {}s ({} tok/s)\n", r.prompt_tokens,
                fixed_str(r.prefill_seconds, 2), fixed_str(per_second(r.prompt_tokens, r.prefill_seconds), 1),
                r.generated, fixed_str(r.gen_seconds, 2), fixed_str(per_second(r.generated, r.gen_seconds), 1));
}

std::string spec_line(const RunReport& r) {
  double pct = static_cast<double>(r.accepted) * 100.0 / static_cast<double>(r.rounds);
  return format("# spec: accepted {}/{} rounds ({}%)\n", r.accepted, r.rounds, fixed_str(pct, 1));
}

std::string context_warning(uint32_t position, uint64_t context_length) {
  // No u32 position reaches 90% of a context beyond max/9; skip the product that would wrap.
  uint64_t scaled = static_cast<uint64_t>(position) * 10;
  if (context_length == 0 || context_length > UINT64_MAX / 9 || scaled <= context_length * 9) return {};
  const auto percent = static_cast<uint64_t>(static_cast<double>(position) * 100.0 / static_cast<double>(context_length));
  return format("# warning: context {} / {} tokens (~{}%)\n", position, context_length, percent);
}

FeedFn model_feed(const Model& model, DecodeState& state) {
  return [&model, &state](uint32_t token) { return forward(model, state, token); };
}

PrefillFn model_prefill(const Model& model, DecodeState& state) {
  return [&model, &state](std::span<const uint32_t> tokens) { return prefill(model, state, tokens); };
}

}  // namespace kestrune
