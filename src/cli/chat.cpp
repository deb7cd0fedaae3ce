#include "cli/chat.h"

#include "cli/cli.h"
#include "cli/generate.h"
#include "cli/limits.h"
#include "cli/options.h"
#include "cli/speculative.h"
#include "cli/stdio.h"
#include "common/diag.h"
#include "common/format.h"
#include "model/model.h"
#include "sampler/sampler.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {

namespace {

Result<uint32_t> marker_id(const Tokenizer& tok, std::string_view literal) {
  auto id = find_token_id(tok, literal);
  if (!id) return invalid_data(format("chat: special token {} not found in vocab", literal));
  return *id;
}

void append(std::vector<uint32_t>& queue, const std::vector<uint32_t>& ids) {
  queue.insert(queue.end(), ids.begin(), ids.end());
}

}  // namespace

Result<ChatVocab> chat_vocab(const Tokenizer& tok) {
  ChatVocab v;
  KS_TRY(v.im_start, marker_id(tok, "<|im_start|>"));
  KS_TRY(v.im_end, marker_id(tok, "<|im_end|>"));
  KS_TRY(v.nl, encode(tok, "\n"));
  KS_TRY(v.system, encode(tok, "system"));
  KS_TRY(v.user, encode(tok, "user"));
  KS_TRY(v.assistant, encode(tok, "assistant"));
  return v;
}

std::string chat_vocab_line(const ChatVocab& v, std::optional<uint32_t> eos) {
  return format("# chat: im_start={} im_end={} eos={} nl={}\n", v.im_start, v.im_end,
                eos ? format("Some({})", *eos) : std::string("None"), list_str(v.nl));
}

void append_turn(std::vector<uint32_t>& queue, const ChatVocab& v, const std::vector<uint32_t>& role,
                 const std::vector<uint32_t>& text) {
  queue.push_back(v.im_start);
  append(queue, role);
  append(queue, v.nl);
  append(queue, text);
  queue.push_back(v.im_end);
  append(queue, v.nl);
}

void append_assistant_header(std::vector<uint32_t>& queue, const ChatVocab& v) {
  queue.push_back(v.im_start);
  append(queue, v.assistant);
  append(queue, v.nl);
}

void append_assistant_close(std::vector<uint32_t>& queue, const ChatVocab& v) {
  queue.push_back(v.im_end);
  append(queue, v.nl);
}

// One decode state, one sampler and one queue of not-yet-fed template tokens live for
// the whole REPL, so the conversation and the random stream carry across turns.
Status run_chat(std::span<const std::string> args) {
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

  diag("# chat REPL ready: 'exit' or Ctrl-D quits\n");
  for (;;) {
    diag("> ");
    KS_TRY(std::optional<std::string> line, read_stdin_line());
    if (!line) break;
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
    if (*fit < opts.max_turn_tokens && report.generated == *fit) diag(context_full_line(state.position, context));

    append_assistant_close(pending, vocab);
    if (context_length) diag(context_warning(state.position, *context_length));
  }
  return Ok{};
}

}  // namespace kestrune
