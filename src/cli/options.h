// Command-line options: name/value pairs after the positional arguments, and the
// sampling settings that fill in whatever the command line left open.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"
#include "generation/sampling.h"
#include "gguf/gguf.h"

namespace kestrune {

enum class Subcommand { Generate, Chat };

struct CliOptions {
  std::optional<float> temp;
  std::optional<uint64_t> top_k;
  std::optional<float> top_p;
  std::optional<uint64_t> seed;
  std::optional<std::string> system;  // chat only
  uint64_t max_turn_tokens = 1024;    // chat only
  std::optional<size_t> threads;      // --threads N
  bool quiet = false;                 // --quiet: no "# " start-up and perf lines
};

// Command-line text (a prompt, a system message) is taken as UTF-8; other bytes are
// refused, naming the argument and the first bad sequence.
Status text_argument(std::string_view name, std::string_view value);

// Parses `args` as name/value pairs (--quiet alone takes no value); a later occurrence
// overrides an earlier one.
Result<CliOptions> parse_options(std::span<const std::string> args, Subcommand cmd);

// The options given, else the file's general.sampling.* values, else 1.0 / 20 / 0.95,
// and the clock seed.
SamplingSettings sampling_settings(const CliOptions& opts, const GgufFile& file);

// "bad {name} '{value}': not a whole number" and the like, from a parse error.
Error bad_number(std::string_view name, std::string_view value, const Error& parse_error);

// "# sampling: temp={} top_k={} top_p={} seed={}\n"
std::string sampling_line(const SamplingSettings& s);

}  // namespace kestrune
