// One loaded model with its metadata and tokenizer, and the completion call that the
// Python module serves from it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "gguf/gguf.h"
#include "model/model.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {

inline constexpr std::string_view kEmptyPromptMessage = "empty prompt after tokenization";

Error empty_prompt_error();
bool is_empty_prompt_error(const Error& error);

// Immutable after open_engine; shared read-only by concurrent completions.
struct Engine {
  GgufFile metadata;
  Tokenizer tokenizer;
  std::unique_ptr<Model> model;
  std::optional<uint32_t> eos;  // tokenizer.ggml.eos_token_id when stored as UInt
};

// Metadata, tokenizer, then the model (which prints its load lines).
Result<std::unique_ptr<Engine>> open_engine(const std::string& path);

// The end-of-sequence id: the first tokenizer.ggml.eos_token_id entry when it is a UInt
// that fits a token id.
std::optional<uint32_t> eos_token(const GgufFile& file);

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

}  // namespace kestrune
