// Generated model files and environment handling for the model tests.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/model.h"

namespace kestrune::testing {

// Runs tools/gen_model.py with `args` once per process and returns the file path, or
// nothing when python3 with numpy is unavailable.
std::optional<std::string> generated_model(const std::string& args);

// Loads `path` from a copy of its bytes kept for the whole test process. Tests that swap
// a device backend into a loaded model need it: a model loaded from its file drops the
// bytes of the tensors the CPU reads only through their packed copies, and a device
// backend uploads those bytes.
Result<std::unique_ptr<Model>> load_kept_copy(const std::string& path);

// Runs a python3 command line (already quoted) from the source root; true on exit 0.
bool run_python(const std::string& args);

// Whether python3 can import numpy.
bool python_available();

// Sets (or, with nullptr, unsets) environment variables for a scope, restoring the
// previous values after.
class ScopedEnv {
 public:
  using Vars = std::vector<std::pair<const char*, const char*>>;
  explicit ScopedEnv(const Vars& vars);
  ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> vars) : ScopedEnv(Vars(vars)) {}
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Every variable the model load reads, unset.
#define KESTRUNE_CLEAN_ENV                                                                         \
  {"KESTRUNE_BACKEND", nullptr}, {"KESTRUNE_WEIGHTS", nullptr}, {"KESTRUNE_TRACE", nullptr},      \
      {"KESTRUNE_LENS", nullptr}, {"KESTRUNE_MTP_ALPHA", nullptr}, {"KESTRUNE_MTP", nullptr},             \
      {"KESTRUNE_THREADS", nullptr}, {"KESTRUNE_XQUANT", nullptr}, {"KESTRUNE_PROGRESS", nullptr},   \
      {"KESTRUNE_CPU_XQUANT", nullptr}

}  // namespace kestrune::testing
