#include "cli/cli.h"

#include "cli/generate.h"
#include "cli/numbers.h"
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

constexpr const char* kUsage =
    "usage: kestrune generate <model.gguf> \"<prompt>\" [n_tokens] [--temp T] [--top-k K] [--top-p P] [--seed S]\n"
    "       kestrune chat <model.gguf> [--system S] [--max-turn-tokens N] [--temp T] [--top-k K] [--top-p P] "
    "[--seed S]\n";

bool starts_with_dashes(const std::string& s) { return s.size() >= 2 && s[0] == '-' && s[1] == '-'; }

}  // namespace

Status run_cli(std::span<const std::string> args, const ChatRenderFn& render) {
  if (!args.empty() && args[0] == "generate" && args.size() >= 3) return run_generate(args.subspan(1));
  if (!args.empty() && args[0] == "chat") return run_chat(args.subspan(1), render);
  diag(kUsage);
  return invalid_input("no command");
}

int cli_exit_code(std::span<const std::string> args, const ChatRenderFn& render) {
  Status st = run_cli(args, render);
  if (st.ok()) return 0;
  diag(format("kestrune: {}\n", st.error().message));
  return 1;
}

Status run_generate(std::span<const std::string> args) {
  const std::string& path = args[0];
  const std::string& prompt = args[1];
  KS_CHECK(text_argument("prompt", prompt));
  uint64_t n_tokens = 64;
  size_t first_option = 2;
  if (args.size() > 2 && !starts_with_dashes(args[2])) {
    auto n = parse_u64(args[2]);
    if (!n.ok()) return invalid_input(format("bad n_tokens: {}", n.error().message));
    n_tokens = *n;
    first_option = 3;
  }
  KS_TRY(CliOptions opts, parse_options(args.subspan(first_option), Subcommand::Generate));

  KS_TRY(std::unique_ptr<ModelFile> model_file, open_model_file(path));
  const GgufFile& file = model_file->gguf;
  SamplingSettings settings = sampling_settings(opts, file);
  diag(sampling_line(settings));
  Sampler sampler = make_sampler(settings.temperature, settings.top_k, settings.top_p, settings.seed);
  KS_TRY(Tokenizer tokenizer, tokenizer_from_gguf(file));
  std::optional<uint32_t> eos = eos_token(file);

  diag(format("# loading {} ...\n", path));
  KS_TRY(std::unique_ptr<Model> model, load_model(std::move(model_file)));
  DecodeState state = new_state(*model);
  SpecMode mode = engage_speculation(*model, settings.temperature);

  KS_TRY(std::vector<uint32_t> ids, encode(tokenizer, prompt));
  diag(format("# prompt: {} tokens\n", ids.size()));
  // Nothing to sample from: fail as the Python method does.
  if (ids.empty()) return empty_prompt_error();

  PrefillFn feed = speculative_prefill_feed(*model, state, mode);
  RunReport report;
  KS_TRY(std::vector<float> logits, feed_prompt(feed, ids, report));
  KS_CHECK(write_stdout(prompt));

  DecodeRules rules;
  rules.budget = n_tokens;
  if (eos) rules.stop.push_back(*eos);
  rules.clock_after_first_sample = true;
  EmitFn emit = [&tokenizer](uint32_t token) -> Status {
    KS_TRY(std::string_view bytes, token_bytes(tokenizer, token));
    return write_stdout(bytes);
  };
  SpecStepFn step = speculative_step(*model, state, sampler, mode);
  FeedFn decode_feed = model_feed(*model, state);
  KS_TRY(Clock::time_point start, decode_loop(decode_feed, &step, sampler, std::move(logits), rules, emit, report));
  KS_CHECK(write_stdout("\n"));
  report.gen_seconds = elapsed_seconds(start);
  diag(perf_line(report));
  if (report.rounds > 0) diag(spec_line(report));
  return Ok{};
}

}  // namespace kestrune
