#include "common/runtime_options.h"

#include <cstdlib>

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

}  // namespace

RuntimeOptions read_runtime_options() {
  RuntimeOptions o;
  o.backend = env_utf8("KESTRUNE_BACKEND");
  o.weights = env_utf8("KESTRUNE_WEIGHTS");
  o.trace = env_is_set("KESTRUNE_TRACE");
  o.lens = env_utf8("KESTRUNE_LENS");
  o.mtp_alpha = env_is_set("KESTRUNE_MTP_ALPHA");
  o.mtp = env_utf8("KESTRUNE_MTP");
  o.mtp_depth = env_utf8("KESTRUNE_MTP_DEPTH");
  o.threads = env_utf8("KESTRUNE_THREADS");
  o.reference = env_utf8("KESTRUNE_REFERENCE") == std::optional<std::string>("1");
  o.max_state_bytes = env_utf8("KESTRUNE_MAX_STATE_BYTES");
  o.progress = env_is_set("KESTRUNE_PROGRESS");
  o.xquant = env_utf8("KESTRUNE_XQUANT");
  o.cpu_xquant = env_utf8("KESTRUNE_CPU_XQUANT") == std::optional<std::string>("q8");
  o.cuda_sync = env_is_set("KESTRUNE_CUDA_SYNC");
  return o;
}

bool reference_forced() {
  static const bool forced = read_runtime_options().reference;
  return forced;
}

}  // namespace kestrune
