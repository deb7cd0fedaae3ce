// The loaded model: configuration, weights bound per layer, the load-time switches and
// the backend. A Model is immutable after load_model returns; each sequence owns its
// DecodeState.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "common/error.h"
#include "common/runtime_options.h"
#include "config/config.h"
#include "layers/geometry.h"
#include "model/bind.h"
#include "model/state.h"
#include "weights/model_file.h"

namespace kestrune {

// What the environment decided at load.
struct ModelSwitches {
  bool lazy = false;
  bool trace = false;
  bool alpha = false;           // draft-agreement instrument
  std::vector<uint32_t> lens;   // per-layer logit probe ids
  bool speculative = false;     // speculative regime armed
  bool spec_depth1 = false;     // KESTRUNE_MTP_DEPTH=1
};

struct Model {
  std::unique_ptr<ModelFile> file;  // every bound view points into it
  ModelConfig config;
  AttentionGeometry attn;
  GdnGeometry gdn;
  ModelWeights weights;
  ModelSwitches switches;
  Backend backend;

  bool has_draft() const { return weights.draft.has_value(); }
};

// What a front end asks of the load beyond the environment.
struct LoadOptions {
  std::optional<size_t> threads;  // --threads / threads=: wins over KESTRUNE_THREADS
};

// The host threads of a load: requested, else KESTRUNE_THREADS, else every core the
// process may use. `source` names where the count came from.
struct ThreadChoice {
  size_t count = 1;
  const char* source = "";
};
ThreadChoice choose_threads(const LoadOptions& load, const RuntimeOptions& options);

// Checks and prepares the model in an opened file, printing every start-up line on
// standard error. The environment is read once, here.
Result<std::unique_ptr<Model>> load_model(std::unique_ptr<ModelFile> file, const LoadOptions& load = {});
// The same for the file at `path`.
Result<std::unique_ptr<Model>> load_model(const std::string& path, const LoadOptions& load = {});

// The head as the backend reads it best: the file's blocks for a device, else the
// cached dense copy when there is one.
Result<Matrix> head_matrix(const Model& model);

// A fresh sequence: empty caches, zero GDN states, position 0, new nonces.
DecodeState new_state(const Model& model);

// Comma-separated probe ids: pieces trimmed, "+" allowed, unparsable pieces skipped.
std::vector<uint32_t> parse_lens(const std::string& value);

}  // namespace kestrune
