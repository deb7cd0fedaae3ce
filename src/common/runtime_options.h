// Every environment switch of the engine, read in one place.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

inline constexpr size_t kMaxThreads = 256;

// Values are absent when the variable is unset or not valid UTF-8; the flags only ask
// whether the variable is set at all.
struct RuntimeOptions {
  std::optional<std::string> backend;    // KESTRUNE_BACKEND
  std::optional<std::string> weights;    // KESTRUNE_WEIGHTS
  bool trace = false;                    // KESTRUNE_TRACE
  std::optional<std::string> lens;       // KESTRUNE_LENS
  bool mtp_alpha = false;                // KESTRUNE_MTP_ALPHA
  std::optional<std::string> mtp;        // KESTRUNE_MTP
  std::optional<std::string> mtp_depth;  // KESTRUNE_MTP_DEPTH
  std::optional<size_t> threads;         // KESTRUNE_THREADS, a whole number 1.. (capped at 256)
  bool reference = false;                // KESTRUNE_REFERENCE=1
  std::optional<std::string> max_state_bytes;  // KESTRUNE_MAX_STATE_BYTES
  bool progress = false;                 // KESTRUNE_PROGRESS
  std::optional<std::string> xquant;     // KESTRUNE_XQUANT
  bool cpu_xquant = false;               // KESTRUNE_CPU_XQUANT=q8
  bool cuda_sync = false;                // KESTRUNE_CUDA_SYNC: wait for and check every launch
  // "NAME=value (what it takes)" for each set switch whose value means nothing; the
  // engine then behaves as if it were unset.
  std::vector<std::string> ignored;
};

// Reads the environment now. The model load calls it once and keeps the result.
RuntimeOptions read_runtime_options();

// "# warning: ignored ..., ...\n" naming every ignored value, or "" when there is none.
std::string ignored_options_line(const RuntimeOptions& options);

// A positive decimal thread count, capped at kMaxThreads; absent for anything else.
std::optional<size_t> parse_thread_count(const std::string& value);

// KESTRUNE_REFERENCE as the product kernels see it: read at first use, then fixed for
// the life of the process.
bool reference_forced();

}  // namespace kestrune
