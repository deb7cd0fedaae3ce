// The loaded model and the per-token forward pass. A Model is immutable after
// load_model returns; each sequence owns its DecodeState.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "common/error.h"
#include "config/config.h"
#include "model/attn.h"
#include "model/gdn.h"
#include "model/state.h"
#include "weights/model_file.h"
#include "weights/tensor_cache.h"

namespace kestrune {

struct Model {
  std::unique_ptr<ModelFile> file;
  ModelConfig config;
  AttentionGeometry attn;
  GdnGeometry gdn;
  WeightsMode mode = WeightsMode::Eager;
  TensorCache cache;
  std::string head_name;  // "output.weight" or "token_embd.weight"
  uint64_t head_rows = 0;  // logits per forward: rows of the head tensor
  Backend backend;
  bool lazy = false;
  bool trace = false;
  bool alpha = false;        // draft-agreement instrument
  bool speculative = false;  // speculative regime armed
  bool has_draft = false;
  uint64_t draft_layer = 0;  // block index of the nextn draft head
  std::vector<uint32_t> lens;  // per-layer logit probe ids
  // Helper threads that split the products (KESTRUNE_THREADS); null with one thread.
  std::unique_ptr<ThreadPool> pool;
};

// Opens, checks and prepares the model at `path`, printing every start-up line on
// standard error.
Result<std::unique_ptr<Model>> load_model(const std::string& path);

// A fresh sequence: empty caches, zero GDN states, position 0, new nonces.
DecodeState new_state(const Model& model);

// The embedding row of `token` (hidden floats).
Result<std::vector<float>> embed(const Model& model, uint32_t token);

// Runs `token` at state.position through every layer and returns the logits (head_rows
// floats); advances state.position by one on success. With the alpha instrument on it
// also drafts the next token with the draft head and reports the previous draft.
Result<std::vector<float>> forward(const Model& model, DecodeState& state, uint32_t token);

// The main layers, final norm and head for the embedded token `x` at state.position,
// without any draft-head work; advances state.position by one on success.
struct ForwardPass {
  std::vector<float> logits;
  std::vector<float> hidden;  // residual stream after the last layer, before the final norm
};
Result<ForwardPass> forward_layers(const Model& model, DecodeState& state, std::vector<float> x);

// Comma-separated probe ids: pieces trimmed, "+" allowed, unparsable pieces skipped.
std::vector<uint32_t> parse_lens(const std::string& value);

}  // namespace kestrune
