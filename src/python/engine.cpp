#include "python/engine.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "cli/limits.h"
#include "common/diag.h"
#include "common/format.h"
#include "common/utf8.h"
#include "model/forward.h"
#include "model/prefill.h"
#include "sampler/sampler.h"

namespace kestrune {

Result<std::unique_ptr<Engine>> open_engine(const std::string& path, StateCacheLimits limits, const LoadOptions& load,
                                            bool verbose) {
  QuietScope quiet(!verbose);
  auto engine = std::make_unique<Engine>();
  engine->verbose = verbose;
  KS_TRY(std::unique_ptr<ModelFile> file, open_model_file(path));
  KS_TRY(engine->tokenizer, tokenizer_from_gguf(file->gguf));
  engine->eos = eos_token(file->gguf);
  engine->chat = chat_vocab(engine->tokenizer);
  engine->chat_defaults = sampling_settings(CliOptions{}, file->gguf);
  engine->cache.limits = limits;
  KS_TRY(engine->model, load_model(std::move(file), load));
  return engine;
}

Result<std::string> complete(const Engine& engine, std::string_view prompt, const CompletionRequest& request) {
  QuietScope quiet(!engine.verbose);
  KS_CHECK(check_sampling(request.temperature, request.top_p));
  KS_TRY(std::vector<uint32_t> ids, encode(engine.tokenizer, prompt));
  if (ids.empty()) return empty_prompt_error();
  const uint64_t context = engine.model->config.context_length;
  KS_TRY(const uint64_t budget, fit_budget(0, ids.size(), request.max_tokens, context));
  uint64_t seed = request.seed ? *request.seed : clock_seed();
  Sampler sampler = make_sampler(request.temperature, request.top_k, request.top_p, seed);

  DecodeState state = new_state(*engine.model);
  FeedFn feed = model_feed(*engine.model, state);
  RunReport report;
  KS_TRY(std::vector<float> logits, feed_prompt(model_prefill(*engine.model, state), ids, report));

  DecodeRules rules;
  rules.budget = budget;
  if (engine.eos) rules.stop.push_back(*engine.eos);
  std::vector<uint32_t> out;
  EmitFn emit = [&out](uint32_t token) -> Status {
    out.push_back(token);
    return Ok{};
  };
  KS_TRY(Clock::time_point start, decode_loop(feed, nullptr, sampler, std::move(logits), rules, emit, report));
  report.gen_seconds = elapsed_seconds(start);
  diag(perf_line(report));
  if (budget < request.max_tokens && out.size() == budget) diag(context_full_line(ids.size() + budget, context));
  return decode(engine.tokenizer, out);
}

Result<std::vector<double>> score_text(const Engine& engine, std::string_view text) {
  KS_TRY(std::vector<uint32_t> ids, encode(engine.tokenizer, text));
  if (ids.empty()) return empty_prompt_error();
  DecodeState state = new_state(*engine.model);
  return score_tokens(*engine.model, state, ids);
}

Result<std::vector<uint32_t>> chat_prompt(Engine& engine, std::span<const ChatMessage> messages) {
  if (!engine.chat.ok()) return engine.chat.error();
  const ChatVocab& v = *engine.chat;
  std::vector<uint32_t> queue;
  for (const ChatMessage& m : messages) {
    const std::vector<uint32_t>& role =
        m.role == ChatRole::System ? v.system : m.role == ChatRole::User ? v.user : v.assistant;
    if (m.role == ChatRole::Assistant) {
      append_assistant_header(queue, v);
      auto ids = recorded_reply(engine.cache, queue, m.content);
      if (!ids) {
        KS_TRY(ids, encode(engine.tokenizer, m.content));
      }
      queue.insert(queue.end(), ids->begin(), ids->end());
      append_assistant_close(queue, v);
    } else {
      KS_TRY(std::vector<uint32_t> text, encode(engine.tokenizer, m.content));
      append_turn(queue, v, role, text);
    }
  }
  append_assistant_header(queue, v);
  return queue;
}

Result<std::unique_ptr<Stream>> open_stream(Engine& engine, std::vector<uint32_t> prompt,
                                            const CompletionRequest& request, std::vector<uint32_t> stop) {
  KS_CHECK(check_sampling(request.temperature, request.top_p));
  if (prompt.empty()) return empty_prompt_error();
  KS_TRY(const uint64_t budget, fit_budget(0, prompt.size(), request.max_tokens, engine.model->config.context_length));
  auto s = std::make_unique<Stream>();
  s->engine = &engine;
  s->prompt_len = prompt.size();
  s->tokens = std::move(prompt);
  s->sampler = make_sampler(request.temperature, request.top_k, request.top_p,
                            request.seed ? *request.seed : clock_seed());
  s->rules.budget = budget;
  s->rules.stop = std::move(stop);
  return s;
}

namespace {

Status start_stream(Stream& s) {
  const Model& model = *s.engine->model;
  std::span<const uint32_t> prompt(s.tokens.data(), s.prompt_len);
  auto start = Clock::now();
  if (std::optional<CachedState> hit = checkout_state(s.engine->cache, prompt)) {
    s.state = std::move(hit->state);
    s.cached = hit->tokens.size();
    s.replies = std::move(hit->replies);
  } else {
    s.state = new_state(model);
  }
  KS_TRY(std::vector<float> logits,
         feed_prompt(model_prefill(model, s.state), prompt.subspan(static_cast<size_t>(s.cached)), s.report));
  s.report.prefill_seconds = elapsed_seconds(start);
  s.start = Clock::now();
  s.cursor = start_cursor(s.sampler, logits);
  s.started = true;
  return Ok{};
}

void finish_stream(Stream& s, std::string& piece) {
  utf8_append_replacing(s.held, true, piece);
  s.held.clear();
  s.reply += piece;
  s.finished = true;
  s.report.gen_seconds = elapsed_seconds(s.start);
  diag(perf_line(s.report));

  CachedState entry;
  entry.state = std::move(s.state);
  entry.replies = std::move(s.replies);
  entry.replies.push_back(ReplyRecord{s.prompt_len, s.tokens.size(), std::move(s.reply)});
  entry.tokens = std::move(s.tokens);
  checkin_state(s.engine->cache, std::move(entry));
}

}  // namespace

Result<std::string> stream_step(Stream& s) {
  QuietScope quiet(!s.engine->verbose);
  std::string piece;
  if (s.finished) return piece;
  if (!s.started) KS_CHECK(start_stream(s));
  const Model& model = *s.engine->model;
  KS_TRY(std::optional<uint32_t> token,
         decode_step(model_feed(model, s.state), s.sampler, s.cursor, s.rules, s.report));
  if (!token) {
    finish_stream(s, piece);
    return piece;
  }
  s.tokens.push_back(*token);
  KS_TRY(std::string_view bytes, token_bytes(s.engine->tokenizer, *token));
  s.held.append(bytes);
  size_t used = utf8_append_replacing(s.held, false, piece);
  s.held.erase(0, used);
  s.reply += piece;
  return piece;
}

}  // namespace kestrune
