#include "cli/cli.h"

#include <algorithm>

#include "cli/inspect.h"
#include "cli/numbers.h"
#include "cli/options.h"
#include "cli/stdio.h"
#include "common/diag.h"
#include "common/format.h"
#include "generation/generate.h"
#include "generation/limits.h"
#include "generation/speculative.h"
#include "model/model.h"
#include "sampler/sampler.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {

namespace {

constexpr const char* kUsage =
    "usage: kestrune generate <model.gguf> \"<prompt>\" [n_tokens] [--temp T] [--top-k K] [--top-p P] [--seed S]\n"
    "       kestrune chat <model.gguf> [--system S] [--max-turn-tokens N] [--temp T] [--top-k K] [--top-p P] "
    "[--seed S]\n";

constexpr const char* kVersion = "kestrune 0.1.0\n";

constexpr const char* kHelp =
    "kestrune: text generation with a qwen35 GGUF model\n"
    "\n"
    "  kestrune generate MODEL PROMPT [N_TOKENS] [options]   stream a completion of PROMPT\n"
    "                                                        (N_TOKENS, default 64, after the prompt)\n"
    "  kestrune chat MODEL [options]                         chat on standard input ('exit' or Ctrl-D quits)\n"
    "  kestrune inspect MODEL [TENSOR [ROW]]                 list a file's metadata and tensors, or one row\n"
    "  kestrune --help | --version                           this text | the version\n"
    "\n"
    "options (generate and chat):\n"
    "  --temp T              temperature, 0 or more; 0 is greedy (default: the file's, else 1)\n"
    "  --top-k K             sample among the K likeliest tokens, 0 for all (default: the file's, else 20)\n"
    "  --top-p P             nucleus mass, above 0 and at most 1 (default: the file's, else 0.95)\n"
    "  --seed S              random seed (default: from the clock)\n"
    "  --threads N           CPU threads (default: the cores this process may use; results are identical)\n"
    "  --quiet               no '# ' start-up and performance lines on standard error\n"
    "options (chat only):\n"
    "  --system TEXT         a system message before the first turn\n"
    "  --max-turn-tokens N   most tokens per reply (default 1024)\n"
    "\n"
    "A prompt plus N_TOKENS past the model's context stops at the context; a prompt that\n"
    "fills it is refused. Generated text goes to standard output, '# ' lines to standard error.\n"
    "\n"
    "environment:\n"
    "  KESTRUNE_THREADS=N        CPU threads when --threads is not given\n"
    "  KESTRUNE_WEIGHTS=eager    dequantize every tensor to f32 at load (default: stream packed weights)\n"
    "  KESTRUNE_BACKEND=cuda     run on the GPU (cpu is the default)\n"
    "  KESTRUNE_MTP=1            greedy speculative decoding with the file's draft head\n"
    "                            (KESTRUNE_MTP_DEPTH=1 for one draft per round, default 2)\n"
    "  KESTRUNE_CPU_XQUANT=q8    CPU int8 products: faster, not bit-exact\n"
    "  KESTRUNE_XQUANT=q8        the same for Q4_K products on the GPU\n"
    "  KESTRUNE_REFERENCE=1      plain scalar products (the reference path)\n"
    "  KESTRUNE_MAX_STATE_BYTES  refuse files whose per-sequence state exceeds this (default 16 GiB)\n"
    "  KESTRUNE_TRACE, KESTRUNE_LENS=id,id, KESTRUNE_MTP_ALPHA, KESTRUNE_PROGRESS   diagnostics\n";

bool starts_with_dashes(const std::string& s) { return s.size() >= 2 && s[0] == '-' && s[1] == '-'; }

bool asks_help(std::span<const std::string> args) {
  return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; });
}

}  // namespace

Status run_cli(std::span<const std::string> args, const ChatRenderFn& render) {
  if (!args.empty() && (args[0] == "--version" || args[0] == "-V")) return write_stdout(kVersion);
  const bool command = !args.empty() && (args[0] == "generate" || args[0] == "chat" || args[0] == "inspect");
  if ((!args.empty() && (args[0] == "--help" || args[0] == "-h")) || (command && asks_help(args.subspan(1)))) {
    return write_stdout(kHelp);
  }
  if (!args.empty() && args[0] == "generate" && args.size() >= 3) return run_generate(args.subspan(1));
  if (!args.empty() && args[0] == "chat") return run_chat(args.subspan(1), render);
  if (!args.empty() && args[0] == "inspect" && args.size() >= 2) return run_inspect(args.subspan(1));
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
    if (!n.ok()) return bad_number("n_tokens", args[2], n.error());
    n_tokens = *n;
    first_option = 3;
  }
  KS_TRY(CliOptions opts, parse_options(args.subspan(first_option), Subcommand::Generate));
  QuietScope quiet(opts.quiet);

  KS_TRY(std::unique_ptr<ModelFile> model_file, open_model_file(path));
  const GgufFile& file = model_file->gguf;
  SamplingSettings settings = sampling_settings(opts, file);
  KS_CHECK(check_sampling(settings.temperature, settings.top_p));
  diag(sampling_line(settings));
  Sampler sampler = make_sampler(settings.temperature, settings.top_k, settings.top_p, settings.seed);
  KS_TRY(Tokenizer tokenizer, tokenizer_from_gguf(file));
  std::optional<uint32_t> eos = eos_token(file);

  diag(format("# loading {} ...\n", path));
  KS_TRY(std::unique_ptr<Model> model, load_model(std::move(model_file), LoadOptions{opts.threads}));
  DecodeState state = new_state(*model);
  SpecMode mode = engage_speculation(*model, settings.temperature);

  KS_TRY(std::vector<uint32_t> ids, encode(tokenizer, prompt));
  diag(format("# prompt: {} tokens\n", ids.size()));
  // Nothing to sample from: fail as the Python method does.
  if (ids.empty()) return empty_prompt_error();
  const uint64_t context = model->config.context_length;
  KS_TRY(const uint64_t budget, fit_budget(0, ids.size(), n_tokens, context));

  PrefillFn feed = speculative_prefill_feed(*model, state, mode);
  RunReport report;
  KS_TRY(std::vector<float> logits, feed_prompt(feed, ids, report));
  KS_CHECK(write_stdout(prompt));

  DecodeRules rules;
  rules.budget = budget;
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
  if (budget < n_tokens && report.generated == budget) diag(context_full_line(ids.size() + report.generated, context));
  return Ok{};
}

}  // namespace kestrune
