#include "cli/chat.h"

#include <unistd.h>

#include <algorithm>
#include <variant>

#include "cli/cli.h"
#include "cli/interrupt.h"
#include "cli/options.h"
#include "cli/stdio.h"
#include "common/diag.h"
#include "common/format.h"
#include "generation/chat.h"
#include "generation/generate.h"
#include "generation/limits.h"
#include "generation/speculative.h"
#include "model/model.h"
#include "sampler/sampler.h"
#include "tokenizer/special.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {

namespace {

struct TemplatedChat {
  const Model& model;
  const Tokenizer& tok;
  SpecialTokens specials;
  Sampler& sampler;
  const CliOptions& opts;
  DecodeRules rules;
  std::optional<uint64_t> context_length;
};

std::string token_text(const Tokenizer& tok, const GgufFile& file, std::string_view key) {
  std::optional<uint64_t> id = meta_uint_opt(file, key);
  if (!id || *id > UINT32_MAX) return {};
  auto bytes = token_bytes(tok, static_cast<uint32_t>(*id));
  return bytes.ok() ? std::string(*bytes) : std::string();
}

// The REPL over the file's template: each turn renders the whole conversation and feeds
// what the decode state has not consumed yet; a prompt that does not extend the state's
// tokens (the template rewrote an earlier turn) starts a fresh state. Decoding is plain,
// so the state holds exactly the prompt and every emitted token.
Status templated_repl(TemplatedChat& c, const std::string& source, const ChatRenderFn& render) {
  const GgufFile& file = c.model.file->gguf;
  std::string bos = token_text(c.tok, file, "tokenizer.ggml.bos_token_id");
  std::string eos = token_text(c.tok, file, "tokenizer.ggml.eos_token_id");
  TemplateVars vars{source, bos, eos};
  std::vector<ChatLine> history;
  if (c.opts.system) history.push_back({"system", *c.opts.system});
  DecodeState state = new_state(c.model);
  std::vector<uint32_t> fed;
  const bool dim = isatty(STDERR_FILENO) != 0;

  diag("# chat REPL ready: 'exit' or Ctrl-D quits\n");
  for (;;) {
    diag("> ");
    KS_TRY(std::optional<std::string> line, read_stdin_line());
    if (!line) break;
    std::string_view text = trim_end_unicode(*line);
    if (text.empty()) continue;
    if (text == "exit") break;
    history.push_back({"user", std::string(text)});

    KS_TRY(std::string prompt, render(vars, history));
    KS_TRY(std::vector<uint32_t> ids, encode_with_specials(c.tok, c.specials, prompt));
    if (ids.size() <= fed.size() || !std::equal(fed.begin(), fed.end(), ids.begin())) {
      state = new_state(c.model);
      fed.clear();
    }
    RunReport report;
    std::span<const uint32_t> rest = std::span<const uint32_t>(ids).subspan(fed.size());
    KS_TRY(std::vector<float> logits, feed_prompt(model_prefill(c.model, state), rest, report));
    fed = std::move(ids);

    ThinkSplitter split;
    split.thinking = opens_reasoning(prompt);
    split.dim = dim;
    std::string reply;
    EmitFn emit = [&](uint32_t token) -> Status {
      KS_TRY(std::string_view bytes, token_bytes(c.tok, token));
      fed.push_back(token);
      reply.append(bytes);
      return split_write(split, bytes, false);
    };
    KS_TRY(Clock::time_point start,
           decode_loop(model_feed(c.model, state), nullptr, c.sampler, std::move(logits), c.rules, emit, report));
    KS_CHECK(split_write(split, {}, true));
    KS_CHECK(write_stdout("\n"));
    report.gen_seconds = elapsed_seconds(start);
    diag(perf_line(report));
    history.push_back({"assistant", std::move(reply)});
    if (c.context_length) diag(context_warning(state.position, *c.context_length));
  }
  return Ok{};
}

size_t partial_tail(std::string_view text, std::string_view marker) {
  for (size_t k = std::min(marker.size() - 1, text.size()); k > 0; --k) {
    if (text.ends_with(marker.substr(0, k))) return k;
  }
  return 0;
}

}  // namespace

bool opens_reasoning(std::string_view prompt) {
  size_t open = prompt.rfind("<think>");
  size_t close = prompt.rfind("</think>");
  return open != std::string_view::npos && (close == std::string_view::npos || open > close);
}

Status split_write(ThinkSplitter& s, std::string_view bytes, bool final) {
  s.held.append(bytes);
  auto out = [&s](std::string_view text) -> Status {
    if (text.empty()) return Ok{};
    if (!s.thinking) return write_stdout(text);
    diag(s.dim ? "\x1b[2m" + std::string(text) + "\x1b[0m" : std::string(text));
    return Ok{};
  };
  for (;;) {
    if (s.after_close) {
      size_t n = s.held.find_first_not_of('\n');
      s.held.erase(0, n == std::string::npos ? s.held.size() : n);
      if (s.held.empty() && !final) return Ok{};
      s.after_close = false;
    }
    std::string_view marker = s.thinking ? "</think>" : "<think>";
    size_t i = s.held.find(marker);
    if (i == std::string::npos) {
      size_t keep = final ? 0 : partial_tail(s.held, marker);
      KS_CHECK(out(std::string_view(s.held).substr(0, s.held.size() - keep)));
      s.held.erase(0, s.held.size() - keep);
      return Ok{};
    }
    KS_CHECK(out(std::string_view(s.held).substr(0, i)));
    s.held.erase(0, i + marker.size());
    if (s.thinking) s.after_close = true;
    s.thinking = !s.thinking;
  }
}

// One decode state, one sampler and one queue of not-yet-fed template tokens live for
// the whole REPL, so the conversation and the random stream carry across turns.
Status run_chat(std::span<const std::string> args, const ChatRenderFn& render) {
  if (args.empty()) return invalid_input("chat: missing <model.gguf>");
  const std::string& path = args[0];
  KS_TRY(CliOptions opts, parse_options(args.subspan(1), Subcommand::Chat));
  QuietScope quiet(opts.quiet);

  KS_TRY(std::unique_ptr<ModelFile> model_file, open_model_file(path));
  const GgufFile& file = model_file->gguf;
  SamplingSettings settings = sampling_settings(opts, file);
  KS_CHECK(check_sampling(settings.temperature, settings.top_p));
  diag(sampling_line(settings));
  Sampler sampler = make_sampler(settings.temperature, settings.top_k, settings.top_p, settings.seed);
  KS_TRY(Tokenizer tokenizer, tokenizer_from_gguf(file));
  std::optional<uint32_t> eos = eos_token(file);

  KS_TRY(ChatVocab vocab, chat_vocab(tokenizer));
  diag(chat_vocab_line(vocab, eos));

  std::optional<uint64_t> context_length = meta_uint_opt(file, "qwen35.context_length");
  diag(format("# loading {} ...\n", path));
  KS_TRY(std::unique_ptr<Model> model, load_model(std::move(model_file), LoadOptions{opts.threads}));
  std::optional<std::string> source;
  if (const MetaValue* v = meta_find(model->file->gguf, "tokenizer.chat_template")) {
    if (const auto* str = std::get_if<meta::Str>(v)) source = str->v;
  }
  if (source && render) {
    DecodeRules rules;
    rules.budget = opts.max_turn_tokens;
    rules.stop.push_back(vocab.im_end);
    if (eos) rules.stop.push_back(*eos);
    TemplatedChat chat{*model, tokenizer, special_tokens(model->file->gguf, tokenizer), sampler, opts, rules,
                       context_length};
    return templated_repl(chat, *source, render);
  }
  DecodeState state = new_state(*model);
  SpecMode mode = engage_speculation(*model, settings.temperature);

  PrefillFn prefill_feed = speculative_prefill_feed(*model, state, mode);
  FeedFn decode_feed = model_feed(*model, state);
  SpecStepFn step = speculative_step(*model, state, sampler, mode);
  DecodeRules rules;
  rules.budget = opts.max_turn_tokens;
  rules.stop.push_back(vocab.im_end);
  if (eos) rules.stop.push_back(*eos);
  EmitFn emit = [&tokenizer](uint32_t token) -> Status {
    KS_TRY(std::string_view bytes, token_bytes(tokenizer, token));
    return write_stdout(bytes);
  };

  std::vector<uint32_t> pending;
  if (opts.system) {
    KS_TRY(std::vector<uint32_t> text, encode(tokenizer, *opts.system));
    append_turn(pending, vocab, vocab.system, text);
  }

  // Ctrl-C stops a reply and returns to the prompt; at the prompt, or a second time
  // before the reply stopped, it ends the chat.
  InterruptScope interrupts;
  rules.cancel = [] { return interrupt_pending(); };

  diag("# chat REPL ready: 'exit' or Ctrl-D quits\n");
  for (;;) {
    diag("> ");
    auto got = read_stdin_line();
    if (interrupt_pending()) {
      diag("\n");
      break;
    }
    KS_TRY(std::optional<std::string> line, std::move(got));
    if (!line) {
      // Ctrl-D leaves the cursor after the prompt; a pipe's end needs no line break.
      if (::isatty(STDIN_FILENO)) diag("\n");
      break;
    }
    std::string_view text = trim_end_unicode(*line);
    if (text.empty()) continue;
    if (text == "exit") break;

    KS_TRY(std::vector<uint32_t> ids, encode(tokenizer, text));
    append_turn(pending, vocab, vocab.user, ids);
    append_assistant_header(pending, vocab);

    // A turn that cannot fit ends the conversation; one that reaches the context stops there.
    const uint64_t context = context_length.value_or(0);
    auto fit = fit_budget(state.position, pending.size(), opts.max_turn_tokens, context);
    if (!fit.ok()) {
      diag(format("# warning: context full at {} / {} tokens, no room for this turn; start a new chat\n",
                  state.position + pending.size(), context));
      break;
    }
    rules.budget = *fit;
    RunReport report;
    KS_TRY(std::vector<float> logits, feed_prompt(prefill_feed, pending, report));
    pending.clear();
    KS_TRY(Clock::time_point start, decode_loop(decode_feed, &step, sampler, std::move(logits), rules, emit, report));
    KS_CHECK(write_stdout("\n"));
    report.gen_seconds = elapsed_seconds(start);
    diag(perf_line(report));
    clear_interrupt();
    if (*fit < opts.max_turn_tokens && report.generated == *fit) diag(context_full_line(state.position, context));

    append_assistant_close(pending, vocab);
    if (context_length) diag(context_warning(state.position, *context_length));
  }
  return Ok{};
}

}  // namespace kestrune
