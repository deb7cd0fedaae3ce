#include "common/runtime_options.h"

#include <cstdlib>
#include <initializer_list>

#include "common/utf8.h"

namespace kestrune {

namespace {

std::optional<std::string> env_utf8(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  std::string s(v);
  if (utf8_error(s).has_value()) return std::nullopt;
  return s;
}

bool env_is_set(const char* name) { return std::getenv(name) != nullptr; }

bool is_whole_number(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Notes `value` of `name` as ignored unless it is one of `accepted` (or empty).
void check_choice(RuntimeOptions& o, const char* name, const std::optional<std::string>& value,
                  std::initializer_list<const char*> accepted, const char* expected) {
  if (!value || value->empty()) return;
  for (const char* a : accepted) {
    if (*value == a) return;
  }
  o.ignored.push_back(std::string(name) + "=" + *value + " (expected " + expected + ")");
}

}  // namespace

std::optional<size_t> parse_thread_count(const std::string& value) {
  if (!is_whole_number(value)) return std::nullopt;
  size_t n = 0;
  for (char c : value) {
    n = n * 10 + static_cast<size_t>(c - '0');
    if (n > kMaxThreads) return kMaxThreads;
  }
  if (n == 0) return std::nullopt;
  return n;
}

RuntimeOptions read_runtime_options() {
  RuntimeOptions o;
  o.backend = env_utf8("KESTRUNE_BACKEND");
  o.weights = env_utf8("KESTRUNE_WEIGHTS");
  o.trace = env_is_set("KESTRUNE_TRACE");
  o.lens = env_utf8("KESTRUNE_LENS");
  o.mtp_alpha = env_is_set("KESTRUNE_MTP_ALPHA");
  o.mtp = env_utf8("KESTRUNE_MTP");
  o.mtp_depth = env_utf8("KESTRUNE_MTP_DEPTH");
  const auto threads = env_utf8("KESTRUNE_THREADS");
  if (threads) o.threads = parse_thread_count(*threads);
  const auto reference = env_utf8("KESTRUNE_REFERENCE");
  o.reference = reference == std::optional<std::string>("1");
  o.max_state_bytes = env_utf8("KESTRUNE_MAX_STATE_BYTES");
  o.progress = env_is_set("KESTRUNE_PROGRESS");
  o.xquant = env_utf8("KESTRUNE_XQUANT");
  o.cuda_sync = env_is_set("KESTRUNE_CUDA_SYNC");
  const auto cpu_xquant = env_utf8("KESTRUNE_CPU_XQUANT");
  o.cpu_xquant = cpu_xquant == std::optional<std::string>("q8");

  check_choice(o, "KESTRUNE_WEIGHTS", o.weights, {"eager", "lazy"}, "eager or lazy");
  if (threads && !threads->empty() && !o.threads) {
    o.ignored.push_back("KESTRUNE_THREADS=" + *threads + " (expected a whole number of threads, 1 or more)");
  }
  check_choice(o, "KESTRUNE_MTP", o.mtp, {"0", "1"}, "1 or 0");
  check_choice(o, "KESTRUNE_MTP_DEPTH", o.mtp_depth, {"1", "2"}, "1 or 2");
  check_choice(o, "KESTRUNE_REFERENCE", reference, {"0", "1"}, "1 or 0");
  if (o.max_state_bytes && !o.max_state_bytes->empty() && !is_whole_number(*o.max_state_bytes)) {
    o.ignored.push_back("KESTRUNE_MAX_STATE_BYTES=" + *o.max_state_bytes + " (expected a whole number of bytes)");
  }
  check_choice(o, "KESTRUNE_XQUANT", o.xquant, {"q8"}, "q8");
  check_choice(o, "KESTRUNE_CPU_XQUANT", cpu_xquant, {"q8"}, "q8");
  return o;
}

std::string ignored_options_line(const RuntimeOptions& options) {
  if (options.ignored.empty()) return "";
  std::string line = "# warning: ignored ";
  for (size_t i = 0; i < options.ignored.size(); ++i) {
    if (i) line += ", ";
    line += options.ignored[i];
  }
  return line + "\n";
}

bool reference_forced() {
  static const bool forced = read_runtime_options().reference;
  return forced;
}

}  // namespace kestrune
