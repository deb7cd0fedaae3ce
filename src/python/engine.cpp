#include "python/engine.h"

#include <algorithm>
#include <utility>
#include <variant>
#include <vector>

#include "common/diag.h"
#include "common/format.h"
#include "common/utf8.h"
#include "generation/limits.h"
#include "model/forward.h"
#include "model/prefill.h"
#include "sampler/sampler.h"

namespace kestrune {

Result<std::unique_ptr<Engine>> open_engine(const std::string& path, StateCacheLimits limits, const LoadOptions& load,
                                            bool verbose, BatchLimits batch) {
  QuietScope quiet(!verbose);
  auto engine = std::make_unique<Engine>();
  engine->verbose = verbose;
  KS_TRY(std::unique_ptr<ModelFile> file, open_model_file(path));
  KS_TRY(engine->tokenizer, tokenizer_from_gguf(file->gguf));
  engine->eos = eos_token(file->gguf);
  engine->chat = chat_vocab(engine->tokenizer);
  engine->chat_defaults = file_sampling(file->gguf);
  engine->cache.limits = limits;
  if (const MetaValue* v = meta_find(file->gguf, "tokenizer.chat_template")) {
    if (const auto* str = std::get_if<meta::Str>(v)) engine->chat_template = str->v;
  }
  engine->specials = special_tokens(file->gguf, engine->tokenizer);
  auto text_of = [&](std::string_view key) -> std::string {
    std::optional<uint64_t> id = meta_uint_opt(file->gguf, key);
    if (!id || *id > UINT32_MAX) return {};
    auto bytes = token_bytes(engine->tokenizer, static_cast<uint32_t>(*id));
    return bytes.ok() ? std::string(*bytes) : std::string();
  };
  engine->bos_text = text_of("tokenizer.ggml.bos_token_id");
  engine->eos_text = text_of("tokenizer.ggml.eos_token_id");
  KS_TRY(engine->model, load_model(std::move(file), load));
  if (batchable(*engine->model)) {
    engine->batcher = std::make_unique<Batcher>();
    engine->batcher->model = engine->model.get();
    engine->batcher->limits = batch;
    diag(format("# batching: up to {} sequences and {} tokens a step\n", batch.max_batch, batch.step_tokens));
  } else {
    diag("# batching: off (trace, lens, the draft instrument or the speculative regime need a pass per sequence)\n");
  }
  return engine;
}

namespace {

// Feeds through the engine's shared steps when it batches, else through the model alone.
FeedFn engine_feed(const Engine& engine, DecodeState& state) {
  if (!engine.batcher) return model_feed(*engine.model, state);
  Batcher* b = engine.batcher.get();
  return [b, &state](uint32_t token) { return batched_feed(*b, state, std::span<const uint32_t>(&token, 1)); };
}

// Prompt runs in slices, `between` checked between them; a batched slice goes through
// the shared steps at what their budget leaves.
PrefillFn engine_prefill(const Engine& engine, DecodeState& state, const BetweenPasses& between) {
  const Model& model = *engine.model;
  if (!engine.batcher) {
    return [&model, &state, between](std::span<const uint32_t> tokens) {
      return prefill(model, state, tokens, kPrefillChunk, between);
    };
  }
  Batcher* b = engine.batcher.get();
  return [b, &state, between](std::span<const uint32_t> tokens) -> Result<std::vector<float>> {
    std::vector<float> logits;
    for (size_t s = 0; s < tokens.size(); s += kPromptSlice) {
      if (s > 0 && between) KS_CHECK(between());
      KS_TRY(logits, batched_feed(*b, state, tokens.subspan(s, std::min(kPromptSlice, tokens.size() - s))));
    }
    return logits;
  };
}

BatchSeat seat_of(const Engine& engine) { return engine.batcher ? BatchSeat(*engine.batcher) : BatchSeat(); }

}  // namespace

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
  const BatchSeat seat = seat_of(engine);
  FeedFn feed = engine_feed(engine, state);
  RunReport report;
  PrefillFn prefill_feed = engine_prefill(engine, state, request.between);
  KS_TRY(std::vector<float> logits, feed_prompt(prefill_feed, ids, report));

  DecodeRules rules;
  rules.budget = budget;
  if (engine.eos) rules.stop.push_back(*engine.eos);
  std::vector<uint32_t> out;
  EmitFn emit = [&out, &request](uint32_t token) -> Status {
    if (request.between) KS_CHECK(request.between());
    out.push_back(token);
    return Ok{};
  };
  KS_TRY(Clock::time_point start, decode_loop(feed, nullptr, sampler, std::move(logits), rules, emit, report));
  report.gen_seconds = elapsed_seconds(start);
  diag(perf_line(report));
  if (budget < request.max_tokens && out.size() == budget) diag(context_full_line(ids.size() + budget, context));
  return decode(engine.tokenizer, out);
}

Result<std::vector<double>> score_text(const Engine& engine, std::string_view text, const BetweenPasses& between) {
  KS_TRY(std::vector<uint32_t> ids, encode(engine.tokenizer, text));
  if (ids.empty()) return empty_prompt_error();
  DecodeState state = new_state(*engine.model);
  return score_tokens(*engine.model, state, ids, kPrefillChunk, between);
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
      KS_TRY(std::vector<uint32_t> ids, encode(engine.tokenizer, m.content));
      queue.insert(queue.end(), ids.begin(), ids.end());
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
                                            const CompletionRequest& request, std::vector<uint32_t> stop,
                                            std::shared_ptr<const TokenConstraint> constraint) {
  KS_CHECK(check_sampling(request.temperature, request.top_p));
  if (prompt.empty()) return empty_prompt_error();
  KS_TRY(const uint64_t budget, fit_budget(0, prompt.size(), request.max_tokens, engine.model->config.context_length));
  auto s = std::make_unique<Stream>();
  s->engine = &engine;
  s->prompt_len = prompt.size();
  s->tokens = std::move(prompt);
  s->sampler = make_sampler(request.temperature, request.top_k, request.top_p,
                            request.seed ? *request.seed : clock_seed());
  s->between = request.between;
  s->rules.budget = budget;
  s->rules.stop = std::move(stop);
  s->constraint = std::move(constraint);
  s->rules.constraint = s->constraint.get();
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
  } else {
    s.state = new_state(model);
  }
  s.seat = seat_of(*s.engine);
  // Slicing does not change the state prefill leaves, only when a closed stream notices.
  const PrefillFn feed = engine_prefill(*s.engine, s.state, s.between);
  std::span<const uint32_t> rest = prompt.subspan(static_cast<size_t>(s.cached));
  std::vector<float> logits;
  do {
    if (s.cancelled.load(std::memory_order_relaxed)) return invalid_input("stream closed");
    const size_t n = std::min(rest.size(), kPromptSlice);
    KS_TRY(logits, feed_prompt(feed, rest.first(n), s.report));
    rest = rest.subspan(n);
  } while (!rest.empty());
  s.report.prefill_seconds = elapsed_seconds(start);
  s.start = Clock::now();
  KS_TRY(s.cursor, start_cursor(s.sampler, logits, s.rules));
  s.started = true;
  return Ok{};
}

void finish_stream(Stream& s, std::string& piece) {
  utf8_append_replacing(s.held, true, piece);
  s.held.clear();
  s.finished = true;
  s.report.gen_seconds = elapsed_seconds(s.start);
  s.seat.leave();
  diag(perf_line(s.report));

  CachedState entry;
  entry.state = std::move(s.state);
  entry.tokens = std::move(s.tokens);
  checkin_state(s.engine->cache, std::move(entry));
}

}  // namespace

Result<std::string> stream_step(Stream& s) {
  QuietScope quiet(!s.engine->verbose);
  std::string piece;
  if (s.finished) return piece;
  if (!s.started) KS_CHECK(start_stream(s));
  KS_TRY(std::optional<uint32_t> token,
         decode_step(engine_feed(*s.engine, s.state), s.sampler, s.cursor, s.rules, s.report));
  if (!token) {
    finish_stream(s, piece);
    return piece;
  }
  s.tokens.push_back(*token);
  KS_TRY(std::string_view bytes, token_bytes(s.engine->tokenizer, *token));
  s.held.append(bytes);
  size_t used = utf8_append_replacing(s.held, false, piece);
  s.held.erase(0, used);
  return piece;
}

}  // namespace kestrune
