#include "python/engine.h"

#include <vector>

#include "cli/generate.h"
#include "common/diag.h"
#include "model/prefill.h"
#include "sampler/sampler.h"

namespace kestrune {

Result<std::unique_ptr<Engine>> open_engine(const std::string& path) {
  auto engine = std::make_unique<Engine>();
  KS_TRY(std::unique_ptr<ModelFile> file, open_model_file(path));
  KS_TRY(engine->tokenizer, tokenizer_from_gguf(file->gguf));
  engine->eos = eos_token(file->gguf);
  KS_TRY(engine->model, load_model(std::move(file)));
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
  KS_TRY(std::vector<float> logits, feed_prompt(model_prefill(*engine.model, state), ids, report));

  DecodeRules rules;
  rules.budget = request.max_tokens;
  if (engine.eos) rules.stop.push_back(*engine.eos);
  std::vector<uint32_t> out;
  EmitFn emit = [&out](uint32_t token) -> Status {
    out.push_back(token);
    return Ok{};
  };
  KS_TRY(Clock::time_point start, decode_loop(feed, nullptr, sampler, std::move(logits), rules, emit, report));
  report.gen_seconds = elapsed_seconds(start);
  diag(perf_line(report));
  return decode(engine.tokenizer, out);
}

Result<std::vector<double>> score_text(const Engine& engine, std::string_view text) {
  KS_TRY(std::vector<uint32_t> ids, encode(engine.tokenizer, text));
  if (ids.empty()) return empty_prompt_error();
  DecodeState state = new_state(*engine.model);
  return score_tokens(*engine.model, state, ids);
}

}  // namespace kestrune
