// The Python module's engine: one loaded model with its tokenizer, and the completion
// call that Engine.generate serves from it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "gguf/gguf.h"
#include "model/model.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {

// Immutable after open_engine; shared read-only by concurrent completions. The model
// owns the mapped file and its parsed metadata.
struct Engine {
  Tokenizer tokenizer;
  std::unique_ptr<Model> model;
  std::optional<uint32_t> eos;  // tokenizer.ggml.eos_token_id when stored as UInt
};

// The file is mapped and parsed once: tokenizer from its metadata, then the model
// (which prints its load lines).
Result<std::unique_ptr<Engine>> open_engine(const std::string& path);

struct CompletionRequest {
  uint64_t max_tokens = 64;
  float temperature = 0.0f;
  uint64_t top_k = 20;
  float top_p = 0.95f;
  std::optional<uint64_t> seed;  // clock-seeded when absent
};

// Encodes `prompt`, generates without speculation, and returns the raw bytes of the
// continuation (prompt excluded). Prints the performance line.
Result<std::string> complete(const Engine& engine, std::string_view prompt, const CompletionRequest& request);

// The natural-log probability of every token of `text` after the first, given the
// tokens before it, in one batched pass over the text.
Result<std::vector<double>> score_text(const Engine& engine, std::string_view text);

}  // namespace kestrune
