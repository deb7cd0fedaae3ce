#include "cli/engine.h"

#include <vector>

#include "cli/generate.h"
#include "common/diag.h"
#include "sampler/sampler.h"

namespace kestrune {

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

Result<std::unique_ptr<Engine>> open_engine(const std::string& path) {
  auto engine = std::make_unique<Engine>();
  KS_TRY(engine->metadata, open_gguf(path));
  KS_TRY(engine->tokenizer, tokenizer_from_gguf(engine->metadata));
  engine->eos = eos_token(engine->metadata);
  KS_TRY(engine->model, load_model(path));
  return engine;
}

Result<std::string> complete(const Engine& engine, std::string_view prompt, const CompletionRequest& request) {
  KS_TRY(std::vector<uint32_t> ids, encode(engine.tokenizer, prompt));
  if (ids.empty()) return empty_prompt_error();
  uint64_t seed = request.seed ? *request.seed : clock_seed();
  Sampler sampler = make_sampler(request.temperature, request.top_k, request.top_p, seed);

  DecodeState state = new_state(*engine.model);
  FeedFn feed = model_feed(*engine.model, state);
  RunReport report;
  KS_TRY(std::vector<float> logits, prefill(model_prefill(*engine.model, state), ids, report));

  DecodeRules rules;
  rules.budget = request.max_tokens;
  if (engine.eos) rules.stop.push_back(*engine.eos);
  std::vector<uint32_t> out;
  EmitFn emit = [&out](uint32_t token) -> Status {
    out.push_back(token);
    return Ok{};
  };
  KS_TRY(Clock::time_point start, decode(feed, nullptr, sampler, std::move(logits), rules, emit, report));
  report.gen_seconds = elapsed_seconds(start);
  diag(perf_line(report));
  return decode(engine.tokenizer, out);
}

}  // namespace kestrune
