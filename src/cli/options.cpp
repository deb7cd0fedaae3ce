#include "cli/options.h"

#include "cli/numbers.h"
#include "common/format.h"
#include "common/utf8.h"
#include "sampler/sampler.h"

namespace kestrune {

namespace {

template <class T>
Result<T> with_name(const std::string& name, Result<T> parsed) {
  if (!parsed.ok()) return invalid_input(format("{}: {}", name, parsed.error().message));
  return parsed;
}

// The server's bounds; NaN fails both comparisons and is refused too.
Result<float> in_range(Result<float> parsed, float lo, float hi) {
  if (!parsed.ok()) return parsed;
  if (!(*parsed >= lo && *parsed <= hi)) return invalid_input(format("{} is outside [{}, {}]", *parsed, lo, hi));
  return parsed;
}

}  // namespace

Status text_argument(std::string_view name, std::string_view value) {
  if (auto bad = utf8_error(value)) return invalid_input(format("{}: not valid UTF-8 text: {}", name, *bad));
  return Ok{};
}

Result<CliOptions> parse_options(std::span<const std::string> args, Subcommand cmd) {
  CliOptions opts;
  const bool chat = cmd == Subcommand::Chat;
  for (size_t i = 0; i < args.size(); i += 2) {
    const std::string& name = args[i];
    const bool known = name == "--temp" || name == "--top-k" || name == "--top-p" || name == "--seed" ||
                       (chat && (name == "--system" || name == "--max-turn-tokens"));
    if (!known) return invalid_input(format("unknown flag {}", name));
    if (i + 1 >= args.size()) return invalid_input(format("{}: missing value", name));
    const std::string& value = args[i + 1];
    if (name == "--temp") {
      KS_TRY(opts.temp, with_name(name, in_range(parse_f32(value), 0.0f, 2.0f)));
    } else if (name == "--top-k") {
      KS_TRY(opts.top_k, with_name(name, parse_u64(value)));
    } else if (name == "--top-p") {
      KS_TRY(opts.top_p, with_name(name, in_range(parse_f32(value), 0.0f, 1.0f)));
    } else if (name == "--seed") {
      KS_TRY(opts.seed, with_name(name, parse_u64(value)));
    } else if (name == "--system") {
      KS_CHECK(text_argument(name, value));
      opts.system = value;
    } else {
      KS_TRY(opts.max_turn_tokens, with_name(name, parse_u64(value)));
    }
  }
  return opts;
}

SamplingSettings sampling_settings(const CliOptions& opts, const GgufFile& file) {
  SamplingSettings s;
  if (opts.temp) {
    s.temperature = *opts.temp;
  } else if (auto v = meta_f32(file, "general.sampling.temp"); v.ok()) {
    s.temperature = *v;
  }
  if (opts.top_k) {
    s.top_k = *opts.top_k;
  } else if (auto v = meta_uint(file, "general.sampling.top_k"); v.ok()) {
    // Real files store top_k as int32, so a non-negative Int counts like a UInt.
    s.top_k = *v;
  }
  if (opts.top_p) {
    s.top_p = *opts.top_p;
  } else if (auto v = meta_f32(file, "general.sampling.top_p"); v.ok()) {
    s.top_p = *v;
  }
  s.seed = opts.seed ? *opts.seed : clock_seed();
  return s;
}

std::string sampling_line(const SamplingSettings& s) {
  return format("# sampling: temp={} top_k={} top_p={} seed={}\n", s.temperature, s.top_k, s.top_p, s.seed);
}

}  // namespace kestrune
