// The Python module's engine: one loaded model with its tokenizer, the completion call
// that Engine.generate serves from it, and the token-by-token streams of Engine.stream
// and Engine.chat, which resume from the engine's cache of finished decode states.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "generation/chat.h"
#include "generation/generate.h"
#include "generation/sampling.h"
#include "gguf/gguf.h"
#include "model/batch.h"
#include "model/model.h"
#include "model/prefill.h"
#include "python/state_cache.h"
#include "tokenizer/special.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {

// Immutable after open_engine except for the state cache, which locks itself; shared
// by concurrent completions. The model owns the mapped file and its parsed metadata.
struct Engine {
  Tokenizer tokenizer;
  std::unique_ptr<Model> model;
  std::optional<uint32_t> eos;  // tokenizer.ggml.eos_token_id when stored as UInt
  Result<ChatVocab> chat = invalid_data("chat vocabulary not resolved");
  SamplingSettings chat_defaults;  // the file's sampling keys, as the command line reads them
  StateCache cache;
  std::optional<std::string> chat_template;  // tokenizer.chat_template
  SpecialTokens specials;
  std::string bos_text, eos_text;  // the texts of the bos and eos ids, for templates
  std::atomic<bool> verbose{false};  // the "# " start-up and perf lines
  // Concurrent generations share its steps; null when the model's switches need a pass
  // per sequence.
  std::unique_ptr<Batcher> batcher;
};

// The file is mapped and parsed once: tokenizer from its metadata, then the model
// (which prints its load lines when `verbose`).
Result<std::unique_ptr<Engine>> open_engine(const std::string& path, StateCacheLimits limits = {},
                                            const LoadOptions& load = {}, bool verbose = false,
                                            BatchLimits batch = {});

// Sequences in one step by default: enough to read each weight once for a server's
// streams, few enough that a step stays short.
inline constexpr size_t kDefaultMaxBatch = 16;

struct CompletionRequest {
  uint64_t max_tokens = 64;
  float temperature = 0.0f;
  uint64_t top_k = 20;
  float top_p = 0.95f;
  std::optional<uint64_t> seed;  // clock-seeded when absent
  // Checked between tokens and between prompt passes; an error ends the run with it.
  BetweenPasses between;
};

// Encodes `prompt`, generates without speculation, and returns the raw bytes of the
// continuation (prompt excluded). Prints the performance line.
Result<std::string> complete(const Engine& engine, std::string_view prompt, const CompletionRequest& request);

// The natural-log probability of every token of `text` after the first, given the
// tokens before it, in one batched pass over the text.
Result<std::vector<double>> score_text(const Engine& engine, std::string_view text, const BetweenPasses& between = {});

enum class ChatRole { System, User, Assistant };
struct ChatMessage {
  ChatRole role = ChatRole::User;
  std::string content;
};

// The chat template of `kestrune chat` over the messages, ending in the assistant
// header. Every text, replies included, is encoded as it reads: a reply whose text
// encodes to other ids than were generated for it does not resume its cached state.
Result<std::vector<uint32_t>> chat_prompt(Engine& engine, std::span<const ChatMessage> messages);

// One generation pulled a token at a time. Nothing runs until the first step, which
// resumes from the longest cached state whose tokens the prompt extends (or starts
// fresh) and feeds the rest of the prompt.
struct Stream {
  Engine* engine = nullptr;
  std::vector<uint32_t> tokens;  // the prompt, then every emitted id
  size_t prompt_len = 0;
  DecodeState state;
  Sampler sampler;
  BetweenPasses between;
  DecodeRules rules;
  std::shared_ptr<const TokenConstraint> constraint;  // rules.constraint points here
  DecodeCursor cursor;
  RunReport report;
  Clock::time_point start;
  uint64_t cached = 0;  // prompt tokens the resumed state had already consumed
  std::string held;     // bytes of a character that is not complete yet
  BatchSeat seat;       // while the stream runs, when the engine batches
  bool started = false;
  bool finished = false;
  // Set from any thread: the running or next step gives up at its next prompt slice.
  std::atomic<bool> cancelled{false};
};

// Checks the sampling values and the prompt against the context, and sets the budget to
// what fits: at most `max_tokens`, and never past the context. `stop` holds the stop ids;
// `constraint`, when set, restricts every sample.
Result<std::unique_ptr<Stream>> open_stream(Engine& engine, std::vector<uint32_t> prompt,
                                            const CompletionRequest& request, std::vector<uint32_t> stop,
                                            std::shared_ptr<const TokenConstraint> constraint = nullptr);

// Runs one token (the first call also feeds the prompt) and returns its text: whole
// characters only, bytes of an unfinished one are held, and bytes that never complete
// come out as U+FFFD. Once the run ends, `finished` is set, the performance line is
// printed and the state goes back to the cache. The prompt goes in slices of
// kPromptSlice tokens; once `cancelled` is set, the next slice fails with "stream closed".
Result<std::string> stream_step(Stream& stream);

inline constexpr size_t kPromptSlice = 256;

}  // namespace kestrune
