#include "cli/options.h"

#include <algorithm>

#include "cli/numbers.h"
#include "common/format.h"
#include "common/runtime_options.h"
#include "common/utf8.h"

namespace kestrune {

namespace {

template <class T>
Result<T> with_name(const std::string& name, const std::string& value, Result<T> parsed) {
  if (!parsed.ok()) return bad_number(name, value, parsed.error());
  return parsed;
}

}  // namespace

Status text_argument(std::string_view name, std::string_view value) {
  if (auto bad = utf8_error(value)) return invalid_input(format("{}: not valid UTF-8 text: {}", name, *bad));
  return Ok{};
}

Error bad_number(std::string_view name, std::string_view value, const Error& parse_error) {
  const std::string& m = parse_error.message;
  std::string why = "not a number";
  if (m == "invalid digit found in string") why = "not a whole number";
  if (m == "cannot parse integer from empty string") why = "empty, expected a whole number";
  if (m == "cannot parse float from empty string") why = "empty, expected a number";
  if (m == "number too large to fit in target type") why = "too large";
  return Error{ErrorKind::InvalidInput, format("bad {} '{}': {}", name, value, why)};
}

Result<CliOptions> parse_options(std::span<const std::string> args, Subcommand cmd) {
  CliOptions opts;
  const bool chat = cmd == Subcommand::Chat;
  for (size_t i = 0; i < args.size(); i += 2) {
    const std::string& name = args[i];
    if (name == "--quiet") {
      opts.quiet = true;
      --i;  // a flag: no value follows
      continue;
    }
    const bool known = name == "--temp" || name == "--top-k" || name == "--top-p" || name == "--seed" ||
                       name == "--threads" || (chat && (name == "--system" || name == "--max-turn-tokens"));
    if (!known) return invalid_input(format("unknown flag {}", name));
    if (i + 1 >= args.size()) return invalid_input(format("{}: missing value", name));
    const std::string& value = args[i + 1];
    if (name == "--temp") {
      KS_TRY(opts.temp, with_name(name, value, parse_f32(value)));
    } else if (name == "--top-k") {
      KS_TRY(opts.top_k, with_name(name, value, parse_u64(value)));
    } else if (name == "--top-p") {
      KS_TRY(opts.top_p, with_name(name, value, parse_f32(value)));
    } else if (name == "--seed") {
      KS_TRY(opts.seed, with_name(name, value, parse_u64(value)));
    } else if (name == "--threads") {
      KS_TRY(uint64_t n, with_name(name, value, parse_u64(value)));
      if (n == 0) return invalid_input(format("bad --threads '{}': use 1 or more", value));
      opts.threads = static_cast<size_t>(std::min<uint64_t>(n, kMaxThreads));
    } else if (name == "--system") {
      KS_CHECK(text_argument(name, value));
      opts.system = value;
    } else {
      KS_TRY(opts.max_turn_tokens, with_name(name, value, parse_u64(value)));
    }
  }
  return opts;
}

SamplingSettings sampling_settings(const CliOptions& opts, const GgufFile& file) {
  SamplingSettings s = file_sampling(file);
  if (opts.temp) s.temperature = *opts.temp;
  if (opts.top_k) s.top_k = *opts.top_k;
  if (opts.top_p) s.top_p = *opts.top_p;
  if (opts.seed) s.seed = *opts.seed;
  return s;
}

std::string sampling_line(const SamplingSettings& s) {
  return format("# sampling: temp={} top_k={} top_p={} seed={}\n", s.temperature, s.top_k, s.top_p, s.seed);
}

}  // namespace kestrune
